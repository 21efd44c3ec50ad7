#include "common/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/unique_fd.h"

extern char** environ;

namespace {

// The file actions and attributes of one spawn, released in every case.
class SpawnSetup {
 public:
  SpawnSetup() {
    actions_ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    attr_ok_ = posix_spawnattr_init(&attr_) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok_) {
      (void)posix_spawn_file_actions_destroy(&actions_);
    }
    if (attr_ok_) {
      (void)posix_spawnattr_destroy(&attr_);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool ok() const { return actions_ok_ && attr_ok_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool actions_ok_ = false;
  bool attr_ok_ = false;
};

// No signal blocked and every signal at its default action in the child;
// with |group|, a process group of its own.
int SetAttributes(posix_spawnattr_t* attr, bool group) {
  sigset_t none;
  sigset_t all;
  (void)sigemptyset(&none);
  (void)sigfillset(&all);
  int r = posix_spawnattr_setsigmask(attr, &none);
  if (r == 0) {
    r = posix_spawnattr_setsigdefault(attr, &all);
  }
  if (r == 0 && group) {
    r = posix_spawnattr_setpgroup(attr, 0);
  }
  if (r == 0) {
    r = posix_spawnattr_setflags(
        attr,
        static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                           (group ? POSIX_SPAWN_SETPGROUP : 0)));
  }
  return r;
}

}  // namespace

bool IsSpawnResourceError(int error) {
  return error == EAGAIN || error == ENOMEM;
}

int SpawnProcess(const SpawnRequest& request, pid_t* pid) {
  SpawnSetup setup;
  if (!setup.ok()) {
    return ENOMEM;
  }
  // Descriptors that would be overwritten by an earlier duplication (a
  // caller started with a standard descriptor closed hands out 0 to 2) are
  // first moved above every number the child gets.
  int highest = STDERR_FILENO;
  for (const auto& pass : request.pass_fds) {
    highest = std::max(highest, pass.second);
  }
  std::vector<UniqueFd> moved;
  const auto above = [&highest, &moved](int fd) {
    if (fd < 0 || fd > highest) {
      return fd;
    }
    moved.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, highest + 1));
    return moved.back().get();
  };
  const int output = above(request.output_fd);
  std::vector<std::pair<int, int>> passes;
  for (const auto& pass : request.pass_fds) {
    passes.emplace_back(above(pass.first), pass.second);
  }
  for (const UniqueFd& fd : moved) {
    if (!fd.valid()) {
      return errno;  // from fcntl
    }
  }
  posix_spawn_file_actions_t* actions = setup.actions();
  int r = 0;
  if (request.null_input) {
    r = posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null",
                                         O_RDONLY, 0);
  }
  if (r == 0 && output >= 0) {
    r = posix_spawn_file_actions_adddup2(actions, output, STDOUT_FILENO);
    if (r == 0) {
      r = posix_spawn_file_actions_adddup2(actions, output, STDERR_FILENO);
    }
  }
  for (const auto& pass : passes) {
    if (r == 0) {
      r = posix_spawn_file_actions_adddup2(actions, pass.first, pass.second);
    }
  }
  if (r == 0 && request.close_others) {
    r = posix_spawn_file_actions_addclosefrom_np(actions, highest + 1);
  }
  if (r == 0) {
    r = SetAttributes(setup.attr(), request.own_process_group);
  }
  if (r != 0) {
    return r;
  }
  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  for (const std::string& arg : request.argv) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  return request.search_path
             ? posix_spawnp(pid, request.program.c_str(), actions, setup.attr(),
                            argv.data(), environ)
             : posix_spawn(pid, request.program.c_str(), actions, setup.attr(),
                           argv.data(), environ);
}
