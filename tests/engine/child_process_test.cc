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

// A process that ignores SIGTERM is killed once the same grace as Stop's is
// over, so that it cannot run on beside the next core.
TEST(ChildReaperTest, KillsAfterTheGrace) {
  const pid_t pid = StartShell("trap '' TERM; exec sleep 30");
  ChildReaper reaper;
  const auto t0 = std::chrono::steady_clock::now();
  reaper.Adopt(pid);
  usleep((ChildReaper::kGraceMs - 500) * 1000);
  EXPECT_FALSE(IsZombieOrGone(pid)) << "killed before its grace was over";
  EXPECT_TRUE(NoChildrenWithin(1500)) << "still there after the grace";
  EXPECT_GE(MsSince(t0), ChildReaper::kGraceMs);
}

// The lifeline's watcher ends the child when the process that owns it dies
// without a word, and leaves it alone when released.
TEST(LifelineTest, EndsTheChildWithItsOwner) {
  int report[2] = {-1, -1};
  ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
  const pid_t owner = fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    // The stand-in for a runner: a child, its lifeline, then it waits to be
    // killed.
    ChildProcess child;
    if (!child.Spawn(Quiet(), [] {
          execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        })) {
      _exit(1);
    }
    Lifeline lifeline;
    const pid_t ids[2] = {
        child.pid(), lifeline.Watch(child.pid()) ? lifeline.watcher_pid() : -1};
    (void)write(report[1], ids, sizeof(ids));
    pause();
    _exit(0);
  }
  (void)close(report[1]);
  pid_t ids[2] = {-1, -1};
  ASSERT_EQ(static_cast<ssize_t>(sizeof(ids)),
            read(report[0], ids, sizeof(ids)));
  (void)close(report[0]);
  ASSERT_GT(ids[1], 0) << "no watcher";
  EXPECT_FALSE(IsZombieOrGone(ids[0]));
  ASSERT_EQ(0, kill(owner, SIGKILL));
  int status = 0;
  ASSERT_EQ(owner, waitpid(owner, &status, 0));
  // This test is the init of its namespace: the orphans are its to reap.
  const auto t0 = std::chrono::steady_clock::now();
  const auto both_gone = [&ids] {
    return IsZombieOrGone(ids[0]) && IsZombieOrGone(ids[1]);
  };
  while (!both_gone() && MsSince(t0) < 3000) {
    usleep(10 * 1000);
  }
  EXPECT_TRUE(both_gone()) << "the child outlived its owner";
  EXPECT_LT(MsSince(t0), 1000);
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }

  ChildProcess kept;
  ASSERT_TRUE(kept.Spawn(Quiet(), [] {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
  }));
  {
    Lifeline lifeline;
    ASSERT_TRUE(lifeline.Watch(kept.pid()));
    lifeline.Release();
    EXPECT_FALSE(lifeline.watching());
  }
  EXPECT_EQ(ChildProcess::Poll::kRunning, kept.TryReap())
      << "a released lifeline ended its child";
}

}  // namespace
}  // namespace engine_test
