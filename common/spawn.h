// The one way the runner, its watcher and the route helper start a program:
// posix_spawn (no copy of the caller's address space), with every signal at
// its default action and none blocked in the child, so that nothing of the
// caller's signal handling reaches the program.
#ifndef COMMON_SPAWN_H_
#define COMMON_SPAWN_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// What to start and with which descriptors. Every descriptor is opened by
// the caller before the spawn, so the child only duplicates them into place
// before the program runs.
struct SpawnRequest {
  // A full path; a bare name searched in PATH when |search_path|.
  std::string program;
  // The whole argument vector, argument 0 included.
  std::vector<std::string> argv;
  bool search_path = false;
  // Becomes standard output and standard error; -1 keeps the caller's.
  int output_fd = -1;
  // Standard input from /dev/null instead of the caller's.
  bool null_input = false;
  // (descriptor of the caller, number it gets in the child).
  std::vector<std::pair<int, int>> pass_fds;
  // Every other descriptor is closed in the child, not only the
  // close-on-exec ones.
  bool close_others = false;
  // The child leads a process group of its own, so that a kill of the group
  // also ends whatever it starts in turn.
  bool own_process_group = false;
};

// Starts |request|. 0 with |*pid| set, or the error number: EAGAIN or ENOMEM
// when no process could be made, any other when the program could not be
// executed (the C library has then reaped the process it made).
int SpawnProcess(const SpawnRequest& request, pid_t* pid);

// Whether an error of SpawnProcess means that no process could be made at
// all, as a failed fork would; any other came from the exec.
bool IsSpawnResourceError(int error);

#endif  // COMMON_SPAWN_H_
