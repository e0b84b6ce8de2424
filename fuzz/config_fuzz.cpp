// Feeds arbitrary bytes to the configuration checks and the JSON parser
// below them: neither may crash, and every refusal must be a code-1 error
// whose message fits the error line's cap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "columnar/utf8.h"
#include "wrapper/config.h"
#include "wrapper/json_parse.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void check_config(std::string_view bytes) {
  const auto result = wrapper::parse_run_config(bytes);
  if (!result.ok()) {
    require(result.error().code == wrapper::EXIT_USAGE);
    require(result.error().message.size() <= wrapper::MESSAGE_LIMIT);
    return;
  }
  const wrapper::RunConfig& config = result.value();
  require(!config.input_columns.empty());
  require(config.parameters.is_object());
  std::unordered_set<std::string_view> inputs(config.input_columns.begin(), config.input_columns.end());
  require(inputs.size() == config.input_columns.size());
  require(wrapper::written_names_unique(config.output_columns));
  for (const wrapper::OutputColumn& column : config.output_columns) require(!inputs.count(column.written_name));
}

void check_json(std::string_view text) {
  const auto parsed = wrapper::parse_json(text);
  // nlohmann's own strict parser as a second opinion on what is JSON. It
  // differs on purpose in three places: it skips a leading byte order mark,
  // it has no nesting limit, and it takes a NUL byte for the end of the text
  // (so texts holding one are left to the other checks).
  if (text.find('\0') == std::string_view::npos) {
    const wrapper::JsonValue reference = wrapper::JsonValue::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.ok()) {
      require(!reference.is_discarded() && reference == parsed.value());
    } else if (!reference.is_discarded()) {
      require(text.substr(0, 3) == "\xEF\xBB\xBF" ||
              parsed.error().code == wrapper::JsonErrorCode::RecursionLimitExceeded);
    }
  }
  if (!parsed.ok()) {
    // The position lies inside the text: an existing line, a column no
    // longer than that line.
    const wrapper::JsonParseError& error = parsed.error();
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < text.size() && line < error.line; ++i) {
      if (text[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    require(line == error.line);
    const size_t line_end = text.find('\n', line_start);
    const size_t line_length = (line_end == std::string_view::npos ? text.size() : line_end) - line_start;
    require(error.column <= line_length);
    return;
  }
  // What was parsed writes out and reads back as the same value.
  const std::string written = parsed.value().dump();
  const auto again = wrapper::parse_json(written);
  require(again.ok() && again.value() == parsed.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_config(bytes);
  // The configuration's bytes are checked as UTF-8 before they are parsed.
  if (columnar::is_valid_utf8(bytes)) check_json(bytes);
  return 0;
}
