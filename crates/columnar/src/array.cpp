#include "columnar/array.h"

#include <algorithm>
#include <string>

#include "columnar/utf8.h"
#include "layout.h"

namespace columnar {
namespace {

Status check_length(const char* what, int64_t have_bytes, int64_t need_bytes) {
  if (have_bytes < need_bytes) {
    return Error::invalid_argument(std::string(what) + " buffer has " + std::to_string(have_bytes) +
                                   " bytes, needs at least " + std::to_string(need_bytes));
  }
  return {};
}

Status check_buffer_count(const Array& array, const TypeLayout& layout) {
  const std::vector<BufferRef>& buffers = array.buffers();
  const bool all_present = std::all_of(buffers.begin(), buffers.end(), [](const BufferRef& b) { return b != nullptr; });
  if (buffers.size() == layout.buffers().size() && all_present) return {};
  return Error::invalid_argument(array.type().to_string() + " array expects " +
                                 std::to_string(layout.buffers().size()) + " buffers");
}

// A Boolean array's bitmap has been called "boolean values" here all along.
const char* size_label(const Array& array, const BufferLayout& layout) {
  return array.type().id() == TypeId::Boolean ? "boolean values" : layout.name;
}

// The value bytes a Utf8 window spans, once its offsets are checked.
struct Utf8Range {
  int32_t first;
  int32_t last;
};

// The window's offsets start at 0 or above, never decrease, and end within
// the value data.
Result<Utf8Range> check_utf8_offsets(const Array& array) {
  const uint8_t* offsets = array.buffers()[0]->data() + array.offset() * 4;
  const int64_t data_size = array.buffers()[1]->size();
  const int32_t first = load_offset(offsets, 0);
  if (first < 0) return Error::invalid_argument("Utf8 offset " + std::to_string(first) + " is negative");
  int32_t previous = first;
  for (int64_t i = 1; i <= array.length(); ++i) {
    const int32_t current = load_offset(offsets, i);
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
  return Utf8Range{first, previous};
}

// Every valid row of the window is UTF-8. When the whole range is, a row is
// exactly when both its ends fall on character boundaries; all ASCII, every
// offset is one.
Status check_utf8_values(const Array& array, Utf8Range range) {
  const uint8_t* offsets = array.buffers()[0]->data() + array.offset() * 4;
  const uint8_t* bytes = array.buffers()[1]->data();
  const auto span = static_cast<size_t>(range.last - range.first);
  const size_t ascii = ascii_prefix_length(bytes + range.first, span);
  if (ascii == span) return {};
  const bool whole_range_valid = is_valid_utf8(bytes + range.first + ascii, span - ascii);
  const auto on_boundary = [&](int32_t at) { return at == range.last || !is_utf8_continuation(bytes[at]); };
  for (int64_t i = 0; i < array.length(); ++i) {
    if (!array.is_valid(i)) continue;
    const int32_t start = load_offset(offsets, i);
    const int32_t stop = load_offset(offsets, i + 1);
    const bool valid = whole_range_valid ? on_boundary(start) && on_boundary(stop)
                                         : is_valid_utf8(bytes + start, static_cast<size_t>(stop - start));
    if (!valid) return Error::invalid_argument("invalid UTF-8 in Utf8 value at index " + std::to_string(i));
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
    TESS_TRY(check_length(kValidityLayout.name, validity_->size(), needed_bytes(kValidityLayout, end)));
  }
  if (null_count_ < 0 || null_count_ > length_) {
    return Error::invalid_argument("null count " + std::to_string(null_count_) + " is outside 0.." +
                                   std::to_string(length_));
  }
  const TypeLayout* layout = layout_of(type_.id());
  if (layout == nullptr) return Error::not_yet_implemented("arrays of type " + type_.to_string());
  TESS_TRY(check_buffer_count(*this, *layout));
  for (size_t i = 0; i < buffers_.size(); ++i) {
    const BufferLayout& buffer = layout->buffers()[i];
    if (buffer.element_bits == 0) continue;  // sized by the offsets, checked below
    TESS_TRY(check_length(size_label(*this, buffer), buffers_[i]->size(), needed_bytes(buffer, end)));
  }
  if (!layout->has_offsets()) return {};
  TESS_ASSIGN_OR_RETURN(const Utf8Range range, check_utf8_offsets(*this));
  return check_utf8_values(*this, range);
}

}  // namespace columnar
