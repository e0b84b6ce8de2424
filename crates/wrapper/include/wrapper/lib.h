// The runtime entry. The executable's main builds a PluginDescription and
// hands it over; run_plugin dispatches the command line and ends the process.
//
//   int main() { wrapper::run_plugin({"my_plugin", "1.0.0"}); }
#pragma once

#include <string>
#include <vector>

#include "wrapper/contract.h"
#include "wrapper/error.h"
#include "wrapper/setup.h"

namespace wrapper {

// Never returns: exit status 0, the first error's code, or 6 from panic_hook.
[[noreturn]] void run_plugin(const PluginDescription& description);

// The dispatch of run_plugin after its checks, on an explicit argument list
// (the process arguments without the program name). Output lines go to
// standard output; errors come back.
Status run_arguments(const PluginDescription& description, const std::vector<std::string>& arguments);

// Parses the arguments after "run" into paths and checks the --config path.
Result<RunPaths> parse_run_arguments(const std::vector<std::string>& arguments);

// Writes text and a line feed to standard output.
Status write_stdout_line(const std::string& text);

// The one line --capabilities prints.
std::string capabilities_line(const PluginDescription& description);

}  // namespace wrapper
