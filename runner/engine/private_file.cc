#include "private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/fd_io.h"

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

bool ReplacePrivateFile(const std::string& path,
                        std::string_view data,
                        FileFailure* failure) {
  // |error| is taken before any clean-up can change errno.
  const auto fail = [failure](const char* step, int error) {
    *failure = FileFailure{step, error};
    return false;
  };
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return fail("Failed to remove stale", errno);
  }
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
           kPrivateFileMode);
  if (fd < 0) {
    return fail("Failed to create", errno);
  }
  FileFailure failed;
  if (!WriteAll(fd, data)) {
    failed = FileFailure{"Failed to write", errno};
  } else if (fsync(fd) != 0) {
    failed = FileFailure{"Failed to flush", errno};
  }
  // Closed in every case; its failure counts only when all else went well.
  if (close(fd) != 0 && failed.step == nullptr) {
    failed = FileFailure{"Failed to close", errno};
  }
  if (failed.step != nullptr) {
    (void)unlink(path.c_str());
    return fail(failed.step, failed.error);
  }
  return true;
}
