// libFuzzer target for the readers of untrusted text in the route helper:
// the state file parser, the parser of "ip route show default" and that of
// "resolvectl domain". Only the parsers run; no command is ever started.
#include "pathwarden_internal.h"

#include <sys/socket.h>

#include <cstdint>

using namespace pathwarden;  // NOLINT(google-build-using-namespace)

namespace {

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

void checkRoutes(int family, const std::string& text) {
  std::vector<RouteEntry> routes;
  std::string bad;
  if (!parseDefaultRoutes(family, text, &routes, &bad)) {
    return;
  }
  for (const RouteEntry& route : routes) {
    // What is put back reads back as itself, and can be pasted into a
    // command line: no word of it is anything the shell would act on.
    const std::string line = formatRoute(family, route);
    check(line.find_first_of(";|&$`()<>'\"\\\n\t") == std::string::npos);
    RouteEntry again;
    std::string why;
    check(parseRouteEntry(family, line, &again, &why));
    check(formatRoute(family, again) == line);
    for (const NextHop& h : route.hops) {
      check(h.dev.empty() || (isSafeIfaceName(h.dev) && h.dev[0] != '-'));
    }
  }
  DefaultRoute legacy = legacyRoute(family, routes);
  check(!legacy.valid || isSafeIfaceName(legacy.iface));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Whatever the reader makes of a file, writing that back and reading it
  // again gives the same record: stop restores exactly what start saved.
  SavedRouteState state = parseRouteState(text);
  const std::string once = formatRouteState(state);
  check(formatRouteState(parseRouteState(once)) == once);
  for (const std::string& item : state.server_ipv4) {
    check(!item.empty() && item.find(',') == std::string::npos);
    check(trim(item) == item);
  }

  for (const std::string& item : state.server_ipv6) {
    check(!item.empty() && item.find(',') == std::string::npos);
  }

  checkRoutes(AF_INET, text);
  checkRoutes(AF_INET6, text);

  // Every domain read from resolvectl is one plain word of a root command
  // line: nothing the shell would act on, never an option.
  std::vector<std::string> tunnel;
  for (const std::string& domain : otherLinksDomains(text, &tunnel)) {
    check(isDomainName(domain) && domain[0] != '-' && domain[0] != '~');
    check(domain.find_first_of(";|&$`()<>'\"\\ \n\t") == std::string::npos);
  }
  return 0;
}
