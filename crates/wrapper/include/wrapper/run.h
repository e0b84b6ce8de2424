// The stream loop and what run setup prepares for it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "columnar/data_type.h"
#include "wrapper/byte_io.h"
#include "wrapper/config.h"
#include "wrapper/contract.h"
#include "wrapper/error.h"

namespace wrapper {

// What run setup hands to the stream loop.
struct PreparedOperation {
  std::vector<std::string> output_names;  // declared names, declaration order
  columnar::SchemaRef output_schema;      // written names, nullable, no metadata
  std::unique_ptr<Core> core;             // always present
};

// The output field for one declared field: its written name from
// `output_columns`, the vocabulary type rebuilt from its code, nullable.
// Code 6 when the declared type is outside the vocabulary or not accepted.
// Precondition: `output_columns` has an entry for `declared.name` (run setup
// checks first that they map exactly the declared output names); a missing
// one is a broken invariant and panics.
Result<columnar::Field> build_output_field(const columnar::Field& declared, const std::vector<ColumnType>& accepted_types,
                                           const std::vector<OutputColumn>& output_columns);

// Streams the whole input through the core into the output.
Status run_loop(const std::vector<std::string>& input_columns, const std::vector<ColumnType>& accepted_types,
                PreparedOperation prepared, ByteReader input, std::unique_ptr<OutputSink> output);

}  // namespace wrapper
