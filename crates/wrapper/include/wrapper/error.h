// The runtime's error value: one message and one exit code, made by the
// constructor of its code, and the error line that reports it.
//
//   return usage_error(fmt::format("{} requires a path", option));
//   return internal_error(fmt::format("internal error: reading the input failed: {}", e));
#pragma once

#include <cstdint>
#include <string>

#include "columnar/result.h"
#include "wrapper/operation_error.h"

namespace wrapper {

inline constexpr int32_t EXIT_SUCCESS_CODE = 0;
inline constexpr int32_t EXIT_USAGE = 1;
inline constexpr int32_t EXIT_UNSUPPORTED = 4;
inline constexpr int32_t EXIT_INVALID_INPUT = 5;
inline constexpr int32_t EXIT_INTERNAL = 6;

inline constexpr size_t MESSAGE_LIMIT = 1024;
inline constexpr size_t MESSAGE_KEEP = 1010;

// Messages longer than MESSAGE_LIMIT bytes keep their head up to the last
// UTF-8 boundary at or below MESSAGE_KEEP and gain "...(truncated)".
std::string truncate_message(std::string message);

struct PluginError {
  std::string message;  // at most MESSAGE_LIMIT bytes
  int32_t code;

  // The message passes through truncate_message. Errors are made through the
  // constructor of their code below, not through this.
  static PluginError make(int32_t code, std::string message) {
    return PluginError{truncate_message(std::move(message)), code};
  }
};

template <typename T>
using Result = columnar::Result<T, PluginError>;
using Status = columnar::Result<void, PluginError>;

// One constructor per exit code; each caps the message.
// Code 1: usage, command-line, configuration and path errors.
inline PluginError usage_error(std::string message) { return PluginError::make(EXIT_USAGE, std::move(message)); }
// Code 4: an unsupported operation or column type.
inline PluginError unsupported_error(std::string message) {
  return PluginError::make(EXIT_UNSUPPORTED, std::move(message));
}
// Code 5: a malformed or unacceptable input stream, schema or record batch.
inline PluginError invalid_input_error(std::string message) {
  return PluginError::make(EXIT_INVALID_INPUT, std::move(message));
}
// Code 6; the caller's text already starts with "internal error: ".
inline PluginError internal_error(std::string message) { return PluginError::make(EXIT_INTERNAL, std::move(message)); }

// InvalidConfig -> 1, Unsupported -> 4, InvalidInput -> 5,
// Internal -> 6 with "internal error: " put in front before the cap.
PluginError to_plugin_error(OperationError error);

// {"code":N,"message":"..."} with JSON string escapes, no newline.
std::string render_error_json(const PluginError& error);
// Writes the line and a line feed to descriptor 2; returns false on failure
// (callers ignore it: a failure to report cannot be reported).
bool write_error_line(const std::string& line);

}  // namespace wrapper
