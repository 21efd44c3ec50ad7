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
//   MODE RESIDENT_MB longest_gap_ms=X not_preempted_ms=Y children=N
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

  // A gap in which the scheduler took the CPU away (an involuntary context
  // switch: another process's turn on a shared machine) says nothing about
  // the children; a gap spent waiting (a page fault that waited for the
  // memory map, a voluntary switch) does. Both are reported.
  using Clock = std::chrono::steady_clock;
  const auto preemptions = [] {
    rusage usage = {};
    (void)getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
  };
  const long page = sysconf(_SC_PAGESIZE);
  auto last = Clock::now();
  long last_preemptions = preemptions();
  Clock::duration longest{0};
  Clock::duration longest_waited{0};
  for (size_t at = 0; !done.load(std::memory_order_relaxed);
       at = (at + static_cast<size_t>(page)) % size) {
    ballast[at] = static_cast<char>(at);
    const auto now = Clock::now();
    const long now_preemptions = preemptions();
    const auto gap = now - last;
    longest = std::max(longest, gap);
    if (now_preemptions == last_preemptions) {
      longest_waited = std::max(longest_waited, gap);
    }
    last = now;
    last_preemptions = now_preemptions;
  }
  worker.join();
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  std::printf("%s %zu longest_gap_ms=%.3f not_preempted_ms=%.3f children=%d\n",
              argv[1], mb, ms(longest), ms(longest_waited), started.load());
  return 0;
}
