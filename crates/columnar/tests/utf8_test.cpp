// The one UTF-8 implementation: validation, the one-character decoder, the
// continuation-byte test and the encoder.
#include "columnar/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace columnar {
namespace {

TEST(Utf8, Validation) {
  struct Case { std::string bytes; bool valid; };
  const std::string ascii_run(33, 'a');  // past one 32-byte step of the ASCII scan
  const Case cases[] = {
      {"", true}, {"plain ascii text longer than eight", true}, {"\xC3\xA9", true}, {"\xE4\xB8\xAD\xE6\x96\x87", true},
      {"\xF0\x9F\x98\x80", true}, {"\xF4\x8F\xBF\xBF", true},
      {"\xC3", false}, {"\xC0\x80", false}, {"\xE0\x80\x80", false}, {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false}, {"\xFF", false}, {"abcdefgh\x80", false}, {"\xF0\x9F\x98", false},
      {ascii_run.substr(0, 31) + "\xC3\xA9", true}, {ascii_run.substr(0, 32) + "\x80", false},
      {ascii_run + "\xC3", false}, {"\xC3\xA9" + ascii_run, true}, {"\xC3\xA9" + ascii_run + "\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

// One step of the shared decoder: the code point of a well-formed character,
// or the maximal subpart that one U+FFFD replaces.
TEST(Utf8, DecodesOneCharacterOrItsMaximalSubpart) {
  const struct {
    std::string bytes;
    bool valid;
    char32_t code_point;
    size_t length;
  } cases[] = {
      {"a", true, U'a', 1},
      {std::string(1, '\0'), true, 0, 1},
      {"\xC3\xA9x", true, 0xE9, 2},
      {"\xE2\x80\xA8", true, 0x2028, 3},
      {"\xF0\x9F\x98\x80", true, 0x1F600, 4},
      {"\xF4\x8F\xBF\xBF", true, 0x10FFFF, 4},
      {"\x80", false, 0, 1},                  // a lone continuation byte
      {"\xC0\x80", false, 0, 1},              // overlong lead
      {"\xE0\x80\x80", false, 0, 1},          // overlong second byte
      {"\xED\xA0\x80", false, 0, 1},          // surrogate
      {"\xF4\x90\x80\x80", false, 0, 1},      // above U+10FFFF
      {"\xE2\x80", false, 0, 2},              // truncated at the end
      {"\xF0\x9F\x98x", false, 0, 3},         // cut short by an ASCII byte
      {"\xFF", false, 0, 1},
  };
  for (const auto& c : cases) {
    const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
    const Utf8Char d = decode_utf8_char(data, c.bytes.size());
    EXPECT_EQ(d.valid, c.valid) << testing::PrintToString(c.bytes);
    EXPECT_EQ(static_cast<uint32_t>(d.code_point), static_cast<uint32_t>(c.code_point)) << testing::PrintToString(c.bytes);
    EXPECT_EQ(d.length, c.length) << testing::PrintToString(c.bytes);
  }
}

// Each width at both of its ends, and the code points around the surrogates.
TEST(Utf8, EncodesEveryWidthAndDecodesBack) {
  const struct {
    char32_t code_point;
    std::string bytes;
  } cases[] = {
      {0x0, std::string(1, '\0')}, {0x7F, "\x7F"},
      {0x80, "\xC2\x80"}, {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"}, {0xD7FF, "\xED\x9F\xBF"}, {0xE000, "\xEE\x80\x80"}, {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_utf8(out, c.code_point);
    EXPECT_EQ(out, "x" + c.bytes) << std::hex << static_cast<uint32_t>(c.code_point);
    const Utf8Char d = decode_utf8_char(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
    EXPECT_TRUE(d.valid && d.code_point == c.code_point && d.length == c.bytes.size())
        << std::hex << static_cast<uint32_t>(c.code_point);
  }
}

TEST(Utf8, ContinuationBytesAreExactly80ToBF) {
  for (int byte = 0; byte < 256; ++byte) {
    EXPECT_EQ(is_utf8_continuation(static_cast<uint8_t>(byte)), byte >= 0x80 && byte <= 0xBF) << byte;
  }
}

}  // namespace
}  // namespace columnar
