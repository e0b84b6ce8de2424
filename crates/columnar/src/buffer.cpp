#include "columnar/buffer.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

namespace columnar {
namespace {

uint8_t* allocate_aligned(int64_t capacity) {
  return static_cast<uint8_t*>(::operator new(static_cast<size_t>(capacity),
                                              std::align_val_t{MutableBuffer::kAlignment}));
}

void free_aligned(uint8_t* data) {
  ::operator delete(data, std::align_val_t{MutableBuffer::kAlignment});
}

}  // namespace

BufferRef Buffer::empty() {
  static const BufferRef instance = std::make_shared<const Buffer>(nullptr, 0, 0, nullptr);
  return instance;
}

BufferRef Buffer::copy_of(const uint8_t* data, int64_t size) {
  MutableBuffer buffer;
  buffer.append(data, size);
  return std::move(buffer).freeze();
}

BufferRef Buffer::slice(const BufferRef& parent, int64_t offset, int64_t length) {
  return std::make_shared<const Buffer>(parent->data() + offset, length, length, parent);
}

MutableBuffer::MutableBuffer(MutableBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

MutableBuffer& MutableBuffer::operator=(MutableBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) free_aligned(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

MutableBuffer::~MutableBuffer() {
  if (data_ != nullptr) free_aligned(data_);
}

void MutableBuffer::reserve(int64_t additional) {
  const int64_t required = size_ + additional;
  if (required <= capacity_) return;
  const int64_t new_capacity = std::max(capacity_ * 2, round_up_64(required));
  uint8_t* fresh = allocate_aligned(new_capacity);
  if (size_ > 0) std::memcpy(fresh, data_, static_cast<size_t>(size_));
  if (data_ != nullptr) free_aligned(data_);
  data_ = fresh;
  capacity_ = new_capacity;
}

void MutableBuffer::resize(int64_t new_size) {
  if (new_size > size_) {
    reserve(new_size - size_);
    std::memset(data_ + size_, 0, static_cast<size_t>(new_size - size_));
  }
  size_ = new_size;
}

BufferRef MutableBuffer::freeze() && {
  if (data_ == nullptr) return Buffer::empty();
  std::shared_ptr<const void> storage(data_, [](const void* p) { free_aligned(static_cast<uint8_t*>(const_cast<void*>(p))); });
  auto frozen = std::make_shared<const Buffer>(data_, size_, capacity_, std::move(storage));
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  return frozen;
}

int64_t count_set_bits(const uint8_t* bits, int64_t offset, int64_t length) {
  int64_t count = 0;
  int64_t i = offset;
  const int64_t end = offset + length;
  for (; i < end && (i & 7) != 0; ++i) count += get_bit(bits, i);
  for (; i + 64 <= end; i += 64) {
    uint64_t word;
    std::memcpy(&word, bits + (i >> 3), sizeof word);
    count += std::popcount(word);
  }
  for (; i < end; ++i) count += get_bit(bits, i);
  return count;
}

}  // namespace columnar
