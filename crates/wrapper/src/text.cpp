#include "wrapper/text.h"

#include <algorithm>
#include <cstdint>

#include "unicode_table.h"

namespace wrapper {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// One step of UTF-8 decoding at `pos`: a well-formed character with its
// code point, or the length of the maximal subpart to replace (at least 1).
struct Decoded {
  bool valid;
  char32_t code_point;
  size_t length;
};

Decoded decode_at(std::string_view bytes, size_t pos) {
  const auto byte_at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte_at(pos);
  if (lead < 0x80) return {true, lead, 1};

  size_t needed;
  char32_t value;
  // The range of the byte after the lead is narrower for a few leads: that
  // is what rules out overlong forms, surrogates and values past U+10FFFF.
  uint8_t second_low = 0x80, second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    value = lead & 0x07;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return {false, 0, 1};
  }

  size_t length = 1;
  for (size_t k = 0; k < needed; ++k) {
    if (pos + length >= bytes.size()) return {false, 0, length};
    const uint8_t next = byte_at(pos + length);
    const uint8_t low = k == 0 ? second_low : 0x80;
    const uint8_t high = k == 0 ? second_high : 0xBF;
    if (next < low || next > high) return {false, 0, length};
    value = (value << 6) | (next & 0x3F);
    ++length;
  }
  return {true, value, length};
}

void append_hex_escape(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  size_t count = 0;
  do {
    digits[count++] = kHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

// Appends `name` quoted and escaped, ill-formed sequences shown as U+FFFD,
// and stops once `out` holds `keep_bytes` bytes: a name can be as long as the
// input's metadata, and escaping can make it five times longer.
void append_quoted_name(std::string& out, std::string_view name, size_t keep_bytes) {
  out += '"';
  size_t pos = 0;
  while (pos < name.size() && out.size() < keep_bytes) {
    const Decoded d = decode_at(name, pos);
    const std::string_view raw = name.substr(pos, d.length);
    pos += d.length;
    if (!d.valid) {
      out += kReplacement;  // U+FFFD is printable and not combining
      continue;
    }
    switch (d.code_point) {
      case U'\0': out += "\\0"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      default: break;
    }
    if (needs_unicode_escape(d.code_point)) {
      append_hex_escape(out, d.code_point);
    } else {
      out += raw;
    }
  }
  out += '"';
}

template <typename Name>
std::string format_names(const std::vector<Name>& names, size_t keep_bytes) {
  std::string out = "[";
  for (size_t i = 0; i < names.size() && out.size() < keep_bytes; ++i) {
    if (i > 0) out += ", ";
    append_quoted_name(out, names[i], keep_bytes);
  }
  out += ']';
  if (out.size() > keep_bytes) out.resize(keep_bytes);
  return out;
}

}  // namespace

std::string display_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  while (pos < bytes.size()) {
    const Decoded d = decode_at(bytes, pos);
    if (d.valid) {
      out.append(bytes.substr(pos, d.length));
    } else {
      out += kReplacement;
    }
    pos += d.length;
  }
  return out;
}

std::string format_name_list(const std::vector<std::string>& names, size_t keep_bytes) {
  return format_names(names, keep_bytes);
}

std::string format_name_list(const std::vector<std::string_view>& names, size_t keep_bytes) {
  return format_names(names, keep_bytes);
}

std::vector<std::string> sorted_by_bytes(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace wrapper
