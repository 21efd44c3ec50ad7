// What a set-user-id root program must not take over from its caller, and
// the lock that keeps two helpers from changing routes at the same time.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fd_io.h"
#include "common/pathwarden_exit_status.h"
#include "pathwarden_internal.h"

namespace pathwarden {

// ---------------------------------------------------------------------------
// Process hygiene for a set-user-id program.

// Whether |dir| is a directory only root can change, so that a program found
// there through PATH was put there by root.
static bool isRootOwnedDir(const char* dir) {
  struct stat st;
  return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The children's PATH: the root-owned directories among the fixed ones.
// Empty when there is none; the caller then refuses to run anything.
std::string safePath() {
  std::string path;
  for (const char* dir : kSafePathDirs) {
    if (!isRootOwnedDir(dir)) {
      continue;
    }
    if (!path.empty()) {
      path += ':';
    }
    path += dir;
  }
  return path;
}

// Before anything is written or opened: a caller may start us with 0, 1 or 2
// closed, and the next file opened (the state file) would then take that
// number and receive our messages. Returns false when /dev/null is missing.
bool ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // Deliberately without O_CLOEXEC: it becomes a standard descriptor of
    // every child.
    int opened = open("/dev/null", O_RDWR);
    if (opened != fd) {
      return false;
    }
  }
  return true;
}

// Every descriptor above 2 that the caller handed over is closed on exec, so
// no child sees it. Marking rather than closing leaves descriptors that a
// sanitizer runtime may hold in this process alone. Without close_range the
// open descriptors are listed from /proc: a loop up to the open-files limit
// would miss those the caller opened before lowering that limit.
static bool closeInheritedDescriptorsOnExec() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return true;
  }
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    return false;
  }
  const int own = dirfd(dir);
  bool ok = true;
  for (struct dirent* entry = readdir(dir); entry != nullptr;
       entry = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own) {
      continue;
    }
    int flags = fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0 &&
        fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC) != 0) {
      ok = false;
    }
  }
  (void)closedir(dir);
  return ok;
}

// Raises a soft limit to |wanted| (RLIM_INFINITY compares above every
// number), and the hard limit with it where that is allowed. Where it is not
// (no CAP_SYS_RESOURCE in the bounding set), the soft limit still goes as
// high as the hard one.
void raiseLimit(int resource, rlim_t wanted) {
  struct rlimit lim;
  if (getrlimit(resource, &lim) != 0 || lim.rlim_cur >= wanted) {
    return;
  }
  struct rlimit raised = lim;
  raised.rlim_cur = wanted;
  if (raised.rlim_max < wanted) {
    raised.rlim_max = wanted;
  }
  if (setrlimit(resource, &raised) != 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    (void)setrlimit(resource, &lim);
  }
}

// A handler that does nothing: unlike SIG_IGN, exec resets it to the default
// for the commands we start.
static void ignoreSignal(int /*sig*/) {}

// Limits a caller can lower to make us, or a command we run, die half-way:
// a file-size limit kills the state write, and too few descriptors,
// processes, CPU seconds, stack or address space make a route command fail.
// (The stack limit is raised as the program is loaded.) Core files of root
// processes are not the caller's to ask for.
static void resetResourceLimits() {
  raiseLimit(RLIMIT_FSIZE, RLIM_INFINITY);
  // Should the file-size limit stay (it cannot always be raised), a write
  // past it must fail with an error that the state writer handles, not kill
  // us half-way. Caught rather than ignored, so children start with the
  // default again.
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = ignoreSignal;
  sigemptyset(&sa.sa_mask);
  (void)sigaction(SIGXFSZ, &sa, nullptr);
  raiseLimit(RLIMIT_CPU, RLIM_INFINITY);
  raiseLimit(RLIMIT_AS, RLIM_INFINITY);
  raiseLimit(RLIMIT_DATA, RLIM_INFINITY);
  raiseLimit(RLIMIT_NOFILE, 1024);
  raiseLimit(RLIMIT_NPROC, RLIM_INFINITY);
  const struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
}

