#include "wrapper/json_text.h"

namespace wrapper {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
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
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
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
