#include "wrapper/error.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "columnar/utf8.h"
#include "wrapper/byte_io.h"
#include "wrapper/json_text.h"

namespace wrapper {

std::string truncate_message(std::string message) {
  if (message.size() <= MESSAGE_LIMIT) return message;
  size_t cut = MESSAGE_KEEP;
  while (cut > 0 && columnar::is_utf8_continuation(static_cast<uint8_t>(message[cut]))) --cut;
  message.resize(cut);
  message += "...(truncated)";
  return message;
}

PluginError internal_error(std::string message) { return PluginError::make(EXIT_INTERNAL, std::move(message)); }

PluginError to_plugin_error(OperationError error) {
  switch (error.kind) {
    case OperationErrorKind::InvalidConfig: return PluginError::make(EXIT_USAGE, std::move(error.message));
    case OperationErrorKind::Unsupported: return PluginError::make(EXIT_UNSUPPORTED, std::move(error.message));
    case OperationErrorKind::InvalidInput: return PluginError::make(EXIT_INVALID_INPUT, std::move(error.message));
    case OperationErrorKind::Internal:
    default: {
      std::string message = "internal error: ";
      message += error.message;
      return internal_error(std::move(message));
    }
  }
}

std::string render_error_json(const PluginError& error) {
  std::string line = "{\"code\":" + std::to_string(static_cast<int64_t>(error.code)) + ",\"message\":";
  append_json_string(line, error.message);
  line += '}';
  return line;
}

namespace {

bool write_stderr(const std::string& text) {
  return FdSink(STDERR_FILENO, false).write_all(reinterpret_cast<const uint8_t*>(text.data()), text.size()).ok();
}

[[noreturn]] void terminate_handler() {
  // An exception escaped or the runtime gave up: the location of the failed
  // check is not known, so the handler reports its own.
  panic_hook(__FILE__, __LINE__);
}

}  // namespace

bool write_error_line(const std::string& line) {
  std::string text = line;
  text += '\n';
  return write_stderr(text);
}

void panic_hook(const char* file, int line) {
  const std::string location = "panic at " + std::string(file) + ":" + std::to_string(line) + "\n";
  (void)write_stderr(location);
  (void)write_error_line(render_error_json(internal_error("internal error: panic")));
  process_exit(EXIT_INTERNAL);
}

void install_panic_hook() { std::set_terminate(terminate_handler); }

void process_exit(int status) {
  // Standard output carries no buffer of the program's own; anything a
  // library left in stdio goes out before the process ends.
  (void)std::fflush(nullptr);
  ::_exit(status);
}

void exit_with_error(const PluginError& error) {
  (void)write_error_line(render_error_json(error));
  process_exit(error.code);
}

}  // namespace wrapper

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
