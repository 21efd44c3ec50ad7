#include "common/fd_io.h"

#include <unistd.h>

#include <cerrno>

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0) {
        errno = EIO;
      }
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

ssize_t ReadUpTo(int fd, char* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN && got > 0) {
      break;
    }
    if (n < 0) {
      return -1;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool ReadUpTo(int fd, size_t limit, std::string* out) {
  const size_t start = out->size();
  // One byte past the limit tells a file of exactly |limit| bytes from a
  // longer one.
  out->resize(start + limit + 1);
  const ssize_t n = ReadUpTo(fd, &(*out)[start], limit + 1);
  if (n < 0) {
    out->resize(start);
    return false;
  }
  if (static_cast<size_t>(n) > limit) {
    out->resize(start + limit);
    errno = EFBIG;
    return false;
  }
  out->resize(start + static_cast<size_t>(n));
  return true;
}
