#include "columnar/utf8.h"

#include <cstring>

namespace columnar {

size_t ascii_prefix_length(const uint8_t* data, size_t size) {
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    uint64_t w[4];
    std::memcpy(w, data + i, sizeof w);
    if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) != 0) break;
  }
  while (i < size && data[i] < 0x80) ++i;
  return i;
}

bool is_valid_utf8(const uint8_t* data, size_t size) {
  size_t i = 0;
  for (;;) {
    i += ascii_prefix_length(data + i, size - i);
    if (i == size) return true;
    const Utf8Char c = decode_utf8_char(data + i, size - i);
    if (!c.valid) return false;
    i += c.length;
  }
}

void append_utf8(std::string& out, char32_t code_point) {
  const auto byte = [&out](char32_t bits) { out += static_cast<char>(bits); };
  const auto continuation = [&](int shift) { byte(0x80 | ((code_point >> shift) & 0x3F)); };
  if (code_point < 0x80) {
    byte(code_point);
  } else if (code_point < 0x800) {
    byte(0xC0 | (code_point >> 6));
    continuation(0);
  } else if (code_point < 0x10000) {
    byte(0xE0 | (code_point >> 12));
    continuation(6);
    continuation(0);
  } else {
    byte(0xF0 | (code_point >> 18));
    continuation(12);
    continuation(6);
    continuation(0);
  }
}

}  // namespace columnar
