// The run configuration: the JSON file named by --config, read once, checked
// in a fixed order and turned into a RunConfig. Every failure is a
// PluginError with code 1; the first failing check decides the message.
//
//   TESS_ASSIGN_OR_RETURN(RunConfig config, load_run_config(paths.config_path));
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "wrapper/contract.h"
#include "wrapper/error.h"

namespace wrapper {

// One member of the `output_columns` object.
struct OutputColumn {
  std::string output_name;   // the member's key: an output the operation declares
  std::string written_name;  // the member's value: the column name written for it
};

// A validated configuration. Names are compared as exact bytes; the empty
// name is a valid name. `input_columns` is non-empty and duplicate-free; the
// written names are pairwise different and none is an input column name.
// (The implicit moves are noexcept: the JSON value's own move is; clang-tidy
// follows a throw inside the JSON library that a move cannot reach.)
struct RunConfig {  // NOLINT(bugprone-exception-escape)
  std::vector<std::string> input_columns;   // in array order
  std::string operation;                    // as written
  JsonValue parameters;                     // an object, keys in file order; not looked into here
  std::vector<OutputColumn> output_columns; // in key order; may be empty here
};

// Reads the whole file at `config_path` (raw path bytes) and validates it.
Result<RunConfig> load_run_config(const std::string& config_path);

// The checks after reading, on the file's bytes: UTF-8, JSON, then the keys
// and their values.
Result<RunConfig> parse_run_config(std::string_view bytes);

// The members of `output_columns` in key order, or "output_columns must be
// an object of string to string" when it is not an object or a value is not
// a string.
Result<std::vector<OutputColumn>> collect_output_columns(JsonValue output_columns);

// True when no two entries share a written name.
bool written_names_unique(const std::vector<OutputColumn>& output_columns);

// True when some written name equals some input column name.
bool written_name_collides(const std::vector<OutputColumn>& output_columns,
                           const std::vector<std::string>& input_columns);

}  // namespace wrapper
