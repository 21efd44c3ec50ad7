// The one way the runner, its watcher and the route helper move bytes
// through a descriptor: whole writes and bounded reads, each retried when a
// signal interrupts it.
#ifndef COMMON_FD_IO_H_
#define COMMON_FD_IO_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// Writes all of |data| to |fd|. False on the first failure (errno says why;
// a write that takes nothing counts as EIO).
bool WriteAll(int fd, std::string_view data);

// Reads from |fd| into |buffer| until it holds |size| bytes or the end of the
// file. The count read, or -1 on a failure (errno says why). A descriptor
// that would block (O_NONBLOCK) ends the read with what it had, errno EAGAIN.
ssize_t ReadUpTo(int fd, char* buffer, size_t size);

// Appends at most |limit| bytes of |fd| to |out|. True when the end of the
// file came within the limit; false when it did not (|out| then holds
// |limit| more bytes and errno is EFBIG) or the read failed.
bool ReadUpTo(int fd, size_t limit, std::string* out);

#endif  // COMMON_FD_IO_H_
