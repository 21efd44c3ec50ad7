// Running the default main context in tests that drive GLib code.
#ifndef QUON_TESTS_LIB_MAIN_LOOP_H_
#define QUON_TESTS_LIB_MAIN_LOOP_H_

#include <glib.h>

#include <functional>

namespace quon_test {

// Runs the default main context until |done| holds or |timeout_ms| passes;
// returns whether it held. Never blocks in the context, so that work done on
// other threads is seen within a millisecond.
inline bool RunUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  const gint64 deadline =
      g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  while (!done()) {
    if (g_get_monotonic_time() > deadline) {
      return false;
    }
    g_main_context_iteration(nullptr, FALSE);
    if (!done()) {
      g_usleep(1000);
    }
  }
  return true;
}

}  // namespace quon_test

#endif  // QUON_TESTS_LIB_MAIN_LOOP_H_
