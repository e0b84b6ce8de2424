// How an array of each materialised type lies in its buffers: one table per
// type that validation, decoding and writing all read. After the optional
// validity bitmap come the type's own buffers, in this order on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "columnar/buffer.h"
#include "columnar/data_type.h"

namespace columnar {

struct BufferLayout {
  const char* name;        // as error texts call it: "validity", "values", "offsets", "data"
  int64_t element_bits;    // 1 for a bitmap; 0 for value data, which the offsets size
  int64_t extra_elements;  // beyond one per row: offsets have one more entry
  size_t alignment;        // of a zero-copy view in memory, in bytes
};

inline constexpr BufferLayout kValidityLayout{"validity", 1, 0, 1};

struct TypeLayout {
  std::array<BufferLayout, 2> storage;
  size_t count;

  std::span<const BufferLayout> buffers() const { return {storage.data(), count}; }
  // Utf8: offsets into value data, rather than one element per row.
  bool has_offsets() const { return count == 2; }
};

inline constexpr TypeLayout kBooleanLayout{{{{"values", 1, 0, 1}}}, 1};
inline constexpr TypeLayout kEightByteLayout{{{{"values", 64, 0, 8}}}, 1};
inline constexpr TypeLayout kUtf8Layout{{{{"offsets", 32, 1, 4}, {"data", 0, 0, 1}}}, 2};

// The layout of `id`, or null for the types that have no arrays here.
inline const TypeLayout* layout_of(TypeId id) {
  switch (id) {
    case TypeId::Boolean: return &kBooleanLayout;
    case TypeId::Int64:
    case TypeId::Float64: return &kEightByteLayout;
    case TypeId::Utf8: return &kUtf8Layout;
    default: return nullptr;
  }
}

// Bytes `buffer` needs for rows [0, end_rows); 0 for value data.
inline int64_t needed_bytes(const BufferLayout& buffer, int64_t end_rows) {
  if (buffer.element_bits == 1) return bitmap_bytes(end_rows);
  return (end_rows + buffer.extra_elements) * (buffer.element_bits / 8);
}

// Whether `size_bytes` hold rows [0, rows) of `buffer`, with no overflow
// for any row count an untrusted header gives.
inline bool holds_rows(const BufferLayout& buffer, int64_t size_bytes, int64_t rows) {
  if (buffer.element_bits == 0) return true;
  if (buffer.element_bits == 1) return bitmap_bytes(rows) <= size_bytes;
  return rows <= size_bytes / (buffer.element_bits / 8) - buffer.extra_elements;
}

}  // namespace columnar
