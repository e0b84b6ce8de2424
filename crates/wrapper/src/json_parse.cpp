// A recursive-descent JSON parser that builds nlohmann::ordered_json itself:
// nlohmann's own parser (SAX or not) reports different descriptions and
// positions from the ones hosts know, so the grammar, the error points and
// the depth limit are kept here, in one place.
#include "wrapper/json_parse.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "columnar/utf8.h"
#include "wrapper/hex.h"

namespace wrapper {

std::string_view json_error_description(JsonErrorCode code) {
  switch (code) {
    case JsonErrorCode::EofWhileParsingValue: return "EOF while parsing a value";
    case JsonErrorCode::EofWhileParsingList: return "EOF while parsing a list";
    case JsonErrorCode::EofWhileParsingObject: return "EOF while parsing an object";
    case JsonErrorCode::EofWhileParsingString: return "EOF while parsing a string";
    case JsonErrorCode::ExpectedValue: return "expected value";
    case JsonErrorCode::ExpectedIdent: return "expected ident";
    case JsonErrorCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
    case JsonErrorCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case JsonErrorCode::ExpectedColon: return "expected `:`";
    case JsonErrorCode::KeyMustBeAString: return "key must be a string";
    case JsonErrorCode::InvalidEscape: return "invalid escape";
    case JsonErrorCode::InvalidNumber: return "invalid number";
    case JsonErrorCode::NumberOutOfRange: return "number out of range";
    case JsonErrorCode::ControlCharacterInString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case JsonErrorCode::TrailingCharacters: return "trailing characters";
    case JsonErrorCode::TrailingComma: return "trailing comma";
    case JsonErrorCode::LoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case JsonErrorCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case JsonErrorCode::RecursionLimitExceeded: return "recursion limit exceeded";
    default: return "unknown JSON error";
  }
}

std::string JsonParseError::to_string() const {
  std::string text(json_error_description(code));
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(column);
  return text;
}

namespace {

using ObjectMembers = JsonValue::object_t;

// Members are gathered here first: ordered_map's elements hold a const key,
// so growing it copies whole subtrees, while this vector moves them.
class ObjectBuilder {
 public:
  void put(std::string key, JsonValue value) {
    if (const std::optional<size_t> at = find(key)) {
      members_[*at].second = std::move(value);
      return;
    }
    if (!index_.empty() || members_.size() + 1 >= kIndexFrom) {
      if (index_.empty()) {
        for (size_t i = 0; i < members_.size(); ++i) index_.emplace(members_[i].first, i);
      }
      index_.emplace(key, members_.size());
    }
    members_.emplace_back(std::move(key), std::move(value));
  }

  JsonValue build() && {
    JsonValue object(JsonValue::value_t::object);
    ObjectMembers& out = *object.get_ptr<ObjectMembers*>();
    out.reserve(members_.size());
    for (auto& [key, value] : members_) out.ObjectMembers::Container::emplace_back(std::move(key), std::move(value));
    return object;
  }

 private:
  // Below this many members a linear scan is cheaper than hashing.
  static constexpr size_t kIndexFrom = 16;

  std::optional<size_t> find(const std::string& key) const {
    if (!index_.empty()) {
      const auto it = index_.find(key);
      if (it == index_.end()) return std::nullopt;
      return it->second;
    }
    for (size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].first == key) return i;
    }
    return std::nullopt;
  }

  std::vector<std::pair<std::string, JsonValue>> members_;
  std::unordered_map<std::string, size_t> index_;
};

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Parses the number text (already checked against the grammar) without
// depending on the process locale.
double parse_double(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text.c_str(), nullptr, c_locale);
}

