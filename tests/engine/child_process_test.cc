// The child-process building blocks: the owned child and the background
// reaper that leaves no zombie behind.
#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "engine_fixture.h"

namespace engine_test {
namespace {

ChildOutput Quiet() {
  return ChildOutput{"/dev/null", O_WRONLY, 0};
}

// Starts "sh -c SCRIPT" and hands the id over.
pid_t StartShell(const char* script) {
  ChildProcess child;
  EXPECT_TRUE(child.Spawn(Quiet(), [script] {
    execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr));
  }));
  return child.Release();
}

long MsSince(std::chrono::steady_clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - t0)
          .count());
}

TEST(ChildProcessTest, ExitStatusAndFailedExec) {
  ChildProcess ok;
  ASSERT_TRUE(ok.Spawn(Quiet(), [] {
    execl("/bin/sh", "sh", "-c", "exit 3", static_cast<char*>(nullptr));
  }));
  EXPECT_EQ(ChildProcess::Poll::kEnded, ok.PollReap(50, 20));
  EXPECT_TRUE(WIFEXITED(ok.status()));
  EXPECT_EQ(3, WEXITSTATUS(ok.status()));
  EXPECT_FALSE(ok.owned());

  // An exec that fails ends the child with 127.
  ChildProcess missing;
  ASSERT_TRUE(missing.Spawn(Quiet(), [] {
    execl("/nonexistent/program", "x", static_cast<char*>(nullptr));
  }));
  EXPECT_EQ(ChildProcess::Poll::kEnded, missing.PollReap(50, 20));
  EXPECT_EQ(127, WEXITSTATUS(missing.status()));
  EXPECT_TRUE(Children().empty());
}

TEST(ChildProcessTest, OwnedChildIsKilledWhenDropped) {
  pid_t pid = -1;
  {
    ChildProcess child;
    ASSERT_TRUE(child.Spawn(Quiet(), [] {
      execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    }));
    pid = child.pid();
    EXPECT_EQ(ChildProcess::Poll::kRunning, child.TryReap());
  }
  EXPECT_TRUE(IsZombieOrGone(pid));
  EXPECT_TRUE(Children().empty()) << "dropped child left as a zombie";
}

TEST(ChildReaperTest, ReapsATerminatedChildWithoutBeingAsked) {
  ChildReaper reaper;
  const pid_t pid = StartShell("sleep 0.3");
  reaper.Adopt(pid);
  EXPECT_EQ(1u, reaper.pending());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(NoChildrenWithin(3000));
  EXPECT_LT(MsSince(t0), 1500);
  // A later adoption joins the finished thread.
  reaper.Adopt(StartShell("exit 0"));
  EXPECT_TRUE(NoChildrenWithin(3000));
  EXPECT_EQ(0u, reaper.pending());
}

TEST(ChildReaperTest, FinishEndsAProcessThatIgnoresSigterm) {
  const pid_t pid = StartShell("trap '' TERM; exec sleep 30");
  {
    ChildReaper reaper;
    reaper.Adopt(pid);
    // Once the shell has become sleep, SIGTERM is ignored for good.
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    for (int i = 0; i < 200 && ReadFile(comm) != "sleep\n"; ++i) {
      usleep(10 * 1000);
    }
    ASSERT_EQ(0, kill(pid, SIGTERM));
    usleep(300 * 1000);
    EXPECT_FALSE(IsZombieOrGone(pid)) << "the reaper must not kill on its own";
    const auto t0 = std::chrono::steady_clock::now();
    reaper.Finish();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(IsZombieOrGone(pid));
  }
  EXPECT_TRUE(Children().empty());
}

}  // namespace
}  // namespace engine_test
