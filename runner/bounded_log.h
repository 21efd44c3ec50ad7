// Keeps the runner's log files from growing without bound.
#ifndef RUNNER_BOUNDED_LOG_H_
#define RUNNER_BOUNDED_LOG_H_

#include <sys/types.h>

// A log past kLogLimitBytes is cut to its last kLogKeepBytes at most,
// starting at a whole line when one begins near the cut.
constexpr off_t kLogLimitBytes = off_t{1} << 20;
constexpr off_t kLogKeepBytes = off_t{256} << 10;

// Trims the log at |path| when it has passed kLogLimitBytes. The file is
// cut in place, not replaced, so a process that holds it open for append
// (the core, for its whole run) goes on writing at its new end; what it
// appends while the cut is made is kept. Only a regular file of the user's
// own is touched, and nothing at all happens when it cannot be opened.
void BoundLog(const char* path);

#endif  // RUNNER_BOUNDED_LOG_H_
