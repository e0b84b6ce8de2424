// Text helpers for messages: showing arbitrary bytes, writing name lists and
// ordering names by their bytes.
//
//   display_lossy("a\xFF")                  == "a\uFFFD"
//   format_name_list({"a", "b\"c"})          == R"(["a", "b\"c"])"
//   sorted_by_bytes({"b", "\x80", "a"})      == {"a", "b", "\x80"}
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "wrapper/error.h"

namespace wrapper {

// The bytes with every ill-formed sequence replaced by U+FFFD, one per
// maximal subpart (the substitution Unicode recommends): a truncated
// sequence becomes one U+FFFD, every byte that cannot start or continue a
// sequence becomes one of its own.
std::string display_lossy(std::string_view bytes);

// `["a", "b"]`, or `[]` for no names. Inside a name `"` and `\` gain a
// backslash; NUL, tab, CR and LF are written \0 \t \r \n; combining
// (Grapheme_Extend) and non-printable characters are written \u{hex} with
// the code point in lowercase hex; a single quote and every other
// character stand as they are. Ill-formed UTF-8 is shown as by
// display_lossy.
//
// Only the first `keep_bytes` bytes of that text are built (all of it when
// it is shorter). The default is one byte past MESSAGE_LIMIT: whatever
// surrounds the list, truncate_message then gives the same message as it
// would from the whole list, and a list of huge names costs no more than
// that. Pass SIZE_MAX for the whole text.
std::string format_name_list(const std::vector<std::string>& names, size_t keep_bytes = MESSAGE_LIMIT + 1);
std::string format_name_list(const std::vector<std::string_view>& names, size_t keep_bytes = MESSAGE_LIMIT + 1);

// Ascending by bytes compared as unsigned values, a prefix before its
// extensions. std::string's operator< does exactly this: its traits' lt and
// compare treat char as unsigned char, whatever the signedness of char.
std::vector<std::string> sorted_by_bytes(std::vector<std::string> names);

}  // namespace wrapper
