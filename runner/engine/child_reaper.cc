#include "child_reaper.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "poll_wait.h"

namespace {

// Up to |limit_ms| of non-blocking waits, 10 ms apart; true once reaped (or
// once waitpid no longer knows the id).
bool ReapWithin(pid_t pid, int limit_ms) {
  const auto reaped = [pid] {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno != EINTR);
  };
  return WaitFor(std::chrono::milliseconds(limit_ms),
                 std::chrono::milliseconds(10), reaped) ||
         reaped();
}

}  // namespace

ChildReaper::~ChildReaper() {
  Finish();
}

void ChildReaper::Adopt(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  std::vector<std::unique_ptr<Entry>> finished;
  auto entry = std::make_unique<Entry>();
  entry->pid = pid;
  Entry* raw = entry.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    TakeFinishedLocked(&finished);
    entries_.push_back(std::move(entry));
    try {
      raw->thread = std::thread(&ChildReaper::Watch, this, raw);
    } catch (const std::system_error&) {
      // Out of threads: the entry stays without a watcher. The next Adopt
      // reaps it once it has ended, and Finish ends it, so it is still
      // never left behind and the caller still returns at once.
    }
  }
  for (auto& done : finished) {
    if (done->thread.joinable()) {
      done->thread.join();
    }
  }
}

void ChildReaper::TakeFinishedLocked(
    std::vector<std::unique_ptr<Entry>>* finished) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& entry = **it;
    if (!entry.thread.joinable() && !entry.done) {
      int status = 0;
      const pid_t r = waitpid(entry.pid, &status, WNOHANG);
      const int wait_error = r < 0 ? errno : 0;
      entry.done = r == entry.pid || (r < 0 && wait_error != EINTR);
    }
    if (entry.done) {
      finished->push_back(std::move(*it));
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

void ChildReaper::Watch(Entry* entry) {
  const pid_t pid = entry->pid;
  const auto kill_at =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMs);
  bool killed = false;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    lock.unlock();
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    // Read before anything else can change it.
    const int wait_error = r < 0 ? errno : 0;
    if (r == 0 && !killed && std::chrono::steady_clock::now() >= kill_at) {
      // Its grace is over: a core that ignores SIGTERM must not run on
      // beside the next one.
      (void)kill(pid, SIGKILL);
      killed = true;
    }
    lock.lock();
    if (r == pid || (r < 0 && wait_error != EINTR)) {
      break;
    }
    if (finishing_ ||
        wake_.wait_for(lock, std::chrono::milliseconds(kPollIntervalMs),
                       [this] { return finishing_; })) {
      // The owner is going away: the process had its SIGTERM long ago, so
      // end it now rather than leave it without a parent that waits for it.
      lock.unlock();
      (void)kill(pid, SIGKILL);
      (void)ReapWithin(pid, kFinishLimitMs);
      lock.lock();
      break;
    }
  }
  entry->done = true;
}

void ChildReaper::Finish() {
  std::vector<std::unique_ptr<Entry>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
    all.swap(entries_);
  }
  wake_.notify_all();
  for (auto& entry : all) {
    if (entry->thread.joinable()) {
      entry->thread.join();
    } else if (!entry->done) {
      (void)kill(entry->pid, SIGKILL);
      (void)ReapWithin(entry->pid, kFinishLimitMs);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finishing_ = false;
}

size_t ChildReaper::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& entry : entries_) {
    if (!entry->done) {
      ++n;
    }
  }
  return n;
}
