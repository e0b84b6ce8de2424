#include "columnar/array.h"

#include <string>

#include "columnar/utf8.h"

namespace columnar {
namespace {

Status check_length(const char* what, int64_t have_bytes, int64_t need_bytes) {
  if (have_bytes < need_bytes) {
    return Error::invalid_argument(std::string(what) + " buffer has " + std::to_string(have_bytes) +
                                   " bytes, needs at least " + std::to_string(need_bytes));
  }
  return {};
}

}  // namespace

ArrayRef Array::make(DataType type, int64_t length, int64_t offset, BufferRef validity,
                     std::vector<BufferRef> buffers, int64_t null_count) {
  if (!validity) {
    null_count = 0;
  } else if (null_count < 0) {
    null_count = length - count_set_bits(validity->data(), offset, length);
  }
  return ArrayRef(new Array(std::move(type), length, offset, null_count, std::move(validity), std::move(buffers)));
}

ArrayRef Array::slice(int64_t offset, int64_t length) const {
  const int64_t nulls =
      null_count_ == 0 || !validity_ ? 0 : length - count_set_bits(validity_->data(), offset_ + offset, length);
  return ArrayRef(new Array(type_, length, offset_ + offset, nulls, validity_, buffers_));
}

Status Array::validate() const {
  if (length_ < 0 || offset_ < 0) return Error::invalid_argument("array length and offset must not be negative");
  const int64_t end = offset_ + length_;
  if (validity_) {
    TESS_TRY(check_length("validity", validity_->size(), bitmap_bytes(end)));
  }
  if (null_count_ < 0 || null_count_ > length_) {
    return Error::invalid_argument("null count " + std::to_string(null_count_) + " is outside 0.." +
                                   std::to_string(length_));
  }
  const auto expect_buffers = [&](size_t n) -> Status {
    if (buffers_.size() != n || [&] { for (auto& b : buffers_) if (!b) return true; return false; }()) {
      return Error::invalid_argument(type_.to_string() + " array expects " + std::to_string(n) + " buffers");
    }
    return {};
  };
  switch (type_.id()) {
    case TypeId::Boolean:
      TESS_TRY(expect_buffers(1));
      return check_length("boolean values", buffers_[0]->size(), bitmap_bytes(end));
    case TypeId::Int64:
    case TypeId::Float64:
      TESS_TRY(expect_buffers(1));
      return check_length("values", buffers_[0]->size(), end * 8);
    case TypeId::Utf8: {
      TESS_TRY(expect_buffers(2));
      TESS_TRY(check_length("offsets", buffers_[0]->size(), (end + 1) * 4));
      const uint8_t* raw = buffers_[0]->data() + offset_ * 4;
      const auto offset_at = [raw](int64_t i) { return load_offset(raw, i); };
      const int64_t data_size = buffers_[1]->size();
      const int32_t first = offset_at(0);
      if (first < 0) return Error::invalid_argument("Utf8 offset " + std::to_string(first) + " is negative");
      int32_t previous = first;
      for (int64_t i = 1; i <= length_; ++i) {
        const int32_t current = offset_at(i);
        if (current < previous) {
          return Error::invalid_argument("Utf8 offsets decrease at index " + std::to_string(i) + ": " +
                                         std::to_string(previous) + " > " + std::to_string(current));
        }
        previous = current;
      }
      if (previous > data_size) {
        return Error::invalid_argument("Utf8 offset " + std::to_string(previous) + " is beyond the " +
                                       std::to_string(data_size) + " bytes of value data");
      }
      const uint8_t* bytes = buffers_[1]->data();
      const size_t range = static_cast<size_t>(previous - first);
      const size_t ascii = ascii_prefix_length(bytes + first, range);
      // All ASCII: every offset is a character boundary.
      if (ascii == range) return {};
      const bool whole_range_valid = is_valid_utf8(bytes + first + ascii, range - ascii);
      for (int64_t i = 0; i < length_; ++i) {
        if (!is_valid(i)) continue;
        const int32_t start = offset_at(i);
        const int32_t stop = offset_at(i + 1);
        const bool valid = whole_range_valid
                               ? (start == previous || !is_utf8_continuation(bytes[start])) &&
                                     (stop == previous || !is_utf8_continuation(bytes[stop]))
                               : is_valid_utf8(bytes + start, static_cast<size_t>(stop - start));
        if (!valid) {
          return Error::invalid_argument("invalid UTF-8 in Utf8 value at index " + std::to_string(i));
        }
      }
      return {};
    }
    default:
      return Error::not_yet_implemented("arrays of type " + type_.to_string());
  }
}

}  // namespace columnar
