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
};

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
    const pid_t pid = fork();
    if (pid < 0) {
      return false;
    }
    if (pid == 0) {
      RedirectOutputInChild(output);
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
  // child is owned.
  void KillAndReap();
  // Gives the process up without waiting for it; the caller answers for it
  // from now on. Returns its id (or -1 when none was owned).
  pid_t Release();

 private:
  static void RedirectOutputInChild(const ChildOutput& output);

  pid_t pid_ = -1;
  int status_ = 0;
};

// Reaps, in the background, children that were told to end but must not be
// waited for by the operation that told them (so that it can return at once).
// Each adopted process gets a thread that polls waitpid without blocking; it
// is the only waiter for that id, so the id cannot be reused while the thread
// may still signal it. Finish(), also run by the destructor, kills whatever
// has not ended yet and joins every thread, so nothing outlives the owner.
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

#endif  // RUNNER_CHILD_PROCESS_H_
