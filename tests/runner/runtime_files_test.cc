// The runner's private directory and the bound on its logs. Sandboxed (root,
// private /tmp): the directory's fallback is a fixed name in /tmp.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "../lib/sandbox_check.h"
#include "bounded_log.h"
#include "runtime_dir.h"

namespace {

constexpr char kTmpDir[] = "/tmp/quon_vpn-0";
constexpr uid_t kOtherUid = 12345;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

mode_t ModeOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

class RuntimeFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!quon_test::InSandbox(false)) {
      GTEST_FAIL() << "not inside tests/lib/sandbox.sh; refusing to write "
                      "/tmp";
    }
    ASSERT_EQ(0u, geteuid());
    ASSERT_EQ(0, system("rm -rf /tmp/quon_vpn-0 /tmp/session"));
    ASSERT_EQ(0, unsetenv("XDG_RUNTIME_DIR"));
  }
};

TEST_F(RuntimeFilesTest, SessionDirectoryHoldsAPrivateSubdirectory) {
  ASSERT_EQ(0, mkdir("/tmp/session", 0700));
  ASSERT_EQ(0, setenv("XDG_RUNTIME_DIR", "/tmp/session", 1));
  EXPECT_EQ("/tmp/session/quon_vpn", RuntimeDir());
  EXPECT_EQ(0700u, ModeOf("/tmp/session/quon_vpn"));
  EXPECT_EQ("/tmp/session/quon_vpn/a.log", RuntimeFilePath("a.log"));
  EXPECT_EQ("", RuntimeDirProblem());
  EXPECT_NE(0, access(kTmpDir, F_OK)) << "the /tmp fallback was made too";
}

TEST_F(RuntimeFilesTest, UnusableSessionDirectoryFallsBackToTmp) {
  ASSERT_EQ(0, mkdir("/tmp/session", 0755));
  ASSERT_EQ(0, mkdir("/tmp/session/theirs", 0700));
  ASSERT_EQ(0, chown("/tmp/session/theirs", kOtherUid, kOtherUid));
  // Unset, relative, missing, open to others, someone else's.
  for (const char* xdg :
       {"", "session", "/tmp/missing", "/tmp/session", "/tmp/session/theirs"}) {
    SCOPED_TRACE(xdg);
    if (xdg[0] == '\0') {
      ASSERT_EQ(0, unsetenv("XDG_RUNTIME_DIR"));
    } else {
      ASSERT_EQ(0, setenv("XDG_RUNTIME_DIR", xdg, 1));
    }
    EXPECT_EQ(kTmpDir, RuntimeDir());
    EXPECT_EQ(0700u, ModeOf(kTmpDir));
  }
  EXPECT_NE(0, access("/tmp/session/quon_vpn", F_OK));
  EXPECT_NE(0, access("/tmp/session/theirs/quon_vpn", F_OK));
}

TEST_F(RuntimeFilesTest, SquattedDirectoryIsRefusedAndLeftAlone) {
  ASSERT_EQ(0, mkdir("/tmp/target", 0700));
  struct Case {
    const char* name;
    void (*plant)();
    const char* problem;
  };
  const Case cases[] = {
      {"another user's directory",
       [] {
         ASSERT_EQ(0, mkdir(kTmpDir, 0777));
         ASSERT_EQ(0, chmod(kTmpDir, 0777));
         ASSERT_EQ(0, chown(kTmpDir, kOtherUid, kOtherUid));
       },
       " belongs to another user"},
      {"a link to a directory of the user's",
       [] { ASSERT_EQ(0, symlink("/tmp/target", kTmpDir)); },
       " is not a directory"},
      {"a file", [] { WriteAll(kTmpDir, "squatter"); }, " is not a directory"},
      {"the user's own directory open to others",
       [] {
         ASSERT_EQ(0, mkdir(kTmpDir, 0755));
         ASSERT_EQ(0, chmod(kTmpDir, 0755));
       },
       " is open to other users"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, system("rm -rf /tmp/quon_vpn-0"));
    c.plant();
    struct stat before = {};
    ASSERT_EQ(0, lstat(kTmpDir, &before));
    EXPECT_EQ("", RuntimeDir());
    EXPECT_EQ("", RuntimeFilePath("quon_vpn_runner_native_linux.log"));
    EXPECT_EQ(std::string("the runner's private directory cannot be used: ") +
                  kTmpDir + c.problem,
              RuntimeDirProblem());
    struct stat after = {};
    ASSERT_EQ(0, lstat(kTmpDir, &after));
    EXPECT_EQ(before.st_mode, after.st_mode) << "repaired, not refused";
    EXPECT_EQ(before.st_uid, after.st_uid);
  }
  EXPECT_NE(0, access("/tmp/target/quon_vpn", F_OK));
}

