#include "bounded_log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/fd_io.h"
#include "common/unique_fd.h"
#include "private_file.h"

namespace {

// How far into the kept tail a line start is looked for.
constexpr off_t kLineSearchBytes = 4096;

off_t FileSize(int fd) {
  struct stat st = {};
  return fstat(fd, &st) == 0 ? st.st_size : -1;
}

// Copies [from, to) of |fd| to |dest| onward; the new end, or -1. The
// descriptor's own offset is this function's alone (a writer that appends
// has a descriptor of its own).
off_t CopyDown(int fd, off_t from, off_t to, off_t dest) {
  std::string buffer(65536, '\0');
  while (from < to) {
    const auto want = static_cast<size_t>(
        std::min<off_t>(to - from, static_cast<off_t>(buffer.size())));
    if (lseek(fd, from, SEEK_SET) != from) {
      return -1;
    }
    const ssize_t n = ReadUpTo(fd, &buffer[0], want);
    if (n <= 0 || lseek(fd, dest, SEEK_SET) != dest ||
        !WriteAll(fd,
                  std::string_view(buffer.data(), static_cast<size_t>(n)))) {
      return -1;
    }
    from += n;
    dest += n;
  }
  return dest;
}

// Where the kept tail begins: just after the first newline near |from|, so
// the log starts with a whole line, or |from| itself when none is near.
off_t TailStart(int fd, off_t from, off_t size) {
  std::string buffer(static_cast<size_t>(kLineSearchBytes), '\0');
  const ssize_t n = pread(fd, &buffer[0], buffer.size(), from);
  if (n <= 0) {
    return from;
  }
  const size_t newline = buffer.find('\n');
  if (newline == std::string::npos || newline >= static_cast<size_t>(n)) {
    return from;
  }
  const off_t start = from + static_cast<off_t>(newline) + 1;
  return start < size ? start : from;
}

bool IsContinuationByte(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Length of the UTF-8 sequence that |lead| begins; 0 for a byte that begins
// none.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) {
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    return 2;
  }
  if ((lead & 0xF0) == 0xE0) {
    return 3;
  }
  if ((lead & 0xF8) == 0xF0) {
    return 4;
  }
  return 0;
}

}  // namespace

void BoundLog(const char* path) {
  if (path == nullptr || path[0] == '\0') {
    return;
  }
  const int fd = OpenPrivateFile(path, O_RDWR, 0, geteuid());
  if (fd < 0) {
    return;
  }
  off_t size = FileSize(fd);
  if (size > kLogLimitBytes) {
    off_t from = TailStart(fd, size - kLogKeepBytes, size);
    off_t end = 0;
    // A writer with the file open for append may add to it meanwhile:
    // whatever it added is moved down too, until the size holds still.
    while (end >= 0 && from < size) {
      end = CopyDown(fd, from, size, end);
      from = size;
      size = FileSize(fd);
    }
    if (end >= 0) {
      (void)ftruncate(fd, end);
    }
  }
  (void)close(fd);
}

void AppendLogLine(const std::string& path, const std::string& line) {
  BoundLog(path.c_str());
  const UniqueFd fd(OpenPrivateFile(path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                    kPrivateFileMode, geteuid()));
  if (fd.valid()) {
    (void)WriteAll(fd.get(), line + "\n");
  }
}

std::string ReadLogTail(const std::string& path, off_t max_bytes) {
  const UniqueFd fd(OpenPrivateFile(path.c_str(), O_RDONLY, 0, geteuid()));
  if (!fd.valid()) {
    return std::string();
  }
  // The writer may append while this reads: the size is taken once, and no
  // more than the tail's length is read whatever the file holds by then.
  std::string tail;
  const off_t size = lseek(fd.get(), 0, SEEK_END);
  const off_t from = size > max_bytes ? size - max_bytes : 0;
  if (size >= 0 && lseek(fd.get(), from, SEEK_SET) == from) {
    tail.resize(static_cast<size_t>(max_bytes));
    const ssize_t got = ReadUpTo(fd.get(), &tail[0], tail.size());
    tail.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  return TrimToCharacterBoundaries(tail, from > 0);
}

std::string TrimToCharacterBoundaries(const std::string& text,
                                      bool cut_at_start) {
  size_t begin = 0;
  if (cut_at_start) {
    while (begin < text.size() && begin < 3 &&
           IsContinuationByte(static_cast<unsigned char>(text[begin]))) {
      ++begin;
    }
  }
  size_t end = text.size();
  for (size_t back = 1; back <= 4 && back <= end - begin; ++back) {
    const auto c = static_cast<unsigned char>(text[end - back]);
    if (IsContinuationByte(c)) {
      continue;
    }
    const size_t need = SequenceLength(c);
    if (need > back) {
      end -= back;
    }
    break;
  }
  return text.substr(begin, end - begin);
}
