#include "columnar/io.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace columnar {

std::string os_error_text(int os_code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(os_code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(os_code) + ")";
}

IoError IoError::from_errno(int os_code) { return IoError(Kind::Os, os_code, {}); }

bool IoError::is_interrupted() const { return kind_ == Kind::Os && os_code_ == EINTR; }

std::string IoError::to_string() const { return kind_ == Kind::Os ? os_error_text(os_code_) : message_; }

}  // namespace columnar
