#include "helper_status_text.h"

#include <string>

#include "common/pathwarden_exit_status.h"

namespace {

// Statuses the ownership rules of the helper add to pathwarden_exit_status.h
// (kPathwardenNotOwner, kPathwardenOtherSession); the numbers are fixed.
constexpr int kNotOwnerStatus = 19;
constexpr int kOtherSessionStatus = 22;

struct StatusText {
  int status;
  // A whole message of its own, not to be prefixed.
  bool standalone;
  const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {kPathwardenOk, false, "the routing was changed as asked"},
    {kPathwardenUsage, false,
     "the route helper was called with arguments it does not accept"},
    {kPathwardenRouteUnsupported, false,
     "a default route of this machine uses something the route helper "
     "cannot put back exactly, so nothing was changed"},
    {kPathwardenNoDefaultRoute, false,
     "this machine has no default route that carries traffic out; connect "
     "to a network first"},
    {kPathwardenServerUnresolved, false,
     "the VPN server's name could not be resolved"},
    {kPathwardenStateNotSaved, false,
     "the route helper could not record the current routing, so nothing was "
     "changed"},
    {kPathwardenTunMissing, false,
     "the tunnel interface quon_vpn0 did not come up"},
    {kPathwardenIpv4HostRouteFailed, false,
     "the IPv4 route to the VPN server could not be added"},
    {kPathwardenIpv6HostRouteFailed, false,
     "the IPv6 route to the VPN server could not be added"},
    {kPathwardenTunnelRoutingFailed, false,
     "the IPv4 default route through the tunnel could not be set"},
    {kPathwardenRootRequired, true,
     "Orvex system helper needs root privileges. Run the one-time Linux "
     "installer/setup so the route helper (/opt/quon_vpn/pathwarden, or "
     "/usr/local/libexec/quon_vpn/pathwarden where that exists) is installed "
     "with the required privilege."},
    {kPathwardenStateRefused, false,
     "the route helper does not trust its record of the routing "
     "(/run/quon_vpn_route_state_linux.txt) and changed nothing; an "
     "administrator should look at it and remove it"},
    {kPathwardenIpv4RestoreFailed, false,
     "the saved IPv4 default route could not be put back; stop again to "
     "retry"},
    {kPathwardenIpv6RestoreFailed, false,
     "the saved IPv6 default route could not be put back; stop again to "
     "retry"},
    {kPathwardenStateTooLarge, false,
     "the routing to record is larger than the route helper allows (a "
     "server name with very many addresses?), so nothing was changed"},
    {kPathwardenBusy, false, "another route helper is still running"},
    {kPathwardenUnsafeProcess, false,
     "the route helper could not make itself safe to run commands as root, "
     "so nothing was run"},
    {kPathwardenTimedOut, false,
     "the route helper ran out of time and put the network back as it was"},
    {kPathwardenDnsTimedOut, false,
     "the routes are back, but systemd-resolved did not answer in time, so "
     "DNS settings may not all be back; stop again to finish"},
    {kNotOwnerStatus, false, "the tunnel belongs to another user"},
    {kPathwardenSetgidFailed, false,
     "the route helper could not take root's group"},
    {kPathwardenSetuidFailed, false, "the route helper could not become root"},
    {kOtherSessionStatus, false,
     "the tunnel belongs to another running quon_vpn"},
    {kPathwardenSealFailed, false,
     "the filter that keeps DNS inside the tunnel (nftables) could not be put "
     "in place, so the tunnel was not started (is the nftables package "
     "installed?), or, when stopping, could not be removed; stop again to "
     "finish"},
    {kPathwardenRefreshFailed, false,
     "the tunnel's copy of the network's DNS domains could not be brought up "
     "to date (systemd-resolved did not answer); names under those domains "
     "may not resolve until the network's settings change again"},
    {kPathwardenNotPermitted, true,
     "permission denied while executing Orvex system helper"},
    {kPathwardenNotExecutable, true,
     "Orvex system helper could not be executed. Run the one-time Linux "
     "setup/installer."},
};

const StatusText* Find(int status) {
  for (const StatusText& entry : kStatusTexts) {
    if (entry.status == status) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

std::string HelperStatusText(int status) {
  const StatusText* entry = Find(status);
  if (entry == nullptr) {
    return "the route helper ended with a status it does not define (" +
           std::to_string(status) + ")";
  }
  return entry->text;
}

std::string HelperFailureMessage(int status) {
  const StatusText* entry = Find(status);
  if (entry != nullptr && entry->standalone) {
    return entry->text;
  }
  const std::string words = HelperStatusText(status);
  return entry != nullptr ? "route helper failed: " + words + " (status " +
                                std::to_string(status) + ")"
                          : "route helper failed: " + words;
}

std::vector<int> DefinedHelperStatuses() {
  std::vector<int> statuses;
  for (const StatusText& entry : kStatusTexts) {
    statuses.push_back(entry.status);
  }
  return statuses;
}
