// Who may change a recorded tunnel. The helper runs set-user-id root for
// every local user, so without this any of them could pin holes into another
// user's tunnel or take it down; and two runners of the same user would undo
// each other's routing.

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/fd_io.h"
#include "common/pathwarden_exit_status.h"
#include "pathwarden_internal.h"

namespace pathwarden {

// The runner draws 128 random bits for each tunnel and passes them as 32
// lowercase hexadecimal digits.
bool isSessionToken(const std::string& text) {
  if (text.size() != 32) {
    return false;
  }
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

std::string processStartTime(long pid) {
  if (pid <= 0) {
    return std::string();
  }
  UniqueFd fd(open(("/proc/" + std::to_string(pid) + "/stat").c_str(),
                   O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return std::string();
  }
  // A stat line is a few hundred bytes; what a read failure leaves is judged
  // below like any other text.
  std::string text;
  (void)ReadUpTo(fd.get(), 4096, &text);
  // The command name (field 2) may hold blanks and parentheses; the fields
  // after its closing parenthesis are plain numbers, the first being field 3.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return std::string();
  }
  const std::vector<std::string> fields = splitWords(text.substr(close + 1));
  const size_t index = 22 - 3;
  if (fields.size() <= index || !isNumber(fields[index], 20)) {
    return std::string();
  }
  return fields[index];
}

TunnelOwner currentCaller(const std::string& session) {
  TunnelOwner caller;
  caller.known = true;
  caller.uid = static_cast<unsigned long>(getuid());
  caller.pid = static_cast<long>(getppid());
  caller.start_time = processStartTime(caller.pid);
  caller.session = session;
  return caller;
}

namespace {

// Alive means the same process: the pid exists and started when the recorded
// one did. A pid that was reused, or a start time that could not be read when
// the record was made, counts as gone.
bool ownerAlive(const TunnelOwner& owner) {
  if (owner.pid <= 0 || owner.start_time.empty()) {
    return false;
  }
  if (kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno != EPERM) {
    return false;
  }
  return processStartTime(owner.pid) == owner.start_time;
}

}  // namespace

int checkOwner(const TunnelOwner& owner, const TunnelOwner& caller) {
  // Root may always, and a record of an older helper names nobody.
  if (caller.uid == 0 || !owner.known) {
    return kPathwardenOk;
  }
  if (caller.uid != owner.uid) {
    errLine(
        "[helper] the tunnel belongs to another user; only that user or root "
        "can change it");
    return kPathwardenNotOwner;
  }
  if (!caller.session.empty() && caller.session == owner.session) {
    return kPathwardenOk;
  }
  // The very process that started the tunnel (a runner that passes no
  // session) is not "another" quon_vpn.
  const bool same_process = caller.pid == owner.pid &&
                            !owner.start_time.empty() &&
                            caller.start_time == owner.start_time;
  if (!same_process && ownerAlive(owner)) {
    errLine(
        "[helper] the tunnel belongs to another running quon_vpn; nothing "
        "was changed");
    return kPathwardenOtherSession;
  }
  return kPathwardenOk;
}

}  // namespace pathwarden