// A log of |lines| lines of 100 bytes each ("NNNNNNN" and 92 x's).
std::string Lines(int first, int count) {
  std::string text;
  for (int i = first; i < first + count; ++i) {
    char head[16];
    std::snprintf(head, sizeof(head), "%07d", i);
    text += head + std::string(92, 'x') + "\n";
  }
  return text;
}

TEST_F(RuntimeFilesTest, LogPastItsLimitKeepsItsTailFromAWholeLine) {
  const std::string path = "/tmp/native.log";
  // At the limit exactly: untouched.
  const std::string at_limit(static_cast<size_t>(kLogLimitBytes), 'y');
  WriteAll(path, at_limit);
  BoundLog(path.c_str());
  EXPECT_EQ(at_limit, ReadAll(path));

  // 1.1 MB of 100-byte lines: cut to the last whole lines within 256 KiB.
  const std::string big = Lines(0, 11000);
  WriteAll(path, big);
  BoundLog(path.c_str());
  const std::string kept = ReadAll(path);
  EXPECT_LE(kept.size(), static_cast<size_t>(kLogKeepBytes));
  EXPECT_GT(kept.size(), static_cast<size_t>(kLogKeepBytes) - 100);
  EXPECT_EQ(big.substr(big.size() - kept.size()), kept);
  EXPECT_EQ(0u, kept.size() % 100) << "does not begin with a whole line";

  // No newline anywhere near the cut: exactly the last 256 KiB.
  const std::string flat =
      std::string(static_cast<size_t>(kLogLimitBytes), 'a') +
      std::string(static_cast<size_t>(kLogKeepBytes), 'b');
  WriteAll(path, flat);
  BoundLog(path.c_str());
  EXPECT_EQ(std::string(static_cast<size_t>(kLogKeepBytes), 'b'),
            ReadAll(path));
}

TEST_F(RuntimeFilesTest, WriterThatHoldsTheLogGoesOnAtItsNewEnd) {
  const std::string path = "/tmp/core.log";
  WriteAll(path, Lines(0, 11000));
  // The core keeps its output open for append for its whole run.
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  BoundLog(path.c_str());
  const std::string more = Lines(11000, 3);
  ASSERT_EQ(static_cast<ssize_t>(more.size()),
            write(fd, more.data(), more.size()));
  ASSERT_EQ(0, close(fd));
  const std::string text = ReadAll(path);
  EXPECT_LE(text.size(), static_cast<size_t>(kLogKeepBytes) + more.size());
  EXPECT_EQ(more, text.substr(text.size() - more.size()));
  EXPECT_EQ(std::string::npos, text.find('\0')) << "a hole before the writes";
}

TEST_F(RuntimeFilesTest, OnlyTheUsersOwnRegularFileIsCut) {
  const std::string big = Lines(0, 11000);
  WriteAll("/tmp/theirs.log", big);
  ASSERT_EQ(0, chown("/tmp/theirs.log", kOtherUid, kOtherUid));
  BoundLog("/tmp/theirs.log");
  EXPECT_EQ(big.size(), ReadAll("/tmp/theirs.log").size());

  WriteAll("/tmp/target.log", big);
  ASSERT_EQ(0, symlink("/tmp/target.log", "/tmp/link.log"));
  BoundLog("/tmp/link.log");
  EXPECT_EQ(big.size(), ReadAll("/tmp/target.log").size());

  // Nothing to cut: no file, and no path at all.
  BoundLog("/tmp/missing.log");
  BoundLog("");
  EXPECT_NE(0, access("/tmp/missing.log", F_OK));
}

}  // namespace
