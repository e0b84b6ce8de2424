#include "columnar/data_type.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

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

std::string DataType::to_string() const { return to_string(SIZE_MAX); }

std::string DataType::to_string(size_t keep_bytes) const {
  std::string out;
  append_text(out, keep_bytes);
  if (out.size() > keep_bytes) out.resize(keep_bytes);
  return out;
}

void DataType::append_text(std::string& out, size_t keep_bytes) const {
  if (out.size() >= keep_bytes) return;
  // A long part is cut to what still fits; a short one may overrun, and
  // to_string trims the end.
  const auto put = [&](std::string_view part) { out.append(part.substr(0, keep_bytes - std::min(keep_bytes, out.size()))); };
  const auto fields = [&](const std::vector<Field>& list) {
    for (size_t i = 0; i < list.size() && out.size() < keep_bytes; ++i) {
      if (i > 0) put(", ");
      put(list[i].name);
      put(": ");
      list[i].type.append_text(out, keep_bytes);
    }
  };
  switch (id_) {
    case TypeId::Null: return put("Null");
    case TypeId::Boolean: return put("Boolean");
    case TypeId::Int8: return put("Int8");
    case TypeId::Int16: return put("Int16");
    case TypeId::Int32: return put("Int32");
    case TypeId::Int64: return put("Int64");
    case TypeId::UInt8: return put("UInt8");
    case TypeId::UInt16: return put("UInt16");
    case TypeId::UInt32: return put("UInt32");
    case TypeId::UInt64: return put("UInt64");
    case TypeId::Float16: return put("Float16");
    case TypeId::Float32: return put("Float32");
    case TypeId::Float64: return put("Float64");
    case TypeId::Decimal32:
    case TypeId::Decimal64:
    case TypeId::Decimal128:
    case TypeId::Decimal256: {
      const char* name = id_ == TypeId::Decimal32   ? "Decimal32"
                         : id_ == TypeId::Decimal64 ? "Decimal64"
                         : id_ == TypeId::Decimal128 ? "Decimal128"
                                                     : "Decimal256";
      return put(std::string(name) + "(" + std::to_string(precision_) + ", " + std::to_string(scale_) + ")");
    }
    case TypeId::Date32: return put("Date32");
    case TypeId::Date64: return put("Date64");
    case TypeId::Time32: return put(std::string("Time32(") + time_unit_name(time_unit_) + ")");
    case TypeId::Time64: return put(std::string("Time64(") + time_unit_name(time_unit_) + ")");
    case TypeId::Timestamp:
      put(std::string("Timestamp(") + time_unit_name(time_unit_) + ", ");
      if (timezone_) {
        put("Some(\"");
        put(*timezone_);
        put("\")");
      } else {
        put("None");
      }
      return put(")");
    case TypeId::Duration: return put(std::string("Duration(") + time_unit_name(time_unit_) + ")");
    case TypeId::Interval: return put(std::string("Interval(") + interval_unit_name(interval_unit_) + ")");
    case TypeId::Binary: return put("Binary");
    case TypeId::LargeBinary: return put("LargeBinary");
    case TypeId::BinaryView: return put("BinaryView");
    case TypeId::FixedSizeBinary: return put("FixedSizeBinary(" + std::to_string(width_) + ")");
    case TypeId::Utf8: return put("Utf8");
    case TypeId::LargeUtf8: return put("LargeUtf8");
    case TypeId::Utf8View: return put("Utf8View");
    case TypeId::List:
    case TypeId::LargeList:
    case TypeId::ListView:
    case TypeId::LargeListView: {
      const char* name = id_ == TypeId::List        ? "List("
                         : id_ == TypeId::LargeList ? "LargeList("
                         : id_ == TypeId::ListView  ? "ListView("
                                                    : "LargeListView(";
      put(name);
      children_.at(0).type.append_text(out, keep_bytes);
      return put(")");
    }
    case TypeId::FixedSizeList:
      put("FixedSizeList(");
      children_.at(0).type.append_text(out, keep_bytes);
      return put(", " + std::to_string(width_) + ")");
    case TypeId::Struct:
      put("Struct(");
      fields(children_);
      return put(")");
    case TypeId::Map:
      put("Map(");
      children_.at(0).type.append_text(out, keep_bytes);
      return put(flag_ ? ", sorted)" : ", unsorted)");
    case TypeId::DenseUnion:
    case TypeId::SparseUnion:
      put("Union(");
      fields(children_);
      return put(id_ == TypeId::DenseUnion ? ", Dense)" : ", Sparse)");
    case TypeId::RunEndEncoded:
      put("RunEndEncoded(");
      children_.at(0).type.append_text(out, keep_bytes);
      put(", ");
      children_.at(1).type.append_text(out, keep_bytes);
      return put(")");
    case TypeId::Dictionary:
      put("Dictionary(");
      dictionary_index_type().append_text(out, keep_bytes);
      put(", ");
      dictionary_value_type().append_text(out, keep_bytes);
      return put(")");
    default: return put("Unknown");
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
