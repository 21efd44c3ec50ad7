#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
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

// Up to |limit_ms| of non-blocking waits, 10 ms apart; true once reaped (or
// once waitpid no longer knows the id).
bool ReapWithin(pid_t pid, int limit_ms) {
  for (int waited = 0;; waited += 10) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      return true;
    }
    if (waited >= limit_ms) {
      return false;
    }
    usleep(10 * 1000);
  }
}

int PidfdOpen(pid_t pid) {
  // The descriptor is close-on-exec.
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void PidfdSignal(int pidfd, int sig) {
  (void)syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0);
}

// Closes its descriptor when it goes out of scope.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// |fd| moved above the standard descriptors, which a runner started with
// one of them closed would otherwise hand out and the watcher overwrite.
int AboveStandard(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  (void)close(fd);
  return moved;
}

// Closes every descriptor of this process but |a| and |b| (and the standard
// three). Async-signal-safe.
void CloseAllBut(int a, int b) {
  const unsigned lo = static_cast<unsigned>(std::min(a, b));
  const unsigned hi = static_cast<unsigned>(std::max(a, b));
  if (lo > 3) {
    (void)close_range(3, lo - 1, 0);
  }
  if (hi > lo + 1) {
    (void)close_range(lo + 1, hi - 1, 0);
  }
  (void)close_range(hi + 1, ~0U, 0);
}

// The watcher process of a Lifeline, between fork and _exit: only
// async-signal-safe calls on values made before the fork.
[[noreturn]] void RunLifelineWatcher(int pidfd, int lifeline) {
  // The signals of a closing session or terminal are for the runner, which
  // tells the watcher itself what to do.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) {
    (void)sigaction(sig, &ignore, nullptr);
  }
  // Named apart from the runner it was forked from, for whoever lists the
  // processes.
  (void)prctl(PR_SET_NAME, Lifeline::kWatcherName, 0, 0, 0);
  // Nothing of the runner's (its display connection, other lifelines, its
  // standard input) may stay open for as long as this watcher lives.
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    (void)dup2(null_fd, STDIN_FILENO);
  }
  CloseAllBut(pidfd, lifeline);
  for (;;) {
    struct pollfd fds[2] = {{lifeline, POLLIN, 0}, {pidfd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      _exit(1);
    }
    if (fds[1].revents != 0) {
      _exit(0);  // The child ended first.
    }
    if (fds[0].revents != 0) {
      char byte = 0;
      const ssize_t n = read(lifeline, &byte, 1);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n == 1) {
        _exit(0);  // Released: the runner has dealt with the child.
      }
      break;  // End of file: the runner is gone, or gave the child up.
    }
  }
  PidfdSignal(pidfd, SIGTERM);
  struct pollfd ended = {pidfd, POLLIN, 0};
  int r = 0;
  while ((r = poll(&ended, 1, Lifeline::kGraceMs)) < 0 && errno == EINTR) {
  }
  if (r == 0) {
    PidfdSignal(pidfd, SIGKILL);
  }
  _exit(0);
}

}  // namespace

int OpenPrivateFile(const char* path, int flags, mode_t mode, uid_t owner) {
  const int fd = open(
      path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) {
    return -1;
  }
  struct stat st = {};
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    error = ENXIO;
  } else if (st.st_uid != owner) {
    error = EPERM;
  }
  if (error == 0 && (flags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0) {
    error = errno;
  }
  if (error != 0) {
    (void)close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

ChildProcess::~ChildProcess() {
  // Bounded: a child that cannot be signalled is left to end on its own
  // rather than hold up the operation that dropped it.
  if (owned() && KillAndReapWithin(500) == Poll::kRunning) {
    (void)Release();
  }
}

void ChildProcess::RedirectOutputInChild(const ChildOutput& output,
                                         uid_t owner) {
  // Runs between fork and exec: open, fstat, dup2, fcntl and close only.
  if (output.path == nullptr) {
    return;
  }
  const int fd =
      output.shared_dir
          ? OpenPrivateFile(output.path, output.flags, output.mode, owner)
          : open(output.path, output.flags | O_CLOEXEC, output.mode);
  if (fd < 0) {
    return;
  }
  (void)dup2(fd, STDOUT_FILENO);
  (void)dup2(fd, STDERR_FILENO);
  if (fd != STDOUT_FILENO && fd != STDERR_FILENO) {
    (void)close(fd);
  } else {
    // dup2 onto itself keeps close-on-exec: clear it by hand.
    (void)fcntl(fd, F_SETFD, 0);
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

ChildProcess::Poll ChildProcess::KillAndReapWithin(int limit_ms) {
  if (!owned()) {
    return Poll::kError;
  }
  if (kill(pid_, SIGKILL) != 0) {
    // EPERM: a set-user-id program that has made itself root. It may have
    // ended just now; otherwise it cannot be ended from here.
    return TryReap();
  }
  Poll result = TryReap();
  for (int waited = 0; result == Poll::kRunning && waited < limit_ms;
       waited += 10) {
    usleep(10 * 1000);
    result = TryReap();
  }
  return result;
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

Lifeline::~Lifeline() {
  Release();
}

bool Lifeline::Watch(pid_t pid) {
  Release();
  const OwnedFd pidfd(AboveStandard(PidfdOpen(pid)));
  // A socket rather than a pipe: telling a watcher that has already ended
  // (its child ended first) must not raise SIGPIPE in the runner.
  int ends[2] = {-1, -1};
  if (pidfd.get() < 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return false;
  }
  // The watcher gets its own copies; the runner keeps only the write end.
  const OwnedFd read_end(AboveStandard(ends[0]));
  OwnedFd write_end(AboveStandard(ends[1]));
  if (read_end.get() < 0 || write_end.get() < 0) {
    return false;
  }
  const int watched = pidfd.get();
  const int lifeline = read_end.get();
  if (!watcher_.Spawn(
          ChildOutput{"/dev/null", O_WRONLY, 0, false},
          [watched, lifeline] { RunLifelineWatcher(watched, lifeline); })) {
    return false;
  }
  lifeline_ = write_end.release();
  return true;
}

void Lifeline::Release() {
  if (lifeline_ >= 0) {
    const char byte = 'r';
    while (send(lifeline_, &byte, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
    (void)close(lifeline_);
    lifeline_ = -1;
  }
  if (watcher_.owned() &&
      watcher_.PollReap(50, 10) == ChildProcess::Poll::kRunning) {
    (void)watcher_.KillAndReapWithin(500);
  }
  if (watcher_.owned()) {
    // waitpid no longer knows it: never signal the id.
    (void)watcher_.Release();
  }
}

void Lifeline::Abandon(ChildReaper* reaper) {
  if (lifeline_ >= 0) {
    (void)close(lifeline_);
    lifeline_ = -1;
  }
  if (watcher_.owned()) {
    reaper->Adopt(watcher_.Release());
  }
}
