#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

namespace {

// Blocking wait that only gives up on a real error (a stray EINTR is retried).
void ReapBlocking(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (owned()) {
    KillAndReap();
  }
}

void ChildProcess::RedirectOutputInChild(const ChildOutput& output) {
  // Runs between fork and exec: open, dup2 and close only.
  if (output.path == nullptr) {
    return;
  }
  const int fd = open(output.path, output.flags, output.mode);
  if (fd < 0) {
    return;
  }
  (void)dup2(fd, STDOUT_FILENO);
  (void)dup2(fd, STDERR_FILENO);
  if (fd != STDOUT_FILENO && fd != STDERR_FILENO) {
    (void)close(fd);
  }
}

ChildProcess::Poll ChildProcess::TryReap() {
  if (!owned()) {
    return Poll::kError;
  }
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = status;
    pid_ = -1;
    return Poll::kEnded;
  }
  if (r < 0 && errno != EINTR) {
    return Poll::kError;
  }
  return Poll::kRunning;
}

ChildProcess::Poll ChildProcess::PollReap(int polls, int interval_ms) {
  Poll result = Poll::kRunning;
  for (int i = 0; i < polls; ++i) {
    result = TryReap();
    if (result != Poll::kRunning) {
      return result;
    }
    usleep(static_cast<useconds_t>(interval_ms) * 1000);
  }
  return result;
}

void ChildProcess::KillAndReap() {
  if (!owned()) {
    return;
  }
  (void)kill(pid_, SIGKILL);
  ReapBlocking(pid_, &status_);
  pid_ = -1;
}

pid_t ChildProcess::Release() {
  const pid_t pid = pid_;
  pid_ = -1;
  return pid;
}

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
      entry.done = r == entry.pid || (r < 0 && errno != EINTR);
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
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    lock.unlock();
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    lock.lock();
    if (r == pid || (r < 0 && errno != EINTR)) {
      break;
    }
    if (finishing_ ||
        wake_.wait_for(lock, std::chrono::milliseconds(kPollIntervalMs),
                       [this] { return finishing_; })) {
      // The owner is going away: the process had its SIGTERM long ago, so
      // end it now rather than leave it without a parent that waits for it.
      lock.unlock();
      (void)kill(pid, SIGKILL);
      ReapBlocking(pid, &status);
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
      int status = 0;
      (void)kill(entry->pid, SIGKILL);
      ReapBlocking(entry->pid, &status);
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
