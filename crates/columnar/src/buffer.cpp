#include "columnar/buffer.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <utility>

namespace columnar {
namespace {

// Storage is taken from the plain allocator, over-sized by one alignment step
// and aligned inside, with the block's own address kept just before the
// aligned start. glibc's memalign would ask for size + alignment and split
// the block, so a freed batch buffer never fitted the next request of the
// same size and the heap grew by a buffer a batch; plain blocks of equal
// size are reused as they are.
static_assert(MutableBuffer::kAlignment >= 2 * sizeof(void*) && (MutableBuffer::kAlignment & (MutableBuffer::kAlignment - 1)) == 0);

uint8_t* allocate_aligned(int64_t capacity) {
  constexpr uintptr_t align = MutableBuffer::kAlignment;
  // Plain operator new, so that running out of memory takes the process's one path.
  void* block = ::operator new(static_cast<size_t>(capacity) + align);
  // 1 to `align` bytes past the block's start: room for its address.
  const uintptr_t shift = align - (reinterpret_cast<uintptr_t>(block) & (align - 1));
  uint8_t* data = static_cast<uint8_t*>(block) + shift;
  std::memcpy(data - sizeof(void*), &block, sizeof(void*));
  return data;
}

void free_aligned(uint8_t* data) {
  void* block;
  std::memcpy(&block, data - sizeof(void*), sizeof(void*));
  ::operator delete(block);
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

uint8_t* MutableBuffer::room_for(int64_t count) {
  reserve(count);
  return data_ + size_;
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
