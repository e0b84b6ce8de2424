// Hexadecimal digits, both ways: the digit for four bits, and the value of a
// digit of either case.
//
//   kLowerHexDigits[0xA]    == 'a'
//   hex_digit_value('F')    == 15
//   hex_digit_value('g')    == -1
#pragma once

namespace wrapper {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// The value of one hexadecimal digit of either case, or -1 for any other
// character.
inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace wrapper
