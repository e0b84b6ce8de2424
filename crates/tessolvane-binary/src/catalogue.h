// The plugin side of the operation contract: the catalogue, the accepted
// column types and the operation factory. The functions themselves are the
// global ones declared in wrapper/contract.h, which the runtime calls by name:
//
//   std::vector<wrapper::OperationDescriptor> operation_catalogue();
//   std::vector<wrapper::ColumnType> plugin_column_types();
//   wrapper::OperationResult<std::unique_ptr<wrapper::Core>>
//       build_operation(std::string_view operation_name, const wrapper::JsonValue& parameters,
//                       uint64_t input_count);
//
// build_operation checks, in order and stopping at the first failure: the
// operation name (Unsupported), the input count, unknown parameters (all of
// them, sorted by bytes) and the key (all InvalidConfig); on success it
// returns an HmacSha256 holding the decoded key.
#pragma once

#include "wrapper/contract.h"
