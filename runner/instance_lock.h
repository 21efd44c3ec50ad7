// One runner per user where no desktop session bus can tell a second
// launch that a first one runs.
#ifndef RUNNER_INSTANCE_LOCK_H_
#define RUNNER_INSTANCE_LOCK_H_

#include <sys/types.h>

#include <string>

struct InstanceLock {
  enum class Result {
    // This process is the user's runner until it exits.
    kHeld,
    // Another runner of the user's holds it; |holder| is its pid (0 when
    // the kernel did not say).
    kTaken,
    // No lock can be had (no private directory); |problem| says why.
    kUnavailable,
  };
  Result result = Result::kUnavailable;
  pid_t holder = 0;
  std::string problem;
};

// Takes the user's runner lock, "quon_vpn.lock" in the private runtime
// directory, for the rest of this process's life: a record lock, released
// by the kernel however the process ends, and not passed to the processes
// it forks (a watcher that outlives a killed runner does not keep the next
// runner out).
InstanceLock TakeInstanceLock();

#endif  // RUNNER_INSTANCE_LOCK_H_
