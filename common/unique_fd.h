// Owns one file descriptor and closes it when it goes out of scope: the one
// descriptor owner of the runner, the route helper and the stand-in core.
#ifndef COMMON_UNIQUE_FD_H_
#define COMMON_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership without closing.
  int Release() { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes |fd|. A close failure
  // leaves nothing to retry on Linux: the descriptor is gone either way.
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      (void)close(fd_);
    }
    fd_ = fd;
  }

  // Closes now and says whether close itself succeeded: for a file being
  // written, the last chance to hear of an error.
  bool Close() {
    const int fd = Release();
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

#endif  // COMMON_UNIQUE_FD_H_
