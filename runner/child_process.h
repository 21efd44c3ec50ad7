// Child processes of the tunnel engine: started with fork and a direct exec,
// waited for only by polling, never left behind as zombies.
#ifndef RUNNER_CHILD_PROCESS_H_
#define RUNNER_CHILD_PROCESS_H_

#include <sys/types.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Where a child's standard output and standard error go. Everything here is
// fixed before the fork, so that the child only opens, duplicates and closes.
struct ChildOutput {
  // File to open in the child; nullptr keeps the runner's own descriptors.
  const char* path = nullptr;
  int flags = 0;
  mode_t mode = 0;
  // A file at a fixed name in a directory that other users share: opened
  // with OpenPrivateFile, so a planted link, FIFO, directory or file of
  // another user counts as a file that cannot be opened.
  bool shared_dir = false;
};

// Opens |path| with |flags| (and |mode| when it creates) so that a link is
// never followed and a FIFO or device never blocks, and accepts it only when
// it is a regular file owned by |owner|; otherwise -1 with errno set (ELOOP,
// ENXIO, EISDIR, EPERM...). O_TRUNC is applied only after the checks, so a
// file of someone else is never emptied. The result is close-on-exec. Only
// async-signal-safe calls: usable between fork and exec.
int OpenPrivateFile(const char* path, int flags, mode_t mode, uid_t owner);

// One forked child, owned until it has been reaped or released. A child that
// is still owned when the object goes away is killed and reaped, so no early
// return of an engine operation can leave a process or a zombie behind.
class ChildProcess {
 public:
  enum class Poll { kEnded, kRunning, kError };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Forks. The child sends its output where |output| says and then calls
  // |exec|, which must do nothing but call an exec function on strings that
  // were prepared before this call; when that returns, the child ends with
  // status 127. The runner has other threads when it forks, so the child may
  // neither allocate nor take a lock. Returns false when fork failed.
  template <typename ExecFn>
  bool Spawn(const ChildOutput& output, const ExecFn& exec) {
    const uid_t owner = geteuid();
    const pid_t pid = fork();
    if (pid < 0) {
      return false;
    }
    if (pid == 0) {
      RedirectOutputInChild(output, owner);
      exec();
      _exit(127);
    }
    pid_ = pid;
    status_ = 0;
    return true;
  }

  pid_t pid() const { return pid_; }
  // True while a child is owned and has not been reaped.
  bool owned() const { return pid_ > 0; }
  // The wait status of the reaped child (valid after Poll::kEnded).
  int status() const { return status_; }

  // One waitpid with WNOHANG. kEnded means the child has been reaped now.
  Poll TryReap();
  // Up to |polls| non-blocking waits, sleeping |interval_ms| after each one
  // that finds the child running, the last one included. Stops at the first
  // kEnded or kError.
  Poll PollReap(int polls, int interval_ms);
  // SIGKILL to the child alone, then a blocking wait for it; nothing when no
  // child is owned. Only for children the runner can always signal.
  void KillAndReap();
  // SIGKILL to the child alone, then waits at most |limit_ms| for it. A
  // set-user-id child that has become root cannot be signalled (EPERM): then
  // it is not waited for at all. kRunning means it is still owned; hand it
  // to a ChildReaper rather than block.
  Poll KillAndReapWithin(int limit_ms);
  // Gives the process up without waiting for it; the caller answers for it
  // from now on. Returns its id (or -1 when none was owned).
  pid_t Release();

 private:
  static void RedirectOutputInChild(const ChildOutput& output, uid_t owner);

  pid_t pid_ = -1;
  int status_ = 0;
};

// Reaps, in the background, children that were told to end but must not be
// waited for by the operation that told them (so that it can return at once).
// Each adopted process gets a thread that polls waitpid without blocking; it
// is the only waiter for that id, so the id cannot be reused while the thread
// may still signal it. A process still alive kGraceMs after its adoption gets
// SIGKILL, the same grace that Stop gives the core, so a core that ignores
// SIGTERM cannot run on beside the next one. Finish(), also run by the
// destructor, kills whatever has not ended yet and joins every thread, so
// nothing outlives the owner; a process it cannot signal (a set-user-id
// helper that became root) is waited for at most kFinishLimitMs and then
// left to end on its own.
class ChildReaper {
 public:
  ChildReaper() = default;
  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // Takes over |pid| (a child of this process that nobody else waits for).
  void Adopt(pid_t pid);
  // Kills (SIGKILL) the adopted processes still alive, reaps them all and
  // joins the threads. Adopt may be called again afterwards.
  void Finish();
  // Number of adopted processes not reaped yet.
  size_t pending() const;

  static constexpr int kPollIntervalMs = 100;
  static constexpr int kGraceMs = 8000;
  static constexpr int kFinishLimitMs = 2000;

 private:
  struct Entry {
    pid_t pid = -1;
    bool done = false;
    std::thread thread;
  };

  void Watch(Entry* entry);
  // Moves the entries whose thread has finished to |finished|, to be joined
  // once the lock is released.
  void TakeFinishedLocked(std::vector<std::unique_ptr<Entry>>* finished);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool finishing_ = false;
  std::vector<std::unique_ptr<Entry>> entries_;
};

// Keeps a child from outliving the runner, however the runner ends (SIGKILL
// included). A parent-death signal cannot do it: it fires when the thread
// that forked ends, and the kernel clears it when the child executes a
// program with file capabilities, which is how the core gets the right to
// create the TUN device. Instead a small watcher process, forked without
// exec, holds a pidfd of the child and one end of a socket pair whose other
// end only the runner holds. End of file there (the runner is gone, or
// Abandon) makes it send SIGTERM, wait kGraceMs for the child and then send
// SIGKILL; a pidfd never reaches a reused id. When the child ends first, the
// watcher ends too.
class Lifeline {
 public:
  Lifeline() = default;
  ~Lifeline();
  Lifeline(const Lifeline&) = delete;
  Lifeline& operator=(const Lifeline&) = delete;

  // Starts watching |pid|, a child of this process that has not been reaped.
  // False when no watcher could be made (no pidfd support, no fork).
  bool Watch(pid_t pid);
  // The runner has dealt with the child: the watcher ends without touching
  // it, and is reaped here (at most about half a second).
  void Release();
  // The child was told to end and is no longer tracked: the watcher ends it
  // as if the runner had gone. The watcher passes to |reaper|.
  void Abandon(ChildReaper* reaper);
  bool watching() const { return watcher_.owned(); }
  pid_t watcher_pid() const { return watcher_.pid(); }

  static constexpr int kGraceMs = ChildReaper::kGraceMs;
  // The watcher's process name.
  static constexpr char kWatcherName[] = "quon_vpn_watch";

 private:
  ChildProcess watcher_;
  int lifeline_ = -1;
};

#endif  // RUNNER_CHILD_PROCESS_H_
