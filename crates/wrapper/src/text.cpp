#include "wrapper/text.h"

#include <algorithm>
#include <cstdint>

#include "columnar/utf8.h"
#include "unicode_table.h"
#include "wrapper/hex.h"

namespace wrapper {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

using columnar::Utf8Char;

Utf8Char decode_at(std::string_view bytes, size_t pos) {
  return columnar::decode_utf8_char(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, bytes.size() - pos);
}

void append_hex_escape(std::string& out, char32_t c) {
  char digits[8];
  size_t count = 0;
  do {
    digits[count++] = kLowerHexDigits[c & 0xF];
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
    const Utf8Char d = decode_at(name, pos);
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
    const Utf8Char d = decode_at(bytes, pos);
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
