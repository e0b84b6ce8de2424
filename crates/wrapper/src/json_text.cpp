#include "wrapper/json_text.h"

#include "wrapper/hex.h"

namespace wrapper {

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kLowerHexDigits[byte >> 4];
          out += kLowerHexDigits[byte & 0xF];
        } else {
          out += c;
        }
        break;
    }
  }
  out += '"';
}

void append_json_string_array(std::string& out, const std::vector<std::string>& items) {
  out += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    append_json_string(out, items[i]);
  }
  out += ']';
}

}  // namespace wrapper
