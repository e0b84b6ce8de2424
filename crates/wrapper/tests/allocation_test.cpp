// The process's replacement of the aligned operator new/delete: the
// alignment and the rounding of the size are what can go wrong.
#include <cstdint>
#include <cstring>
#include <new>

#include <gtest/gtest.h>

namespace {

TEST(AlignedAllocation, IsAlignedWritableAndFreedWhole) {
  for (const std::size_t alignment : {16u, 32u, 64u, 128u, 256u, 4096u}) {
    for (const std::size_t size : {0u, 1u, 63u, 1000u, 4u << 20}) {
      void* p = ::operator new(size, std::align_val_t{alignment});
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u) << alignment << " " << size;
      // Every byte asked for is ours (the sanitizer build sees a write beyond it).
      if (size > 0) std::memset(p, 0xab, size);
      ::operator delete(p, std::align_val_t{alignment});
    }
  }
  struct alignas(128) Wide {
    uint8_t bytes[200];
  };
  auto* array = new Wide[3];
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array) % 128, 0u);
  delete[] array;
}

// The nothrow forms must come from the same family as the delete that frees
// them (the sanitizer build reports a mismatch otherwise).
TEST(Allocation, NothrowFormsPairWithTheReplacedDeletes) {
  void* p = ::operator new(100, std::nothrow);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xcd, 100);
  ::operator delete(p);
  void* q = ::operator new[](100, std::align_val_t{64}, std::nothrow);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(q) % 64, 0u);
  ::operator delete[](q, std::align_val_t{64});
  auto* value = new (std::nothrow) int(7);
  EXPECT_EQ(*value, 7);
  delete value;
}

}  // namespace
