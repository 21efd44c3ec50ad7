#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "common/unique_fd.h"
#include "poll_wait.h"

extern char** environ;

namespace {

constexpr int kReapCadenceMs = 10;

// Errors of posix_spawn that mean no process could be made at all, as a
// failed fork would. Any other error came from the exec.
bool IsResourceError(int error) {
  return error == EAGAIN || error == ENOMEM;
}

// The file actions and attributes of one spawn, released in every case.
class SpawnSetup {
 public:
  SpawnSetup() {
    actions_ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    attr_ok_ = posix_spawnattr_init(&attr_) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok_) {
      (void)posix_spawn_file_actions_destroy(&actions_);
    }
    if (attr_ok_) {
      (void)posix_spawnattr_destroy(&attr_);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool ok() const { return actions_ok_ && attr_ok_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool actions_ok_ = false;
  bool attr_ok_ = false;
};

// The child starts with no signal blocked and every signal at its default
// action: nothing of the runner's signal handling reaches it.
int ResetSignals(posix_spawnattr_t* attr) {
  sigset_t none;
  sigset_t all;
  (void)sigemptyset(&none);
  (void)sigfillset(&all);
  int r = posix_spawnattr_setsigmask(attr, &none);
  if (r == 0) {
    r = posix_spawnattr_setsigdefault(attr, &all);
  }
  if (r == 0) {
    r = posix_spawnattr_setflags(
        attr,
        static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  }
  return r;
}

}  // namespace

ChildProcess::~ChildProcess() {
  // Bounded: a child that cannot be signalled is left to end on its own
  // rather than hold up the operation that dropped it.
  if (owned() && KillAndReapWithin(500) == Poll::kRunning) {
    (void)Release();
  }
}

bool ChildProcess::Spawn(const SpawnRequest& request) {
  SpawnSetup setup;
  if (!setup.ok()) {
    errno = ENOMEM;
    return false;
  }
  // Descriptors that would be overwritten by an earlier duplication (a
  // runner started with a standard descriptor closed hands out 0 to 2) are
  // first moved above every number the child gets.
  int highest = STDERR_FILENO;
  for (const auto& pass : request.pass_fds) {
    highest = std::max(highest, pass.second);
  }
  std::vector<UniqueFd> moved;
  const auto above = [&highest, &moved](int fd) {
    if (fd < 0 || fd > highest) {
      return fd;
    }
    moved.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, highest + 1));
    return moved.back().get();
  };
  const int output = above(request.output_fd);
  std::vector<std::pair<int, int>> passes;
  for (const auto& pass : request.pass_fds) {
    passes.emplace_back(above(pass.first), pass.second);
  }
  for (const UniqueFd& fd : moved) {
    if (!fd.valid()) {
      return false;  // errno from fcntl
    }
  }
  posix_spawn_file_actions_t* actions = setup.actions();
  int r = 0;
  if (request.null_input) {
    r = posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null",
                                         O_RDONLY, 0);
  }
  if (r == 0 && output >= 0) {
    r = posix_spawn_file_actions_adddup2(actions, output, STDOUT_FILENO);
    if (r == 0) {
      r = posix_spawn_file_actions_adddup2(actions, output, STDERR_FILENO);
    }
  }
  for (const auto& pass : passes) {
    if (r == 0) {
      r = posix_spawn_file_actions_adddup2(actions, pass.first, pass.second);
    }
  }
  if (r == 0 && request.close_others) {
    r = posix_spawn_file_actions_addclosefrom_np(actions, highest + 1);
  }
  if (r == 0) {
    r = ResetSignals(setup.attr());
  }
  if (r != 0) {
    errno = r;
    return false;
  }
  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  for (const std::string& arg : request.argv) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  r = request.search_path ? posix_spawnp(&pid, request.program.c_str(), actions,
                                         setup.attr(), argv.data(), environ)
                          : posix_spawn(&pid, request.program.c_str(), actions,
                                        setup.attr(), argv.data(), environ);
  status_ = 0;
  if (r == 0) {
    pid_ = pid;
    exec_failed_ = false;
    return true;
  }
  if (IsResourceError(r)) {
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
