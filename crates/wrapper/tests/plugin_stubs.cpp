// Plugin-level functions for the runtime's unit tests: a catalogue of one
// operation and every column type, so the runtime can be exercised without
// the hashing plugin.
#include "wrapper/contract.h"

std::vector<wrapper::OperationDescriptor> operation_catalogue() { return {{"test_op", {"result"}}}; }

std::vector<wrapper::ColumnType> plugin_column_types() { return {wrapper::ColumnType::Utf8}; }

wrapper::OperationResult<std::unique_ptr<wrapper::Core>> build_operation(std::string_view, const wrapper::JsonObject&,
                                                                          uint64_t) {
  return wrapper::OperationError{wrapper::OperationErrorKind::Unsupported, "no operations in the runtime tests"};
}
