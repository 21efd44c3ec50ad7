// A record that an older helper left: that helper took the main table's
// defaults away, put "default dev quon_vpn0" in their place and pinned the
// server with host routes. A new stop (after an upgrade while the tunnel was
// up) gives back what can still go back. The network manager may have done
// anything since: a route is put back only where nothing has taken its
// place, only through a gateway and device that still exist, and with "add",
// never "replace", so that a route the manager owns is never overwritten.

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/pathwarden_exit_status.h"
#include "pathwarden_internal.h"

namespace pathwarden {

namespace {

bool linkExists(const std::string& dev) {
  UniqueFd fd(open(("/sys/class/net/" + dev).c_str(), O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

bool isLinkLocal6(const std::string& address) {
  unsigned char bytes[16];
  return parseAddressOf(AF_INET6, address, bytes) && bytes[0] == 0xfe &&
         (bytes[1] & 0xc0) == 0x80;
}

// Whether the route's next hops are still there: its devices exist, its
// gateways are on the link of their device (not behind another gateway), and
// its next-hop object is defined.
bool canGoBack(int family, const RouteEntry& route) {
  if (!route.nhid.empty()) {
    int status = -1;
    (void)runArgv({"ip", "nexthop", "show", "id", route.nhid}, &status);
    return status == 0;
  }
  for (const NextHop& h : route.hops) {
    if (!h.dev.empty() && !linkExists(h.dev)) {
      return false;
    }
    if (h.via.empty() || h.onlink || h.via_family != family) {
      continue;
    }
    // Asked without the device, since with one the kernel answers for any
    // address; a link-local gateway is only defined on its device.
    std::vector<std::string> command = {"ip", familyFlag(family), "route",
                                        "get", h.via};
    if (family == AF_INET6 && isLinkLocal6(h.via)) {
      command.insert(command.end(), {"oif", h.dev});
    }
    int status = -1;
    const std::string output = runArgv(command, &status);
    if (status != 0 || output.find(" via ") != std::string::npos ||
        output.find(" dev " + h.dev + " ") == std::string::npos) {
      return false;
    }
  }
  return true;
}

// Whether the family has a default of its own again (the network manager
// re-added one), not counting one through the tunnel. A table that cannot
// be read counts as having one: nothing is put back over it.
bool hasOwnDefault(int family) {
  std::vector<RouteEntry> now;
  if (!detectDefaultRoutes(family, &now)) {
    return true;
  }
  for (const RouteEntry& route : now) {
    if (isUplink(route) && !isTunnelRoute(route)) {
      return true;
    }
  }
  return false;
}

void deleteHostRoutes(int family, const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    if (isAddressOf(family, address)) {
      (void)runArgv({"ip", familyFlag(family), "route", "del",
                     address + (family == AF_INET ? "/32" : "/128")},
                    nullptr);
    }
  }
}

}  // namespace

int restoreLegacyRecord(const std::string& server,
                        const SavedRouteState& state) {
  errLine(
      "[helper] the route state was written by an older helper; giving "
      "back its routes in the main table");
  (void)runArgv({"ip", "-4", "route", "del", "default", "dev", kTunName},
                nullptr);
  (void)runArgv({"ip", "-6", "route", "del", "default", "dev", kTunName},
                nullptr);
  std::vector<std::string> resolved4;
  std::vector<std::string> resolved6;
  if (!server.empty()) {
    (void)resolveServerHost(server, resolved4, resolved6);
  }
  deleteHostRoutes(AF_INET, state.server_ipv4);
  deleteHostRoutes(AF_INET6, state.server_ipv6);
  deleteHostRoutes(AF_INET, resolved4);
  deleteHostRoutes(AF_INET6, resolved6);

  int rc = kPathwardenOk;
  for (const auto& [family, routes, failure] :
       {std::make_tuple(AF_INET, &state.routes4, kPathwardenIpv4RestoreFailed),
        std::make_tuple(AF_INET6, &state.routes6,
                        kPathwardenIpv6RestoreFailed)}) {
    if (routes->empty()) {
      continue;
    }
    if (hasOwnDefault(family)) {
      errLine(std::string("[helper] the system has its own ") +
              familyName(family) +
              " default route again; the saved one is not put back");
      continue;
    }
    for (const RouteEntry& route : *routes) {
      const std::string words = formatRoute(family, route);
      if (!canGoBack(family, route)) {
        errLine(std::string("[helper] the saved ") + familyName(family) +
                " default route cannot be put back (its gateway or device "
                "is gone): " +
                words + "; the system's routes are left as they are");
        continue;
      }
      std::vector<std::string> args = {"ip", familyFlag(family), "route",
                                       "add"};
      const std::vector<std::string> route_words = routeWords(family, route);
      args.insert(args.end(), route_words.begin(), route_words.end());
      const std::string command = joinWords(args);
      int status = -1;
      const std::string output = runArgv(args, &status);
      // Already there again (an unreachable default, say): nothing to do.
      if (status == 0 || output.find("File exists") != std::string::npos) {
        continue;
      }
      errLine(status == kCommandTimedOut
                  ? "[helper] command ran out of time: " + command
                  : "[helper] command failed: " + command);
      if (!output.empty()) {
        errLine(output);
      }
      if (rc == kPathwardenOk) {
        rc = failure;
      }
    }
  }
  return rc;
}

}  // namespace pathwarden
