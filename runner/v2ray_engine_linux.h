#ifndef RUNNER_V2RAY_ENGINE_LINUX_H_
#define RUNNER_V2RAY_ENGINE_LINUX_H_

#include <string>
#include <vector>

#include "child_process.h"
#include "child_reaper.h"
#include "core_watcher.h"

// The runner's one tunnel engine: owns the Xray child process, the runtime
// configuration file, the calls of the route helper and the last error and
// last response texts that the user interface reads back.
//
// Each tunnel has a session token, given to the route helper with every call
// for it and kept until the helper's record of it is gone. The helper lets a
// runner change only a tunnel of its own session, or one whose runner has
// gone, so a second window of the app, or another user's, never takes down a
// live tunnel, and a late stop never undoes a newer tunnel.
//
// Not thread-safe: every call must be serialised by the caller (the method
// channel holds g_engine_mutex around each one). Operations that can fail
// return false after recording the reason with SetError().
class V2RayEngineLinux {
 public:
  V2RayEngineLinux();
  // Stops the tunnel (Stop()) before the object goes away.
  ~V2RayEngineLinux();

  V2RayEngineLinux(const V2RayEngineLinux&) = delete;
  V2RayEngineLinux& operator=(const V2RayEngineLinux&) = delete;

  // Operations of the method channel.

  // Brings the tunnel up with |config| (Xray JSON text). |apps_filter_mode|
  // and |selected_apps| are accepted for the interface's sake; the Linux
  // engine routes the whole system.
  bool Start(const std::string& config,
             const std::string& apps_filter_mode,
             const std::vector<std::string>& selected_apps);
  // Restores routing and DNS, then ends Xray.
  bool Stop();
  // True while the Xray child passes the liveness test. A core that died
  // while the tunnel was up is noticed here: the routing is given back first
  // (see TakeDownAfterCoreExit).
  bool IsRunning();
  // Proves that traffic leaves through the tunnel interface.
  bool CheckTunnel();
  // At start-up: when the helper's record names a tunnel whose runner is
  // gone (it was killed and its watcher could not give the network back),
  // has the helper restore the network and says so in the last response.
  // A live tunnel of another runner is left alone without a word. True when
  // the network was restored.
  bool RecoverAbandonedTunnel();
  // The last failure, or when there is none the tail of Xray's own output.
  std::string LastError() const;
  // The text of the last success of Start, Stop or CheckTunnel.
  std::string LastResponse() const;

  // Paths. Evaluated afresh on every call.

  // Directory of the running executable without a trailing slash; "." when
  // /proc/self/exe cannot be read.
  std::string GetExecutableDir() const;
  std::string GetRuntimeConfigPath() const;
  // The installed Xray when it is executable, else the copy next to the
  // runner (returned untested).
  std::string GetXrayPath() const;
  // The installed route helper when it is executable, else the development
  // copy next to the runner (returned untested).
  std::string GetHelperPath() const;
  // The core's watcher beside the runner when it is executable, else the
  // installed one (returned untested).
  std::string GetWatcherPath() const;

  // Building blocks of the operations above.

  // Writes |config| byte for byte to GetRuntimeConfigPath(), mode 0600.
  bool WriteRuntimeConfig(const std::string& config);
  // Records |message| as the last error, empties the last response and logs
  // it as an error line.
  void SetError(const std::string& message);
  // Liveness test: |pid| > 0 and kill(pid, 0) succeeds or fails with EPERM;
  // a child of this process that has exited but not been reaped yet counts
  // as not alive. Never signals a pid of 0 or below.
  bool ProcessExists(int pid) const;
  // Polls for interface |iface| up to |attempts| times, |delay_ms| apart.
  bool WaitForTun(const std::string& iface, int attempts, int delay_ms);
  // Runs the route helper with |action|, |server_host| and the tunnel's
  // session (when it has one), killing it after |timeout_seconds|.
  bool RunRouteHelper(const std::string& action,
                      const std::string& server_host,
                      int timeout_seconds);
  // At most the last 8192 bytes of Xray's runtime error log, even while it
  // grows, starting and ending at a UTF-8 character boundary; empty when the
  // log cannot be opened (or is not the user's own regular file).
  std::string ReadRuntimeError() const;

  // The session token of the current tunnel; empty when the engine has no
  // tunnel record to answer for.
  const std::string& session() const { return session_; }
  // The watcher of the current core, for whoever tests that it is replaced.
  const CoreWatcher& core_watcher() const { return core_watcher_; }

  // Where the tunnel stands.
  enum class TunnelState {
    kNone,      // no core, no routing of this engine's
    kStarting,  // Start has launched a core; the routing is not taken yet
    kUp,        // the core runs and the routing is taken over
    // Stop could not reap the core even after SIGKILL; the next Stop signals
    // and waits for it again.
    kStopFailedCoreKept,
    // The core has ended but the routing could not be given back; the next
    // Stop (or the watcher, should the runner die) asks the helper again.
    kCoreGoneRoutesTaken,
  };
  TunnelState state() const { return state_; }