// The reader keeps `index_` on the next byte not yet taken. An error raised
// after taking a byte reports the position before `index_`; an error about a
// byte only looked at (peeked) reports the position just past it, so that
// its column counts it.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  columnar::Result<JsonValue, JsonParseError> run() {
    JsonValue value;
    if (!parse_value(value)) return *error_;
    if (skip_white_space().has_value()) {
      fail_peeked(JsonErrorCode::TrailingCharacters);
      return *error_;
    }
    return value;
  }

 private:
  std::optional<char> peek() const {
    if (index_ < text_.size()) return text_[index_];
    return std::nullopt;
  }

  std::optional<char> next() {
    if (index_ < text_.size()) return text_[index_++];
    return std::nullopt;
  }

  std::optional<char> skip_white_space() {
    while (index_ < text_.size()) {
      const char c = text_[index_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c;
      ++index_;
    }
    return std::nullopt;
  }

  bool fail_at(JsonErrorCode code, size_t index) {
    const size_t line_start = [&] {
      const size_t newline = text_.substr(0, index).rfind('\n');
      return newline == std::string_view::npos ? 0 : newline + 1;
    }();
    size_t line = 1;
    for (size_t i = 0; i < line_start; ++i) line += text_[i] == '\n' ? 1 : 0;
    error_ = JsonParseError{code, line, index - line_start};
    return false;
  }
  bool fail(JsonErrorCode code) { return fail_at(code, index_); }
  bool fail_peeked(JsonErrorCode code) { return fail_at(code, std::min(text_.size(), index_ + 1)); }

  bool parse_value(JsonValue& out) {
    const std::optional<char> peeked = skip_white_space();
    if (!peeked) return fail_peeked(JsonErrorCode::EofWhileParsingValue);
    switch (*peeked) {
      case 'n':
        ++index_;
        if (!parse_ident("ull")) return false;
        out = nullptr;
        return true;
      case 't':
        ++index_;
        if (!parse_ident("rue")) return false;
        out = true;
        return true;
      case 'f':
        ++index_;
        if (!parse_ident("alse")) return false;
        out = false;
        return true;
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return parse_number(out);
      case '"': {
        ++index_;
        std::string text;
        if (!parse_string(text)) return false;
        out = std::move(text);
        return true;
      }
      case '[':
      case '{': {
        // Checked before going down, so the recursion never passes the limit.
        if (--remaining_depth_ == 0) return fail_peeked(JsonErrorCode::RecursionLimitExceeded);
        ++index_;
        const bool ok = *peeked == '[' ? parse_array(out) : parse_object(out);
        ++remaining_depth_;
        return ok;
      }
      default:
        return fail_peeked(JsonErrorCode::ExpectedValue);
    }
  }

  bool parse_ident(std::string_view rest) {
    for (const char expected : rest) {
      const std::optional<char> c = next();
      if (!c) return fail(JsonErrorCode::EofWhileParsingValue);
      if (*c != expected) return fail(JsonErrorCode::ExpectedIdent);
    }
    return true;
  }

  bool parse_number(JsonValue& out) {
    const size_t start = index_;
    const bool negative = text_[index_] == '-';
    if (negative) ++index_;

    const std::optional<char> first = next();
    if (!first) return fail(JsonErrorCode::EofWhileParsingValue);
    if (!is_digit(*first)) return fail(JsonErrorCode::InvalidNumber);

    uint64_t magnitude = static_cast<uint64_t>(*first - '0');
    bool fits_u64 = true;
    bool nonzero_digit = *first != '0';
    if (*first == '0') {
      if (is_digit(peek().value_or('\0'))) return fail_peeked(JsonErrorCode::InvalidNumber);
    } else {
      while (is_digit(peek().value_or('\0'))) {
        const auto digit = static_cast<uint64_t>(text_[index_++] - '0');
        if (fits_u64 && magnitude > (UINT64_MAX - digit) / 10) fits_u64 = false;
        if (fits_u64) magnitude = magnitude * 10 + digit;
      }
    }

    bool is_float = false;
    if (peek() == '.') {
      is_float = true;
      ++index_;
      bool any_digit = false;
      while (is_digit(peek().value_or('\0'))) {
        nonzero_digit = nonzero_digit || text_[index_] != '0';
        any_digit = true;
        ++index_;
      }
      if (!any_digit) {
        return fail_peeked(peek() ? JsonErrorCode::InvalidNumber : JsonErrorCode::EofWhileParsingValue);
      }
    }

    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++index_;
      bool positive_exponent = true;
      if (peek() == '+') {
        ++index_;
      } else if (peek() == '-') {
        positive_exponent = false;
        ++index_;
      }
      const std::optional<char> c = next();
      if (!c) return fail(JsonErrorCode::EofWhileParsingValue);
      if (!is_digit(*c)) return fail(JsonErrorCode::InvalidNumber);
      int32_t exponent = *c - '0';
      while (is_digit(peek().value_or('\0'))) {
        const int32_t digit = text_[index_++] - '0';
        if (exponent > (INT32_MAX - digit) / 10) {
          // An exponent past 32 bits: a sure overflow unless the value is
          // zero or shrinks towards zero.
          if (nonzero_digit && positive_exponent) return fail(JsonErrorCode::NumberOutOfRange);
          while (is_digit(peek().value_or('\0'))) ++index_;
          out = negative ? -0.0 : 0.0;
          return true;
        }
        exponent = exponent * 10 + digit;
      }
    }

    if (!is_float && fits_u64) {
      if (!negative) {
        out = magnitude;
        return true;
      }
      if (magnitude <= static_cast<uint64_t>(INT64_MAX) + 1) {
        out = static_cast<int64_t>(0 - magnitude);
        return true;
      }
    }
    const double value = parse_double(std::string(text_.substr(start, index_ - start)));
    if (std::isinf(value)) return fail(JsonErrorCode::NumberOutOfRange);
    out = value;
    return true;
  }

  // After the opening quote; leaves index_ past the closing quote.
  bool parse_string(std::string& out) {
    size_t start = index_;
    while (true) {
      while (index_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[index_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++index_;
      }
      if (index_ == text_.size()) return fail(JsonErrorCode::EofWhileParsingString);
      const char c = text_[index_];
      out.append(text_.substr(start, index_ - start));
      ++index_;
      if (c == '"') return true;
      if (c != '\\') return fail(JsonErrorCode::ControlCharacterInString);
      if (!parse_escape(out)) return false;
      start = index_;
    }
  }

  // After the backslash.
  bool parse_escape(std::string& out) {
    const std::optional<char> c = next();
    if (!c) return fail(JsonErrorCode::EofWhileParsingString);
    switch (*c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': return parse_unicode_escape(out);
      default: return fail(JsonErrorCode::InvalidEscape);
    }
  }

  // After "\u".
  bool parse_unicode_escape(std::string& out) {
    uint32_t unit = 0;
    if (!parse_hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(JsonErrorCode::LoneLeadingSurrogate);
    if (unit < 0xD800 || unit > 0xDBFF) {
      columnar::append_utf8(out, unit);
      return true;
    }
    // A leading surrogate must be followed at once by "\u" and a trailing one.
    for (const char expected : {'\\', 'u'}) {
      const std::optional<char> c = next();
      if (!c) return fail(JsonErrorCode::EofWhileParsingString);
      if (*c != expected) return fail(JsonErrorCode::UnexpectedEndOfHexEscape);
    }
    uint32_t trailing = 0;
    if (!parse_hex4(trailing)) return false;
    if (trailing < 0xDC00 || trailing > 0xDFFF) return fail(JsonErrorCode::LoneLeadingSurrogate);
    columnar::append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00));
    return true;
  }

  bool parse_hex4(uint32_t& unit) {
    if (text_.size() - index_ < 4) {
      index_ = text_.size();
      return fail(JsonErrorCode::EofWhileParsingString);
    }
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_digit_value(text_[index_++]);
      if (digit < 0) return fail(JsonErrorCode::InvalidEscape);
      unit = (unit << 4) | static_cast<uint32_t>(digit);
    }
    return true;
  }

  // After the opening bracket.
  bool parse_array(JsonValue& out) {
    out = JsonValue::array();
    JsonValue::array_t& items = *out.get_ptr<JsonValue::array_t*>();
    bool first = true;
    while (true) {
      std::optional<char> c = skip_white_space();
      if (c == ']') {
        ++index_;
        return true;
      }
      if (c == ',' && !first) {
        ++index_;
        c = skip_white_space();
      } else if (c) {
        if (!first) return fail_peeked(JsonErrorCode::ExpectedListCommaOrEnd);
        first = false;
      } else {
        return fail_peeked(JsonErrorCode::EofWhileParsingList);
      }
      if (c == ']') return fail_peeked(JsonErrorCode::TrailingComma);
      if (!c) return fail_peeked(JsonErrorCode::EofWhileParsingValue);
      JsonValue item;
      if (!parse_value(item)) return false;
      items.push_back(std::move(item));
    }
  }

  // After the opening brace.
  bool parse_object(JsonValue& out) {
    ObjectBuilder members;
    bool first = true;
    while (true) {
      std::optional<char> c = skip_white_space();
      if (c == '}') {
        ++index_;
        out = std::move(members).build();
        return true;
      }
      if (c == ',' && !first) {
        ++index_;
        c = skip_white_space();
      } else if (c) {
        if (!first) return fail_peeked(JsonErrorCode::ExpectedObjectCommaOrEnd);
        first = false;
      } else {
        return fail_peeked(JsonErrorCode::EofWhileParsingObject);
      }
      if (c == '}') return fail_peeked(JsonErrorCode::TrailingComma);
      if (!c) return fail_peeked(JsonErrorCode::EofWhileParsingValue);
      if (c != '"') return fail_peeked(JsonErrorCode::KeyMustBeAString);
      ++index_;
      std::string key;
      if (!parse_string(key)) return false;

      c = skip_white_space();
      if (!c) return fail_peeked(JsonErrorCode::EofWhileParsingObject);
      if (c != ':') return fail_peeked(JsonErrorCode::ExpectedColon);
      ++index_;

      JsonValue value;
      if (!parse_value(value)) return false;
      members.put(std::move(key), std::move(value));
    }
  }

  std::string_view text_;
  size_t index_ = 0;
  int remaining_depth_ = kJsonDepthLimit;
  std::optional<JsonParseError> error_;
};

}  // namespace

columnar::Result<JsonValue, JsonParseError> parse_json(std::string_view text) { return Parser(text).run(); }

}  // namespace wrapper
