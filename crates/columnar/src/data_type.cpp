#include "columnar/data_type.h"

#include <string>

namespace columnar {
namespace {

const char* time_unit_name(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Second: return "Second";
    case TimeUnit::Millisecond: return "Millisecond";
    case TimeUnit::Microsecond: return "Microsecond";
    case TimeUnit::Nanosecond: return "Nanosecond";
    default: return "Unknown";
  }
}

const char* interval_unit_name(IntervalUnit unit) {
  switch (unit) {
    case IntervalUnit::YearMonth: return "YearMonth";
    case IntervalUnit::DayTime: return "DayTime";
    case IntervalUnit::MonthDayNano: return "MonthDayNano";
    default: return "Unknown";
  }
}

std::string field_list(const std::vector<Field>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ", ";
    out += fields[i].name + ": " + fields[i].type.to_string();
  }
  return out;
}

}  // namespace

DataType DataType::int_type(int bit_width, bool is_signed) {
  switch (bit_width) {
    case 8: return DataType(is_signed ? TypeId::Int8 : TypeId::UInt8);
    case 16: return DataType(is_signed ? TypeId::Int16 : TypeId::UInt16);
    case 32: return DataType(is_signed ? TypeId::Int32 : TypeId::UInt32);
    default: return DataType(is_signed ? TypeId::Int64 : TypeId::UInt64);
  }
}

DataType DataType::decimal(TypeId id, int32_t precision, int32_t scale) {
  DataType t(id);
  t.precision_ = precision;
  t.scale_ = scale;
  return t;
}

DataType DataType::time(TypeId id, TimeUnit unit) {
  DataType t(id);
  t.time_unit_ = unit;
  return t;
}

DataType DataType::timestamp(TimeUnit unit, std::optional<std::string> timezone) {
  DataType t(TypeId::Timestamp);
  t.time_unit_ = unit;
  t.timezone_ = std::move(timezone);
  return t;
}

DataType DataType::duration(TimeUnit unit) { return time(TypeId::Duration, unit); }

DataType DataType::interval(IntervalUnit unit) {
  DataType t(TypeId::Interval);
  t.interval_unit_ = unit;
  return t;
}

DataType DataType::fixed_size_binary(int32_t byte_width) {
  DataType t(TypeId::FixedSizeBinary);
  t.width_ = byte_width;
  return t;
}

DataType DataType::list(TypeId id, Field child) {
  DataType t(id);
  t.children_.push_back(std::move(child));
  return t;
}

DataType DataType::fixed_size_list(Field child, int32_t list_size) {
  DataType t = list(TypeId::FixedSizeList, std::move(child));
  t.width_ = list_size;
  return t;
}

DataType DataType::struct_type(std::vector<Field> children) {
  DataType t(TypeId::Struct);
  t.children_ = std::move(children);
  return t;
}

DataType DataType::map(Field entries, bool keys_sorted) {
  DataType t = list(TypeId::Map, std::move(entries));
  t.flag_ = keys_sorted;
  return t;
}

DataType DataType::union_type(TypeId id, std::vector<Field> children, std::vector<int32_t> type_ids) {
  DataType t(id);
  t.children_ = std::move(children);
  t.type_ids_ = std::move(type_ids);
  return t;
}

DataType DataType::run_end_encoded(Field run_ends, Field values) {
  DataType t(TypeId::RunEndEncoded);
  t.children_.push_back(std::move(run_ends));
  t.children_.push_back(std::move(values));
  return t;
}

DataType DataType::dictionary(DataType index_type, DataType value_type, bool ordered) {
  DataType t(TypeId::Dictionary);
  t.dict_types_ = std::make_shared<const std::pair<std::unique_ptr<DataType>, std::unique_ptr<DataType>>>(
      std::make_unique<DataType>(std::move(index_type)), std::make_unique<DataType>(std::move(value_type)));
  t.flag_ = ordered;
  return t;
}

