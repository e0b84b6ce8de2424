// Immutable arrays of the four types this library materialises: Boolean,
// Int64, Float64 and Utf8 (32-bit offsets).
//
// An array is a window [offset, offset + length) over shared buffers, so a
// slice costs no copy. Buffers by type (all indexed by logical position
// offset + i):
//   Boolean:         values bitmap
//   Int64, Float64:  values
//   Utf8:            offsets (int32, length + 1 entries from `offset`), data
// The validity bitmap is optional; without one every value is valid.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "columnar/buffer.h"
#include "columnar/data_type.h"
#include "columnar/error.h"

namespace columnar {

class Array;
using ArrayRef = std::shared_ptr<const Array>;

class Array {
 public:
  // Builds an array without checking the buffers' contents; see validate().
  // `null_count` < 0 means "count it from the bitmap".
  static ArrayRef make(DataType type, int64_t length, int64_t offset, BufferRef validity,
                       std::vector<BufferRef> buffers, int64_t null_count = -1);

  // Checks that the buffers are large enough for the window and, for Utf8,
  // that the offsets are non-decreasing, within the data, and delimit valid
  // UTF-8. Decoders call it on every array they build from untrusted bytes.
  Status validate() const;

  const DataType& type() const { return type_; }
  int64_t length() const { return length_; }
  int64_t offset() const { return offset_; }
  int64_t null_count() const { return null_count_; }
  const BufferRef& validity() const { return validity_; }  // may be null
  const std::vector<BufferRef>& buffers() const { return buffers_; }

  bool is_valid(int64_t i) const {
    return null_count_ == 0 || !validity_ || get_bit(validity_->data(), offset_ + i);
  }
  bool is_null(int64_t i) const { return !is_valid(i); }

  // Zero-copy window of `length` rows from row `offset`; the null count is
  // recounted. The caller keeps offset + length within length().
  ArrayRef slice(int64_t offset, int64_t length) const;

  // Typed access; valid only for the matching type.
  bool bool_value(int64_t i) const { return get_bit(buffers_[0]->data(), offset_ + i); }
  const int64_t* int64_values() const { return reinterpret_cast<const int64_t*>(buffers_[0]->data()) + offset_; }
  const double* float64_values() const { return reinterpret_cast<const double*>(buffers_[0]->data()) + offset_; }
  // Offsets of this window: utf8_offsets()[i] and [i + 1] bound row i.
  const int32_t* utf8_offsets() const { return reinterpret_cast<const int32_t*>(buffers_[0]->data()) + offset_; }
  const uint8_t* utf8_data() const { return buffers_[1]->data(); }
  std::string_view utf8_value(int64_t i) const {
    const int32_t* o = utf8_offsets();
    return {reinterpret_cast<const char*>(utf8_data()) + o[i], static_cast<size_t>(o[i + 1] - o[i])};
  }

 private:
  Array(DataType type, int64_t length, int64_t offset, int64_t null_count, BufferRef validity,
        std::vector<BufferRef> buffers)
      : type_(std::move(type)), length_(length), offset_(offset), null_count_(null_count),
        validity_(std::move(validity)), buffers_(std::move(buffers)) {}

  DataType type_;
  int64_t length_;
  int64_t offset_;
  int64_t null_count_;
  BufferRef validity_;
  std::vector<BufferRef> buffers_;
};

// One UTF-8 character at the start of `data` (size > 0): a well-formed
// character with its code point and length, or, when ill-formed, the length
// of the maximal subpart to replace (at least 1; Unicode's recommended
// substitution). Well-formed means no overlong forms, no surrogates and
// nothing above U+10FFFF. The one decoder of the project: the validator
// below and the message texts both step with it.
struct Utf8Char {
  bool valid;
  char32_t code_point;
  size_t length;
};

inline Utf8Char decode_utf8_char(const uint8_t* data, size_t size) {
  const uint8_t lead = data[0];
  if (lead < 0x80) return {true, lead, 1};
  size_t width;
  char32_t value;
  // The range of the byte after the lead is narrower for a few leads: that
  // rules out overlong forms, surrogates and values past U+10FFFF.
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 0, 1};
  }
  for (size_t k = 1; k < width; ++k) {
    if (k >= size) return {false, 0, k};
    const uint8_t next = data[k];
    if (next < low || next > high) return {false, 0, k};
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (next & 0x3F);
  }
  return {true, value, width};
}

// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(const uint8_t* data, size_t size);
inline bool is_valid_utf8(std::string_view s) {
  return is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

}  // namespace columnar
