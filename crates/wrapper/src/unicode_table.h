// The code points that name lists write as \u{...}: the non-printable ones
// (general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs other than the
// ASCII space) and the combining ones (Grapheme_Extend), as of one fixed
// Unicode version. The table (unicode_table.cpp) is generated from ICU by
// tools/unicode_table_gen.cpp and checked in: neither building nor running
// the binary needs ICU, and every build escapes the same code points.
#pragma once

#include <algorithm>
#include <cstddef>

namespace wrapper {

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// Sorted, disjoint and not adjacent.
extern const CodePointRange kEscapedCodePoints[];
extern const size_t kEscapedCodePointRanges;
// The Unicode version the table was generated from, "major.minor".
extern const char kEscapedCodePointsUnicodeVersion[];

inline bool needs_unicode_escape(char32_t c) {
  const CodePointRange* end = kEscapedCodePoints + kEscapedCodePointRanges;
  // The first range whose end is at or past c.
  const CodePointRange* r =
      std::lower_bound(kEscapedCodePoints, end, c, [](const CodePointRange& range, char32_t v) { return range.last < v; });
  return r != end && r->first <= c;
}

}  // namespace wrapper
