// Parsing JSON text into the runtime's JSON value (nlohmann::ordered_json)
// with the behaviour hosts rely on: object members in file order, a repeated
// key keeping its first place and its last value, a nesting limit, only
// space/tab/LF/CR as white space, and errors that read
// "{description} at line {line} column {column}".
//
//   auto parsed = parse_json(R"({"a": [1, 2]})");
//   if (!parsed.ok()) return fmt::format("bad JSON: {}", parsed.error().to_string());
//
// Never throws (short of allocation failure) and never recurses deeper than
// the nesting limit, whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "columnar/result.h"
#include "wrapper/contract.h"

namespace wrapper {

enum class JsonErrorCode : uint8_t {
  EofWhileParsingValue,      // "EOF while parsing a value"
  EofWhileParsingList,       // "EOF while parsing a list"
  EofWhileParsingObject,     // "EOF while parsing an object"
  EofWhileParsingString,     // "EOF while parsing a string"
  ExpectedValue,             // "expected value"
  ExpectedIdent,             // "expected ident": a misspelt true/false/null
  ExpectedListCommaOrEnd,    // "expected `,` or `]`"
  ExpectedObjectCommaOrEnd,  // "expected `,` or `}`"
  ExpectedColon,             // "expected `:`"
  KeyMustBeAString,          // "key must be a string"
  InvalidEscape,             // "invalid escape"
  InvalidNumber,             // "invalid number"
  NumberOutOfRange,          // "number out of range": beyond double
  ControlCharacterInString,  // "control character (\u0000-\u001F) found while parsing a string"
  TrailingCharacters,        // "trailing characters"
  TrailingComma,             // "trailing comma"
  LoneLeadingSurrogate,      // "lone leading surrogate in hex escape"
  UnexpectedEndOfHexEscape,  // "unexpected end of hex escape"
  RecursionLimitExceeded,    // "recursion limit exceeded"
};

std::string_view json_error_description(JsonErrorCode code);

struct JsonParseError {
  JsonErrorCode code;
  size_t line;    // counted from 1
  size_t column;  // bytes before the stopping point within its line

  // "{description} at line {line} column {column}".
  std::string to_string() const;
};

// Arrays and objects nest at most kJsonDepthLimit - 1 deep; opening one more
// fails with RecursionLimitExceeded.
inline constexpr int kJsonDepthLimit = 128;

// One JSON value followed by nothing but white space. The text must be
// well-formed UTF-8 (the configuration is checked as a whole first); escapes
// can only add well-formed characters, so every string is well-formed too.
//
// Numbers: integers that fit uint64 (non-negative) or int64 (negative) are
// integers, every other number a double; a number beyond double's range is
// an error.
//
// Positions: the line and column of the byte at which the parser stopped.
// Where it stopped on a byte it had looked at but not taken (an unexpected
// byte between tokens, trailing characters) the column counts that byte;
// where it stopped at the end of the text it is the length of the last line.
columnar::Result<JsonValue, JsonParseError> parse_json(std::string_view text);

}  // namespace wrapper
