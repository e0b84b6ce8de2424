#include "wrapper/process_exit.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

namespace wrapper {
namespace {

[[noreturn]] void terminate_handler() {
  // An exception escaped or the runtime gave up: the location of the failed
  // check is not known, so the handler reports its own.
  panic_hook(__FILE__, __LINE__);
}

}  // namespace

void panic_hook(const char* file, int line) {
  // Two lines, each written whole: the location, then the error line.
  (void)write_error_line("panic at " + std::string(file) + ":" + std::to_string(line));
  (void)write_error_line(render_error_json(internal_error("internal error: panic")));
  process_exit(EXIT_INTERNAL);
}

void install_panic_hook() { std::set_terminate(terminate_handler); }

void process_exit(int status) {
  // Standard output carries no buffer of the program's own; anything a
  // library left in stdio goes out before the process ends.
  (void)std::fflush(nullptr);
  ::_exit(status);
}

void exit_with_error(const PluginError& error) {
  (void)write_error_line(render_error_json(error));
  process_exit(error.code);
}

}  // namespace wrapper
