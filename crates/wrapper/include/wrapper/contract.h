// The operation contract: everything the runtime knows of a plugin, and
// everything a plugin supplies.
//
// The plugin (linked into the same executable) defines the three plugin-level
// functions declared at the bottom; the runtime calls them and drives the
// returned Core:
//   build_operation -> output_fields once -> process per chunk -> finish once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "columnar/data_type.h"
#include "columnar/record_batch.h"
#include "columnar/result.h"
#include "wrapper/operation_error.h"

namespace wrapper {

struct PluginDescription {
  const char* plugin_id;  // must match ^[a-z][a-z0-9_]*$
  const char* version;
};

// The column-type vocabulary, a one-byte code.
enum class ColumnType : uint8_t { Boolean = 0, Float64 = 1, Int64 = 2, Utf8 = 3 };

// Boolean/Float64/Int64/Utf8 -> their code; any other type has none.
std::optional<ColumnType> column_type_of(const columnar::DataType& type);
columnar::DataType data_type_of(ColumnType type);
// "boolean", "float64", "int64", "utf8".
std::string_view column_type_name(ColumnType type);

struct OperationDescriptor {
  std::string name;
  std::vector<std::string> outputs;  // never read by the runtime
};

class Core {
 public:
  virtual ~Core() = default;
  // The declared outputs, in declaration order.
  virtual std::vector<columnar::Field> output_fields() const = 0;
  // One chunk (columns in input_columns order, at most BATCH_ROW_LIMIT rows):
  // an error, nothing for now, or a batch with exactly the chunk's rows.
  virtual OperationResult<std::optional<columnar::RecordBatch>> process(const columnar::RecordBatch& chunk) = 0;
  // After the input ended: the remaining batches, possibly none.
  virtual OperationResult<std::vector<columnar::RecordBatch>> finish() = 0;
};

inline constexpr int64_t BATCH_ROW_LIMIT = 1'048'576;

// Any JSON value (object, array, string, number, boolean or null), objects
// keeping their keys in file order; the `parameters` object is one.
using JsonValue = nlohmann::ordered_json;

}  // namespace wrapper

// Provided by the plugin.
std::vector<wrapper::OperationDescriptor> operation_catalogue();
std::vector<wrapper::ColumnType> plugin_column_types();
wrapper::OperationResult<std::unique_ptr<wrapper::Core>> build_operation(std::string_view operation_name,
                                                                          const wrapper::JsonValue& parameters,
                                                                          uint64_t input_count);
