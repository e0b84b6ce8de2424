// The checked-in Unicode table against the installed ICU. Built only where
// ICU's headers announce the table's Unicode version; the library must say
// the same, or the comparison would report a version change as faults.
#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <string>

#include "unicode_table.h"

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

std::string icu_unicode_version() {
  UVersionInfo version;
  u_getUnicodeVersion(version);
  return std::to_string(version[0]) + "." + std::to_string(version[1]);
}

TEST(UnicodeTableIcuTest, AgreesWithIcuOnEveryCodePoint) {
  ASSERT_EQ(icu_unicode_version(), kEscapedCodePointsUnicodeVersion);
  size_t mismatches = 0;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (needs_unicode_escape(static_cast<char32_t>(c)) != icu_escapes(c)) {
      if (++mismatches <= 10) ADD_FAILURE() << "U+" << std::hex << c;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace wrapper
