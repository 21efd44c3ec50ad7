#ifndef HELPER_PATHWARDEN_EXIT_STATUS_H_
#define HELPER_PATHWARDEN_EXIT_STATUS_H_

// The exit statuses of the route helper: the one contract between pathwarden
// and the runner, which maps some of them to messages of its own. Both
// programs and the README's table use these names; the numbers never change,
// since an installed helper and a runner of another version must still agree.
enum PathwardenExitStatus : int {
  kPathwardenOk = 0,
  kPathwardenUsage = 1,
  // A default route uses something the helper cannot put back exactly.
  kPathwardenRouteUnsupported = 2,
  kPathwardenNoDefaultRoute = 3,
  kPathwardenServerUnresolved = 4,
  kPathwardenStateNotSaved = 5,
  kPathwardenTunMissing = 6,
  kPathwardenIpv4HostRouteFailed = 7,
  kPathwardenIpv6HostRouteFailed = 8,
  kPathwardenIpv4DefaultFailed = 9,
  kPathwardenRootRequired = 10,
  // The state file on disk is not one the helper trusts; it is left in place
  // for an administrator and nothing is changed.
  kPathwardenStateRefused = 11,
  kPathwardenIpv4RestoreFailed = 12,
  kPathwardenIpv6RestoreFailed = 13,
  // What start would have to save exceeds the state file's bound.
  kPathwardenStateTooLarge = 14,
  // Another helper held the lock for longer than this one waits.
  kPathwardenBusy = 15,
  // The process cannot be made safe to run commands as root.
  kPathwardenUnsafeProcess = 16,
  // Start passed its own deadline (kStartDeadlineMs) and gave back what it
  // had changed, so that a start the runner has abandoned changes nothing.
  kPathwardenTimedOut = 17,
  // Stop gave the routes back, but resolvectl did not answer within its
  // limit, so the links' DNS settings may not all be back; the state file
  // stays for another stop.
  kPathwardenDnsTimedOut = 18,
  // start, stop: the recorded tunnel belongs to another user (only that user
  // or root may change it); nothing was changed.
  kPathwardenNotOwner = 19,
  kPathwardenSetgidFailed = 20,
  kPathwardenSetuidFailed = 21,
  // start, stop: the recorded tunnel belongs to another quon_vpn of the same
  // user that is still running; nothing was changed.
  kPathwardenOtherSession = 22,
  // Not the helper's own: what the runner's child reports when the helper
  // could not be executed, or was not permitted to run.
  kPathwardenNotPermitted = 126,
  kPathwardenNotExecutable = 127,
};

#endif  // HELPER_PATHWARDEN_EXIT_STATUS_H_