// Nice value, OOM score and scheduling policy are the caller's to choose for
// its own processes, not for root's commands: a niced or SCHED_IDLE helper
// can be starved half-way through a route change, and one marked first for
// the OOM killer dies there. Each is put back to what a root shell gets.
static void resetScheduling() {
  (void)setpriority(PRIO_PROCESS, 0, 0);
  struct sched_param param;
  std::memset(&param, 0, sizeof(param));
  (void)sched_setscheduler(0, SCHED_OTHER, &param);
  UniqueFd oom(open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC));
  if (oom.get() >= 0) {
    (void)WriteAll(oom.get(), "0");
  }
}

// An ignored signal stays ignored across exec, so every child would inherit
// the caller's choices (an ignored SIGCHLD even breaks our own waits). Caught
// signals are reset by exec anyway; handlers a sanitizer runtime installed
// are left alone.
static void resetSignalState() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 &&
        current.sa_handler == SIG_IGN) {
      struct sigaction dfl;
      std::memset(&dfl, 0, sizeof(dfl));
      dfl.sa_handler = SIG_DFL;
      sigemptyset(&dfl.sa_mask);
      (void)sigaction(sig, &dfl, nullptr);
    }
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Interval timers survive exec: a caller's alarm would otherwise end the
// helper between taking the old default route away and putting it back.
void clearIntervalTimers() {
  struct itimerval zero;
  std::memset(&zero, 0, sizeof(zero));
  for (int which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
    (void)setitimer(which, &zero, nullptr);
  }
}

// Everything a root process must not take over from an unprivileged caller.
// Returns 0, or the exit status when the process cannot be made safe.
int sanitizeProcess() {
  // The caller's supplementary groups are no business of a root process.
  (void)setgroups(0, nullptr);
  const std::string path = safePath();
  if (path.empty()) {
    errLine(
        "[helper] no root-owned directory for the command search path; "
        "refusing to run commands");
    return kPathwardenUnsafeProcess;
  }
  (void)clearenv();
  (void)setenv("PATH", path.c_str(), 1);
  (void)setenv("LC_ALL", "C", 1);
  (void)umask(022);
  if (chdir("/") != 0) {
    errLine(std::string("[helper] chdir(/) failed: ") + std::strerror(errno));
  }
  if (!closeInheritedDescriptorsOnExec()) {
    errLine(
        "[helper] could not mark inherited descriptors close-on-exec; "
        "refusing to run commands");
    return kPathwardenUnsafeProcess;
  }
  resetResourceLimits();
  resetScheduling();
  resetSignalState();
  return kPathwardenOk;
}

// From here until the helper ends, a Ctrl-C from the terminal, a closed
// output pipe, a hang-up, a polite termination request, job control or a
// timer cannot end it half-way through a route change and leave the network
// broken. The commands it starts get the defaults back (see runArgv).
void shieldSignals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof(sa));
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  for (int sig : kShieldedSignals) {
    (void)sigaction(sig, &sa, nullptr);
  }
}

// ---------------------------------------------------------------------------
// The lock that keeps two helpers from changing routes at the same time.

HelperLock::~HelperLock() {
  if (fd_ >= 0) {
    (void)close(fd_);
  }
}

int HelperLock::acquire(const char* path, int wait_ms) {
  fd_ =
      open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    errLine(std::string("[helper] could not open lock file ") + path + ": " +
            std::strerror(errno));
    return kPathwardenBusy;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errLine(std::string("[helper] refusing lock file ") + path +
            ": not a regular file owned and writable by root alone");
    return kPathwardenBusy;
  }
  struct timespec begin;
  (void)clock_gettime(CLOCK_MONOTONIC, &begin);
  bool told = false;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      return kPathwardenOk;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      errLine(std::string("[helper] could not lock ") + path + ": " +
              std::strerror(errno));
      return kPathwardenBusy;
    }
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    const long waited = (now.tv_sec - begin.tv_sec) * 1000 +
                        (now.tv_nsec - begin.tv_nsec) / 1000000;
    if (waited >= wait_ms) {
      errLine(
          "[helper] another route helper is still running; gave up "
          "after " +
          std::to_string(wait_ms) + " ms");
      return kPathwardenBusy;
    }
    if (!told) {
      errLine("[helper] waiting for another route helper to finish");
      told = true;
    }
    usleep(static_cast<useconds_t>(kLockPollMs) * 1000);
  }
}

}  // namespace pathwarden
