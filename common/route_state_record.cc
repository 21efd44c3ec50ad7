#include "common/route_state_record.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/fd_io.h"
#include "common/unique_fd.h"

std::string RecordedServer(const std::string& text) {
  for (const char* key : {"server_ipv4=", "server_ipv6="}) {
    const size_t at = text.find(std::string("\n") + key);
    const size_t from = text.rfind(key, 0) == 0   ? 0
                        : at == std::string::npos ? std::string::npos
                                                  : at + 1;
    if (from == std::string::npos) {
      continue;
    }
    const size_t value = from + std::strlen(key);
    const size_t end = text.find_first_of(",\n", value);
    std::string server = text.substr(
        value, end == std::string::npos ? std::string::npos : end - value);
    if (!server.empty()) {
      return server;
    }
  }
  return std::string();
}

int ReadRouteStateRecord(const char* path, std::string* text) {
  const UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    return errno;
  }
  // Written by the helper as root; anything else there is not its record.
  struct stat st = {};
  if (fstat(fd.get(), &st) != 0) {
    return errno;
  }
  if (S_ISDIR(st.st_mode)) {
    return EISDIR;
  }
  if (!S_ISREG(st.st_mode)) {
    return ENXIO;
  }
  if (st.st_uid != 0) {
    return EPERM;
  }
  text->clear();
  // A longer file is read as far as the bound: the server lines come first.
  if (!ReadUpTo(fd.get(), kRouteStateMaxBytes, text) && errno != EFBIG) {
    return errno;
  }
  return 0;
}
