#include "instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "private_file.h"
#include "runtime_dir.h"

namespace {

constexpr char kLockName[] = "quon_vpn.lock";

std::string ErrorText(int error) {
  char buffer[256] = {};
  return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace

InstanceLock TakeInstanceLock() {
  InstanceLock lock;
  const std::string path = RuntimeFilePath(kLockName);
  if (path.empty()) {
    lock.problem = RuntimeDirProblem();
    return lock;
  }
  // Kept open for the life of the process: closing any descriptor of the
  // file would drop a record lock.
  const int fd =
      OpenPrivateFile(path.c_str(), O_RDWR | O_CREAT, 0600, geteuid());
  if (fd < 0) {
    lock.problem = path + ": " + ErrorText(errno);
    return lock;
  }
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &whole) == 0) {
    lock.result = InstanceLock::Result::kHeld;
    return lock;
  }
  const int error = errno;
  if (error != EAGAIN && error != EACCES) {
    (void)close(fd);
    lock.problem = path + ": " + ErrorText(error);
    return lock;
  }
  struct flock holder = {};
  holder.l_type = F_WRLCK;
  holder.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) {
    lock.holder = holder.l_pid;
  }
  (void)close(fd);
  lock.result = InstanceLock::Result::kTaken;
  return lock;
}
