// Plugin-level functions for the runtime's unit tests, so that the runtime
// links without the hashing plugin: a catalogue of one operation that cannot
// be built, and utf8 as the one accepted column type.
#include "wrapper/contract.h"

std::vector<wrapper::OperationDescriptor> operation_catalogue() { return {{"test_op", {"result"}}}; }

std::vector<wrapper::ColumnType> plugin_column_types() { return {wrapper::ColumnType::Utf8}; }

wrapper::OperationResult<std::unique_ptr<wrapper::Core>> build_operation(std::string_view, const wrapper::JsonValue&,
                                                                          uint64_t) {
  return wrapper::OperationError{wrapper::OperationErrorKind::Unsupported, "no operations in the runtime tests"};
}
