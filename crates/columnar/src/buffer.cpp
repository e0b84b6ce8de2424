#include "columnar/buffer.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

namespace columnar {
namespace {

constexpr uintptr_t kAlign = MutableBuffer::kAlignment;
static_assert((kAlign & (kAlign - 1)) == 0);

// Just before the aligned start of every block: the block it lies in, and
// the length of that block's mapping when it is one of its own (below), 0
// when it came from the heap.
struct BlockHeader {
  size_t mapped;
  void* block;
};
// operator new aligns to this, so a heap block always has room for it.
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= sizeof(BlockHeader) && kAlign >= sizeof(BlockHeader));

void set_header(uint8_t* data, BlockHeader header) {
  std::memcpy(data - sizeof header, &header, sizeof header);
}

BlockHeader header_of(const uint8_t* data) {
  BlockHeader header;
  std::memcpy(&header, data - sizeof header, sizeof header);
  return header;
}

// Small storage is taken from the plain allocator, over-sized by one
// alignment step and aligned inside. glibc's memalign would ask for size +
// alignment and split the block, so a freed batch buffer never fitted the
// next request of the same size and the heap grew by a buffer a batch; plain
// blocks of equal size are reused as they are.
uint8_t* allocate_on_heap(int64_t capacity) {
  // Plain operator new, so that running out of memory takes the process's one path.
  void* block = ::operator new(static_cast<size_t>(capacity) + kAlign);
  // 16 to `kAlign` bytes past the block's start: room for the header.
  const uintptr_t shift = kAlign - (reinterpret_cast<uintptr_t>(block) & (kAlign - 1));
  uint8_t* data = static_cast<uint8_t*>(block) + shift;
  set_header(data, {0, block});
  return data;
}

// Large storage (message bodies, output chunks) is mapped directly and kept
// when freed: the next body or chunk reuses its pages instead of faulting in
// a fresh mapping of the same size, as glibc does above its mmap threshold.
// A mapping grows by mremap, which moves pages and copies none; and it asks
// for transparent huge pages, which cut the faults of a first use by 512.
enum class Fit { Smallest, Largest };

class LargeBlocks {
 public:
  static constexpr int64_t kMinimum = int64_t{1} << 20;

  // A mapping of at least `bytes`, with its length in *mapped; null when the
  // kernel refuses one. A kept block serves first: the smallest that fits,
  // or the largest for storage whose final size is unknown; when none fits,
  // the largest kept is grown.
  uint8_t* take(size_t bytes, Fit fit, size_t* mapped) {
    Block block{};
    {
      const std::lock_guard lock(mutex_);
      size_t pick = count_;
      if (fit == Fit::Smallest) {
        for (size_t i = 0; i < count_; ++i) {
          if (kept_[i].length >= bytes && (pick == count_ || kept_[i].length < kept_[pick].length)) pick = i;
        }
      }
      if (pick == count_) {
        for (size_t i = 0; i < count_; ++i) {
          if (pick == count_ || kept_[i].length > kept_[pick].length) pick = i;
        }
      }
      if (pick < count_) {
        block = kept_[pick];
        kept_[pick] = kept_[--count_];
      }
    }
    if (block.base != nullptr) {
      ASAN_UNPOISON_MEMORY_REGION(block.base, block.length);
      if (block.length >= bytes) {
        *mapped = block.length;
        return block.base;
      }
      if (uint8_t* grown = grow(block.base, block.length, bytes, mapped)) return grown;
      ::munmap(block.base, block.length);
    }
    const size_t length = mapping_length(bytes);
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    ask_for_huge_pages(base, length);
    *mapped = length;
    return static_cast<uint8_t*>(base);
  }

