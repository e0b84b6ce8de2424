#include "wrapper/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "columnar/utf8.h"

namespace wrapper {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

struct LossyCase {
  const char* name;
  std::string bytes;
  std::string shown;
};

TEST(DisplayLossyTest, ReplacesEachMaximalSubpartOnce) {
  const std::vector<LossyCase> cases = {
      {"empty", "", ""},
      {"ascii", "run --config", "run --config"},
      {"valid multi-byte", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone 0xFF", "\xFF", kFffd},
      {"lone continuation", "\x80", kFffd},
      {"truncated four-byte", "\xF0\x9F\x98", kFffd},
      {"truncated three-byte then ascii", "a\xE2\x82" "b", "a" + kFffd + "b"},
      {"truncated sequence cut by ascii", "\xE1\x80" "A", kFffd + "A"},
      {"overlong two-byte NUL", "\xC0\x80", repeat(kFffd, 2)},
      {"overlong three-byte", "\xE0\x80\x80", repeat(kFffd, 3)},
      {"overlong four-byte", "\xF0\x80\x80\x80", repeat(kFffd, 4)},
      {"surrogate", "\xED\xA0\x80", repeat(kFffd, 3)},
      {"above U+10FFFF", "\xF4\x90\x80\x80", repeat(kFffd, 4)},
      {"lead F5", "\xF5\x80", repeat(kFffd, 2)},
      {"two truncated sequences", "\xF1\x80\x80\xE1\x80", repeat(kFffd, 2)},
      {"valid after invalid", "\xFF\xC3\xA9", kFffd + "\xC3\xA9"},
      {"largest code point stays", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
  };
  for (const LossyCase& c : cases) {
    EXPECT_EQ(display_lossy(c.bytes), c.shown) << c.name;
    EXPECT_EQ(columnar::is_valid_utf8(c.bytes), c.bytes == c.shown) << c.name;
  }
}

struct NameListCase {
  const char* name;
  std::vector<std::string> names;
  std::string written;
};

TEST(FormatNameListTest, QuotesAndEscapesEachName) {
  const std::vector<NameListCase> cases = {
      {"empty list", {}, "[]"},
      {"one empty name", {""}, R"([""])"},
      {"two names", {"a", "b"}, R"(["a", "b"])"},
      {"quote and backslash", {"a\"b\\c"}, R"(["a\"b\\c"])"},
      {"single quote stays", {"it's"}, R"(["it's"])"},
      {"named control escapes", {std::string("\0\t\r\n", 4)}, R"(["\0\t\r\n"])"},
      {"other C0 control", {"\x01\x1b"}, R"(["\u{1}\u{1b}"])"},
      {"DEL", {"\x7f"}, R"(["\u{7f}"])"},
      {"C1 control", {"\xC2\x85"}, R"(["\u{85}"])"},
      {"zero width space (Cf)", {"a\xE2\x80\x8B"}, R"(["a\u{200b}"])"},
      {"byte order mark (Cf)", {"\xEF\xBB\xBF"}, R"(["\u{feff}"])"},
      {"no-break space (Zs)", {"a\xC2\xA0" "b"}, R"(["a\u{a0}b"])"},
      {"ascii space stays", {"a b"}, R"(["a b"])"},
      {"line separator (Zl)", {"\xE2\x80\xA8"}, R"(["\u{2028}"])"},
      {"paragraph separator (Zp)", {"\xE2\x80\xA9"}, R"(["\u{2029}"])"},
      {"private use (Co)", {"\xEE\x80\x80"}, R"(["\u{e000}"])"},
      {"unassigned (Cn)", {"\xCD\xB8"}, R"(["\u{378}"])"},
      {"noncharacter U+10FFFF (Cn)", {"\xF4\x8F\xBF\xBF"}, R"(["\u{10ffff}"])"},
      {"combining acute after a letter", {"e\xCC\x81"}, R"(["e\u{301}"])"},
      {"variation selector (Grapheme_Extend)", {"\xE2\x9D\xA4\xEF\xB8\x8F"}, "[\"\xE2\x9D\xA4\\u{fe0f}\"]"},
      {"printable non-ascii stays", {"\xC3\xA9t\xC3\xA9 \xE5\x88\x97 \xF0\x9F\x98\x80"},
       "[\"\xC3\xA9t\xC3\xA9 \xE5\x88\x97 \xF0\x9F\x98\x80\"]"},
      {"invalid bytes shown as U+FFFD", {"a\xFF"}, "[\"a" + kFffd + "\"]"},
  };
  for (const NameListCase& c : cases) EXPECT_EQ(format_name_list(c.names), c.written) << c.name;
}

TEST(FormatNameListTest, AcceptsViews) {
  const std::vector<std::string_view> names = {"input_columns", "operation"};
  EXPECT_EQ(format_name_list(names), R"(["input_columns", "operation"])");
}

// The bounded list must give exactly the message that the whole list gives
// once truncated, wherever the cut falls: inside a multi-byte character, an
// escape, a replacement character, between names, or just past the limit.
TEST(FormatNameListTest, BoundedListTruncatesLikeTheWholeList) {
  const struct {
    const char* name;
    std::vector<std::string> names;
  } cases[] = {
      {"ascii", {repeat("a", 1100)}},
      {"two-byte characters", {repeat("\xC3\xA9", 600)}},
      {"three-byte characters", {repeat("\xE5\x88\x97", 400)}},
      {"four-byte characters", {repeat("\xF0\x9F\x98\x80", 300)}},
      {"escapes of control characters", {repeat("\x01", 300)}},
      {"escapes of U+2028", {repeat("\xE2\x80\xA8", 200)}},
      {"named escapes and quotes", {repeat(std::string("\0\"\\\n", 4), 300)}},
      {"replacement characters", {repeat("\xFF", 400)}},
      {"many short names", std::vector<std::string>(400, "ab")},
      {"mixed", {repeat("x\xC3\xA9\x01\xF0\x9F\x98\x80\xFF", 150), "tail"}},
  };
  for (const auto& c : cases) {
    const std::string whole = format_name_list(c.names, SIZE_MAX);
    const std::string bounded = format_name_list(c.names);
    EXPECT_EQ(bounded, whole.substr(0, MESSAGE_LIMIT + 1)) << c.name;
    // Shift the list against the cut by a prefix of every length that moves
    // it across one escape or character, with text after the list too.
    for (size_t shift = 0; shift < 24; ++shift) {
      const std::string prefix(shift, 'p');
      EXPECT_EQ(truncate_message(prefix + bounded + ", then more"), truncate_message(prefix + whole + ", then more"))
          << c.name << " shifted by " << shift;
    }
  }
}

TEST(FormatNameListTest, ListsAroundTheLimitAreWhole) {
  // The whole text is kept up to one byte past the limit.
  for (const size_t length : {MESSAGE_LIMIT - 4, MESSAGE_LIMIT - 3, MESSAGE_LIMIT - 2, MESSAGE_LIMIT - 1}) {
    const std::vector<std::string> names = {std::string(length, 'n')};
    const std::string written = format_name_list(names);
    EXPECT_EQ(written, format_name_list(names, SIZE_MAX).substr(0, MESSAGE_LIMIT + 1)) << length;
    EXPECT_EQ(written.size(), std::min(length + 4, MESSAGE_LIMIT + 1)) << length;
  }
}

TEST(SortedByBytesTest, ComparesBytesAsUnsigned) {
  // The standard fixes char_traits<char>::lt to compare as unsigned char;
  // sorted_by_bytes relies on it for bytes from 0x80 up.
  EXPECT_TRUE(std::char_traits<char>::lt('a', '\x80'));
  EXPECT_LT(std::string("\x7f"), std::string("\xC3\xA9"));

  EXPECT_EQ(sorted_by_bytes({"b", "\xC3\xA9", "a", "ab", "", "B", "\x7f"}),
            (std::vector<std::string>{"", "B", "a", "ab", "b", "\x7f", "\xC3\xA9"}));
}

}  // namespace
}  // namespace wrapper
