// One child process of the tunnel engine: started with posix_spawn (no copy
// of the runner's address space, so the window never stalls while a child
// starts), waited for only by polling, never left behind as a zombie.
#ifndef RUNNER_CHILD_PROCESS_H_
#define RUNNER_CHILD_PROCESS_H_

#include <sys/types.h>

#include "common/spawn.h"

class ChildProcess {
 public:
  enum class Poll { kEnded, kRunning, kError };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts |request| with the default signal dispositions and an empty signal
  // mask. False when no process could be made (errno says why). A program
  // that cannot be executed counts as a child that ended at once with status
  // 127, as a forked child whose exec failed would: the first TryReap
  // reports it.
  bool Spawn(const SpawnRequest& request);

  // The id while a live child is owned, else -1.
  pid_t pid() const { return pid_; }
  // True while a child is owned and has not been reaped (an exec failure
  // not reported yet included).
  bool owned() const { return pid_ > 0 || exec_failed_; }
  // The wait status of the reaped child (valid after Poll::kEnded).
  int status() const { return status_; }

  // One waitpid with WNOHANG. kEnded means the child has been reaped now.
  Poll TryReap();
  // Polls every |cadence_ms| for |limit_ms| (WaitFor). Stops at the first
  // kEnded or kError.
  Poll PollReap(int limit_ms, int cadence_ms);
  // SIGKILL to the child alone, then a blocking wait for it; nothing when no
  // child is owned. Only for children the runner can always signal.
  void KillAndReap();
  // SIGKILL to the child alone, then waits at most |limit_ms| for it. A
  // set-user-id child that has become root cannot be signalled (EPERM): then
  // it is not waited for at all. kRunning means it is still owned; hand it
  // to a ChildReaper rather than block.
  Poll KillAndReapWithin(int limit_ms);
  // Sends |sig| to the child alone; false when none is owned or kill failed.
  bool Signal(int sig) const;
  // Gives the process up without waiting for it; the caller answers for it
  // from now on. Returns its id (or -1 when none was owned).
  pid_t Release();

 private:
  pid_t pid_ = -1;
  bool exec_failed_ = false;
  int status_ = 0;
};

#endif  // RUNNER_CHILD_PROCESS_H_
