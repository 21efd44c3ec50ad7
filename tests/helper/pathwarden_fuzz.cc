// libFuzzer target for the two readers of untrusted text in the route helper:
// the state file parser and the parser of the first line of "ip route show
// default". Only the parsers run; no command is ever started.
#define PATHWARDEN_EMBEDDED 1
#include "pathwarden.cc"  // NOLINT(bugprone-suspicious-include)

#include <cstdint>

namespace {

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

void checkRoute(int family, const std::string& text) {
  DefaultRoute route = parseDefaultRouteLine(family, text);
  if (route.valid) {
    check(!route.iface.empty());
    check(route.gateway.empty() || isAddressOf(family, route.gateway));
  }
  // What survives the safety check can be pasted into a command line.
  rejectUnsafeRoute(family, "fuzz", &route);
  if (route.valid) {
    check(isSafeIfaceName(route.iface));
    check(route.iface.find_first_of(";|&$`()<>'\"\\ \n") == std::string::npos);
  }
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

  checkRoute(AF_INET, text);
  checkRoute(AF_INET6, text);
  return 0;
}
