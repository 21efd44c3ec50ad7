// Every wait of the tunnel engine, by name. Each is visible timing (how soon
// a start, a stop or a check answers), and the method channel bounds how
// long the runner's exit waits for an operation in flight by their sum.
#ifndef RUNNER_ENGINE_WAITS_H_
#define RUNNER_ENGINE_WAITS_H_

#include "child_reaper.h"
#include "common/pathwarden_exit_status.h"
#include "common/watcher_protocol.h"

namespace engine_waits {

// How often a helper run, a curl probe and a core after SIGKILL are looked
// at.
inline constexpr int kChildPollMs = 100;
// How long a child may take to be reaped after SIGKILL before it is handed
// to the background reaper instead of holding up the engine.
inline constexpr int kKillReapLimitMs = 200;

// Start: how long the core must stay up before it counts as started, then
// how long (and how often) quon_vpn0 is looked for.
inline constexpr int kCoreSettleMs = 800;
inline constexpr int kTunLimitMs = 10000;
inline constexpr int kTunPollMs = 250;
// After a failed start, how long the core has after SIGTERM before it gets
// SIGKILL.
inline constexpr int kFailedStartCoreGraceMs = 2000;

// Stop: how long the core has to end after SIGTERM before it gets SIGKILL
// (the same in the reaper of a failed start's core and in its watcher), how
// often it is looked at meanwhile, and how long it has after SIGKILL.
inline constexpr int kCoreGraceMs = 8000;
inline constexpr int kCoreGracePollMs = 200;
inline constexpr int kAfterKillLimitMs = 2000;
static_assert(kCoreGraceMs == ChildReaper::kGraceMs &&
                  kCoreGraceMs == watcher_protocol::kGraceMs,
              "every way the core is ended gives it the same grace");

// CheckTunnel: the pause before the first probe, curl's own limits (seconds,
// as curl takes them), the engine's limit for one probe and the pause
// between two probes.
inline constexpr int kProbeSettleMs = 700;
inline constexpr int kProbeConnectLimitS = 3;
inline constexpr int kProbeLimitS = 5;
inline constexpr int kProbeWaitMs = 6500;
inline constexpr int kProbeGapMs = 250;
static_assert(kProbeWaitMs > kProbeLimitS * 1000,
              "curl ends on its own before the engine kills it");

// How long a runner that goes away with its routing still taken waits for
// the watcher it hands the tunnel to.
inline constexpr int kHandOverLimitMs = 2000;

// The longest a start takes: one that fails at its last step, after the
// clean-up before it, the core's settling, the wait for quon_vpn0, the
// helper's start, its stop that undoes it, and the core's end; each of the
// three helper runs and the core may then take a kill's reaping more.
inline constexpr int kLongestStartMs =
    kRunnerCleanupLimitMs + kCoreSettleMs + kTunLimitMs + kRunnerStartLimitMs +
    kRunnerUndoLimitMs + kFailedStartCoreGraceMs + 4 * kKillReapLimitMs;

}  // namespace engine_waits

#endif  // RUNNER_ENGINE_WAITS_H_