 private:
  // Appends the engine's prefix, |text| and a newline to the native log;
  // drops the line silently when the log cannot be opened.
  static void Log(const std::string& text);
  // Records |response| as the last response, clears the last error and logs
  // |log_text|.
  void Succeed(const std::string& response, const std::string& log_text);
  // Records |what| as the error, followed by ": " and |output| (the tail of
  // the core's output) when there is any.
  void FailWithCoreOutput(const std::string& what, const std::string& output);

  // Steps of Start, in order. Each returns false after recording why.
  bool AcceptConfiguration(const std::string& config);
  bool TakeSession();
  bool RunPreStartRouteCleanup();
  bool LaunchXray(const std::string& xray_path);
  bool XrayStayedUp();
  bool TunnelAppeared();
  bool RoutingTakenOver();

  // One run of the route helper.
  struct HelperCall {
    // What a failure does: recorded as the error; only logged when the
    // helper refused (a tunnel of another runner or user, nothing changed);
    // or nothing at all, and then the run writes no line of its own either
    // (the clean-up before a start: what it finds is for the start to find
    // out, its exit status is left in last_helper_status_).
    enum class Failure { kRecorded, kRefusalLogged, kSilent };
    std::string action;
    std::string host;
    // Killed (or given up) after this long.
    int limit_ms = 0;
    Failure failure = Failure::kRecorded;
    // Its output goes to the helper log; else it is discarded.
    bool keep_output = true;
    // The core's output log is emptied first: what the core prints from
    // then on belongs to this run.
    bool fresh_core_output = true;
  };
  // Runs the helper with |call|'s action, host and the tunnel's session
  // (when it has one). True when it exited with status 0;
  // last_helper_status_ holds its exit status when it exited.
  bool RunHelper(const HelperCall& call);
  // Records or logs |message| as |call| says; always false.
  bool HelperFailed(const HelperCall& call, const std::string& message);
  // The helper's argument vector for |action|.
  std::vector<std::string> HelperArguments(const std::string& helper_path,
                                           const std::string& action,
                                           const std::string& host) const;
  // Steps of RunHelper.
  static void ClearRuntimeErrorLog();
  // Waits for the helper within |limit_ms|; false when it had to be given
  // up.
  bool HelperEndedInTime(ChildProcess* child, int limit_ms);
  // A stop for the session succeeded: the helper holds no record of it.
  void SessionEnded();
  // A helper past its limit that cannot be ended (set-user-id, now root):
  // logged once and left to the reaper, never waited for here.
  void GiveUpHelper(ChildProcess* child);

  // Steps of CheckTunnel.
  bool TunnelCanBeProbed();
  // False (and the reason recorded) when the kernel would send a plain
  // packet, bound to no interface, to the probe addresses, or to the
  // addresses of |host_name| when set, out of another link than the tunnel.
  bool PlainTrafficThroughTunnel(const char* host_name);
  enum class ProbeOutcome { kReached, kFailed, kAborted };
  ProbeOutcome RunProbe(size_t index, int* last_exit);
  void ReportNoProbeReached(int last_exit);

  // Steps of Stop. The helper gives back the routing of this engine's
  // tunnel, or of one an earlier runner left; false with |*failure| set
  // when it could not.
  bool GiveRoutingBack(std::string* failure);
  // SIGTERM to the core, SIGKILL after its grace; false when it could not
  // be reaped even then.
  bool EndCore();

  // When the core of an active tunnel has ended on its own: reaps it, has
  // the helper give the routing back, and records "xray exited while the
  // tunnel was up: " with its output. True when it did so.
  bool TakeDownAfterCoreExit();
  // The host to give the helper's "stop" when this engine knows none: the
  // first server address in the helper's route state file, left by another
  // runner. Empty (after one stat) when there is no such file.
  std::string ServerFromRouteState() const;
  // Reaps an Xray child that has ended on its own, so that a new one can
  // start.
  void ReapExitedXray();
  // A core told to end that could not be reaped at once: its watcher ends
  // it, the reaper collects it.
  void AbandonCore();
  // Moves to |state|; with no tunnel left the watcher is released.
  void SetState(TunnelState state);

  // The core, from its launch until it has been reaped or handed on.
  ChildProcess core_;
  TunnelState state_ = TunnelState::kNone;
  std::string last_error_;
  std::string last_response_;
  std::string config_json_;
  std::string server_host_;
  std::string session_;
  // The exit status of the last helper run that ended, else -1.
  int last_helper_status_ = -1;
  // Xray processes that a failed Start told to end without waiting for them,
  // and helpers past their limit; destroyed after the destructor's Stop, so
  // none outlives the engine.
  ChildReaper reaper_;
  // Ends the core, and gives the network back, should the runner die
  // without stopping the tunnel.
  CoreWatcher core_watcher_;
};

#endif  // RUNNER_V2RAY_ENGINE_LINUX_H_
