// Run setup: from a validated configuration to an operation, an output
// schema and open input and output, in a fixed order so that nothing outside
// the process changes before every check has passed.
#include "wrapper/setup.h"

#include "wrapper/run.h"

#include <unistd.h>

#include <algorithm>

#include <fmt/format.h>

#include "wrapper/file_system.h"
#include "wrapper/text.h"

namespace wrapper {
namespace {

// The output path as its canonical directory joined with its final
// component; absent when the final component is not a plain name or the
// directory does not resolve.
std::optional<std::string> canonical_output_path(const std::string& output) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= output.size()) {
    const size_t end = std::min(output.find('/', start), output.size());
    std::string component = output.substr(start, end - start);
    if (!component.empty() && component != ".") components.push_back(std::move(component));
    start = end + 1;
  }
  if (components.empty() || components.back() == "..") return std::nullopt;
  const std::string name = components.back();
  components.pop_back();
  std::string directory = output.starts_with('/') ? "/" : "";
  for (size_t i = 0; i < components.size(); ++i) {
    if (i > 0) directory += '/';
    directory += components[i];
  }
  if (directory.empty()) directory.push_back('.');  // the working directory
  const std::optional<std::string> canonical = canonical_path(directory);
  if (!canonical) return std::nullopt;
  return *canonical == "/" ? "/" + name : *canonical + "/" + name;
}

// What the output would write to: the existing file `path` names, or the
// file behind standard output when it is a regular file (only those can be
// read and overwritten at once).
std::optional<FileId> output_file(const std::optional<std::string>& path) {
  if (!path) return regular_file_identity(STDOUT_FILENO);
  return file_identity(*path);
}

// True when writing the output would overwrite the input file. Canonical
// paths catch other spellings and links in the directory part of two named
// paths; the file identity also catches a link as the final component, hard
// links, and standard input or output redirected from or to that file.
bool output_is_input(const RunPaths& paths, int input_fd) {
  if (paths.input_path && paths.output_path) {
    const std::optional<std::string> canonical_input = canonical_path(*paths.input_path);
    const std::optional<std::string> canonical_output = canonical_output_path(*paths.output_path);
    if (canonical_input && canonical_output && *canonical_input == *canonical_output) return true;
  }
  const std::optional<FileId> input = regular_file_identity(input_fd);
  return input && input == output_file(paths.output_path);
}

// True when writing the output would overwrite the configuration file, by
// any path or link to it, or through standard output: the run never writes
// to its configuration, and the key in it would be lost.
bool output_is_config(const RunPaths& paths) {
  const std::optional<FileId> config = file_identity(paths.config_path);
  return config && config == output_file(paths.output_path);
}

Result<std::unique_ptr<Core>> find_and_build(const RunConfig& config) {
  const std::vector<OperationDescriptor> catalogue = operation_catalogue();
  const bool found = std::any_of(catalogue.begin(), catalogue.end(),
                                 [&](const OperationDescriptor& d) { return d.name == config.operation; });
  if (!found) {
    return unsupported_error(fmt::format("unsupported operation: '{}'", config.operation));
  }
  auto built = build_operation(config.operation, config.parameters, config.input_columns.size());
  if (!built.ok()) return to_plugin_error(std::move(built).error());
  return std::move(built).value();
}

Status check_output_keys(const std::vector<columnar::Field>& declared, const std::vector<OutputColumn>& output_columns) {
  std::vector<std::string> declared_names, keys;
  for (const auto& field : declared) declared_names.push_back(field.name.str());
  for (const auto& column : output_columns) keys.push_back(column.output_name);
  declared_names = sorted_by_bytes(std::move(declared_names));
  keys = sorted_by_bytes(std::move(keys));
  if (declared_names != keys) {
    return usage_error(fmt::format("output_columns must map exactly the operation's outputs {}, got {}",
                                   format_name_list(declared_names), format_name_list(keys)));
  }
  return {};
}

Result<PreparedOperation> prepare_operation(const RunConfig& config, const std::vector<ColumnType>& accepted_types) {
  TESS_ASSIGN_OR_RETURN(std::unique_ptr<Core> core, find_and_build(config));
  const std::vector<columnar::Field> declared = core->output_fields();
  TESS_TRY(check_output_keys(declared, config.output_columns));
  std::vector<columnar::Field> fields;
  std::vector<std::string> names;
  for (const auto& field : declared) {
    TESS_ASSIGN_OR_RETURN(columnar::Field output, build_output_field(field, accepted_types, config.output_columns));
    fields.push_back(std::move(output));
    names.push_back(field.name.str());
  }
  return PreparedOperation{std::move(names), columnar::make_schema(std::move(fields)), std::move(core)};
}

// Opens --input (or takes standard input), with the descriptor it reads.
Result<std::pair<ByteReader, int>> open_input(const std::optional<std::string>& path) {
  if (!path) return std::pair{ByteReader::over_stdin(), STDIN_FILENO};
  if (!is_regular_file(*path)) {
    return usage_error(fmt::format("--input path does not exist: {}", display_lossy(*path)));
  }
  const FdResult fd = open_for_reading(*path);
  if (!fd.ok()) return usage_error(fmt::format("--input path is not readable: {}", fd.error().to_string()));
  return std::pair{ByteReader::over_file(fd.value()), fd.value()};
}

Result<std::unique_ptr<OutputSink>> open_output(const std::optional<std::string>& path) {
  if (!path) return std::unique_ptr<OutputSink>(FdSink::over_stdout());
  const FdResult fd = create_for_writing(*path);
  if (!fd.ok()) return usage_error(fmt::format("--output path is not creatable: {}", fd.error().to_string()));
  return std::unique_ptr<OutputSink>(FdSink::over_file(fd.value()));
}

}  // namespace

Status run_command(const RunPaths& paths) {
  TESS_ASSIGN_OR_RETURN(const RunConfig config, load_run_config(paths.config_path));
  const std::vector<ColumnType> accepted_types = plugin_column_types();
  TESS_ASSIGN_OR_RETURN(PreparedOperation prepared, prepare_operation(config, accepted_types));
  TESS_ASSIGN_OR_RETURN(auto input, open_input(paths.input_path));
  if (output_is_input(paths, input.second)) {
    return usage_error("--input and --output must not name the same file");
  }
  if (output_is_config(paths)) return usage_error("--config and --output must not name the same file");
  TESS_ASSIGN_OR_RETURN(std::unique_ptr<OutputSink> output, open_output(paths.output_path));
  return run_loop(config.input_columns, accepted_types, std::move(prepared), std::move(input.first), std::move(output));
}

}  // namespace wrapper
