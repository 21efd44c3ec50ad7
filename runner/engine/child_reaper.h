// Children that were told to end but must not be waited for by the operation
// that told them, so that it can answer at once.
#ifndef RUNNER_CHILD_REAPER_H_
#define RUNNER_CHILD_REAPER_H_

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

#endif  // RUNNER_CHILD_REAPER_H_
