// UTF-8, the one implementation of the project: one character decoded, a
// byte range validated, the continuation-byte test and one code point
// encoded. "Well-formed" means no overlong forms, no surrogates and nothing
// above U+10FFFF.
//
//   decode_utf8_char(p, n)      -> {valid, code_point, length}
//   is_valid_utf8("\xC3\xA9")   == true
//   append_utf8(out, U'\u00E9') appends "\xC3\xA9"
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace columnar {

// A byte that can only continue a character, never start one: a cut before
// it splits a character.
inline bool is_utf8_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The largest character boundary at or below `limit` in `text`, which is
// longer than `limit`: where a text is cut so as not to split a character.
inline size_t utf8_cut_point(std::string_view text, size_t limit) {
  size_t at = limit;
  while (at > 0 && is_utf8_continuation(static_cast<uint8_t>(text[at]))) --at;
  return at;
}

// One UTF-8 character at the start of `data` (size > 0): a well-formed
// character with its code point and length, or, when ill-formed, the length
// of the maximal subpart to replace (at least 1; Unicode's recommended
// substitution). The validator and the message texts both step with it.
struct Utf8Char {
  bool valid;
  char32_t code_point;
  size_t length;
};

inline Utf8Char decode_utf8_char(const uint8_t* data, size_t size) {
  const uint8_t lead = data[0];
  if (lead < 0x80) return {true, lead, 1};
  size_t width;
  char32_t value;
  // The range of the byte after the lead is narrower for a few leads: that
  // rules out overlong forms, surrogates and values past U+10FFFF.
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 0, 1};
  }
  for (size_t k = 1; k < width; ++k) {
    if (k >= size) return {false, 0, k};
    const uint8_t next = data[k];
    if (next < low || next > high) return {false, 0, k};
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (next & 0x3F);
  }
  return {true, value, width};
}

// Length of the leading run of ASCII bytes. Real string data is mostly
// ASCII, so this run is the cost of validating it and is read 32 bytes a
// step.
size_t ascii_prefix_length(const uint8_t* data, size_t size);

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(const uint8_t* data, size_t size);
inline bool is_valid_utf8(std::string_view s) {
  return is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Appends the UTF-8 form of `code_point`.
// Precondition: a Unicode scalar value (at most U+10FFFF, not a surrogate).
void append_utf8(std::string& out, char32_t code_point);

}  // namespace columnar
