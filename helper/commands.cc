// Running ip and resolvectl, reading the default routes, and resolving the
// VPN server.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/fd_io.h"
#include "common/spawn.h"
#include "pathwarden_internal.h"

namespace pathwarden {

// ---------------------------------------------------------------------------
// Time limits.

long long monotonicMs() {
  struct timespec now;
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Deadline Deadline::in(long ms) {
  Deadline deadline;
  deadline.end_ms_ = monotonicMs() + (ms > 0 ? ms : 0);
  return deadline;
}

long Deadline::remainingMs() const {
  if (!bounded()) {
    return -1;
  }
  const long long left = end_ms_ - monotonicMs();
  return left > 0 ? static_cast<long>(left) : 0;
}

Deadline Deadline::capped(long ms) const {
  if (ms < 0) {
    return *this;
  }
  Deadline own = Deadline::in(ms);
  return !bounded() || own.end_ms_ < end_ms_ ? own : *this;
}

namespace {

// The limits every command of this run gets; none until an action sets them.
struct CommandLimits {
  Deadline deadline;
  long per_command_ms = -1;
  bool ran_out = false;
};
CommandLimits g_limits;

// The time the next command or lookup may take.
Deadline nextCommandDeadline() {
  return g_limits.deadline.capped(g_limits.per_command_ms);
}

}  // namespace

void limitCommands(const Deadline& deadline, long per_command_ms) {
  g_limits = CommandLimits{deadline, per_command_ms, false};
}

bool commandsRanOutOfTime() {
  return g_limits.ran_out;
}

// ---------------------------------------------------------------------------
// Command runner. Commands are started directly, never through a shell: a
// command line here is made of checked words alone (names, numbers,
// addresses), so its words are the argument vector, and nothing in it can
// be taken for shell syntax. That also spares one shell start per command.

namespace {

// A started command: its own process group, so that killing it also kills
// whatever it started in turn (a script's children would otherwise keep the
// output pipe open, and run on as root), and a pidfd to wait on beside the
// pipe where the kernel has them.
class RunningCommand {
 public:
  RunningCommand(pid_t pid, int output_fd)
      : pid_(pid),
        output_(output_fd),
        pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
  RunningCommand(const RunningCommand&) = delete;
  RunningCommand& operator=(const RunningCommand&) = delete;

  // Reads the output until the command has ended, or kills it when
  // |deadline| passes. Returns true with |wait_status| once it ended on its
  // own; false when it was killed (|timed_out| tells whether for lack of
  // time).
  bool finish(const Deadline& deadline,
              std::string* output,
              int* wait_status,
              bool* timed_out);

 private:
  // Reads what is in the pipe now; false at end of file or on an error.
  bool readAvailable(std::string* output);
  bool reapNow(int* wait_status);
  void killAndReap();

  pid_t pid_;
  UniqueFd output_;
  UniqueFd pidfd_;
};

bool RunningCommand::readAvailable(std::string* output) {
  char buffer[512];
  for (;;) {
    const ssize_t n = ReadUpTo(output_.get(), buffer, sizeof(buffer));
    if (n > 0) {
      output->append(buffer, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && errno == EAGAIN;
  }
}

bool RunningCommand::reapNow(int* wait_status) {
  pid_t waited = -1;
  do {
    waited = waitpid(pid_, wait_status, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  return waited == pid_;
}

// The helper is root, so the kill cannot be refused; a process killed with
// SIGKILL is reaped at once (one stuck in the kernel would hold us, but no
// command of ours waits there).
void RunningCommand::killAndReap() {
  (void)kill(-pid_, SIGKILL);
  (void)kill(pid_, SIGKILL);
  int wait_status = 0;
  while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
  }
}

bool RunningCommand::finish(const Deadline& deadline,
                            std::string* output,
                            int* wait_status,
                            bool* timed_out) {
  *timed_out = false;
  bool open = true;
  for (;;) {
    if (deadline.passed()) {
      killAndReap();
      *timed_out = true;
      return false;
    }
    struct pollfd fds[2];
    nfds_t count = 0;
    if (open) {
      fds[count++] = {output_.get(), POLLIN, 0};
    }
    if (pidfd_.get() >= 0) {
      fds[count++] = {pidfd_.get(), POLLIN, 0};
    }
    const long left = deadline.remainingMs();
    // Without a pidfd the end of a command that closed its output is only
    // seen by asking, every millisecond.
    const int timeout =
        count == 0 ? 1
                   : (left < 0 ? -1 : static_cast<int>(left > 0 ? left : 1));
    const int ready = count == 0 ? 0 : poll(fds, count, timeout);
    if (count == 0) {
      usleep(1000);
    }
    if (ready < 0 && errno != EINTR) {
      killAndReap();
      return false;
    }
    if (open && ready > 0 && fds[0].revents != 0) {
      open = readAvailable(output);
    }
    if ((pidfd_.get() < 0 || (ready > 0 && fds[count - 1].revents != 0)) &&
        reapNow(wait_status)) {
      // Whatever the command wrote before it ended is in the pipe; a child
      // it left behind may hold the pipe open, so no end of file is awaited.
      (void)readAvailable(output);
      return true;
    }
  }
}

}  // namespace

// Runs |argv| (the program found through PATH) with its standard output and
// standard error on one pipe, and with the signals this process ignores at
// their defaults and no signal blocked, as from a clean shell; it is killed
// when its time under limitCommands is up. Returns the trimmed output;
// |status| gets the exit code, kCommandTimedOut when its time was up, or -1
// when the program could not be started or was ended by a signal.
std::string runArgv(const std::vector<std::string>& args, int* status) {
  if (status != nullptr) {
    *status = -1;
  }
  if (args.empty()) {
    return std::string();
  }
  const Deadline deadline = nextCommandDeadline();
  if (deadline.passed()) {
    g_limits.ran_out = true;
    if (status != nullptr) {
      *status = kCommandTimedOut;
    }
    return std::string();
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    return std::string();
  }
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  // The child's end blocks as usual; only our end is polled.
  if (fcntl(write_end.get(), F_SETFL, 0) != 0) {
    return std::string();
  }

  // Its own process group, so that a kill also ends whatever it started.
  SpawnRequest request;
  request.program = args.front();
  request.argv = args;
  request.search_path = true;
  request.output_fd = write_end.get();
  request.own_process_group = true;
  pid_t pid = -1;
  const int rc = SpawnProcess(request, &pid);
  (void)write_end.Close();
  if (rc != 0) {
    return std::string();
  }

  std::string output;
  int wait_status = 0;
  bool timed_out = false;
  RunningCommand command(pid, read_end.Release());
  const bool ended =
      command.finish(deadline, &output, &wait_status, &timed_out);
  if (timed_out) {
    g_limits.ran_out = true;
  }
  if (status != nullptr) {
    if (timed_out) {
      *status = kCommandTimedOut;
    } else if (ended && WIFEXITED(wait_status)) {
      *status = WEXITSTATUS(wait_status);
    }
  }
  return trim(output);
}

// |command| is a line of checked words separated by blanks.
std::string runCommand(const std::string& command, int* status) {
  return runArgv(splitWords(command), status);
}

int runReported(const std::vector<std::string>& args) {
  int status = -1;
  std::string output = runArgv(args, &status);
  if (status == 0) {
    return status;
  }
  // A report names the command as a root shell would take it: its words
  // are checked, so they need no quoting.
  const std::string command = joinWords(args);
  if (status == kCommandTimedOut) {
    errLine("[helper] command ran out of time: " + command);
    return status;
  }
  errLine("[helper] command failed: " + command);
  if (!output.empty()) {
    errLine(output);
  }
  return status;
}

int runReported(const std::string& command) {
  return runReported(splitWords(command));
}

bool runOk(const std::vector<std::string>& args, bool required) {
  return runReported(args) == 0 || !required;
}

bool runOk(const std::string& command, bool required) {
  return runOk(splitWords(command), required);
}

// Whether |name| is found through PATH (what "command -v" would say).
bool haveProgram(const char* name) {
  const char* path = getenv("PATH");
  for (const std::string& dir : splitColon(path != nullptr ? path : "")) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

// Looked up once per run.
bool haveResolvectl() {
  static const bool found = haveProgram("resolvectl");
  return found;
}

// ---------------------------------------------------------------------------
// Default routes and server addresses.

// Reads every default route of |family| from ip. Returns false when one of
// them cannot be put back exactly (reported here), or when ip ran out of
// time (which the caller reports, as the run's deadline tells).
bool detectDefaultRoutes(int family, std::vector<RouteEntry>* routes) {
  int status = -1;
  std::string output =
      runArgv({"ip", familyFlag(family), "route", "show", "default"}, &status);
  if (status == kCommandTimedOut) {
    return false;
  }
  if (status != 0) {
    return true;
  }
  std::string bad;
  if (!parseDefaultRoutes(family, output, routes, &bad)) {
    errLine(std::string("[helper] unsupported ") + familyName(family) +
            " default route: " + bad);
    return false;
  }
  return true;
}

namespace {

// The lookup runs on a thread of its own, so that a resolver that does not
// answer (a hung systemd-resolved behind nss-resolve waits minutes) cannot
// hold the helper past its limits. (glibc's getaddrinfo_a would do the same
// on a thread that the thread sanitizer cannot see, and crashes it.) The
// state is shared: when the deadline passes first, the thread is left to
// finish on its own and the process ends without waiting for it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int rc = 0;
  struct addrinfo* result = nullptr;
};

int lookupWithin(const std::string& host,
                 const Deadline& deadline,
                 struct addrinfo** result) {
  auto lookup = std::make_shared<Lookup>();
  std::thread worker;
  try {
    worker = std::thread([lookup, host] {
      struct addrinfo hints = {};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      struct addrinfo* found = nullptr;
      const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
      const std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->rc = rc;
      lookup->result = found;
      lookup->done = true;
      lookup->finished.notify_all();
    });
  } catch (const std::system_error&) {
    // No thread for the lookup: reported by the caller as a lookup failure.
    return EAI_SYSTEM;
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  for (;;) {
    if (lookup->done) {
      break;
    }
    const long left = deadline.remainingMs();
    if (left == 0) {
      lock.unlock();
      worker.detach();
      return EAI_INPROGRESS;
    }
    if (left < 0) {
      lookup->finished.wait(lock);
    } else {
      (void)lookup->finished.wait_for(lock, std::chrono::milliseconds(left));
    }
  }
  *result = lookup->result;
  const int rc = lookup->rc;
  lock.unlock();
  worker.join();
  return rc;
}

}  // namespace

ResolveResult resolveServerHost(const std::string& server,
                                std::vector<std::string>& ipv4,
                                std::vector<std::string>& ipv6) {
  std::string host = trim(server);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty()) {
    return ResolveResult::kFailed;
  }
  if (isAddressOf(AF_INET, host)) {
    ipv4.push_back(host);
    return ResolveResult::kResolved;
  }
  if (isAddressOf(AF_INET6, host)) {
    ipv6.push_back(host);
    return ResolveResult::kResolved;
  }

  struct addrinfo* result = nullptr;
  int rc = lookupWithin(host, nextCommandDeadline(), &result);
  if (rc == EAI_INPROGRESS) {
    g_limits.ran_out = true;
    return ResolveResult::kTimedOut;
  }
  if (rc != 0) {
    errLine("[helper] getaddrinfo failed for host: " + host +
            " error: " + gai_strerror(rc));
    return ResolveResult::kFailed;
  }
  std::set<std::string> seen4;
  std::set<std::string> seen6;
  for (struct addrinfo* it = result; it != nullptr; it = it->ai_next) {
    char text[INET6_ADDRSTRLEN];
    if (it->ai_family == AF_INET6) {
      const auto* sa = reinterpret_cast<const sockaddr_in6*>(it->ai_addr);
      if (inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof(text)) != nullptr &&
          seen6.insert(text).second) {
        ipv6.emplace_back(text);
      }
    } else if (it->ai_family == AF_INET) {
      const auto* sa = reinterpret_cast<const sockaddr_in*>(it->ai_addr);
      if (inet_ntop(AF_INET, &sa->sin_addr, text, sizeof(text)) != nullptr &&
          seen4.insert(text).second) {
        ipv4.emplace_back(text);
      }
    }
  }
  freeaddrinfo(result);
  return !ipv4.empty() || !ipv6.empty() ? ResolveResult::kResolved
                                        : ResolveResult::kFailed;
}

}  // namespace pathwarden
