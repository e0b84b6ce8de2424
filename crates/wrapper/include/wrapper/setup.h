// The `run` command: configuration, run setup and the stream loop.
//
//   run_command(paths)  = load_run_config -> setup (catalogue, build_operation,
//                         output schema, input, output) -> run_loop
#pragma once

#include <optional>
#include <string>

#include "wrapper/error.h"

namespace wrapper {

// Paths exactly as passed on the command line (raw bytes).
struct RunPaths {
  std::string config_path;
  std::optional<std::string> input_path;   // absent: standard input
  std::optional<std::string> output_path;  // absent: standard output
};

Status run_command(const RunPaths& paths);

}  // namespace wrapper
