// The allocation-failure rule: the replaced operator new family.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

// Running out of memory is not an error the run can report: say how much was
// asked for and abort, without an error line. Every allocation of the
// process comes through here.
namespace {

[[noreturn]] void allocation_failed(std::size_t size) {
  // No allocation on this path: the text is formatted on the stack.
  char text[80];
  const int n = std::snprintf(text, sizeof text, "memory allocation of %zu bytes failed\n", size);
  if (n > 0) (void)!::write(STDERR_FILENO, text, static_cast<size_t>(n));
  std::abort();
}

void* allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) allocation_failed(size);
  return p;
}

// Batch buffers take their alignment from plain blocks of their own (see
// columnar's MutableBuffer), so this path serves only small, rare requests.
void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  if (size > SIZE_MAX - align) allocation_failed(size);
  void* p = std::aligned_alloc(align, (std::max<std::size_t>(size, 1) + align - 1) / align * align);
  if (p == nullptr) allocation_failed(size);
  return p;
}

}  // namespace

// The whole family is replaced, nothrow forms included (they abort like the
// others: running out of memory has one outcome), so that no allocation of
// the library's own is ever released by ours.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
