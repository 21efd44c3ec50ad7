// How long a window's main thread is held up while a worker thread starts
// children, by fork and exec or by posix_spawn (as the engine does).
//
//   spawn_stall_bench fork|spawn [RESIDENT_MB] [CHILDREN]
//
// The main thread keeps writing to its memory, one page after another, as a
// user interface touches its buffers, and records the longest gap between
// two writes; a worker thread starts /bin/true CHILDREN times (50 unless
// given) and waits for each. RESIDENT_MB (300 unless given) of memory is
// made resident first, as a real Flutter engine holds. Prints one line:
//   MODE RESIDENT_MB longest_gap_ms=X children=N
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace {

bool StartTrue(bool use_spawn) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  pid_t pid = -1;
  if (use_spawn) {
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
      return false;
    }
  } else {
    pid = fork();
    if (pid < 0) {
      return false;
    }
    if (pid == 0) {
      execv(program, argv);
      _exit(127);
    }
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "fork") != 0 &&
                   std::strcmp(argv[1], "spawn") != 0)) {
    std::fprintf(stderr, "usage: %s fork|spawn [RESIDENT_MB] [CHILDREN]\n",
                 argv[0]);
    return 2;
  }
  const bool use_spawn = std::strcmp(argv[1], "spawn") == 0;
  const size_t mb = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 300;
  const int children = argc > 3 ? std::atoi(argv[3]) : 50;
  const size_t size = mb << 20;
  auto* ballast = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (ballast == MAP_FAILED) {
    std::perror("mmap");
    return 1;
  }
  std::memset(ballast, 1, size);

  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::thread worker([&] {
    for (int i = 0; i < children; ++i) {
      if (StartTrue(use_spawn)) {
        ++started;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
  });

  using Clock = std::chrono::steady_clock;
  const long page = sysconf(_SC_PAGESIZE);
  auto last = Clock::now();
  Clock::duration longest{0};
  for (size_t at = 0; !done.load(std::memory_order_relaxed);
       at = (at + static_cast<size_t>(page)) % size) {
    ballast[at] = static_cast<char>(at);
    const auto now = Clock::now();
    if (now - last > longest) {
      longest = now - last;
    }
    last = now;
  }
  worker.join();
  std::printf("%s %zu longest_gap_ms=%.3f children=%d\n", argv[1], mb,
              std::chrono::duration<double, std::milli>(longest).count(),
              started.load());
  return 0;
}
