// Keeps a core from outliving the runner, however the runner ends (SIGKILL
// included), and has the network given back when it ends without a word: a
// watcher process (quon_vpn_watch, common/watcher_protocol.h) holds a pidfd of
// the core and one end of a socket pair whose other end only the runner holds.
// The watcher in turn is watched: a thread of the runner polls its end of the
// pair, and a watcher that ends unasked (killed by hand, out of memory) is
// replaced at once; when no new one can be started, the core is ended, so
// that no core can outlive its runner unwatched.
#ifndef RUNNER_ENGINE_CORE_WATCHER_H_
#define RUNNER_ENGINE_CORE_WATCHER_H_

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>

#include "child_process.h"
#include "child_reaper.h"
#include "common/unique_fd.h"

// What the watcher is to do for one core.
struct WatcherOrders {
  // Full path of quon_vpn_watch.
  std::string watcher;
  // The route helper's stop, run when the runner is gone; with an empty
  // |helper| the watcher only ends the core.
  std::string helper;
  std::string host;
  std::string session;
  // The watcher's output and the helper's it runs; /dev/null when empty or
  // not the user's own file.
  std::string log_path;
};

class CoreWatcher {
 public:
  // |log| gets one line for each event the runner should record (a watcher
  // replaced, none possible); it is called from the monitoring thread.
  using LogFn = void (*)(const std::string& line);
  explicit CoreWatcher(LogFn log = nullptr) : log_(log) {}
  ~CoreWatcher();
  CoreWatcher(const CoreWatcher&) = delete;
  CoreWatcher& operator=(const CoreWatcher&) = delete;

  // Starts watching |pid|, a child of this process that has not been reaped.
  // False when no watcher could be made (no pidfd support, no watcher
  // program, no process).
  bool Watch(pid_t pid, const WatcherOrders& orders);
  // The runner has dealt with the core: the watcher ends without touching
  // anything, and is reaped here (at most about half a second).
  void Release();
  // The core was told to end and is no longer tracked, and no routing of its
  // own is left: the watcher ends the core and touches no routing. It passes
  // to |reaper|.
  void Abandon(ChildReaper* reaper);
  // The runner is about to go with its routing perhaps still taken: the
  // watcher acts as if the runner were gone (ends the core, runs the
  // helper's stop). Waited for at most |limit_ms|, then left to end alone.
  void HandOver(int limit_ms);

  bool watching() const;
  pid_t watcher_pid() const;
  // How many watchers have been replaced since Watch.
  int replaced() const;

 private:
  bool SpawnWatcherLocked();
  void Monitor();
  void StopMonitor();
  // Sends |order| (or nothing) and closes the runner's end.
  void SayLocked(const char* order);
  void Log(const std::string& line) const;

  LogFn log_;
  mutable std::mutex mutex_;
  WatcherOrders orders_;
  UniqueFd pidfd_;
  UniqueFd runner_end_;
  UniqueFd wake_;
  ChildProcess watcher_;
  std::thread monitor_;
  int replaced_ = 0;
};

#endif  // RUNNER_ENGINE_CORE_WATCHER_H_