std::string DataType::to_string() const {
  switch (id_) {
    case TypeId::Null: return "Null";
    case TypeId::Boolean: return "Boolean";
    case TypeId::Int8: return "Int8";
    case TypeId::Int16: return "Int16";
    case TypeId::Int32: return "Int32";
    case TypeId::Int64: return "Int64";
    case TypeId::UInt8: return "UInt8";
    case TypeId::UInt16: return "UInt16";
    case TypeId::UInt32: return "UInt32";
    case TypeId::UInt64: return "UInt64";
    case TypeId::Float16: return "Float16";
    case TypeId::Float32: return "Float32";
    case TypeId::Float64: return "Float64";
    case TypeId::Decimal32:
    case TypeId::Decimal64:
    case TypeId::Decimal128:
    case TypeId::Decimal256: {
      const char* name = id_ == TypeId::Decimal32   ? "Decimal32"
                         : id_ == TypeId::Decimal64 ? "Decimal64"
                         : id_ == TypeId::Decimal128 ? "Decimal128"
                                                     : "Decimal256";
      return std::string(name) + "(" + std::to_string(precision_) + ", " + std::to_string(scale_) + ")";
    }
    case TypeId::Date32: return "Date32";
    case TypeId::Date64: return "Date64";
    case TypeId::Time32: return std::string("Time32(") + time_unit_name(time_unit_) + ")";
    case TypeId::Time64: return std::string("Time64(") + time_unit_name(time_unit_) + ")";
    case TypeId::Timestamp:
      return std::string("Timestamp(") + time_unit_name(time_unit_) + ", " +
             (timezone_ ? "Some(\"" + *timezone_ + "\")" : std::string("None")) + ")";
    case TypeId::Duration: return std::string("Duration(") + time_unit_name(time_unit_) + ")";
    case TypeId::Interval: return std::string("Interval(") + interval_unit_name(interval_unit_) + ")";
    case TypeId::Binary: return "Binary";
    case TypeId::LargeBinary: return "LargeBinary";
    case TypeId::BinaryView: return "BinaryView";
    case TypeId::FixedSizeBinary: return "FixedSizeBinary(" + std::to_string(width_) + ")";
    case TypeId::Utf8: return "Utf8";
    case TypeId::LargeUtf8: return "LargeUtf8";
    case TypeId::Utf8View: return "Utf8View";
    case TypeId::List: return "List(" + children_.at(0).type.to_string() + ")";
    case TypeId::LargeList: return "LargeList(" + children_.at(0).type.to_string() + ")";
    case TypeId::ListView: return "ListView(" + children_.at(0).type.to_string() + ")";
    case TypeId::LargeListView: return "LargeListView(" + children_.at(0).type.to_string() + ")";
    case TypeId::FixedSizeList:
      return "FixedSizeList(" + children_.at(0).type.to_string() + ", " + std::to_string(width_) + ")";
    case TypeId::Struct: return "Struct(" + field_list(children_) + ")";
    case TypeId::Map: return "Map(" + children_.at(0).type.to_string() + ", " + (flag_ ? "sorted" : "unsorted") + ")";
    case TypeId::DenseUnion: return "Union(" + field_list(children_) + ", Dense)";
    case TypeId::SparseUnion: return "Union(" + field_list(children_) + ", Sparse)";
    case TypeId::RunEndEncoded:
      return "RunEndEncoded(" + children_.at(0).type.to_string() + ", " + children_.at(1).type.to_string() + ")";
    case TypeId::Dictionary:
      return "Dictionary(" + dictionary_index_type().to_string() + ", " + dictionary_value_type().to_string() + ")";
    default: return "Unknown";
  }
}

bool operator==(const DataType& a, const DataType& b) {
  if (a.id_ != b.id_ || a.time_unit_ != b.time_unit_ || a.interval_unit_ != b.interval_unit_ ||
      a.flag_ != b.flag_ || a.precision_ != b.precision_ || a.scale_ != b.scale_ || a.width_ != b.width_ ||
      a.timezone_ != b.timezone_ || a.children_ != b.children_ || a.type_ids_ != b.type_ids_) {
    return false;
  }
  if (a.id_ != TypeId::Dictionary) return true;
  return a.dictionary_index_type() == b.dictionary_index_type() &&
         a.dictionary_value_type() == b.dictionary_value_type();
}

bool operator==(const Field& a, const Field& b) {
  return a.name == b.name && a.type == b.type && a.nullable == b.nullable && a.metadata == b.metadata;
}

}  // namespace columnar
