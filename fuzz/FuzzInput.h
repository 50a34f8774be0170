#pragma once
// Turns a fuzzer's bytes into small numbers and texts, and stops the run on a
// broken invariant.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tarvik::fuzz {

struct Reader {
  const uint8_t* data;
  size_t size;
  bool Empty() const { return size == 0; }
  uint8_t Byte() {
    if (!size) return 0;
    --size;
    return *data++;
  }
  // A length byte, then that many bytes; now and then a long one.
  std::string Text() {
    size_t length = Byte();
    if (length > 200) length = (length - 200) * 97;
    std::string text;
    for (size_t i = 0; i < length && size; ++i) text.push_back(static_cast<char>(Byte()));
    return text;
  }
};

// Names the line of the broken check before the run stops.
inline void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

}  // namespace tarvik::fuzz
