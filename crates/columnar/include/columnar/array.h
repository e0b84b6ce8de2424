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

}  // namespace columnar
