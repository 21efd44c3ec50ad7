// pathwarden: the set-user-id root helper that moves the system's default
// routes and DNS onto the tunnel interface quon_vpn0 ("start") and gives them
// back ("stop"). It is the only privileged part of quon_vpn, so everything it
// takes from its caller (environment, descriptors, limits, timers, signal
// state, scheduling, arguments, and the text it reads back from ip and from
// its own state file) is treated as hostile before any of it reaches a root
// command.
//
// This file holds the two actions as lists of named steps, and the entry.
// The pieces they use live beside it, one concern per file: text.cc (output
// and text), routes.cc (default routes as checked words), commands.cc
// (running ip and resolvectl, resolving the server), state_file.cc (the
// record start leaves for stop) and process.cc (process hygiene and the
// lock).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pathwarden_exit_status.h"
#include "pathwarden_internal.h"

namespace pathwarden {
namespace {

// resolvectl asks systemd-resolved over D-Bus. Once one command has not
// answered within its limit, the daemon is taken for hung and not asked
// again in this run: each further command would only wait out its own limit.
bool g_resolved_hung = false;

// Runs a resolvectl command line; returns its status as runArgv gives it
// (kCommandTimedOut also for one skipped because resolved hangs).
int runDns(const std::string& command) {
  if (g_resolved_hung) {
    return kCommandTimedOut;
  }
  const int status = runReported(command);
  if (status == kCommandTimedOut) {
    g_resolved_hung = true;
    errLine(
        "[helper] resolvectl did not answer in time; the remaining DNS "
        "steps are skipped");
  }
  return status;
}

// Start: the steps of "pathwarden start".

// What start found and what it will do.
struct StartPlan {
  // The record saved for stop: the routes to put back (merged with the
  // record of an earlier start that was never stopped), the DNS links and
  // the server addresses.
  SavedRouteState state;
  // The default routes in the table now, other than the tunnel's: the ones
  // start takes away.
  std::vector<RouteEntry> present4;
  std::vector<RouteEntry> present6;
  // The families whose default the tunnel takes over: those with a route
  // that carries traffic out (an unreachable or blackhole default alone is
  // left as it is: that family's traffic goes nowhere either way).
  bool take4 = false;
  bool take6 = false;
};

// Appends the addresses of |family| in |from| that |into| lacks; anything
// that is not an address of that family is dropped.
void appendMissing(int family,
                   std::vector<std::string>* into,
                   const std::vector<std::string>& from) {
  for (const std::string& item : from) {
    if (!isAddressOf(family, item)) {
      continue;
    }
    bool present = false;
    for (const std::string& have : *into) {
      present = present || have == item;
    }
    if (!present) {
      into->push_back(item);
    }
  }
}

// Appends the routes of |from| that |into| lacks.
void appendMissingRoutes(int family,
                         std::vector<RouteEntry>* into,
                         const std::vector<RouteEntry>& from) {
  for (const RouteEntry& route : from) {
    bool present = false;
    for (const RouteEntry& have : *into) {
      present =
          present || formatRoute(family, have) == formatRoute(family, route);
    }
    if (!present) {
      into->push_back(route);
    }
  }
}

// Step: read the default routes, and decide what to record. A record left
// by a start that was never stopped holds routes that start took away (the
// defaults may still be on the tunnel, or gone with it); replacing it would
// lose them for good, and recording the tunnel as "the route before the
// tunnel" would make the next stop restore nothing useful. So the earlier
// record is kept and what is in the table now beside the tunnel is added.
int detectRoutes(const TunnelOwner& caller, StartPlan* plan) {
  SavedRouteState earlier;
  const LoadResult earlier_result = loadRouteState(kStatePath, &earlier);
  if (earlier_result == LoadResult::kRefused) {
    errLine(std::string("[helper] the route state file ") + kStatePath +
            " was refused; nothing is changed until it has been checked "
            "and removed");
    return kPathwardenStateRefused;
  }
  if (earlier_result == LoadResult::kFound) {
    const int rc = checkOwner(earlier.owner, caller);
    if (rc != kPathwardenOk) {
      return rc;
    }
  }
  std::vector<RouteEntry> now4;
  std::vector<RouteEntry> now6;
  if (!detectDefaultRoutes(AF_INET, &now4) ||
      !detectDefaultRoutes(AF_INET6, &now6)) {
    return kPathwardenRouteUnsupported;
  }
  bool left_open = false;
  for (auto [now, present] : {std::make_pair(&now4, &plan->present4),
                              std::make_pair(&now6, &plan->present6)}) {
    for (const RouteEntry& route : *now) {
      if (isTunnelRoute(route)) {
        left_open = true;
      } else {
        present->push_back(route);
      }
    }
  }

  SavedRouteState& state = plan->state;
  // The tunnel is the caller's from now on.
  state.owner = caller;
  state.routes4 = plan->present4;
  state.routes6 = plan->present6;
  if (earlier_result == LoadResult::kFound) {
    errLine(left_open
                ? std::string("[helper] default route already points at ") +
                      kTunName + ", keeping the saved route state"
                : std::string("[helper] keeping the route state of a start "
                              "that was never stopped"));
    state.routes4 = earlier.routes4;
    state.routes6 = earlier.routes6;
    appendMissingRoutes(AF_INET, &state.routes4, plan->present4);
    appendMissingRoutes(AF_INET6, &state.routes6, plan->present6);
    state.dns = earlier.dns;
    // The earlier run's host routes are still in place; keep their
    // addresses on record so that stop removes them too.
    state.server_ipv4 = earlier.server_ipv4;
    state.server_ipv6 = earlier.server_ipv6;
  } else if (left_open) {
    errLine(std::string("[helper] default route already points at ") +
            kTunName + " and no route state was saved");
  }

  plan->take4 = serverUplink(state.routes4) != nullptr;
  plan->take6 = serverUplink(state.routes6) != nullptr;
  for (auto [take, routes, present] :
       {std::make_tuple(plan->take4, &state.routes4, &plan->present4),
        std::make_tuple(plan->take6, &state.routes6, &plan->present6)}) {
    if (!take) {
      routes->clear();
      present->clear();
    }
  }
  state.ipv4 = legacyRoute(AF_INET, state.routes4);
  state.ipv6 = legacyRoute(AF_INET6, state.routes6);
  if (!plan->take4 && !plan->take6) {
    errLine("[helper] could not detect IPv4 or IPv6 default route");
    return kPathwardenNoDefaultRoute;
  }
  return kPathwardenOk;
}

// Step: the server's addresses, added to those an earlier run recorded.
int resolveServer(const std::string& server, StartPlan* plan) {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
  switch (resolveServerHost(server, ipv4, ipv6)) {
    case ResolveResult::kResolved:
      break;
    case ResolveResult::kTimedOut:
      return kPathwardenTimedOut;
    case ResolveResult::kFailed:
      errLine("[helper] could not resolve VPN server host: " + server);
      return kPathwardenServerUnresolved;
  }
  outLine("[helper] server host: " + server);
  outLine("[helper] IPv4 default iface: " + plan->state.ipv4.iface +
          " gateway: " + plan->state.ipv4.gateway);
  outLine("[helper] IPv6 default iface: " + plan->state.ipv6.iface +
          " gateway: " + plan->state.ipv6.gateway);
  outLine("[helper] resolved IPv4 count: " + std::to_string(ipv4.size()));
  outLine("[helper] resolved IPv6 count: " + std::to_string(ipv6.size()));
  std::vector<std::string> earlier4 = plan->state.server_ipv4;
  std::vector<std::string> earlier6 = plan->state.server_ipv6;
  plan->state.server_ipv4 = ipv4;
  plan->state.server_ipv6 = ipv6;
  appendMissing(AF_INET, &plan->state.server_ipv4, earlier4);
  appendMissing(AF_INET6, &plan->state.server_ipv6, earlier6);
  return kPathwardenOk;
}

// resolvectl prints "Link 2 (eth0): yes"; anything else counts as yes, the
// value a link has unless someone changed it. False when resolvectl ran out
// of time: the value is then unknown, and start is out of time anyway.
bool readDnsDefaultRoute(const std::string& iface, std::string* flag) {
  int status = -1;
  std::string output = runCommand("resolvectl default-route " + iface, &status);
  if (status == kCommandTimedOut) {
    return false;
  }
  size_t colon = output.rfind(':');
  std::string value = colon == std::string::npos
                          ? std::string()
                          : trim(output.substr(colon + 1));
  *flag = status == 0 && value == "no" ? "no" : "yes";
  return true;
}

// Step: the links whose DNS default-route flag start switches off (those of
// every default route the tunnel takes over), with the value each has now.
int recordDnsLinks(StartPlan* plan) {
  if (!haveResolvectl()) {
    return kPathwardenOk;
  }
  std::vector<DnsLink>& dns = plan->state.dns;
  for (const std::vector<RouteEntry>* present :
       {&plan->present4, &plan->present6}) {
    for (const RouteEntry& route : *present) {
      if (!isUplink(route)) {
        continue;
      }
      for (const NextHop& h : route.hops) {
        bool known = h.dev == "lo" || h.dev == kTunName;
        for (const DnsLink& link : dns) {
          known = known || link.iface == h.dev;
        }
        std::string flag;
        if (known) {
          continue;
        }
        if (!readDnsDefaultRoute(h.dev, &flag)) {
          return kPathwardenTimedOut;
        }
        dns.push_back(DnsLink{h.dev, flag});
      }
    }
  }
  return kPathwardenOk;
}

// Step: the record goes to disk before anything changes. It is bounded, so
// that stop can always read what start wrote.
int saveState(const StartPlan& plan) {
  const size_t size = formatRouteState(plan.state).size();
  if (size > kMaxStateFileSize) {
    errLine("[helper] route state of " + std::to_string(size) +
            " bytes exceeds " + std::to_string(kMaxStateFileSize) + " bytes (" +
            std::to_string(plan.state.server_ipv4.size() +
                           plan.state.server_ipv6.size()) +
            " server addresses); nothing was changed");
    return kPathwardenStateTooLarge;
  }
  if (!saveRouteState(plan.state, kStatePath)) {
    errLine("[helper] could not save route state");
    return kPathwardenStateNotSaved;
  }
  return kPathwardenOk;
}

bool readOperstate(const std::string& name, std::string* state) {
  ScopedFd fd(open(("/sys/class/net/" + name + "/operstate").c_str(),
                   O_RDONLY | O_CLOEXEC));
  char buffer[64];
  ssize_t n = fd.get() < 0 ? -1 : read(fd.get(), buffer, sizeof(buffer));
  if (n < 0) {
    return false;
  }
  *state = trim(std::string(buffer, static_cast<size_t>(n)));
  return true;
}

// Looks for the device every kTunWaitPauseUs until |deadline|.
bool waitForTunUp(const std::string& name, const Deadline& deadline) {
  for (;;) {
    int status = -1;
    (void)runCommand("ip link show " + name, &status);
    if (status == 0) {
      status = -1;
      (void)runCommand("ip link set dev " + name + " up", &status);
    }
    if (status == 0) {
      status = -1;
      std::string state;
      status = readOperstate(name, &state) ? 0 : -1;
      if (status == 0 && (state == "up" || state == "unknown")) {
        return true;
      }
    }
    const long left = deadline.remainingMs();
    if (left == 0) {
      return false;
    }
    usleep(left < 0 || left * 1000 > static_cast<long>(kTunWaitPauseUs)
               ? kTunWaitPauseUs
               : static_cast<useconds_t>(left * 1000));
  }
}

// Step: the tunnel interface must be up before routes point at it. The wait
// ends at start's deadline, with nothing changed yet.
int bringTunUp(const Deadline& deadline) {
  if (!waitForTunUp(kTunName, deadline)) {
    errLine(std::string("[helper] TUN interface ") + kTunName +
            " was not created in time");
    return kPathwardenTunMissing;
  }
  return kPathwardenOk;
}

// Step: traffic to the server keeps the way it had, through the same next
// hops as the family's default route with the lowest metric.
int pinServerRoutes(const StartPlan& plan) {
  for (auto [family, take, addresses, routes] :
       {std::make_tuple(AF_INET, plan.take4, &plan.state.server_ipv4,
                        &plan.state.routes4),
        std::make_tuple(AF_INET6, plan.take6, &plan.state.server_ipv6,
                        &plan.state.routes6)}) {
    const int failure = family == AF_INET ? kPathwardenIpv4HostRouteFailed
                                          : kPathwardenIpv6HostRouteFailed;
    const RouteEntry* uplink = serverUplink(*routes);
    if (!take || uplink == nullptr) {
      continue;
    }
    const std::string path = joinWords(routePath(family, *uplink));
    for (const std::string& address : *addresses) {
      if (!isAddressOf(family, address)) {
        return failure;
      }
      std::string command = std::string("ip ") + familyFlag(family);
      command += " route replace " + address;
      command += family == AF_INET ? "/32 " : "/128 ";
      command += path;
      if (!runOk(command, true)) {
        return failure;
      }
    }
  }
  return kPathwardenOk;
}

// Step: every default route of a family the tunnel takes over goes away, so
// the tunnel's default is the only one, whatever metrics the others had.
int takeOverDefaults(const StartPlan& plan) {
  for (auto [family, take, present] :
       {std::make_tuple(AF_INET, plan.take4, &plan.present4),
        std::make_tuple(AF_INET6, plan.take6, &plan.present6)}) {
    if (!take) {
      continue;
    }
    for (const RouteEntry& route : *present) {
      (void)runOk(std::string("ip ") + familyFlag(family) + " route del " +
                      formatRoute(family, route),
                  false);
    }
    if (family == AF_INET &&
        !runOk(std::string("ip -4 route replace default dev ") + kTunName,
               true)) {
      return kPathwardenIpv4DefaultFailed;
    }
    if (family == AF_INET6) {
      (void)runOk(std::string("ip -6 route replace default dev ") + kTunName +
                      " metric 1",
                  false);
    }
  }
  return kPathwardenOk;
}

// Step: all DNS goes to the tunnel's resolvers.
int pointDnsAtTunnel(const StartPlan& plan) {
  errLine("[helper] configuring DNS for VPN");
  if (!haveResolvectl()) {
    errLine("[helper] resolvectl not found, DNS configuration skipped");
    return kPathwardenOk;
  }
  // A command that fails is reported and the next one tried, as before; one
  // that runs out of time ends start through its deadline.
  (void)runDns(std::string("resolvectl dns ") + kTunName + " 1.1.1.1 8.8.8.8");
  (void)runDns(std::string("resolvectl domain ") + kTunName + " ~.");
  (void)runDns(std::string("resolvectl default-route ") + kTunName + " yes");
  for (const DnsLink& link : plan.state.dns) {
    (void)runDns("resolvectl default-route " + link.iface + " no");
  }
  (void)runDns("resolvectl flush-caches");
  return kPathwardenOk;
}

int requireRoot() {
  if (geteuid() != 0) {
    errLine("[helper] root permission required. Run via pkexec/sudo.");
    return kPathwardenRootRequired;
  }
  return kPathwardenOk;
}

// The steps of start in order; the first that fails gives the status, and
// none begins once |deadline| has passed. |changed| is set before the first
// step that changes the network. Nothing changes before the record is saved.
int runStartSteps(const std::string& server,
                  const TunnelOwner& caller,
                  const Deadline& deadline,
                  StartPlan* plan,
                  bool* changed) {
  int rc = kPathwardenOk;
  auto step = [&](auto&& action) {
    if (rc == kPathwardenOk) {
      rc = deadline.passed() ? kPathwardenTimedOut : action();
    }
  };
  step([&] { return detectRoutes(caller, plan); });
  step([&] { return resolveServer(server, plan); });
  step([&] { return recordDnsLinks(plan); });
  step([&] { return saveState(*plan); });
  step([&] { return bringTunUp(deadline); });
  step([&] {
    *changed = true;
    return pinServerRoutes(*plan);
  });
  step([&] { return takeOverDefaults(*plan); });
  step([&] { return pointDnsAtTunnel(*plan); });
  return rc;
}

// Shared with stop, below.
int restoreNetwork(const std::string& server, const SavedRouteState& state);
int forgetState();

// Step, once start has run out of time after changing the network: what it
// changed goes back exactly as stop would give it back from the record just
// saved, still under the lock and within kUndoLimitMs, so that a start the
// runner has given up on leaves the network as it found it. The record is
// dropped only when everything went back; otherwise it stays for stop.
int undoStart(const StartPlan& plan) {
  limitCommands(Deadline::in(kUndoLimitMs), -1);
  if (restoreNetwork(std::string(), plan.state) == kPathwardenOk) {
    (void)forgetState();
    errLine("[helper] start ran out of time; the network was put back");
  } else {
    errLine(
        "[helper] start ran out of time; the network could not all be put "
        "back, the route state is kept for stop");
  }
  return kPathwardenTimedOut;
}

// The whole start. Every command it runs ends by |deadline|; a start that
// runs out of time gives back what it changed and says so with its own
// status. Any other failure is left to the runner's stop, which reads the
// record.
int startRouting(const std::string& server,
                 const TunnelOwner& caller,
                 const Deadline& deadline) {
  limitCommands(deadline, -1);
  HelperLock lock;
  int rc = kPathwardenOk;
  if ((rc = requireRoot()) != 0 ||
      (rc = lock.acquire(kLockPath, kLockWaitMs)) != 0) {
    return rc;
  }
  StartPlan plan;
  bool changed = false;
  rc = runStartSteps(server, caller, deadline, &plan, &changed);
  // The TUN wait ends at the deadline with its own message, before any
  // change.
  const bool late = rc != kPathwardenTunMissing &&
                    (rc == kPathwardenTimedOut || commandsRanOutOfTime());
  if (!late) {
    if (rc == kPathwardenOk) {
      outLine("[helper] IPv4/IPv6 routing and DNS applied successfully");
    }
    return rc;
  }
  if (!changed) {
    errLine("[helper] start ran out of time; nothing was changed");
    return kPathwardenTimedOut;
  }
  return undoStart(plan);
}

// ---------------------------------------------------------------------------
// Stop: the steps of "pathwarden stop".

bool tunExists() {
  ScopedFd fd(open((std::string("/sys/class/net/") + kTunName).c_str(),
                   O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

// Step: the record of the last start; without one, stop still cleans up
// what needs none. A refused record is left for an administrator, and
// nothing is changed: going on would give back nothing and call it done.
int loadSavedState(SavedRouteState* state) {
  switch (loadRouteState(kStatePath, state)) {
    case LoadResult::kFound:
      return kPathwardenOk;
    case LoadResult::kMissing:
      errLine("[helper] no saved state, trying best-effort cleanup");
      return kPathwardenOk;
    case LoadResult::kRefused:
      errLine(std::string("[helper] the route state file ") + kStatePath +
              " was refused and is kept; nothing was restored");
      return kPathwardenStateRefused;
  }
  return kPathwardenStateRefused;
}

// Step: DNS back to the links as they were. A command that fails is
// reported and the next one tried; when resolved does not answer in time,
// the links' flags may not all be back, and that is the status.
int giveDnsBack(const SavedRouteState& state) {
  errLine("[helper] restoring DNS after VPN");
  if (!haveResolvectl()) {
    errLine("[helper] resolvectl not found, DNS restore skipped");
    return kPathwardenOk;
  }
  if (!tunExists()) {
    errLine(std::string("[helper] DNS revert skipped: ") + kTunName +
            " does not exist");
  } else {
    (void)runDns(std::string("resolvectl revert ") + kTunName);
  }
  for (const DnsLink& link : state.dns) {
    (void)runDns("resolvectl default-route " + link.iface + " " + link.flag);
  }
  (void)runDns("resolvectl flush-caches");
  return g_resolved_hung ? kPathwardenDnsTimedOut : kPathwardenOk;
}

// Step: the tunnel's own defaults go; they may well be gone already.
int removeTunnelDefaults() {
  (void)runCommand(std::string("ip -4 route del default dev ") + kTunName,
                   nullptr);
  (void)runCommand(std::string("ip -6 route del default dev ") + kTunName,
                   nullptr);
  return kPathwardenOk;
}

// Step: the host routes to the server, those recorded and those of the
// server given now, so that they go even without a record.
int removeServerRoutes(const std::string& server,
                       const SavedRouteState& state) {
  std::vector<std::string> resolved4;
  std::vector<std::string> resolved6;
  if (!server.empty()) {
    (void)resolveServerHost(server, resolved4, resolved6);
  }
  auto deleteHostRoutes = [](int family,
                             const std::vector<std::string>& addresses) {
    for (const std::string& address : addresses) {
      if (!isAddressOf(family, address)) {
        continue;
      }
      (void)runCommand(family == AF_INET
                           ? "ip -4 route del " + address + "/32"
                           : "ip -6 route del " + address + "/128",
                       nullptr);
    }
  };
  deleteHostRoutes(AF_INET, state.server_ipv4);
  deleteHostRoutes(AF_INET6, state.server_ipv6);
  deleteHostRoutes(AF_INET, resolved4);
  deleteHostRoutes(AF_INET6, resolved6);
  return kPathwardenOk;
}

// Step: every recorded default route back as it was. All are tried, so that
// one that fails does not keep the others away; the first family that
// failed gives the status.
int restoreDefaults(const SavedRouteState& state) {
  int rc = kPathwardenOk;
  for (auto [family, routes, failure] :
       {std::make_tuple(AF_INET, &state.routes4, kPathwardenIpv4RestoreFailed),
        std::make_tuple(AF_INET6, &state.routes6,
                        kPathwardenIpv6RestoreFailed)}) {
    for (const RouteEntry& route : *routes) {
      if (!runOk(std::string("ip ") + familyFlag(family) + " route replace " +
                     formatRoute(family, route),
                 true) &&
          rc == kPathwardenOk) {
        rc = failure;
      }
    }
  }
  return rc;
}

// Step: the record has served; the next stop finds none.
int forgetState() {
  (void)unlink(kStatePath);
  return kPathwardenOk;
}

// Stop's work once the record is known, also start's way back when it runs
// out of time: routes first (ip answers at once, and they matter most), then
// DNS. Every step is tried; the routes' failure comes first in the status.
int restoreNetwork(const std::string& server, const SavedRouteState& state) {
  (void)removeTunnelDefaults();
  (void)removeServerRoutes(server, state);
  const int routes = restoreDefaults(state);
  const int dns = giveDnsBack(state);
  return routes != kPathwardenOk ? routes : dns;
}

// The whole stop, step by step. Only a refused record ends it early;
// everything else is tried, so that stop also cleans up after a start that
// never ran or stopped half-way. No command may take more than
// kStopCommandLimitMs, so a hung command cannot hold the lock for ever.
int stopRouting(const std::string& server, const TunnelOwner& caller) {
  limitCommands(Deadline(), kStopCommandLimitMs);
  HelperLock lock;
  SavedRouteState state;
  int rc = kPathwardenOk;
  if ((rc = requireRoot()) != 0 ||
      (rc = lock.acquire(kLockPath, kLockWaitMs)) != 0 ||
      (rc = loadSavedState(&state)) != 0 ||
      (rc = checkOwner(state.owner, caller)) != 0) {
    return rc;
  }
  rc = restoreNetwork(server, state);
  if (rc == kPathwardenDnsTimedOut) {
    errLine(
        "[helper] routes restored, but resolvectl did not answer in time: "
        "DNS settings may not all be back; the route state is kept for "
        "another stop");
  }
  if (rc != kPathwardenOk) {
    return rc;
  }
  (void)forgetState();
  outLine("[helper] IPv4/IPv6 routing restored successfully");
  return kPathwardenOk;
}

// ---------------------------------------------------------------------------
// Entry.

void writeIdentity(const char* prefix) {
  std::cerr << prefix << "real uid=" << static_cast<unsigned long>(getuid())
            << " effective uid=" << static_cast<unsigned long>(geteuid())
            << " real gid=" << static_cast<unsigned long>(getgid())
            << " effective gid=" << static_cast<unsigned long>(getegid())
            << '\n'
            << std::flush;
}

void writeUsage(const std::string& program) {
  std::cerr << "Usage:\n"
            << "  " << program << " start <server_host_or_ip> [<session>]\n"
            << "  " << program << " stop <server_host_or_ip> [<session>]\n"
            << std::flush;
}

// Turns an effective root identity into a full one and makes the process
// safe to run commands as root. Returns 0 or the exit status.
int elevate() {
  if (setgid(0) != 0) {
    errLine(std::string("[helper] setgid(0) failed: ") + std::strerror(errno));
    return kPathwardenSetgidFailed;
  }
  if (setuid(0) != 0) {
    errLine(std::string("[helper] setuid(0) failed: ") + std::strerror(errno));
    return kPathwardenSetuidFailed;
  }
  writeIdentity("[helper] after elevation ");
  int rc = sanitizeProcess();
  if (rc == 0) {
    shieldSignals();
  }
  return rc;
}

// The whole program after the C runtime: identity, privilege, arguments,
// and the action. Returns the exit status.
int run(int argc, char** argv) {
  // Before anything else: a timer the caller left running would end us at
  // a moment of its choosing.
  clearIntervalTimers();
  // Start's time is counted from here, the closest to when the runner
  // started its own clock.
  const Deadline start_deadline = Deadline::in(kStartDeadlineMs);
  // A stack of a few kilobytes would crash us, and then the shell and ip, so
  // it is raised before anything else runs (to 8 MiB, the usual default).
  raiseLimit(RLIMIT_STACK, rlim_t{8} * 1024 * 1024);
  if (!ensureStandardDescriptors()) {
    return kPathwardenUnsafeProcess;
  }
  writeIdentity("[helper] ");
  // Who called, before the elevation makes every id 0.
  const TunnelOwner caller_ids = currentCaller(std::string());
  if (geteuid() == 0) {
    int rc = elevate();
    if (rc != 0) {
      return rc;
    }
  }

  // With an empty argument vector argv[0] is null and argv[1] already points
  // into the environment, so the count is checked before any element is read.
  // (Newer kernels pass a single empty argv[0] instead.) A missing or empty
  // program name only changes the usage text.
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
    writeUsage("pathwarden");
    return kPathwardenUsage;
  }
  const std::string program = argv[0][0] != '\0' ? argv[0] : "pathwarden";
  if (argc < 3) {
    writeUsage(program);
    return kPathwardenUsage;
  }
  const std::string action = argv[1];
  const std::string server = argv[2];
  TunnelOwner caller = caller_ids;
  if (argc > 3) {
    caller.session = argv[3];
    if (!isSessionToken(caller.session)) {
      writeUsage(program);
      return kPathwardenUsage;
    }
  }
  if (action == "start") {
    return startRouting(server, caller, start_deadline);
  }
  if (action == "stop") {
    return stopRouting(server, caller);
  }
  writeUsage(program);
  return kPathwardenUsage;
}

}  // namespace
}  // namespace pathwarden

// The caller's timers are cleared before any constructor runs, so that none
// fires while the C++ runtime starts up; main clears them once more.
static void clearTimersAtLoad(int /*argc*/, char** /*argv*/, char** /*envp*/) {
  pathwarden::clearIntervalTimers();
}
__attribute__((section(".preinit_array"),
               used)) static void (*const kClearTimersAtLoad)(int,
                                                              char**,
                                                              char**) =
    clearTimersAtLoad;

// Only std::bad_alloc can leave the entry point; ending the process is the
// right answer to that, so no handler is installed for it.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  return pathwarden::run(argc, argv);
}
