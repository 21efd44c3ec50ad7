// Helpers shared by the embedding tests.
#ifndef QUON_TESTS_EMBEDDING_TEST_UTIL_H_
#define QUON_TESTS_EMBEDDING_TEST_UTIL_H_

#include <flutter_linux_standin/fl_standin.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../lib/main_loop.h"

namespace quon_test {

inline GBytes* BytesFromHex(const std::string& hex) {
  std::vector<uint8_t> data;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') {
      digits += c;
    }
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    data.push_back(
        static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return g_bytes_new(data.data(), data.size());
}

inline std::string HexFromBytes(GBytes* bytes) {
  gsize size = 0;
  const auto* data =
      static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  std::string hex;
  char part[4];
  for (gsize i = 0; i < size; i++) {
    g_snprintf(part, sizeof(part), i == 0 ? "%02x" : " %02x", data[i]);
    hex += part;
  }
  return hex;
}

inline std::string ValueText(FlValue* value) {
  g_autofree gchar* text = fl_value_to_string(value);
  return text;
}

// Runs every source that is ready now, without waiting.
inline void Drain() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

}  // namespace quon_test

#endif  // QUON_TESTS_EMBEDDING_TEST_UTIL_H_
