// pathwarden: the set-user-id root helper that sends the system's traffic
// and DNS into the tunnel interface quon_vpn0 ("start") and gives them back
// ("stop"), through a routing table and policy rules of its own, never
// touching the main table, and a packet filter of its own that keeps DNS
// inside the tunnel; "refresh" brings the tunnel's copy of the other links'
// DNS domains up to date while it is up. It is the only privileged part of
// quon_vpn, so everything it takes from its caller (environment, descriptors,
// limits, timers, signal state, scheduling, arguments, and the text it reads
// back from ip and from its own state file) is treated as hostile before any of
// it reaches a root command.
//
// This file holds the three actions as lists of named steps, and the entry.
// The pieces they use live beside it, one concern per file: text.cc (output
// and text), routes.cc (default routes as checked words), dns_seal.cc (the
// DNS filter and the tunnel's domains), commands.cc
// (running ip and resolvectl, resolving the server), tunnel_routing.cc (the
// tunnel's table and rules), legacy_record.cc (an older helper's record),
// owner.cc (who may change a tunnel), state_file.cc (the record start leaves
// for stop) and process.cc (process hygiene and the lock).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/pathwarden_exit_status.h"
#include "pathwarden_internal.h"

namespace pathwarden {
namespace {

// resolvectl asks systemd-resolved over D-Bus. Once one command has not
// answered within its limit, the daemon is taken for hung and not asked
// again in this run: each further command would only wait out its own limit.
bool g_resolved_hung = false;

// Runs a resolvectl command; returns its status as runArgv gives it
// (kCommandTimedOut also for one skipped because resolved hangs).
int runDns(const std::vector<std::string>& args) {
  if (g_resolved_hung) {
    return kCommandTimedOut;
  }
  const int status = runReported(args);
  if (status == kCommandTimedOut) {
    g_resolved_hung = true;
    errLine(
        "[helper] resolvectl did not answer in time; the remaining DNS "
        "steps are skipped");
  }
  return status;
}

// The same for a line of checked words separated by blanks.
[[maybe_unused]] int runDns(const std::string& command) {
  return runDns(splitWords(command));
}

// Start: the steps of "pathwarden start".
//
// The tunnel never touches the main table, which stays the network
// manager's. It gets a table of its own (kTunnelTable) and rules in front of
// main's (see kRuleServer): the server's addresses look up main (and are
// unreachable when main has no route for them), the private-use, link-local
// and multicast ranges look up main (the LAN keeps working), and everything
// else looks up the tunnel's table, whose default is the tunnel, or
// "unreachable" once the tunnel has gone. Main's other routes are the
// network's to give (DHCP option 121, route information options, a public
// range handed out as the LAN) and never carry outside traffic while the
// tunnel is up. Before any of it, a packet filter keeps every unicast DNS
// query inside the tunnel (dns_seal.cc).

// What start found and what it will do.
struct StartPlan {
  // The record saved for stop: who owns the tunnel, the DNS links, the
  // server addresses, and the route that the first eight lines describe.
  SavedRouteState state;
  // The record of an earlier start that was never stopped, if any.
  bool earlier_found = false;
  SavedRouteState earlier;
  // The main table's defaults now, other than a tunnel's.
  std::vector<RouteEntry> present4;
  std::vector<RouteEntry> present6;
  // The families whose outside traffic the tunnel carries: those with a
  // default that carries traffic out now. The other family's outside
  // traffic goes nowhere until stop, whatever default appears meanwhile.
  bool take4 = false;
  bool take6 = false;
  // The tunnel's rules as they are before this start changes them.
  OwnRules rules4;
  OwnRules rules6;
};

// Step: the record of an earlier start, if there is one, and whether the
// caller may change that tunnel. An older helper's record is given back
// first (its defaults return to main), so that what is found below is the
// network's own again; its failures are reported, never fatal, so that no
// old record can keep every later start from working.
int loadEarlier(const TunnelOwner& caller, StartPlan* plan) {
  switch (loadRouteState(kRouteStatePath, &plan->earlier)) {
    case LoadResult::kRefused:
      errLine(std::string("[helper] the route state file ") + kRouteStatePath +
              " was refused; nothing is changed until it has been checked "
              "and removed");
      return kPathwardenStateRefused;
    case LoadResult::kMissing:
      return kPathwardenOk;
    case LoadResult::kFound:
      break;
  }
  const int rc = checkOwner(plan->earlier.owner, caller);
  if (rc != kPathwardenOk) {
    return rc;
  }
  plan->earlier_found = true;
  if (plan->earlier.version < kStateVersion) {
    (void)restoreLegacyRecord(std::string(), plan->earlier);
  } else {
    errLine(
        "[helper] taking over the routing of a start that was never "
        "stopped");
  }
  return kPathwardenOk;
}

// Step: the main table's defaults, which decide the families the tunnel
// carries. A default through quon_vpn0 there is an older helper's, never
// the network's.
int detectRoutes(StartPlan* plan) {
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
  plan->take4 = serverUplink(plan->present4) != nullptr;
  plan->take6 = serverUplink(plan->present6) != nullptr;
  plan->state.ipv4 = legacyRoute(AF_INET, plan->present4);
  plan->state.ipv6 = legacyRoute(AF_INET6, plan->present6);
  if (!plan->take4 && !plan->take6) {
    if (left_open && !plan->earlier_found) {
      errLine(std::string("[helper] default route already points at ") +
              kTunName + " and no route state was saved");
    }
    errLine("[helper] could not detect IPv4 or IPv6 default route");
    return kPathwardenNoDefaultRoute;
  }
  return kPathwardenOk;
}

// Step: the server's addresses.
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
  plan->state.server_ipv4 = ipv4;
  plan->state.server_ipv6 = ipv6;
  return kPathwardenOk;
}

// Step: the DNS links an earlier record names keep their place in the new
// one. Only an older helper switched home links off; its values go back at
// stop. This helper leaves every home link's settings alone (see
// pointDnsAtTunnel).
int keepEarlierDnsLinks(StartPlan* plan) {
  if (plan->earlier_found) {
    plan->state.dns = plan->earlier.dns;
  }
  return kPathwardenOk;
}

// Step: the record goes to disk before anything changes. It is bounded, so
// that stop can always read what start wrote.
int saveState(StartPlan* plan) {
  plan->state.version = kStateVersion;
  const size_t size = formatRouteState(plan->state).size();
  if (size > kRouteStateMaxBytes) {
    errLine("[helper] route state of " + std::to_string(size) +
            " bytes exceeds " + std::to_string(kRouteStateMaxBytes) +
            " bytes (" +
            std::to_string(plan->state.server_ipv4.size() +
                           plan->state.server_ipv6.size()) +
            " server addresses); nothing was changed");
    return kPathwardenStateTooLarge;
  }
  if (!saveRouteState(plan->state, kRouteStatePath)) {
    errLine("[helper] could not save route state");
    return kPathwardenStateNotSaved;
  }
  return kPathwardenOk;
}

bool readOperstate(const std::string& name, std::string* state) {
  UniqueFd fd(open(("/sys/class/net/" + name + "/operstate").c_str(),
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
    (void)runArgv({"ip", "link", "show", name}, &status);
    if (status == 0) {
      status = -1;
      (void)runArgv({"ip", "link", "set", "dev", name, "up"}, &status);
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

// Step: no unicast DNS query leaves by any link but the tunnel (and
// loopback) from here until stop, before routes and DNS move. A start that
// cannot have it gives back what it did (see startRouting).
int sealDns() {
  if (!installSeal()) {
    errLine(
        "[helper] the DNS filter could not be put in place; the tunnel is "
        "not started");
    return kPathwardenSealFailed;
  }
  return kPathwardenOk;
}

// Whether the tunnel's rules go into |family|. IPv4 always (a kernel that
// refuses them fails start); IPv6 unless the kernel has no IPv6 at all, in
// which case nothing of that family can leak either.
bool routesFamily(const StartPlan& plan, int family) {
  return family == AF_INET || plan.rules6.listed || plan.take6;
}

// Step: traffic to the server follows the main table, whatever the network
// manager puts there while the tunnel is up, and goes nowhere when main has
// no way for it. An earlier start's server rules go first.
int pinServerRules(StartPlan* plan) {
  plan->rules4 = listOwnRules(AF_INET);
  plan->rules6 = listOwnRules(AF_INET6);
  for (auto [family, addresses, rules] :
       {std::make_tuple(AF_INET, &plan->state.server_ipv4, &plan->rules4),
        std::make_tuple(AF_INET6, &plan->state.server_ipv6, &plan->rules6)}) {
    const int failure = family == AF_INET ? kPathwardenIpv4HostRouteFailed
                                          : kPathwardenIpv6HostRouteFailed;
    if (!routesFamily(*plan, family)) {
      continue;
    }
    deleteRules(family, kRuleServer, rules->server);
    deleteRules(family, kRuleServerUnreachable, rules->server_unreachable);
    for (const std::string& address : *addresses) {
      if (!isAddressOf(family, address) ||
          !runOk(ruleCommand(family, "add", kRuleServer,
                             {"to", address, "lookup", "main"}),
                 true) ||
          !runOk(ruleCommand(family, "add", kRuleServerUnreachable,
                             {"to", address, "unreachable"}),
                 true)) {
        return failure;
      }
    }
  }
  return kPathwardenOk;
}

// Step: the tunnel's table: its default for a family the tunnel carries,
// and below it an unreachable default, which is all that is left once
// quon_vpn0 has gone (the kernel drops the routes through it).
int fillTunnelTables(const StartPlan& plan) {
  for (auto [family, take, rules] :
       {std::make_tuple(AF_INET, plan.take4, &plan.rules4),
        std::make_tuple(AF_INET6, plan.take6, &plan.rules6)}) {
    if (!routesFamily(plan, family)) {
      continue;
    }
    const std::vector<std::string> tunnel_default = {"default", "dev",
                                                     kTunName};
    if (take && family == AF_INET &&
        !runOk(tunnelTableCommand(family, "replace", tunnel_default), true)) {
      return kPathwardenTunnelRoutingFailed;
    }
    if (take && family == AF_INET6) {
      // A failing IPv6 default through the tunnel is reported and start
      // goes on: the family then goes nowhere, it cannot leak.
      (void)runOk(tunnelTableCommand(family, "replace", tunnel_default), false);
    }
    if (!take && (rules->any() || plan.earlier_found)) {
      (void)runArgv(tunnelTableCommand(family, "del", tunnel_default), nullptr);
    }
    const std::vector<std::string> fallback = {"unreachable", "default",
                                               "metric", kFallbackMetric};
    if (!runOk(tunnelTableCommand(family, "replace", fallback), true)) {
      return kPathwardenTunnelRoutingFailed;
    }
  }
  return kPathwardenOk;
}

// The selectors of the rules at kRuleLocalRanges for |family|. An IPv4
// DHCP client renews its lease by unicast to the network's server, whose
// address may lie in any range: those messages keep going by main, or the
// lease would only be renewed by the broadcasts that come much later (and
// the network would not learn of a moved gateway until then). They carry
// nothing of the user's; DHCPv6 renews by multicast.
std::vector<std::vector<std::string>> localRangeSelectors(int family) {
  std::vector<std::vector<std::string>> selectors;
  if (family == AF_INET) {
    for (const char* range : kLocalRanges4) {
      selectors.push_back({"to", range, "lookup", "main"});
    }
    selectors.push_back({"ipproto", "udp", "dport", "67", "lookup", "main"});
  } else {
    for (const char* range : kLocalRanges6) {
      selectors.push_back({"to", range, "lookup", "main"});
    }
  }
  return selectors;
}

// Step: the rules that send everything but the server and the local ranges
// to the tunnel. Those of an earlier start stay in place when they are all
// there, so that a second start never lets traffic out meanwhile; an older
// helper's single main-without-defaults rule is replaced (until the new
// ones are in, the LAN goes into the tunnel: nothing leaks). The local
// ranges go in first: until the tunnel's rule follows them, traffic goes
// on as it did.
int switchRulesOn(const StartPlan& plan) {
  const std::vector<std::string> table_selector = {"lookup", kTunnelTable};
  for (auto [family, rules] : {std::make_pair(AF_INET, &plan.rules4),
                               std::make_pair(AF_INET6, &plan.rules6)}) {
    if (!routesFamily(plan, family)) {
      continue;
    }
    for (auto [priority, count, selectors] :
         {std::make_tuple(kRuleLocalRanges, rules->local_ranges,
                          localRangeSelectors(family)),
          std::make_tuple(
              kRuleTable, rules->table,
              std::vector<std::vector<std::string>>{table_selector})}) {
      if (count == selectors.size()) {
        continue;
      }
      deleteRules(family, priority, count);
      for (const std::vector<std::string>& selector : selectors) {
        if (!runOk(ruleCommand(family, "add", priority, selector), true)) {
          return kPathwardenTunnelRoutingFailed;
        }
      }
    }
  }
  return kPathwardenOk;
}

// Reads every link's domains from resolved: |others| those of every link but
// the tunnel (checked names, without "~"), |tunnel| the tunnel's words.
// False when resolvectl failed or did not answer in time.
bool readLinkDomains(std::vector<std::string>* others,
                     std::vector<std::string>* tunnel) {
  if (g_resolved_hung) {
    return false;
  }
  int status = -1;
  const std::string output = runArgv({"resolvectl", "domain"}, &status);
  if (status == kCommandTimedOut) {
    g_resolved_hung = true;
    errLine("[helper] command ran out of time: resolvectl domain");
  }
  if (status != 0) {
    return false;
  }
  *others = otherLinksDomains(output, tunnel);
  return true;
}

// The tunnel's domains: "~." and a routing-only copy of every other link's
// domains, so that a name under a domain the network pushed is asked of the
// tunnel as well (the home link's query is rejected by the filter).
int setTunnelDomains(const std::vector<std::string>& others) {
  std::vector<std::string> command = {"resolvectl", "domain", kTunName};
  const std::vector<std::string> words = tunnelDomainWords(others);
  command.insert(command.end(), words.begin(), words.end());
  return runDns(command);
}

// Step: all DNS goes to the tunnel's resolvers. The routing domain "~."
// makes systemd-resolved send every name that no other link claims with a
// longer domain to quon_vpn0 alone: a home link whose DNS default-route flag
// is on (as it is by default) gets none of those queries. A name under a
// home link's own domain is asked of the tunnel too, through the copy of
// that domain. So the home links are not touched, and their flags stay
// whatever their manager makes of them, "automatic" included. (resolved
// gives a link DNS only once it has an address of its own, which the core
// gives quon_vpn0.)
int pointDnsAtTunnel() {
  errLine("[helper] configuring DNS for VPN");
  if (!haveResolvectl()) {
    errLine("[helper] resolvectl not found, DNS configuration skipped");
    return kPathwardenOk;
  }
  int status = -1;
  const std::string addresses =
      runArgv({"ip", "-o", "addr", "show", "dev", kTunName, "scope", "global"},
              &status);
  if (status == 0 && addresses.empty()) {
    errLine(std::string("[helper] ") + kTunName +
            " has no address of its own yet; systemd-resolved sends DNS "
            "through it only once it has one");
  }
  // A command that fails is reported and the next one tried; one that runs
  // out of time ends start through its deadline.
  std::vector<std::string> others;
  std::vector<std::string> tunnel;
  (void)readLinkDomains(&others, &tunnel);
  (void)runDns({"resolvectl", "dns", kTunName, "1.1.1.1", "8.8.8.8"});
  (void)setTunnelDomains(others);
  (void)runDns({"resolvectl", "default-route", kTunName, "yes"});
  (void)runDns(std::vector<std::string>{"resolvectl", "flush-caches"});
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
// step that changes the tunnel's routing; nothing of it changes before the
// record is saved.
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
  plan->state.owner = caller;
  step([&] { return loadEarlier(caller, plan); });
  step([&] { return detectRoutes(plan); });
  step([&] { return resolveServer(server, plan); });
  step([&] { return keepEarlierDnsLinks(plan); });
  step([&] { return saveState(plan); });
  step([&] { return bringTunUp(deadline); });
  step([&] {
    *changed = true;
    return sealDns();
  });
  step([&] { return pinServerRules(plan); });
  step([&] { return fillTunnelTables(*plan); });
  step([&] { return switchRulesOn(*plan); });
  step([&] { return pointDnsAtTunnel(); });
  return rc;
}

// Shared with stop, below.
int restoreNetwork(const std::string& server,
                   const SavedRouteState& state,
                   bool found);
int forgetState();

// Step, once start has run out of time after changing the network: what it
// changed goes back exactly as stop would give it back from the record just
// saved, still under the lock and within kPathwardenUndoLimitMs, so that a
// start the runner has given up on leaves the network as it found it. The
// record is dropped only when everything went back; otherwise it stays for
// stop.
int undoStart(const StartPlan& plan) {
  limitCommands(Deadline::in(kPathwardenUndoLimitMs), -1);
  if (restoreNetwork(std::string(), plan.state, true) == kPathwardenOk) {
    (void)forgetState();
    errLine("[helper] start ran out of time; the network was put back");
  } else {
    errLine(
        "[helper] start ran out of time; the network could not all be put "
        "back, the route state is kept for stop");
  }
  return kPathwardenTimedOut;
}

// Step, once start could not put the DNS filter in place: nothing of this
// start has changed the network yet, so its record goes; an earlier tunnel
// it was taking over is given back as stop would, since that one cannot be
// kept without the filter either.
int undoUnsealed(const StartPlan& plan) {
  if (plan.earlier_found) {
    (void)restoreNetwork(std::string(), plan.state, true);
  }
  (void)forgetState();
  return kPathwardenSealFailed;
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
      (rc = lock.acquire(kLockPath, kPathwardenLockWaitMs)) != 0) {
    return rc;
  }
  StartPlan plan;
  bool changed = false;
  rc = runStartSteps(server, caller, deadline, &plan, &changed);
  // The TUN wait ends at the deadline with its own message, before any
  // change.
  const bool late = rc != kPathwardenTunMissing &&
                    (rc == kPathwardenTimedOut || commandsRanOutOfTime());
  if (!late && rc == kPathwardenSealFailed) {
    return undoUnsealed(plan);
  }
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
  UniqueFd fd(open((std::string("/sys/class/net/") + kTunName).c_str(),
                   O_RDONLY | O_CLOEXEC));
  return fd.get() >= 0;
}

// Step: the record of the last start; without one, stop still cleans up
// what needs none. A refused record is left for an administrator, and
// nothing is changed: going on would give back nothing and call it done.
int loadSavedState(SavedRouteState* state, bool* found) {
  *found = false;
  switch (loadRouteState(kRouteStatePath, state)) {
    case LoadResult::kFound:
      *found = true;
      return kPathwardenOk;
    case LoadResult::kMissing:
      errLine("[helper] no saved state, trying best-effort cleanup");
      return kPathwardenOk;
    case LoadResult::kRefused:
      errLine(std::string("[helper] the route state file ") + kRouteStatePath +
              " was refused and is kept; nothing was restored");
      return kPathwardenStateRefused;
  }
  return kPathwardenStateRefused;
}

// resolvectl answers "Link 3 (eth0): 192.0.2.53 192.0.2.54" for "dns" and
// "domain" of a link: the words after the colon. False when it failed (the
// link is gone, say) or did not answer in time.
bool readLinkList(const char* what, const std::string& iface, bool* empty) {
  if (g_resolved_hung) {
    return false;
  }
  int status = -1;
  const std::string output = runArgv({"resolvectl", what, iface}, &status);
  if (status == kCommandTimedOut) {
    g_resolved_hung = true;
    errLine("[helper] command ran out of time: resolvectl " +
            std::string(what) + " " + iface);
  }
  const size_t colon = output.find("):");
  if (status != 0 || colon == std::string::npos) {
    return false;
  }
  *empty = trim(output.substr(colon + 2)).empty();
  return true;
}

// An older helper switched a home link's flag off and recorded the value
// resolvectl showed. "yes" was most likely resolved's automatic value, which
// no command sets again: "revert" gives it back, but also drops the DNS
// servers and domains someone set on the link. So a link with none of those
// is reverted (nothing is lost, and "automatic" is back); one with servers or
// domains gets an explicit "yes", the value it showed.
void giveLinkFlagBack(const DnsLink& link) {
  bool no_servers = false;
  bool no_domains = false;
  if (link.flag == "yes" && readLinkList("dns", link.iface, &no_servers) &&
      readLinkList("domain", link.iface, &no_domains) && no_servers &&
      no_domains) {
    (void)runDns({"resolvectl", "revert", link.iface});
    return;
  }
  (void)runDns({"resolvectl", "default-route", link.iface, link.flag});
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
    (void)runDns({"resolvectl", "revert", kTunName});
  }
  for (const DnsLink& link : state.dns) {
    giveLinkFlagBack(link);
  }
  (void)runDns(std::vector<std::string>{"resolvectl", "flush-caches"});
  return g_resolved_hung ? kPathwardenDnsTimedOut : kPathwardenOk;
}

// Step: the tunnel's rules and table go, both families, with or without a
// record: the priorities and the table are the helper's alone.
int removeTunnelRouting() {
  for (int family : {AF_INET, AF_INET6}) {
    const OwnRules rules = listOwnRules(family);
    if (rules.listed || family == AF_INET) {
      removeOwnRouting(family, rules);
    }
  }
  return kPathwardenOk;
}

// Step: the record has served; the next stop finds none.
int forgetState() {
  (void)unlink(kRouteStatePath);
  return kPathwardenOk;
}

// Stop's work once the record is known, also start's way back when it runs
// out of time: routes first (ip answers at once, and they matter most), then
// DNS, then the DNS filter. Every step is tried; the routes' failure comes
// first in the status.
int restoreNetwork(const std::string& server,
                   const SavedRouteState& state,
                   bool found) {
  (void)removeTunnelRouting();
  int routes = kPathwardenOk;
  if (found && state.version < kStateVersion) {
    routes = restoreLegacyRecord(server, state);
  }
  const int dns = giveDnsBack(state);
  // The filter goes last: until the links' DNS is back as it was, no query
  // meant for the tunnel's resolvers can leave by the home link.
  const int seal = removeSeal() ? kPathwardenOk : kPathwardenSealFailed;
  return routes != kPathwardenOk ? routes : dns != kPathwardenOk ? dns : seal;
}

// The whole stop, step by step. Only a refused record or a caller who may
// not change the tunnel ends it early; everything else is tried, so that
// stop also cleans up after a start that never ran or stopped half-way. No
// command may take more than kStopCommandLimitMs, so a hung command cannot
// hold the lock for ever.
int stopRouting(const std::string& server, const TunnelOwner& caller) {
  limitCommands(Deadline(), kStopCommandLimitMs);
  HelperLock lock;
  SavedRouteState state;
  bool found = false;
  int rc = kPathwardenOk;
  if ((rc = requireRoot()) != 0 ||
      (rc = lock.acquire(kLockPath, kPathwardenLockWaitMs)) != 0 ||
      (rc = loadSavedState(&state, &found)) != 0 ||
      (rc = checkOwner(state.owner, caller)) != 0) {
    return rc;
  }
  rc = restoreNetwork(server, state, found);
  if (rc == kPathwardenDnsTimedOut) {
    errLine(
        "[helper] routes restored, but resolvectl did not answer in time: "
        "DNS settings may not all be back; the route state is kept for "
        "another stop");
  }
  if (rc == kPathwardenSealFailed) {
    errLine(
        "[helper] routes and DNS restored, but the DNS filter could not be "
        "removed; the route state is kept for another stop");
  }
  if (rc != kPathwardenOk) {
    return rc;
  }
  (void)forgetState();
  outLine("[helper] IPv4/IPv6 routing restored successfully");
  return kPathwardenOk;
}

// ---------------------------------------------------------------------------
// Refresh: "pathwarden refresh", run by the core's watcher whenever resolved's
// per-link settings change while the tunnel is up (a network manager pushes
// a link's domains again). It brings the tunnel's copy of the other links'
// domains up to date and changes nothing else; with no tunnel recorded, or
// no tunnel left, it changes nothing at all. The same callers as for stop
// may run it. It ends within kPathwardenRefreshLimitMs of having the lock,
// so that a stop waiting behind it always gets the lock in time.
int refreshDomains(const TunnelOwner& caller) {
  HelperLock lock;
  SavedRouteState state;
  bool found = false;
  int rc = kPathwardenOk;
  if ((rc = requireRoot()) != 0 ||
      (rc = lock.acquire(kLockPath, kPathwardenLockWaitMs)) != 0) {
    return rc;
  }
  limitCommands(Deadline::in(kPathwardenRefreshLimitMs), -1);
  switch (loadRouteState(kRouteStatePath, &state)) {
    case LoadResult::kFound:
      found = true;
      break;
    case LoadResult::kMissing:
      break;
    case LoadResult::kRefused:
      errLine(std::string("[helper] the route state file ") + kRouteStatePath +
              " was refused; nothing was refreshed");
      return kPathwardenStateRefused;
  }
  if (!found) {
    outLine("[helper] no tunnel recorded; nothing to refresh");
    return kPathwardenOk;
  }
  if ((rc = checkOwner(state.owner, caller)) != 0) {
    return rc;
  }
  if (!tunExists() || !haveResolvectl()) {
    outLine(std::string("[helper] no ") +
            (tunExists() ? "resolvectl" : kTunName) + "; nothing to refresh");
    return kPathwardenOk;
  }
  std::vector<std::string> others;
  std::vector<std::string> tunnel;
  if (!readLinkDomains(&others, &tunnel)) {
    errLine("[helper] the links' DNS domains could not be read");
    return kPathwardenRefreshFailed;
  }
  const std::vector<std::string> wanted = tunnelDomainWords(others);
  if (std::set<std::string>(wanted.begin(), wanted.end()) ==
      std::set<std::string>(tunnel.begin(), tunnel.end())) {
    outLine("[helper] the tunnel's DNS domains are up to date: " +
            joinWords(wanted));
    return kPathwardenOk;
  }
  if (setTunnelDomains(others) != 0) {
    return kPathwardenRefreshFailed;
  }
  (void)runDns("resolvectl flush-caches");
  outLine("[helper] the tunnel's DNS domains are now: " + joinWords(wanted));
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
            << "  " << program << " refresh <server_host_or_ip> [<session>]\n"
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
  const Deadline start_deadline = Deadline::in(kPathwardenStartDeadlineMs);
  // A stack of a few kilobytes would crash us, and then ip and resolvectl;
  // the load-time hook has raised it already, and this keeps it so.
  raiseLimit(RLIMIT_STACK, kStackLimit);
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
  if (action == "refresh") {
    return refreshDomains(caller);
  }
  writeUsage(program);
  return kPathwardenUsage;
}

}  // namespace
}  // namespace pathwarden

// Before any constructor runs, the caller's timers are cleared, so that
// none fires while the C++ runtime starts up, and the stack limit is raised,
// so that a caller's limit of a few kilobytes cannot crash the constructors
// or the first calls of main (a sanitizer's frames are several times larger
// than a plain build's). main does both once more.
static void prepareAtLoad(int /*argc*/, char** /*argv*/, char** /*envp*/) {
  pathwarden::clearIntervalTimers();
  pathwarden::raiseLimit(RLIMIT_STACK, pathwarden::kStackLimit);
}
__attribute__((section(".preinit_array"),
               used)) static void (*const kPrepareAtLoad)(int, char**, char**) =
    prepareAtLoad;

// Only std::bad_alloc can leave the entry point; ending the process is the
// right answer to that, so no handler is installed for it.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  return pathwarden::run(argc, argv);
}
