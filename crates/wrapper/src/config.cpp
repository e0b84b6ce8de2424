#include "wrapper/config.h"

#include <array>
#include <string_view>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "columnar/utf8.h"
#include "wrapper/file_system.h"
#include "wrapper/json_parse.h"
#include "wrapper/text.h"

namespace wrapper {

namespace {

// In the order in which missing keys are reported.
constexpr std::array<std::string_view, 4> kConfigKeys = {"input_columns", "operation", "parameters",
                                                         "output_columns"};

PluginError not_readable(const std::string& reason) {
  return usage_error(fmt::format("--config not readable: {}", reason));
}

bool is_config_key(std::string_view key) {
  for (const std::string_view known : kConfigKeys) {
    if (key == known) return true;
  }
  return false;
}

// Takes the member's value out of the object, leaving null behind.
JsonValue take(JsonValue::object_t& members, std::string_view key) {
  for (auto& [name, value] : members) {
    if (name == key) return std::move(value);
  }
  return nullptr;
}

PluginError not_a_list() { return usage_error("input_columns must be a list of strings"); }

PluginError not_a_string_map() { return usage_error("output_columns must be an object of string to string"); }

Result<std::vector<std::string>> parse_input_columns(JsonValue value) {
  JsonValue::array_t* items = value.get_ptr<JsonValue::array_t*>();
  if (items == nullptr) return not_a_list();
  std::vector<std::string> names;
  names.reserve(items->size());
  for (JsonValue& item : *items) {
    std::string* name = item.get_ptr<std::string*>();
    if (name == nullptr) return not_a_list();
    names.push_back(std::move(*name));
  }
  if (names.empty()) return usage_error("input_columns must name at least one column");
  std::unordered_set<std::string_view> seen;
  seen.reserve(names.size());
  for (const std::string& name : names) {
    if (!seen.insert(name).second) return usage_error("input_columns must not contain duplicates");
  }
  return names;
}

}  // namespace

Result<std::vector<OutputColumn>> collect_output_columns(JsonValue output_columns) {
  JsonValue::object_t* members = output_columns.get_ptr<JsonValue::object_t*>();
  if (members == nullptr) return not_a_string_map();
  std::vector<OutputColumn> columns;
  columns.reserve(members->size());
  for (auto& [output_name, value] : *members) {
    std::string* written_name = value.get_ptr<std::string*>();
    if (written_name == nullptr) return not_a_string_map();
    columns.push_back(OutputColumn{output_name, std::move(*written_name)});
  }
  return columns;
}

bool written_names_unique(const std::vector<OutputColumn>& output_columns) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(output_columns.size());
  for (const OutputColumn& column : output_columns) {
    if (!seen.insert(column.written_name).second) return false;
  }
  return true;
}

bool written_name_collides(const std::vector<OutputColumn>& output_columns,
                           const std::vector<std::string>& input_columns) {
  for (const OutputColumn& column : output_columns) {
    for (const std::string& input : input_columns) {
      if (column.written_name == input) return true;
    }
  }
  return false;
}

Result<RunConfig> parse_run_config(std::string_view bytes) {
  // Before any parsing, so a bad byte inside a JSON string is reported as
  // such and not as a JSON error.
  if (!columnar::is_valid_utf8(bytes)) return usage_error("--config is not valid UTF-8");

  auto parsed = parse_json(bytes);
  if (!parsed.ok()) return usage_error(fmt::format("--config is not valid JSON: {}", parsed.error().to_string()));
  JsonValue document = std::move(parsed).value();
  JsonValue::object_t* members = document.get_ptr<JsonValue::object_t*>();
  if (members == nullptr) return usage_error("--config must be a JSON object");

  std::vector<std::string> unknown;
  for (const auto& [key, value] : *members) {
    if (!is_config_key(key)) unknown.push_back(key);
  }
  if (!unknown.empty()) {
    return usage_error(fmt::format("unknown config keys: {}", format_name_list(sorted_by_bytes(std::move(unknown)))));
  }
  std::vector<std::string> missing;
  for (const std::string_view key : kConfigKeys) {
    if (members->find(std::string(key)) == members->end()) missing.emplace_back(key);
  }
  if (!missing.empty()) return usage_error(fmt::format("missing config keys: {}", format_name_list(missing)));

  RunConfig config;
  TESS_ASSIGN_OR_RETURN(config.input_columns, parse_input_columns(take(*members, "input_columns")));

  JsonValue operation = take(*members, "operation");
  std::string* operation_name = operation.get_ptr<std::string*>();
  if (operation_name == nullptr) return usage_error("operation must be a string");
  config.operation = std::move(*operation_name);

  config.parameters = take(*members, "parameters");
  if (!config.parameters.is_object()) return usage_error("parameters must be an object");

  TESS_ASSIGN_OR_RETURN(config.output_columns, collect_output_columns(take(*members, "output_columns")));
  if (!written_names_unique(config.output_columns)) {
    return usage_error("output_columns written names must be unique");
  }
  if (written_name_collides(config.output_columns, config.input_columns)) {
    return usage_error("output_columns written names must not collide with input_columns");
  }
  return config;
}

Result<RunConfig> load_run_config(const std::string& config_path) {
  auto bytes = read_whole_file(config_path);
  if (!bytes.ok()) return not_readable(bytes.error().to_string());
  return parse_run_config(bytes.value());
}

}  // namespace wrapper
