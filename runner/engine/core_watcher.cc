#include "core_watcher.h"
#include "common/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "bounded_log.h"
#include "common/watcher_protocol.h"
#include "private_file.h"

namespace {

// How long a released watcher gets to end on its own before it is killed.
constexpr int kReleaseLimitMs = 500;
constexpr int kReleaseCadenceMs = 10;

int PidfdOpen(pid_t pid) {
  // The descriptor is close-on-exec.
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

CoreWatcher::~CoreWatcher() {
  Release();
}

bool CoreWatcher::Watch(pid_t pid, const WatcherOrders& orders) {
  Release();
  UniqueFd pidfd(PidfdOpen(pid));
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!pidfd.valid() || !wake.valid()) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    orders_ = orders;
    pidfd_ = std::move(pidfd);
    wake_ = std::move(wake);
    replaced_ = 0;
    if (!SpawnWatcherLocked()) {
      pidfd_.Reset();
      wake_.Reset();
      return false;
    }
  }
  try {
    monitor_ = std::thread(&CoreWatcher::Monitor, this);
  } catch (const std::system_error&) {
    // The core is still watched; only a watcher killed by hand would go
    // unnoticed.
    Log("no thread to watch the core's watcher");
  }
  return true;
}

bool CoreWatcher::SpawnWatcherLocked() {
  int ends[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return false;
  }
  UniqueFd mine(ends[0]);
  const UniqueFd theirs(ends[1]);
  UniqueFd output;
  if (!orders_.log_path.empty()) {
    BoundLog(orders_.log_path.c_str());
    output.Reset(OpenPrivateFile(orders_.log_path.c_str(),
                                 O_WRONLY | O_CREAT | O_APPEND,
                                 kPrivateFileMode, geteuid()));
  }
  if (!output.valid()) {
    output.Reset(open("/dev/null", O_WRONLY | O_CLOEXEC));
  }
  SpawnRequest request;
  request.program = orders_.watcher;
  request.argv = {orders_.watcher};
  if (!orders_.helper.empty()) {
    request.argv.insert(request.argv.end(), {orders_.helper, orders_.host});
    if (!orders_.session.empty()) {
      request.argv.push_back(orders_.session);
    }
  }
  request.output_fd = output.get();
  request.null_input = true;
  request.pass_fds = {{pidfd_.get(), watcher_protocol::kCorePidfd},
                      {theirs.get(), watcher_protocol::kRunnerSocket}};
  // Nothing of the runner's (its display connection, other watchers) stays
  // open for as long as the watcher lives.
  request.close_others = true;
  if (!watcher_.Spawn(request)) {
    return false;
  }
  if (watcher_.pid() <= 0) {
    (void)watcher_.TryReap();  // The watcher program could not be executed.
    return false;
  }
  runner_end_ = std::move(mine);
  return true;
}

void CoreWatcher::Monitor() {
  for (;;) {
    int fd = -1;
    int wake = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fd = runner_end_.get();
      wake = wake_.get();
    }
    // The watcher never writes: anything on the runner's end is its end.
    struct pollfd fds[2] = {{wake, POLLIN, 0}, {fd, POLLIN | POLLRDHUP, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[0].revents != 0) {
      return;
    }
    if (fds[1].revents == 0) {
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const pid_t gone = watcher_.pid();
    if (watcher_.KillAndReapWithin(kReleaseLimitMs) ==
        ChildProcess::Poll::kRunning) {
      (void)watcher_.Release();
    }
    runner_end_.Reset();
    ++replaced_;
    if (SpawnWatcherLocked()) {
      Log("the core's watcher pid=" + std::to_string(gone) +
          " ended unasked; watcher pid=" + std::to_string(watcher_.pid()) +
          " took its place");
      continue;
    }
    // No core may run on unwatched: end it. The engine finds it gone at
    // its next look and gives the routing back.
    Log("the core's watcher pid=" + std::to_string(gone) +
        " ended unasked and none could take its place; ending the core");
    (void)syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0);
    return;
  }
}

void CoreWatcher::StopMonitor() {
  if (!monitor_.joinable()) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t one = 1;
    (void)WriteAll(
        wake_.get(),
        std::string_view(reinterpret_cast<const char*>(&one), sizeof(one)));
  }
  monitor_.join();
}

void CoreWatcher::SayLocked(const char* order) {
  if (runner_end_.valid() && order != nullptr) {
    while (send(runner_end_.get(), order, 1, MSG_NOSIGNAL) < 0 &&
           errno == EINTR) {
    }
  }
  runner_end_.Reset();
}

void CoreWatcher::Release() {
  StopMonitor();
  std::lock_guard<std::mutex> lock(mutex_);
  const char order = watcher_protocol::kRelease;
  SayLocked(&order);
  if (watcher_.owned() &&
      watcher_.PollReap(kReleaseLimitMs, kReleaseCadenceMs) ==
          ChildProcess::Poll::kRunning) {
    (void)watcher_.KillAndReapWithin(kReleaseLimitMs);
  }
  if (watcher_.owned()) {
    // waitpid no longer knows it: never signal the id.
    (void)watcher_.Release();
  }
  pidfd_.Reset();
  wake_.Reset();
}

void CoreWatcher::Abandon(ChildReaper* reaper) {
  StopMonitor();
  std::lock_guard<std::mutex> lock(mutex_);
  const char order = watcher_protocol::kAbandon;
  SayLocked(&order);
  if (watcher_.owned()) {
    reaper->Adopt(watcher_.Release());
  }
  pidfd_.Reset();
  wake_.Reset();
}

void CoreWatcher::HandOver(int limit_ms) {
  StopMonitor();
  std::lock_guard<std::mutex> lock(mutex_);
  SayLocked(nullptr);
  if (watcher_.owned() && watcher_.PollReap(limit_ms, kReleaseCadenceMs) ==
                              ChildProcess::Poll::kRunning) {
    // Still giving the network back: it finishes on its own, and whoever
    // adopts the runner's orphans reaps it.
    (void)watcher_.Release();
  }
  pidfd_.Reset();
  wake_.Reset();
}

bool CoreWatcher::watching() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return watcher_.owned();
}

pid_t CoreWatcher::watcher_pid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return watcher_.pid();
}

int CoreWatcher::replaced() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replaced_;
}

void CoreWatcher::Log(const std::string& line) const {
  if (log_ != nullptr) {
    log_(line);
  }
}
