// A route helper that makes itself root, as the real one does, and then takes
// its time over "stop": installed set-user-id root, it shows whether the
// runner's time limits hold for a child it can no longer signal. "start"
// succeeds at once.
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  if (setuid(0) != 0) {
    return 10;
  }
  if (argc == 3 && std::strcmp(argv[1], "stop") == 0) {
    sleep(6);
  }
  return 0;
}
