// quon_vpn_watch: keeps a tunnel's core from outliving its runner and gives
// the network back when the runner dies without a word (SIGKILL, a crash).
// A parent-death signal cannot do it: it fires when the thread that started
// the core ends, and the kernel clears it when the core, which has file
// capabilities, is executed. The runner starts this program beside each
// core (see lifeline_protocol.h); it holds a pidfd of the core, which never
// reaches a reused id, and one end of a socket pair whose other end only the
// runner holds.
//
// When the runner is gone: SIGTERM to the core, the helper's stop with the
// tunnel's session (output to the helper log, this program's own output), and
// SIGKILL to a core still there after its grace. The session guard means the
// stop can never undo a tunnel that a newer runner has made since.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "common/spawn.h"
#include "lifeline_protocol.h"
#include "pathwarden_exit_status.h"

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

// The helper's stop, with the runner's signals set back to their defaults;
// its output goes where this program's goes (the helper log).
pid_t SpawnHelperStop(char* helper, char* host, char* session) {
  SpawnRequest request;
  request.program = helper;
  request.argv = {helper, "stop", host};
  if (session != nullptr) {
    request.argv.emplace_back(session);
  }
  pid_t pid = -1;
  return SpawnProcess(request, &pid) == 0 ? pid : -1;
}

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
    if (!core_ended && !killed && NowMs() - t0 >= lifeline::kGraceMs) {
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
  const int pidfd = lifeline::kCorePidfd;
  const int runner = lifeline::kRunnerSocket;
  if (fcntl(pidfd, F_GETFD) < 0 || fcntl(runner, F_GETFD) < 0) {
    std::fprintf(stderr, "[watcher] started without its descriptors\n");
    return 2;
  }
  // The core may end first (the runner then gives the routing back itself);
  // the watcher stays until the runner releases it, for the routing may be
  // taken until then.
  bool core_ended = false;
  for (;;) {
    struct pollfd fds[2] = {{runner, POLLIN, 0},
                            {core_ended ? -1 : pidfd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;  // Cannot watch: act as if the runner were gone.
    }
    if (fds[1].revents != 0) {
      core_ended = true;
    }
    if (fds[0].revents == 0) {
      continue;
    }
    char order = 0;
    const ssize_t n = recv(runner, &order, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n == 1 && order == lifeline::kRelease) {
      return 0;
    }
    if (n == 1 && order == lifeline::kAbandon) {
      return CleanUp(pidfd, core_ended, nullptr, nullptr, nullptr);
    }
    break;  // End of file: the runner is gone.
  }
  std::fprintf(stderr, "[watcher] quon_vpn is gone; ending its core%s\n",
               helper != nullptr ? " and giving the network back" : "");
  return CleanUp(pidfd, core_ended, helper, host, session);
}
