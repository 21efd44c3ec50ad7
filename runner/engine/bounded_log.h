// Keeps the runner's log files from growing without bound.
#ifndef RUNNER_BOUNDED_LOG_H_
#define RUNNER_BOUNDED_LOG_H_

#include <sys/types.h>

#include <string>

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

// Bounds the log at |path| (BoundLog), then appends |line| and a newline to
// it, creating it (kPrivateFileMode) when missing: one open, write and close
// per line, so nothing is lost in a buffer when the process dies and the file
// can be removed meanwhile. The line is dropped when the log cannot be
// opened.
void AppendLogLine(const std::string& path, const std::string& line);

// At most the last |max_bytes| of the log at |path|, even while it grows,
// starting and ending at a UTF-8 character boundary; empty when it cannot be
// opened (or is not the user's own regular file).
std::string ReadLogTail(const std::string& path, off_t max_bytes);

// Drops the pieces of a character that a cut split: the continuation bytes
// at the start when |cut_at_start|, and a sequence left incomplete at the
// end. Other bytes stay as they were written.
std::string TrimToCharacterBoundaries(const std::string& text,
                                      bool cut_at_start);

#endif  // RUNNER_BOUNDED_LOG_H_
