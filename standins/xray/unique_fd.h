// Owns one file descriptor and closes it when it goes out of scope.
#ifndef QUON_STANDINS_XRAY_UNIQUE_FD_H_
#define QUON_STANDINS_XRAY_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace lab {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

  // Gives up ownership without closing.
  int Release() { return std::exchange(fd_, -1); }

  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      // A close failure leaves nothing to retry on Linux; the descriptor is
      // gone either way.
      (void)close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace lab

#endif  // QUON_STANDINS_XRAY_UNIQUE_FD_H_
