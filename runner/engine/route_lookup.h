// Asks the kernel where it would send a packet, as `ip route get` does.
#ifndef RUNNER_ROUTE_LOOKUP_H_
#define RUNNER_ROUTE_LOOKUP_H_

#include <string>

struct RouteLookup {
  enum class Result {
    // The kernel sends the packet out of |device|.
    kDevice,
    // No route takes it anywhere (none at all, or an unreachable,
    // blackhole or prohibit route); |error| is the kernel's reason.
    kNoRoute,
    // The question could not be asked; |error| says why.
    kFailed,
  };
  Result result = Result::kFailed;
  std::string device;
  int error = 0;
};

// Where a plain packet to |address| (an IPv4 or IPv6 literal) from this
// process would leave: no source address, no bound interface, no mark,
// this process's user (for rules that select by uid). One netlink
// RTM_GETROUTE request to the kernel, with a time limit of one second; no
// child process.
RouteLookup LookupRoute(const std::string& address);

#endif  // RUNNER_ROUTE_LOOKUP_H_
