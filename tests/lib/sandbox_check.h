// Shared by the C++ tests that change fixed paths, routes or links: refuse to
// run outside the namespaces that tests/lib/sandbox.sh makes.
#ifndef QUON_TESTS_LIB_SANDBOX_CHECK_H_
#define QUON_TESTS_LIB_SANDBOX_CHECK_H_

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quon_test {

inline std::string NamespaceOf(const char* kind) {
  char buf[128] = {};
  std::string path = std::string("/proc/self/ns/") + kind;
  ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// True when this process runs inside tests/lib/sandbox.sh, in mount (and,
// when |need_net|, network) namespaces other than the machine's.
inline bool InSandbox(bool need_net) {
  const char* in = std::getenv("QUON_IN_SANDBOX");
  const char* mnt = std::getenv("QUON_SANDBOX_MNTNS");
  const char* net = std::getenv("QUON_SANDBOX_NETNS");
  if (in == nullptr || std::string(in) != "1" || mnt == nullptr ||
      net == nullptr) {
    return false;
  }
  if (NamespaceOf("mnt") == mnt) {
    return false;
  }
  return !need_net || NamespaceOf("net") != net;
}

}  // namespace quon_test

#endif  // QUON_TESTS_LIB_SANDBOX_CHECK_H_
