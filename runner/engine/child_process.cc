#include "child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "poll_wait.h"

namespace {

constexpr int kReapCadenceMs = 10;

}  // namespace

ChildProcess::~ChildProcess() {
  // Bounded: a child that cannot be signalled is left to end on its own
  // rather than hold up the operation that dropped it.
  if (owned() && KillAndReapWithin(500) == Poll::kRunning) {
    (void)Release();
  }
}

bool ChildProcess::Spawn(const SpawnRequest& request) {
  pid_t pid = -1;
  const int r = SpawnProcess(request, &pid);
  status_ = 0;
  if (r == 0) {
    pid_ = pid;
    exec_failed_ = false;
    return true;
  }
  if (IsSpawnResourceError(r)) {
    errno = r;
    return false;
  }
  // The process was made and its exec failed (glibc has reaped it): report
  // it as the child that ends with 127.
  pid_ = -1;
  exec_failed_ = true;
  status_ = 127 << 8;
  return true;
}

ChildProcess::Poll ChildProcess::TryReap() {
  if (exec_failed_) {
    exec_failed_ = false;
    return Poll::kEnded;
  }
  if (pid_ <= 0) {
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

ChildProcess::Poll ChildProcess::PollReap(int limit_ms, int cadence_ms) {
  Poll result = Poll::kRunning;
  (void)WaitFor(std::chrono::milliseconds(limit_ms),
                std::chrono::milliseconds(cadence_ms), [this, &result] {
                  result = TryReap();
                  return result != Poll::kRunning;
                });
  return result;
}

void ChildProcess::KillAndReap() {
  if (exec_failed_) {
    exec_failed_ = false;
    return;
  }
  if (pid_ <= 0) {
    return;
  }
  (void)kill(pid_, SIGKILL);
  while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

ChildProcess::Poll ChildProcess::KillAndReapWithin(int limit_ms) {
  if (exec_failed_) {
    return TryReap();
  }
  if (pid_ <= 0) {
    return Poll::kError;
  }
  if (kill(pid_, SIGKILL) != 0) {
    // EPERM: a set-user-id program that has made itself root. It may have
    // ended just now; otherwise it cannot be ended from here.
    return TryReap();
  }
  Poll result = Poll::kRunning;
  const auto reaped = [this, &result] {
    result = TryReap();
    return result != Poll::kRunning;
  };
  (void)(WaitFor(std::chrono::milliseconds(limit_ms),
                 std::chrono::milliseconds(kReapCadenceMs), reaped) ||
         reaped());
  return result;
}

bool ChildProcess::Signal(int sig) const {
  return pid_ > 0 && kill(pid_, sig) == 0;
}

pid_t ChildProcess::Release() {
  const pid_t pid = pid_;
  pid_ = -1;
  exec_failed_ = false;
  return pid;
}
