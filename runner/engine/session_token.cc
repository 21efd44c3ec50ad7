#include "session_token.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

std::string NewSessionToken() {
  uint8_t bytes[16] = {};
  size_t got = 0;
  while (got < sizeof(bytes)) {
    const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::string();
    }
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(2 * sizeof(bytes));
  for (const uint8_t byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 0x0f];
  }
  return token;
}
