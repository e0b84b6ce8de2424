#include "wrapper/lib.h"

#include <unistd.h>

#include <algorithm>

#include <fmt/format.h>

#include "columnar/io.h"
#include "columnar/utf8.h"
#include "wrapper/byte_io.h"
#include "wrapper/file_system.h"
#include "wrapper/json_text.h"
#include "wrapper/process_exit.h"
#include "wrapper/text.h"

namespace wrapper {
namespace {

constexpr const char* kUsage =
    "usage: --version | --capabilities | run --config <path> [--input <path>] [--output <path>]";

bool plugin_id_is_valid(std::string_view id) {
  if (id.empty() || id[0] < 'a' || id[0] > 'z') return false;
  return std::all_of(id.begin() + 1, id.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

// glibc hands every .init_array function the process's argc and argv; the
// entry reads the arguments from there, since main does not pass them on.
int saved_argc = 0;
char** saved_argv = nullptr;

void save_arguments(int argc, char** argv, char**) {
  saved_argc = argc;
  saved_argv = argv;
}

[[gnu::section(".init_array"), gnu::used]] void (*const save_arguments_entry)(int, char**, char**) = save_arguments;

// The process arguments without the program name, as raw bytes.
std::vector<std::string> process_arguments() {
  std::vector<std::string> arguments;
  for (int i = 1; i < saved_argc; ++i) arguments.emplace_back(saved_argv[i]);
  return arguments;
}

}  // namespace

Result<RunPaths> parse_run_arguments(const std::vector<std::string>& arguments) {
  std::optional<std::string> config, input, output;
  for (size_t i = 0; i < arguments.size(); i += 2) {
    const std::string& option = arguments[i];
    const std::string shown = display_lossy(option);
    std::optional<std::string>* slot = nullptr;
    if (option == "--config") slot = &config;
    if (option == "--input") slot = &input;
    if (option == "--output") slot = &output;
    if (slot == nullptr) return usage_error(fmt::format("unrecognized run argument: '{}'", shown));
    if (i + 1 == arguments.size()) return usage_error(fmt::format("{} requires a path", shown));
    if (slot->has_value()) return usage_error(fmt::format("{} given more than once", shown));
    *slot = arguments[i + 1];
  }
  if (!config) return usage_error("run requires --config <path>");
  if (!is_regular_file(*config) || !opens_for_reading(*config)) {
    return usage_error(fmt::format("--config path does not exist or is not readable: {}", display_lossy(*config)));
  }
  return RunPaths{std::move(*config), std::move(input), std::move(output)};
}

Status write_stdout_line(const std::string& text) {
  std::string line = text;
  line += '\n';
  // Standard output has no buffer of ours: written, it is flushed.
  const columnar::IoStatus written =
      FdSink(STDOUT_FILENO, false).write_all(reinterpret_cast<const uint8_t*>(line.data()), line.size());
  if (!written.ok()) {
    return internal_error(fmt::format("internal error: writing to stdout failed: {}", written.error().to_string()));
  }
  return {};
}

std::string capabilities_line(const PluginDescription& description) {
  std::vector<std::string> types;
  for (const ColumnType type : plugin_column_types()) types.emplace_back(column_type_name(type));
  std::sort(types.begin(), types.end());
  types.erase(std::unique(types.begin(), types.end()), types.end());
  std::vector<std::string> operations;
  for (auto& descriptor : operation_catalogue()) operations.push_back(std::move(descriptor.name));

  std::string line = "{\"contract\":1,\"plugin_id\":";
  append_json_string(line, description.plugin_id);
  line += ",\"operations\":";
  append_json_string_array(line, operations);
  line += ",\"column_types\":";
  append_json_string_array(line, types);
  line += '}';
  return line;
}

Status run_arguments(const PluginDescription& description, const std::vector<std::string>& arguments) {
  if (arguments.empty() || !columnar::is_valid_utf8(arguments[0])) return usage_error(kUsage);
  if (arguments.size() == 1 && arguments[0] == "--version") {
    return write_stdout_line(fmt::format("{} {}", description.plugin_id, description.version));
  }
  if (arguments.size() == 1 && arguments[0] == "--capabilities") {
    return write_stdout_line(capabilities_line(description));
  }
  if (arguments[0] != "run") return usage_error(kUsage);
  TESS_ASSIGN_OR_RETURN(const RunPaths paths,
                        parse_run_arguments(std::vector<std::string>(arguments.begin() + 1, arguments.end())));
  return run_command(paths);
}

void run_plugin(const PluginDescription& description) {
  install_panic_hook();
  TESS_CHECK(plugin_id_is_valid(description.plugin_id));
  const Status status = run_arguments(description, process_arguments());
  if (!status.ok()) exit_with_error(status.error());
  process_exit(EXIT_SUCCESS_CODE);
}

}  // namespace wrapper
