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
  // start: the tunnel's table (its default or its unreachable default, in
  // either family) or one of the rules that send traffic to it could not be
  // set.
  kPathwardenTunnelRoutingFailed = 9,
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
  // Start passed its own deadline (kPathwardenStartDeadlineMs) and gave back
  // what it had changed, so that a start the runner has abandoned changes
  // nothing.
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
  // start: the packet filter that keeps DNS inside the tunnel (nftables)
  // could not be put in place, and what start had done was undone; stop:
  // it could not be removed, and the state file stays for another stop.
  kPathwardenSealFailed = 23,
  // refresh: the tunnel's copy of the other links' DNS domains could not be
  // brought up to date (systemd-resolved did not answer, or refused).
  kPathwardenRefreshFailed = 24,
  // Not the helper's own: what the runner's child reports when the helper
  // could not be executed, or was not permitted to run.
  kPathwardenNotPermitted = 126,
  kPathwardenNotExecutable = 127,
};

// Time limits that the helper and the runner must keep in step. The runner
// cannot end a set-user-id helper that has made itself root, so it waits for
// each helper run only up to a limit and then goes on; the helper keeps its
// own limits below the runner's, so that a run the runner has given up never
// changes the routing later, out of turn.
// How long a helper waits for the routing lock that another one holds.
inline constexpr int kPathwardenLockWaitMs = 2000;
// Start's own deadline, counted from the helper's entry, and the time it may
// then take to put back what it changed.
inline constexpr int kPathwardenStartDeadlineMs = 12000;
inline constexpr int kPathwardenUndoLimitMs = 900;
// The runner's limits for each helper run: the stop before a start, the
// start, the stop that undoes a failed start, and stop.
inline constexpr int kRunnerCleanupLimitMs = 3000;
inline constexpr int kRunnerStartLimitMs = 15000;
inline constexpr int kRunnerUndoLimitMs = 10000;
inline constexpr int kRunnerStopLimitMs = 15000;
// A stop run for a runner that is gone asks again while it finds the lock
// taken, until any start that runner had begun must have ended.
inline constexpr int kPathwardenBusyRetryLimitMs =
    kRunnerStartLimitMs + kPathwardenLockWaitMs;

// A refresh ends by this limit, below the lock wait: a stop that finds the
// lock taken by a refresh always gets it in time.
inline constexpr int kPathwardenRefreshLimitMs = 1500;
static_assert(kPathwardenRefreshLimitMs < kPathwardenLockWaitMs,
              "a stop must never give up on the lock a refresh holds");

static_assert(kPathwardenStartDeadlineMs + kPathwardenUndoLimitMs <
                  kRunnerStartLimitMs,
              "a start the runner has given up must not change routes later");
static_assert(kPathwardenLockWaitMs < kRunnerCleanupLimitMs &&
                  kPathwardenLockWaitMs < kRunnerUndoLimitMs &&
                  kPathwardenLockWaitMs < kRunnerStopLimitMs &&
                  kPathwardenLockWaitMs < kRunnerStartLimitMs,
              "a helper waiting for the lock must give up while its runner "
              "still waits for it");

#endif  // HELPER_PATHWARDEN_EXIT_STATUS_H_
