#include "wrapper/json_parse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace wrapper {
namespace {

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string error_text(std::string_view text) {
  auto parsed = parse_json(text);
  if (parsed.ok()) return "parsed: " + parsed.value().dump();
  return parsed.error().to_string();
}

struct ErrorCase {
  const char* name;
  std::string text;
  std::string error;
};

TEST(ParseJsonTest, ReportsEachErrorWithItsPosition) {
  const std::vector<ErrorCase> cases = {
      {"empty", "", "EOF while parsing a value at line 1 column 0"},
      {"blanks only", " \t ", "EOF while parsing a value at line 1 column 3"},
      {"line feed only", "\n", "EOF while parsing a value at line 2 column 0"},
      {"open list", "[", "EOF while parsing a list at line 1 column 1"},
      {"list after a value", "[1", "EOF while parsing a list at line 1 column 2"},
      {"list after a comma", "[1,", "EOF while parsing a value at line 1 column 3"},
      {"open object", "{", "EOF while parsing an object at line 1 column 1"},
      {"object before the colon", R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {"object after the colon", R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {"object after a comma", R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
      {"open string", R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {"string after a backslash", R"("a\)", "EOF while parsing a string at line 1 column 3"},
      {"short hex escape", R"("\u12")", "EOF while parsing a string at line 1 column 6"},
      {"leading surrogate at the end", R"("\uD800)", "EOF while parsing a string at line 1 column 7"},
      {"unknown byte", "x", "expected value at line 1 column 1"},
      {"byte order mark", "\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"comma before the first item", "[,1]", "expected value at line 1 column 2"},
      {"value on a later line", "{\n  \"a\": x\n}", "expected value at line 2 column 8"},
      {"literal cut short", "tru", "EOF while parsing a value at line 1 column 3"},
      {"misspelt literal", "trux", "expected ident at line 1 column 4"},
      {"misspelt null", "[nul]", "expected ident at line 1 column 5"},
      {"missing list comma", "[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"missing object comma", R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"missing colon", R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"number key", "{1:2}", "key must be a string at line 1 column 2"},
      {"comma before the first key", "{,}", "key must be a string at line 1 column 2"},
      {"unknown escape", R"("\x")", "invalid escape at line 1 column 3"},
      {"bad hex digit", R"("\u12x4")", "invalid escape at line 1 column 6"},
      {"leading zero", "01", "invalid number at line 1 column 2"},
      {"minus alone in a list", "[-]", "invalid number at line 1 column 3"},
      {"minus at the end", "-", "EOF while parsing a value at line 1 column 1"},
      {"no fraction digit", "1.x", "invalid number at line 1 column 3"},
      {"fraction at the end", "1.", "EOF while parsing a value at line 1 column 2"},
      {"no exponent digit", "1e+x", "invalid number at line 1 column 4"},
      {"exponent at the end", "1e", "EOF while parsing a value at line 1 column 2"},
      {"double overflow", "1e400", "number out of range at line 1 column 5"},
      {"negative double overflow", "[-1.5e400]", "number out of range at line 1 column 9"},
      {"long integer overflow", "1" + std::string(400, '0'), "number out of range at line 1 column 401"},
      {"exponent past 32 bits", "1e99999999999", "number out of range at line 1 column 12"},
      {"control byte in a string", "\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"line feed in a string", "\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"value after the value", "1 x", "trailing characters at line 1 column 3"},
      {"second value on a later line", "{}\n\n  {}", "trailing characters at line 3 column 3"},
      {"list closed twice", "[]]", "trailing characters at line 1 column 3"},
      {"NUL after the value", std::string("{}\0", 3), "trailing characters at line 1 column 3"},
      {"comma before the list end", "[1,]", "trailing comma at line 1 column 4"},
      {"comma before the object end", R"({"a":1, })", "trailing comma at line 1 column 9"},
      {"lone trailing surrogate", R"("\uDC00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {"leading surrogate then a letter", R"("\uD800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {"leading surrogate then the quote", R"("\uD800")", "unexpected end of hex escape at line 1 column 8"},
      {"leading surrogate then another escape", R"("\uD800\n")", "unexpected end of hex escape at line 1 column 9"},
      {"128 nested lists", nested_arrays(128), "recursion limit exceeded at line 1 column 128"},
      {"128 nested objects", std::string(127, '[') + "{}" + std::string(127, ']'),
       "recursion limit exceeded at line 1 column 128"},
  };
  for (const ErrorCase& c : cases) EXPECT_EQ(error_text(c.text), c.error) << c.name;
}

TEST(ParseJsonTest, NestsUpToTheLimit) {
  auto parsed = parse_json(nested_arrays(127));
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  // The limit counts open brackets, not brackets seen: siblings at depth 127
  // are fine.
  const std::string siblings = std::string(126, '[') + "[],[],{}" + std::string(126, ']');
  EXPECT_TRUE(parse_json(siblings).ok());
  // Far deeper input stops at the limit instead of exhausting the stack.
  EXPECT_EQ(error_text(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");
}

struct ValueCase {
  const char* name;
  std::string text;
  JsonValue value;
};

TEST(ParseJsonTest, BuildsValuesOfEveryKind) {
  const std::vector<ValueCase> cases = {
      {"null", "null", nullptr},
      {"true", " true ", true},
      {"false", "\t\r\nfalse\n\t\r ", false},
      {"zero", "0", uint64_t{0}},
      {"largest unsigned", "18446744073709551615", std::numeric_limits<uint64_t>::max()},
      {"past unsigned", "18446744073709551616", 18446744073709551616.0},
      {"smallest signed", "-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"past signed", "-9223372036854775809", -9223372036854775808.0},
      {"negative zero", "-0", int64_t{0}},
      {"fraction", "-1.25", -1.25},
      {"exponent", "2E+2", 200.0},
      {"underflow to zero", "1e-400", 0.0},
      {"zero with a huge exponent", "0e99999999999", 0.0},
      {"simple escapes", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {"BMP escape", R"("caf\u00e9")", "caf\xC3\xA9"},
      {"surrogate pair", R"("\ud83d\uDE00")", "\xF0\x9F\x98\x80"},
      {"escaped NUL", R"("a\u0000b")", std::string("a\0b", 3)},
      {"raw UTF-8", "\"\xE5\x88\x97\"", "\xE5\x88\x97"},
      {"empty containers", R"([[], {}])", JsonValue::array({JsonValue::array(), JsonValue::object()})},
  };
  for (const ValueCase& c : cases) {
    auto parsed = parse_json(c.text);
    ASSERT_TRUE(parsed.ok()) << c.name << ": " << parsed.error().to_string();
    EXPECT_EQ(parsed.value(), c.value) << c.name;
    EXPECT_EQ(parsed.value().type(), c.value.type()) << c.name;
  }
}

TEST(ParseJsonTest, RepeatedKeyKeepsFirstPlaceAndLastValue) {
  auto parsed = parse_json(R"({"b": 1, "a": {"y": 1, "x": 2}, "b": [3], "c": null})");
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().dump(), R"({"b":[3],"a":{"y":1,"x":2},"c":null})");
}

TEST(ParseJsonTest, RepeatedKeyInALargeObject) {
  // Past the size where members are found through a hash index.
  std::string text = "{";
  std::string expected = "{";
  for (int i = 0; i < 40; ++i) {
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    expected += "\"k" + std::to_string(i) + "\":" + (i == 5 || i == 39 ? "\"again\"" : std::to_string(i)) + ",";
  }
  text += R"("k5":"again","k39":"again"})";
  expected.back() = '}';
  auto parsed = parse_json(text);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().dump(), expected);
}

}  // namespace
}  // namespace wrapper
