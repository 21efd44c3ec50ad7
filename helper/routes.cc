// Default routes as ip prints them, reduced to checked words that ip takes
// back to put the same route in place again.

#include <sys/socket.h>

#include <set>
#include <string>
#include <vector>

#include "pathwarden_internal.h"

namespace pathwarden {

// ---------------------------------------------------------------------------
// Default routes as ip prints them.

namespace {

// Words ip prints about a route's state rather than its configuration; they
// are not given back when the route is put back.
bool isStateFlag(const std::string& word) {
  static const std::set<std::string> kFlags = {
      "linkdown",   "dead",      "offload",
      "trap",       "pervasive", "notify",
      "rt_offload", "rt_trap",   "rt_offload_failed"};
  return kFlags.count(word) != 0;
}

bool isRouteType(const std::string& word) {
  return word == "unicast" || word == "unreachable" || word == "blackhole" ||
         word == "prohibit" || word == "throw";
}

// Metrics that take an optional "lock" and a number.
bool isNumericMetric(const std::string& word) {
  return word == "mtu" || word == "advmss" || word == "hoplimit" ||
         word == "initcwnd" || word == "initrwnd" || word == "window" ||
         word == "reordering";
}

}  // namespace

// Reads one route (its first line and the "nexthop" lines that follow it,
// joined) into |route|. Returns false, with the offending word in |why|, for
// anything that is not a default route made of known, checked words.
bool parseRouteEntry(int family,
                     const std::string& text,
                     RouteEntry* route,
                     std::string* why) {
  *route = RouteEntry();
  const std::vector<std::string> words = splitWords(text);
  if (words.size() > kMaxRouteWords) {
    *why = "too many words";
    return false;
  }
  size_t i = 0;
  if (i < words.size() && isRouteType(words[i])) {
    route->type = words[i] == "unicast" ? "" : words[i];
    ++i;
  }
  if (i >= words.size() || words[i] != "default") {
    *why = "not a default route";
    return false;
  }
  ++i;
  route->metric = family == AF_INET ? 0 : 1024;
  auto value = [&](std::string* out) {
    if (i + 1 >= words.size()) {
      return false;
    }
    *out = words[i + 1];
    i += 2;
    return true;
  };
  auto hop = [&]() -> NextHop& {
    if (route->hops.empty()) {
      route->hops.emplace_back();
    }
    return route->hops.back();
  };
  while (i < words.size()) {
    const std::string& word = words[i];
    std::string v;
    if (word == "nexthop") {
      route->multipath = true;
      route->hops.emplace_back();
      ++i;
    } else if (word == "via") {
      int via_family = family;
      size_t at = i + 1;
      if (at < words.size() && (words[at] == "inet" || words[at] == "inet6")) {
        via_family = words[at] == "inet" ? AF_INET : AF_INET6;
        ++at;
      }
      if (at >= words.size() || !isAddressOf(via_family, words[at]) ||
          !hop().via.empty()) {
        *why = "via";
        return false;
      }
      hop().via_family = via_family;
      hop().via = words[at];
      i = at + 1;
    } else if (word == "dev") {
      if (!value(&v) || !isSafeIfaceName(v) || !hop().dev.empty()) {
        *why = "dev " + v;
        return false;
      }
      hop().dev = v;
    } else if (word == "weight") {
      if (!route->multipath || !value(&v) || !isNumber(v, 3)) {
        *why = "weight";
        return false;
      }
      hop().weight = v;
    } else if (word == "onlink") {
      hop().onlink = true;
      ++i;
    } else if (word == "nhid") {
      if (!value(&v) || !isNumber(v, 10) || !route->nhid.empty()) {
        *why = "nhid";
        return false;
      }
      route->nhid = v;
    } else if (word == "proto" || word == "scope") {
      if (!value(&v) || !isPlainName(v)) {
        *why = word;
        return false;
      }
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (word == "src") {
      if (!value(&v) || !isAddressOf(family, v)) {
        *why = "src";
        return false;
      }
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (word == "metric") {
      if (!value(&v) || !isNumber(v, 10) || std::stoul(v) > 0xffffffffUL) {
        *why = "metric";
        return false;
      }
      route->metric = std::stoul(v);
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (word == "pref") {
      if (!value(&v) || (v != "low" && v != "medium" && v != "high")) {
        *why = "pref";
        return false;
      }
      route->attrs.insert(route->attrs.end(), {word, v});
    } else if (isNumericMetric(word)) {
      route->attrs.push_back(word);
      ++i;
      if (i < words.size() && words[i] == "lock") {
        route->attrs.emplace_back("lock");
        ++i;
      }
      if (i >= words.size() || !isNumber(words[i], 10)) {
        *why = word;
        return false;
      }
      route->attrs.push_back(words[i]);
      ++i;
    } else if (word == "expires" || word == "error") {
      // Kept by the kernel, not by whoever made the route.
      i += 2;
    } else if (isStateFlag(word)) {
      ++i;
    } else {
      *why = word;
      return false;
    }
  }
  if (route->nhid.empty() && route->type.empty()) {
    if (route->hops.empty()) {
      *why = "no next hop";
      return false;
    }
    for (const NextHop& h : route->hops) {
      if (h.dev.empty()) {
        *why = "next hop without a device";
        return false;
      }
    }
  }
  return true;
}

// The words after "ip route replace <destination>" that send traffic the way
// |route| does: its next-hop object, its next hops, or its device.
std::vector<std::string> routePath(int family, const RouteEntry& route) {
  if (!route.nhid.empty()) {
    return {"nhid", route.nhid};
  }
  std::vector<std::string> words;
  for (const NextHop& h : route.hops) {
    if (route.multipath) {
      words.emplace_back("nexthop");
    }
    if (!h.via.empty()) {
      words.emplace_back("via");
      if (h.via_family != family) {
        words.emplace_back(h.via_family == AF_INET ? "inet" : "inet6");
      }
      words.push_back(h.via);
    }
    if (!h.dev.empty()) {
      words.insert(words.end(), {"dev", h.dev});
    }
    if (!h.weight.empty()) {
      words.insert(words.end(), {"weight", h.weight});
    }
    if (h.onlink) {
      words.emplace_back("onlink");
    }
  }
  return words;
}

// The route as the words of "ip route replace" and "ip route del": type,
// destination and attributes first, because "nexthop" takes the rest.
std::vector<std::string> routeWords(int family, const RouteEntry& route) {
  std::vector<std::string> words;
  if (!route.type.empty()) {
    words.push_back(route.type);
  }
  words.emplace_back("default");
  words.insert(words.end(), route.attrs.begin(), route.attrs.end());
  std::vector<std::string> path = routePath(family, route);
  words.insert(words.end(), path.begin(), path.end());
  return words;
}

std::string formatRoute(int family, const RouteEntry& route) {
  return joinWords(routeWords(family, route));
}

bool isTunnelRoute(const RouteEntry& route) {
  for (const NextHop& h : route.hops) {
    if (h.dev == kTunName) {
      return true;
    }
  }
  return false;
}

// A unicast route through an interface: one that carries traffic out.
bool isUplink(const RouteEntry& route) {
  return route.type.empty();
}

// Groups the output of "ip route show default" into routes (a multipath
// route continues on indented "nexthop" lines) and reads each. Returns false,
// with the offending route in |bad|, when one cannot be put back exactly.
bool parseDefaultRoutes(int family,
                        const std::string& output,
                        std::vector<RouteEntry>* routes,
                        std::string* bad) {
  std::vector<std::string> texts;
  for (const std::string& line : splitLines(output)) {
    if (trim(line).empty()) {
      continue;
    }
    if (isBlank(line[0]) && !texts.empty()) {
      texts.back() += " " + line;
    } else {
      texts.push_back(line);
    }
  }
  for (const std::string& text : texts) {
    RouteEntry route;
    std::string why;
    if (!parseRouteEntry(family, text, &route, &why)) {
      *bad = trim(text) + " (" + why + ")";
      return false;
    }
    routes->push_back(route);
  }
  return true;
}

// The route that traffic to the server keeps using: the uplink with the
// lowest metric, the first of equals. Null when the family has none.
const RouteEntry* serverUplink(const std::vector<RouteEntry>& routes) {
  const RouteEntry* best = nullptr;
  for (const RouteEntry& route : routes) {
    if (isUplink(route) && !isTunnelRoute(route) &&
        (best == nullptr || route.metric < best->metric)) {
      best = &route;
    }
  }
  return best;
}

// The legacy summary of a family's routes, for an older stop and the runner.
DefaultRoute legacyRoute(int family, const std::vector<RouteEntry>& routes) {
  DefaultRoute legacy;
  const RouteEntry* uplink = serverUplink(routes);
  if (uplink == nullptr || uplink->hops.empty()) {
    return legacy;
  }
  const NextHop& h = uplink->hops.front();
  if (h.dev.empty() || (!h.via.empty() && h.via_family != family)) {
    return legacy;
  }
  legacy.valid = true;
  legacy.iface = h.dev;
  legacy.gateway = h.via;
  return legacy;
}

}  // namespace pathwarden
