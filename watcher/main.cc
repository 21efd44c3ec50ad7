// quon_vpn_watch: keeps a tunnel's core from outliving its runner and gives
// the network back when the runner dies without a word (SIGKILL, a crash).
// A parent-death signal cannot do it: it fires when the thread that started
// the core ends, and the kernel clears it when the core, which has file
// capabilities, is executed. The runner starts this program beside each
// core (see common/watcher_protocol.h); it holds a pidfd of the core, which
// never reaches a reused id, and one end of a socket pair whose other end only
// the runner holds.
//
// When the runner is gone: SIGTERM to the core, the helper's stop with the
// tunnel's session (output to the helper log, this program's own output), and
// SIGKILL to a core still there after its grace. The session guard means the
// stop can never undo a tunnel that a newer runner has made since.
//
// While the runner lives, the watcher also follows systemd-resolved's search
// domains and has the helper's "refresh" bring the tunnel's copy of the
// other links' DNS domains up to date. resolved writes its per-link files
// into a directory only it may read (/run/systemd/resolve/netif, mode 0700),
// but it also rewrites /run/systemd/resolve/resolv.conf and
// stub-resolv.conf, which every user may read, whenever their content
// changes: the search domains of every link are in them, and those are what
// a network pushes (DHCP, router advertisements). A burst of changes
// (NetworkManager pushes a link's settings about four times when it takes
// the link again) gives one run, or two.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "common/pathwarden_exit_status.h"
#include "common/spawn.h"
#include "common/watcher_protocol.h"
#include "helper_status_text.h"

