// A descriptor of the runner, closed when its owner goes out of scope.
#ifndef RUNNER_OWNED_FD_H_
#define RUNNER_OWNED_FD_H_

#include <unistd.h>

class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { Reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.Release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

#endif  // RUNNER_OWNED_FD_H_
