// The ways the process ends, all through one exit: success, the error line
// of a PluginError, or the panic hook of a broken internal invariant.
//
//   install_panic_hook();                       // first thing in run_plugin
//   TESS_CHECK(column != output_columns.end());  // else "panic at file:line"
//   if (!status.ok()) exit_with_error(status.error());
#pragma once

#include "wrapper/error.h"

namespace wrapper {

// Writes "panic at {file}:{line}" and the code-6 "internal error: panic"
// error line, then exits with status 6. Never returns.
[[noreturn]] void panic_hook(const char* file, int line);
// Installs panic_hook as the handler of fatal failures (std::terminate and
// TESS_CHECK), replacing any earlier handler.
void install_panic_hook();

// The one process exit: writes out what is buffered for standard output
// (ignoring failure), then ends the process with `status`.
[[noreturn]] void process_exit(int status);

// Writes the error line for `error` and exits with its code.
[[noreturn]] void exit_with_error(const PluginError& error);

}  // namespace wrapper

// A broken internal invariant: reports through panic_hook with this location.
#define TESS_CHECK(condition)                           \
  do {                                                  \
    if (!(condition)) ::wrapper::panic_hook(__FILE__, __LINE__); \
  } while (false)
