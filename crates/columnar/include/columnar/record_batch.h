// A record batch: a schema and equally long columns.
#pragma once

#include <cstdint>
#include <vector>

#include "columnar/array.h"
#include "columnar/data_type.h"
#include "columnar/error.h"

namespace columnar {

class RecordBatch {
 public:
  // Validating constructor: as many columns as fields, each column's type
  // exactly its field's, all columns `row_count` long (the first column's
  // length when omitted, 0 without columns), and no nulls in a non-nullable
  // field. Errors are InvalidArgument.
  static Result<RecordBatch> make(SchemaRef schema, std::vector<ArrayRef> columns);
  static Result<RecordBatch> make(SchemaRef schema, std::vector<ArrayRef> columns, int64_t row_count);

  const SchemaRef& schema() const { return schema_; }
  int64_t num_rows() const { return num_rows_; }
  int num_columns() const { return static_cast<int>(columns_.size()); }
  const ArrayRef& column(int i) const { return columns_[static_cast<size_t>(i)]; }
  const std::vector<ArrayRef>& columns() const { return columns_; }

  // Zero-copy window of rows; the caller keeps it within num_rows().
  RecordBatch slice(int64_t offset, int64_t length) const;

 private:
  RecordBatch(SchemaRef schema, std::vector<ArrayRef> columns, int64_t num_rows)
      : schema_(std::move(schema)), columns_(std::move(columns)), num_rows_(num_rows) {}

  SchemaRef schema_;
  std::vector<ArrayRef> columns_;
  int64_t num_rows_;
};

}  // namespace columnar
