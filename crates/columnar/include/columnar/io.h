// Byte-level I/O errors and the sink interface the IPC stream writer writes to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "columnar/result.h"

namespace columnar {

// One I/O failure. An operating-system failure displays as
// "{description} (os error {number})"; an error with its own text displays as
// that text.
class IoError {
 public:
  enum class Kind {
    Os,             // carries errno
    UnexpectedEof,  // input ended before the bytes asked for
    WriteZero,      // a sink accepted no bytes
    Other,
  };

  static IoError from_errno(int os_code);
  static IoError unexpected_eof(std::string message = "failed to fill whole buffer") {
    return IoError(Kind::UnexpectedEof, 0, std::move(message));
  }
  static IoError write_zero(std::string message) { return IoError(Kind::WriteZero, 0, std::move(message)); }
  static IoError other(std::string message) { return IoError(Kind::Other, 0, std::move(message)); }

  Kind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  bool is_interrupted() const;
  std::string to_string() const;

 private:
  IoError(Kind kind, int os_code, std::string message)
      : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

  Kind kind_;
  int os_code_;
  std::string message_;
};

using IoStatus = Result<void, IoError>;

// "{strerror text} (os error {n})".
std::string os_error_text(int os_code);

// Where encoded stream bytes go. write_all either takes every byte or fails.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual IoStatus write_all(const uint8_t* data, size_t size) = 0;
  virtual IoStatus flush() = 0;
};

}  // namespace columnar
