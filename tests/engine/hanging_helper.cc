// A route helper that makes itself root, as the real one does, and then takes
// its time over "stop" while it holds the routing lock, as a real helper in
// the middle of its work would: installed set-user-id root, it shows whether
// the runner's time limits hold for a child it can no longer signal, and what
// the runner says of the next helper that finds the lock taken. "start"
// succeeds at once.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

namespace {

// The real helper's lock file.
constexpr char kLockPath[] = "/run/quon_vpn_pathwarden.lock";

}  // namespace

int main(int argc, char** argv) {
  if (setuid(0) != 0) {
    return 10;
  }
  if (argc == 3 && std::strcmp(argv[1], "stop") == 0) {
    // Held until exit; a lock that cannot be had leaves the sleep alone.
    const int lock =
        open(kLockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock >= 0) {
      (void)flock(lock, LOCK_EX);
    }
    sleep(6);
  }
  return 0;
}