namespace {

// How often the clean-up looks at the core and the helper.
constexpr int kCleanupCadenceMs = 50;

long long NowMs() {
  timespec ts = {};
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Signal(int pidfd, int sig) {
  (void)syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0);
}

bool Ended(int pidfd, int timeout_ms) {
  struct pollfd ended = {pidfd, POLLIN, 0};
  int r = 0;
  while ((r = poll(&ended, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return r != 0;  // readable, or a pidfd that cannot be polled any more
}

// A run of the helper, with the runner's signals set back to their defaults;
// its output goes where this program's goes (the helper log).
pid_t SpawnHelper(const char* action, char* helper, char* host, char* session) {
  SpawnRequest request;
  request.program = helper;
  request.argv = {helper, action, host};
  if (session != nullptr) {
    request.argv.emplace_back(session);
  }
  pid_t pid = -1;
  return SpawnProcess(request, &pid) == 0 ? pid : -1;
}

pid_t SpawnHelperStop(char* helper, char* host, char* session) {
  return SpawnHelper("stop", helper, host, session);
}

// Where resolved puts the files it rewrites (a new file renamed into place)
// when the search domains of any link change.
constexpr char kResolvedDir[] = "/run/systemd/resolve";
constexpr const char* kResolvedFiles[] = {"resolv.conf", "stub-resolv.conf"};
// A burst of changes is one: the refresh runs once no change has come for
// kRefreshQuietMs, or kRefreshMaxDelayMs after the first, whichever is first.
constexpr int kRefreshQuietMs = 200;
constexpr int kRefreshMaxDelayMs = 1000;
// How often a missing directory (resolved not running yet) is looked for.
constexpr int kRewatchMs = 1000;

// Follows resolved's link files and runs the helper's refresh, one at a
// time, after each burst of changes.
class DomainFollower {
 public:
  DomainFollower(char* helper, char* host, char* session)
      : helper_(helper), host_(host), session_(session) {
    if (helper_ != nullptr) {
      inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
      Rewatch();
    }
  }
  ~DomainFollower() {
    if (inotify_ >= 0) {
      (void)close(inotify_);
    }
    if (child_pidfd_ >= 0) {
      (void)close(child_pidfd_);
    }
  }
  DomainFollower(const DomainFollower&) = delete;
  DomainFollower& operator=(const DomainFollower&) = delete;

  int events_fd() const { return watch_ >= 0 ? inotify_ : -1; }
  int child_fd() const { return child_pidfd_; }

  // How long the main loop may sleep before Tick has work: -1 for ever.
  int TimeoutMs() const {
    if (helper_ == nullptr || inotify_ < 0) {
      return -1;
    }
    const long long now = NowMs();
    long long due = -1;
    if (watch_ < 0) {
      due = last_rewatch_ + kRewatchMs;
    }
    if (pending_ && child_ < 0) {
      const long long run = std::min(last_event_ + kRefreshQuietMs,
                                     first_event_ + kRefreshMaxDelayMs);
      due = due < 0 ? run : std::min(due, run);
    }
    if (due < 0) {
      return -1;
    }
    return due <= now ? 0 : static_cast<int>(due - now);
  }

  // Reads what changed. The tunnel's own domains are routing-only and never
  // in these files, so a refresh does not set off another.
  void OnEvents() {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(inotify_, buffer, sizeof(buffer));
      if (n <= 0) {
        return;
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if ((event->mask & IN_IGNORED) != 0) {
          watch_ = -1;  // The directory went: looked for again.
          continue;
        }
        const std::string name = event->len > 0 ? event->name : "";
        for (const char* file : kResolvedFiles) {
          if (name == file) {
            Changed();
            break;
          }
        }
      }
    }
  }

  // Reaps a finished refresh, starts one that is due, and looks for the
  // directory again while it is missing. |core_ended|: no tunnel to refresh.
  void Tick(bool core_ended) {
    if (helper_ == nullptr) {
      return;
    }
    Reap();
    if (watch_ < 0 && inotify_ >= 0 && NowMs() - last_rewatch_ >= kRewatchMs) {
      Rewatch();
    }
    if (!pending_ || child_ >= 0 || core_ended || TimeoutMs() != 0) {
      return;
    }
    pending_ = false;
    child_ = SpawnHelper("refresh", helper_, host_, session_);
    if (child_ < 0) {
      std::fprintf(stderr,
                   "[watcher] the route helper could not be started to "
                   "refresh the tunnel's DNS domains\n");
      return;
    }
    child_pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, child_, 0));
  }

  // Whether a refresh is running now.
  bool running() const { return child_ >= 0; }

 private:
  void Changed() {
    const long long now = NowMs();
    if (!pending_) {
      first_event_ = now;
    }
    pending_ = true;
    last_event_ = now;
  }

  void Rewatch() {
    last_rewatch_ = NowMs();
    if (inotify_ < 0) {
      return;
    }
    watch_ =
        inotify_add_watch(inotify_, kResolvedDir, IN_CLOSE_WRITE | IN_MOVED_TO);
    if (watch_ >= 0 && missed_) {
      Changed();  // It may have changed while nobody looked.
    }
    missed_ = watch_ < 0;
  }

  void Reap() {
    if (child_ < 0) {
      return;
    }
    int status = 0;
    const pid_t r = waitpid(child_, &status, WNOHANG);
    if (r == 0 || (r < 0 && errno == EINTR)) {
      return;
    }
    child_ = -1;
    if (child_pidfd_ >= 0) {
      (void)close(child_pidfd_);
      child_pidfd_ = -1;
    }
    if (r < 0 || !WIFEXITED(status)) {
      std::fprintf(stderr,
                   "[watcher] the refresh of the tunnel's DNS domains ended "
                   "abnormally\n");
      return;
    }
    const int code = WEXITSTATUS(status);
    if (code == kPathwardenBusy) {
      Changed();  // Another helper held the lock: try again after it.
    }
    if (code != kPathwardenOk) {
      std::fprintf(stderr,
                   "[watcher] refresh of the tunnel's DNS domains: %s\n",
                   HelperFailureMessage(code).c_str());
    }
  }

  char* helper_;
  char* host_;
  char* session_;
  int inotify_ = -1;
  int watch_ = -1;
  bool missed_ = false;
  long long last_rewatch_ = 0;
  bool pending_ = false;
  long long first_event_ = 0;
  long long last_event_ = 0;
  pid_t child_ = -1;
  int child_pidfd_ = -1;
};

// Ends the core and, when |helper| is given, has it give the network back.
// A helper that finds the routing lock taken (a start the runner had begun
// is still running) is asked again until that start must have ended.
int CleanUp(int pidfd,
            bool core_ended,
            char* helper,
            char* host,
            char* session) {
  const long long t0 = NowMs();
  if (!core_ended) {
    Signal(pidfd, SIGTERM);
  }
  bool killed = false;
  pid_t stop = helper != nullptr ? SpawnHelperStop(helper, host, session) : -1;
  if (helper != nullptr && stop < 0) {
    std::fprintf(stderr, "[watcher] the route helper could not be started\n");
  }
  int status = 0;
  for (;;) {
    if (stop > 0 && waitpid(stop, &status, WNOHANG) == stop) {
      stop = -1;
      if (WIFEXITED(status) && WEXITSTATUS(status) == kPathwardenBusy &&
          NowMs() - t0 < kPathwardenBusyRetryLimitMs) {
        stop = SpawnHelperStop(helper, host, session);
      }
    }
    core_ended = core_ended || Ended(pidfd, 0);
    if (!core_ended && !killed && NowMs() - t0 >= watcher_protocol::kGraceMs) {
      Signal(pidfd, SIGKILL);
      killed = true;
    }
    if (stop <= 0 && core_ended) {
      return 0;
    }
    (void)poll(nullptr, 0, kCleanupCadenceMs);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The signals of a closing session or terminal are for the runner, which
  // tells this watcher itself what to do.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) {
    (void)sigaction(sig, &ignore, nullptr);
  }
  char* helper = argc >= 3 ? argv[1] : nullptr;
  char* host = argc >= 3 ? argv[2] : nullptr;
  char* session = argc >= 4 ? argv[3] : nullptr;
  const int pidfd = watcher_protocol::kCorePidfd;
  const int runner = watcher_protocol::kRunnerSocket;
  if (fcntl(pidfd, F_GETFD) < 0 || fcntl(runner, F_GETFD) < 0) {
    std::fprintf(stderr, "[watcher] started without its descriptors\n");
    return 2;
  }
  // The core may end first (the runner then gives the routing back itself);
  // the watcher stays until the runner releases it, for the routing may be
  // taken until then.
  bool core_ended = false;
  DomainFollower follower(helper, host, session);
  for (;;) {
    struct pollfd fds[4] = {{runner, POLLIN, 0},
                            {core_ended ? -1 : pidfd, POLLIN, 0},
                            {follower.events_fd(), POLLIN, 0},
                            {follower.child_fd(), POLLIN, 0}};
    // Without a pidfd for a running refresh, it is looked at every cadence.
    int timeout = follower.TimeoutMs();
    if (follower.running() && follower.child_fd() < 0 &&
        (timeout < 0 || timeout > kCleanupCadenceMs)) {
      timeout = kCleanupCadenceMs;
    }
    if (poll(fds, 4, timeout) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;  // Cannot watch: act as if the runner were gone.
    }
    if (fds[1].revents != 0) {
      core_ended = true;
    }
    if (fds[2].revents != 0) {
      follower.OnEvents();
    }
    follower.Tick(core_ended);
    if (fds[0].revents == 0) {
      continue;
    }
    char order = 0;
    const ssize_t n = recv(runner, &order, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n == 1 && order == watcher_protocol::kRelease) {
      return 0;
    }
    if (n == 1 && order == watcher_protocol::kAbandon) {
      return CleanUp(pidfd, core_ended, nullptr, nullptr, nullptr);
    }
    break;  // End of file: the runner is gone.
  }
  std::fprintf(stderr, "[watcher] quon_vpn is gone; ending its core%s\n",
               helper != nullptr ? " and giving the network back" : "");
  return CleanUp(pidfd, core_ended, helper, host, session);
}
