#include "wrapper/contract.h"

namespace wrapper {

std::optional<ColumnType> column_type_of(const columnar::DataType& type) {
  switch (type.id()) {
    case columnar::TypeId::Boolean: return ColumnType::Boolean;
    case columnar::TypeId::Float64: return ColumnType::Float64;
    case columnar::TypeId::Int64: return ColumnType::Int64;
    case columnar::TypeId::Utf8: return ColumnType::Utf8;
    default: return std::nullopt;
  }
}

columnar::DataType data_type_of(ColumnType type) {
  switch (type) {
    case ColumnType::Boolean: return columnar::DataType::boolean();
    case ColumnType::Float64: return columnar::DataType::float64();
    case ColumnType::Int64: return columnar::DataType::int64();
    case ColumnType::Utf8:
    default: return columnar::DataType::utf8();
  }
}

std::string_view column_type_name(ColumnType type) {
  switch (type) {
    case ColumnType::Boolean: return "boolean";
    case ColumnType::Float64: return "float64";
    case ColumnType::Int64: return "int64";
    case ColumnType::Utf8: return "utf8";
    default: return "unknown";
  }
}

}  // namespace wrapper
