// Byte buffers. `Buffer` is immutable and shared (arrays, message bodies and
// slices of them all hold BufferRefs); `MutableBuffer` is the growable
// builder that freezes into one.
//
// Storage of a MutableBuffer is 128-byte aligned with a capacity that is a
// multiple of 64, so frozen buffers are aligned for every primitive type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace columnar {

class Buffer;
using BufferRef = std::shared_ptr<const Buffer>;

class Buffer {
 public:
  // A view of `size` bytes at `data`, kept alive by `owner`.
  Buffer(const uint8_t* data, int64_t size, int64_t capacity, std::shared_ptr<const void> owner)
      : data_(data), size_(size), capacity_(capacity), owner_(std::move(owner)) {}

  static BufferRef empty();
  // An owned copy of `size` bytes (aligned storage).
  static BufferRef copy_of(const uint8_t* data, int64_t size);

  const uint8_t* data() const { return data_; }
  int64_t size() const { return size_; }
  // Bytes reserved behind data(); at least size(). Slices report their size.
  int64_t capacity() const { return capacity_; }

  // Zero-copy view of [offset, offset + length); the caller checks bounds.
  static BufferRef slice(const BufferRef& parent, int64_t offset, int64_t length);

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t capacity_;
  std::shared_ptr<const void> owner_;
};

class MutableBuffer {
 public:
  static constexpr size_t kAlignment = 128;

  MutableBuffer() = default;
  explicit MutableBuffer(int64_t capacity) { reserve(capacity); }
  // Room for `capacity` bytes in a buffer whose final size is not known yet:
  // large storage then starts in the largest block kept from earlier
  // buffers, so that it can grow without new pages.
  static MutableBuffer growing(int64_t capacity);
  MutableBuffer(MutableBuffer&& other) noexcept;
  MutableBuffer& operator=(MutableBuffer&& other) noexcept;
  MutableBuffer(const MutableBuffer&) = delete;
  MutableBuffer& operator=(const MutableBuffer&) = delete;
  ~MutableBuffer();

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  int64_t size() const { return size_; }
  int64_t capacity() const { return capacity_; }

  // Ensures room for `additional` more bytes. When the capacity must grow it
  // becomes the larger of twice the old capacity and the needed size rounded
  // up to a multiple of 64.
  void reserve(int64_t additional);
  // Sets the size; new bytes are zero.
  void resize(int64_t new_size);
  void append(const void* bytes, int64_t count) {
    if (count <= 0) return;  // an empty buffer has no storage to copy into
    std::memcpy(room_for(count), bytes, static_cast<size_t>(count));
    size_ += count;
  }
  template <typename T>
  void push(const T& value) { append(&value, sizeof(T)); }
  // For writers that fill data() directly up to capacity().
  void set_size_unchecked(int64_t size) { size_ = size; }

  // Hands the storage to an immutable buffer of size() bytes; capacity kept.
  BufferRef freeze() &&;

 private:
  // reserve(count) for a count above 0, then the end of the bytes held.
  [[gnu::returns_nonnull]] uint8_t* room_for(int64_t count);

  uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  int64_t capacity_ = 0;
};

inline int64_t round_up_64(int64_t n) { return (n + 63) & ~int64_t{63}; }

// Validity bitmaps and boolean values: bit i of the bitmap is bit (i % 8) of
// byte (i / 8), least significant bit first.
inline bool get_bit(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }
inline void set_bit(uint8_t* bits, int64_t i) { bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7)); }
// Number of set bits in [offset, offset + length).
int64_t count_set_bits(const uint8_t* bits, int64_t offset, int64_t length);
// Bytes that hold `bits` bits.
inline int64_t bitmap_bytes(int64_t bits) { return (bits + 7) / 8; }

// Entry i of an int32 offsets buffer. The decoder hands offsets out 4-byte
// aligned, but an array may be built over any bytes; this load is as cheap as
// an aligned one and is defined for every address.
inline int32_t load_offset(const uint8_t* offsets, int64_t i) {
  int32_t value;
  std::memcpy(&value, offsets + i * 4, sizeof value);
  return value;
}

}  // namespace columnar
