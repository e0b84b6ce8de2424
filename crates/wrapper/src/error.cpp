#include "wrapper/error.h"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "columnar/utf8.h"
#include "wrapper/byte_io.h"
#include "wrapper/json_text.h"

namespace wrapper {

std::string truncate_message(std::string message) {
  if (message.size() <= MESSAGE_LIMIT) return message;
  message.resize(columnar::utf8_cut_point(message, MESSAGE_KEEP));
  message += "...(truncated)";
  return message;
}

PluginError to_plugin_error(OperationError error) {
  switch (error.kind) {
    case OperationErrorKind::InvalidConfig: return usage_error(std::move(error.message));
    case OperationErrorKind::Unsupported: return unsupported_error(std::move(error.message));
    case OperationErrorKind::InvalidInput: return invalid_input_error(std::move(error.message));
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

bool write_error_line(const std::string& line) {
  std::string text = line;
  text += '\n';
  return FdSink(STDERR_FILENO, false).write_all(reinterpret_cast<const uint8_t*>(text.data()), text.size()).ok();
}

}  // namespace wrapper
