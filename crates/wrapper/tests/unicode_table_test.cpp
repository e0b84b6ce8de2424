#include "unicode_table.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

namespace wrapper {
namespace {

// What the generator asks ICU, asked again here independently.
bool icu_escapes(UChar32 c) {
  if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
  if (c == U' ') return false;
  const int8_t category = u_charType(c);
  return category == U_CONTROL_CHAR || category == U_FORMAT_CHAR || category == U_SURROGATE ||
         category == U_PRIVATE_USE_CHAR || category == U_UNASSIGNED || category == U_LINE_SEPARATOR ||
         category == U_PARAGRAPH_SEPARATOR || category == U_SPACE_SEPARATOR;
}

TEST(UnicodeTableTest, AgreesWithIcuOnEveryCodePoint) {
  size_t mismatches = 0;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (needs_unicode_escape(static_cast<char32_t>(c)) != icu_escapes(c)) {
      if (++mismatches <= 10) ADD_FAILURE() << "U+" << std::hex << c;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(UnicodeTableTest, RangesAreSortedDisjointAndNotAdjacent) {
  ASSERT_GT(kEscapedCodePointRanges, 0u);
  for (size_t i = 0; i < kEscapedCodePointRanges; ++i) {
    EXPECT_LE(kEscapedCodePoints[i].first, kEscapedCodePoints[i].last) << i;
    if (i > 0) {
      EXPECT_GT(kEscapedCodePoints[i].first, kEscapedCodePoints[i - 1].last + 1) << i;
    }
  }
  EXPECT_LE(kEscapedCodePoints[kEscapedCodePointRanges - 1].last, U'\U0010FFFF');
}

TEST(UnicodeTableTest, EdgesOfTheCodeSpace) {
  EXPECT_TRUE(needs_unicode_escape(0));
  EXPECT_FALSE(needs_unicode_escape(U' '));
  EXPECT_FALSE(needs_unicode_escape(U'a'));
  EXPECT_TRUE(needs_unicode_escape(0x7F));
  EXPECT_TRUE(needs_unicode_escape(0x10FFFF));
  EXPECT_TRUE(needs_unicode_escape(0x110000 - 1));
}

}  // namespace
}  // namespace wrapper
