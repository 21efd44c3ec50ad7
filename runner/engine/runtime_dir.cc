#include "runtime_dir.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kSubdirName[] = "quon_vpn";
constexpr char kTmpPrefix[] = "/tmp/quon_vpn-";
// Group and others: none of read, write or enter.
constexpr mode_t kForeignAccess = S_IRWXG | S_IRWXO;

std::string ErrorText(int error) {
  char buffer[256] = {};
  return strerror_r(error, buffer, sizeof(buffer));
}

// A directory the user alone may use, or "" with |problem| saying why.
// |path| is not followed when it is a link.
bool IsPrivateDir(const std::string& path, std::string* problem) {
  struct stat st = {};
  if (lstat(path.c_str(), &st) != 0) {
    *problem = path + ": " + ErrorText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *problem = path + " is not a directory";
    return false;
  }
  if (st.st_uid != geteuid()) {
    *problem = path + " belongs to another user";
    return false;
  }
  if ((st.st_mode & kForeignAccess) != 0) {
    *problem = path + " is open to other users";
    return false;
  }
  return true;
}

// Makes |path| mode 0700 when missing, then checks what is there.
bool MakePrivateDir(const std::string& path, std::string* problem) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *problem = path + " cannot be created: " + ErrorText(errno);
    return false;
  }
  return IsPrivateDir(path, problem);
}

// The user's session directory, when the environment names a usable one.
// Its parent is checked as the XDG rules ask of it (the user's own, closed
// to others), following a link there: that one is the session's to place.
std::string SessionDir() {
  const char* xdg = getenv("XDG_RUNTIME_DIR");
  if (xdg == nullptr || xdg[0] != '/') {
    return std::string();
  }
  struct stat st = {};
  if (stat(xdg, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & kForeignAccess) != 0) {
    return std::string();
  }
  return std::string(xdg) + "/" + kSubdirName;
}

// RuntimeDir() with its reason for failing.
std::string ResolveRuntimeDir(std::string* problem) {
  const std::string session = SessionDir();
  std::string dir =
      !session.empty() ? session : kTmpPrefix + std::to_string(geteuid());
  if (!MakePrivateDir(dir, problem)) {
    return std::string();
  }
  return dir;
}

}  // namespace

std::string RuntimeDir() {
  std::string problem;
  return ResolveRuntimeDir(&problem);
}

std::string RuntimeFilePath(const char* name) {
  const std::string dir = RuntimeDir();
  return dir.empty() ? std::string() : dir + "/" + name;
}

std::string RuntimeDirProblem() {
  std::string problem;
  if (!ResolveRuntimeDir(&problem).empty()) {
    return std::string();
  }
  return "the runner's private directory cannot be used: " + problem;
}
