// The one way the engine waits: a condition checked at a fixed cadence until
// a time limit. Every wait of the engine is visible timing (how soon a start
// or a stop answers), so each keeps its own limit and cadence.
#ifndef RUNNER_POLL_WAIT_H_
#define RUNNER_POLL_WAIT_H_

#include <chrono>
#include <thread>

// Checks |done| every |cadence| for |limit|: limit / cadence checks, each one
// that fails followed by a sleep of |cadence| (the last one too, so a wait
// that fails has taken its whole limit). True as soon as |done| holds. A
// wait that wants one more look at the end writes WaitFor(...) || done().
template <typename Done>
bool WaitFor(std::chrono::milliseconds limit,
             std::chrono::milliseconds cadence,
             Done&& done) {
  const long long checks = cadence.count() > 0 ? limit / cadence : 0;
  for (long long i = 0; i < checks; ++i) {
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(cadence);
  }
  return false;
}

#endif  // RUNNER_POLL_WAIT_H_
