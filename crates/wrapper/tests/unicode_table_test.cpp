#include "unicode_table.h"

#include <gtest/gtest.h>

#include <string_view>

namespace wrapper {
namespace {

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

// The checked-in table: a new Unicode version is a deliberate change.
TEST(UnicodeTableTest, HoldsUnicode15) {
  EXPECT_EQ(std::string_view(kEscapedCodePointsUnicodeVersion), "15.0");
  EXPECT_FALSE(needs_unicode_escape(0x1FAF8));  // a symbol new in 15.0
  EXPECT_TRUE(needs_unicode_escape(0x2EBF0));   // unassigned until CJK Extension I (15.1)
}

}  // namespace
}  // namespace wrapper
