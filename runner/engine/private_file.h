// Opening the runner's own files where other users might have planted
// something at their names.
#ifndef RUNNER_PRIVATE_FILE_H_
#define RUNNER_PRIVATE_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

// Opens |path| with |flags| (and |mode| when it creates) so that a link is
// never followed and a FIFO or device never blocks, and accepts it only when
// it is a regular file owned by |owner|; otherwise -1 with errno set (ELOOP,
// ENXIO, EISDIR, EPERM...). O_TRUNC is applied only after the checks, so a
// file of someone else is never emptied. The result is close-on-exec.
// The mode of every file the runner and its watcher create for the user.
inline constexpr mode_t kPrivateFileMode = 0600;

int OpenPrivateFile(const char* path, int flags, mode_t mode, uid_t owner);

// Which step of ReplacePrivateFile failed, in words that begin a message
// ("Failed to write"), and the error number.
struct FileFailure {
  const char* step = nullptr;
  int error = 0;
};

// Replaces whatever is at |path| with a new file of the user's alone
// (kPrivateFileMode) holding |data| byte for byte, flushed to disk. A file or
// link that appears at the name after the old one is removed is a failure,
// never something to write through. On a failure |*failure| says why and no
// partial file is left.
bool ReplacePrivateFile(const std::string& path,
                        std::string_view data,
                        FileFailure* failure);

#endif  // RUNNER_PRIVATE_FILE_H_
