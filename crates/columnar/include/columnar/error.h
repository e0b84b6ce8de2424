// The columnar library's error value. Its display text names the kind first,
// the way hosts of Arrow data expect to read it:
//   Error::invalid_argument("bad offsets").to_string()
//     == "Invalid argument error: bad offsets"
#pragma once

#include <string>
#include <utility>

#include "columnar/result.h"

namespace columnar {

enum class ErrorKind {
  InvalidArgument,   // "Invalid argument error: "
  Io,                // "Io error: "
  Ipc,               // "Ipc error: "
  NotYetImplemented, // "Not yet implemented: "
};

class Error {
 public:
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static Error invalid_argument(std::string m) { return {ErrorKind::InvalidArgument, std::move(m)}; }
  static Error io(std::string m) { return {ErrorKind::Io, std::move(m)}; }
  static Error ipc(std::string m) { return {ErrorKind::Ipc, std::move(m)}; }
  static Error not_yet_implemented(std::string m) { return {ErrorKind::NotYetImplemented, std::move(m)}; }

  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // "<Kind prefix><message>", e.g. "Io error: Broken pipe (os error 32)".
  std::string to_string() const;

 private:
  ErrorKind kind_;
  std::string message_;
};

using Status = Result<void, Error>;

}  // namespace columnar