  // The mapping at `base` made at least `bytes` long, its contents kept;
  // null (and `base` untouched) when the kernel refuses.
  static uint8_t* grow(uint8_t* base, size_t length, size_t bytes, size_t* mapped) {
    const size_t new_length = mapping_length(bytes);
    void* moved = ::mremap(base, length, new_length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return nullptr;
    ask_for_huge_pages(moved, new_length);
    *mapped = new_length;
    return static_cast<uint8_t*>(moved);
  }

  // Keeps the mapping for reuse; beyond kKept blocks the smallest goes.
  void give_back(uint8_t* base, size_t length) {
    Block unmapped{base, length};
    {
      const std::lock_guard lock(mutex_);
      if (count_ < kKept) {
        kept_[count_++] = unmapped;
        unmapped = {};
      } else {
        for (Block& kept : kept_) {
          if (kept.length < unmapped.length) std::swap(kept, unmapped);
        }
      }
      if (unmapped.base != base) ASAN_POISON_MEMORY_REGION(base, length);
    }
    if (unmapped.base != nullptr) {
      ASAN_UNPOISON_MEMORY_REGION(unmapped.base, unmapped.length);
      ::munmap(unmapped.base, unmapped.length);
    }
  }

 private:
  struct Block {
    uint8_t* base;
    size_t length;
  };
  // One input body and one output chunk (values, offsets, validity) are
  // live at a time.
  static constexpr size_t kKept = 4;
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kPage = 4096;

  // Whole huge pages from one on, so that the kernel can place and fault
  // the mapping in huge pages end to end.
  static size_t mapping_length(size_t bytes) {
    const size_t unit = bytes >= kHugePage ? kHugePage : kPage;
    return (bytes + unit - 1) / unit * unit;
  }

  // Only a hint: without transparent huge pages the mapping works the same.
  static void ask_for_huge_pages(void* base, size_t length) {
    if (length >= kHugePage) (void)::madvise(base, length, MADV_HUGEPAGE);
  }

  std::mutex mutex_;
  Block kept_[kKept] = {};
  size_t count_ = 0;
};

LargeBlocks& large_blocks() {
  // Never destroyed: buffers may be freed during the process's exit.
  static auto* blocks = new LargeBlocks;
  return *blocks;
}

// The aligned start of a mapping: one alignment step in, which holds the header.
uint8_t* start_of_mapping(uint8_t* base, size_t length) {
  uint8_t* data = base + kAlign;
  set_header(data, {length, base});
  return data;
}

uint8_t* allocate_aligned(int64_t capacity, Fit fit) {
  if (capacity >= LargeBlocks::kMinimum) {
    size_t mapped = 0;
    if (uint8_t* base = large_blocks().take(static_cast<size_t>(capacity) + kAlign, fit, &mapped)) {
      return start_of_mapping(base, mapped);
    }
    // The kernel refused a mapping: the plain allocator either finds the
    // memory or reports that it ran out.
  }
  return allocate_on_heap(capacity);
}

void free_aligned(uint8_t* data) {
  const BlockHeader header = header_of(data);
  if (header.mapped > 0) {
    large_blocks().give_back(static_cast<uint8_t*>(header.block), header.mapped);
  } else {
    ::operator delete(header.block);
  }
}

// Room for `capacity` bytes in the block behind `data` without moving it:
// a mapping longer than the capacity asked of it, or one that mremap can
// lengthen. Null when only a new block will do.
uint8_t* grow_in_mapping(uint8_t* data, int64_t capacity) {
  const BlockHeader header = header_of(data);
  if (header.mapped == 0) return nullptr;
  const size_t bytes = static_cast<size_t>(capacity) + kAlign;
  if (bytes <= header.mapped) return data;
  size_t mapped = 0;
  uint8_t* base = LargeBlocks::grow(static_cast<uint8_t*>(header.block), header.mapped, bytes, &mapped);
  return base == nullptr ? nullptr : start_of_mapping(base, mapped);
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

MutableBuffer MutableBuffer::growing(int64_t capacity) {
  MutableBuffer buffer;
  if (capacity > 0) {
    buffer.data_ = allocate_aligned(round_up_64(capacity), Fit::Largest);
    buffer.capacity_ = round_up_64(capacity);
  }
  return buffer;
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
  if (data_ != nullptr) {
    if (uint8_t* grown = grow_in_mapping(data_, new_capacity)) {
      data_ = grown;
      capacity_ = new_capacity;
      return;
    }
  }
  uint8_t* fresh = allocate_aligned(new_capacity, Fit::Smallest);
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
