#include "private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
