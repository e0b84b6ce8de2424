#include "columnar/record_batch.h"

#include <string>

namespace columnar {

Result<RecordBatch> RecordBatch::make(SchemaRef schema, std::vector<ArrayRef> columns) {
  const int64_t rows = columns.empty() ? 0 : columns[0]->length();
  return make(std::move(schema), std::move(columns), rows);
}

Result<RecordBatch> RecordBatch::make(SchemaRef schema, std::vector<ArrayRef> columns, int64_t row_count) {
  const auto& fields = schema->fields;
  if (columns.size() != fields.size()) {
    return Error::invalid_argument("number of columns(" + std::to_string(columns.size()) +
                                   ") must match number of fields(" + std::to_string(fields.size()) +
                                   ") in schema");
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i]->type() != fields[i].type) {
      return Error::invalid_argument("column types must match schema types, expected " +
                                     fields[i].type.to_string() + " but found " + columns[i]->type().to_string() +
                                     " at column index " + std::to_string(i));
    }
  }
  for (const auto& column : columns) {
    if (column->length() != row_count) {
      return Error::invalid_argument("all columns in a record batch must have the same length");
    }
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    if (!fields[i].nullable && columns[i]->null_count() > 0) {
      return Error::invalid_argument("Column '" + fields[i].name.str() +
                                     "' is declared as non-nullable but contains null values");
    }
  }
  return RecordBatch(std::move(schema), std::move(columns), row_count);
}

RecordBatch RecordBatch::slice(int64_t offset, int64_t length) const {
  std::vector<ArrayRef> sliced;
  sliced.reserve(columns_.size());
  for (const auto& column : columns_) sliced.push_back(column->slice(offset, length));
  return RecordBatch(schema_, std::move(sliced), length);
}

}  // namespace columnar
