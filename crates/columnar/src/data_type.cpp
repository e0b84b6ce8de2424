#include "columnar/data_type.h"

#include <algorithm>
#include <cstdint>
#include <ostream>
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

struct DataType::Detail {
  TimeUnit time_unit = TimeUnit::Second;
  IntervalUnit interval_unit = IntervalUnit::YearMonth;
  bool flag = false;  // Map: keys sorted; Dictionary: ordered
  int32_t precision = 0;
  int32_t scale = 0;
  int32_t width = 0;  // FixedSizeBinary: byte width; FixedSizeList: list size
  std::optional<SharedString> timezone;
  Children children;
  std::vector<int32_t> type_ids;
  std::optional<DataType> index_type;
  std::optional<DataType> value_type;
};

namespace {

const DataType::Children& no_children() {
  static const DataType::Children none = std::make_shared<const std::vector<Field>>();
  return none;
}

DataType::Children share(std::vector<Field> children) {
  return std::make_shared<const std::vector<Field>>(std::move(children));
}

}  // namespace

DataType::DataType(TypeId id, Detail detail) : id_(id), detail_(std::make_shared<const Detail>(std::move(detail))) {}

const DataType::Detail& DataType::detail() const {
  static const Detail none;
  return detail_ ? *detail_ : none;
}

const std::vector<Field>& DataType::children() const {
  const Children& children = detail().children;
  return children ? *children : *no_children();
}

DataType DataType::int_type(int bit_width, bool is_signed) {
  switch (bit_width) {
    case 8: return DataType(is_signed ? TypeId::Int8 : TypeId::UInt8);
    case 16: return DataType(is_signed ? TypeId::Int16 : TypeId::UInt16);
    case 32: return DataType(is_signed ? TypeId::Int32 : TypeId::UInt32);
    default: return DataType(is_signed ? TypeId::Int64 : TypeId::UInt64);
  }
}

DataType DataType::decimal(TypeId id, int32_t precision, int32_t scale) {
  Detail d;
  d.precision = precision;
  d.scale = scale;
  return DataType(id, std::move(d));
}

DataType DataType::time(TypeId id, TimeUnit unit) {
  Detail d;
  d.time_unit = unit;
  return DataType(id, std::move(d));
}

DataType DataType::timestamp(TimeUnit unit, std::optional<SharedString> timezone) {
  Detail d;
  d.time_unit = unit;
  d.timezone = std::move(timezone);
  return DataType(TypeId::Timestamp, std::move(d));
}

DataType DataType::duration(TimeUnit unit) { return time(TypeId::Duration, unit); }

DataType DataType::interval(IntervalUnit unit) {
  Detail d;
  d.interval_unit = unit;
  return DataType(TypeId::Interval, std::move(d));
}

DataType DataType::fixed_size_binary(int32_t byte_width) {
  Detail d;
  d.width = byte_width;
  return DataType(TypeId::FixedSizeBinary, std::move(d));
}

DataType DataType::list(TypeId id, Field child) {
  Detail d;
  d.children = share({std::move(child)});
  return DataType(id, std::move(d));
}

DataType DataType::fixed_size_list(Field child, int32_t list_size) {
  Detail d;
  d.children = share({std::move(child)});
  d.width = list_size;
  return DataType(TypeId::FixedSizeList, std::move(d));
}

DataType DataType::struct_type(std::vector<Field> children) { return struct_type(share(std::move(children))); }

DataType DataType::struct_type(Children children) {
  Detail d;
  d.children = std::move(children);
  return DataType(TypeId::Struct, std::move(d));
}

DataType DataType::map(Field entries, bool keys_sorted) {
  Detail d;
  d.children = share({std::move(entries)});
  d.flag = keys_sorted;
  return DataType(TypeId::Map, std::move(d));
}

DataType DataType::union_type(TypeId id, std::vector<Field> children, std::vector<int32_t> type_ids) {
  return union_type(id, share(std::move(children)), std::move(type_ids));
}

DataType DataType::union_type(TypeId id, Children children, std::vector<int32_t> type_ids) {
  Detail d;
  d.children = std::move(children);
  d.type_ids = std::move(type_ids);
  return DataType(id, std::move(d));
}

DataType DataType::run_end_encoded(Field run_ends, Field values) {
  std::vector<Field> children;
  children.push_back(std::move(run_ends));
  children.push_back(std::move(values));
  Detail d;
  d.children = share(std::move(children));
  return DataType(TypeId::RunEndEncoded, std::move(d));
}

DataType DataType::dictionary(DataType index_type, DataType value_type, bool ordered) {
  Detail d;
  d.index_type = std::move(index_type);
  d.value_type = std::move(value_type);
  d.flag = ordered;
  return DataType(TypeId::Dictionary, std::move(d));
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
  const Detail& d = detail();
  // A long part is cut to what still fits; a short one may overrun, and
  // to_string trims the end.
  const auto put = [&](std::string_view part) { out.append(part.substr(0, keep_bytes - std::min(keep_bytes, out.size()))); };
  const auto fields = [&](const std::vector<Field>& list) {
    for (size_t i = 0; i < list.size() && out.size() < keep_bytes; ++i) {
      if (i > 0) put(", ");
      put(list[i].name.str());
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
      return put(std::string(name) + "(" + std::to_string(d.precision) + ", " + std::to_string(d.scale) + ")");
    }
    case TypeId::Date32: return put("Date32");
    case TypeId::Date64: return put("Date64");
    case TypeId::Time32: return put(std::string("Time32(") + time_unit_name(d.time_unit) + ")");
    case TypeId::Time64: return put(std::string("Time64(") + time_unit_name(d.time_unit) + ")");
    case TypeId::Timestamp:
      put(std::string("Timestamp(") + time_unit_name(d.time_unit) + ", ");
      if (d.timezone) {
        put("Some(\"");
        put(d.timezone->str());
        put("\")");
      } else {
        put("None");
      }
      return put(")");
    case TypeId::Duration: return put(std::string("Duration(") + time_unit_name(d.time_unit) + ")");
    case TypeId::Interval: return put(std::string("Interval(") + interval_unit_name(d.interval_unit) + ")");
    case TypeId::Binary: return put("Binary");
    case TypeId::LargeBinary: return put("LargeBinary");
    case TypeId::BinaryView: return put("BinaryView");
    case TypeId::FixedSizeBinary: return put("FixedSizeBinary(" + std::to_string(d.width) + ")");
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
      children().at(0).type.append_text(out, keep_bytes);
      return put(")");
    }
    case TypeId::FixedSizeList:
      put("FixedSizeList(");
      children().at(0).type.append_text(out, keep_bytes);
      return put(", " + std::to_string(d.width) + ")");
    case TypeId::Struct:
      put("Struct(");
      fields(children());
      return put(")");
    case TypeId::Map:
      put("Map(");
      children().at(0).type.append_text(out, keep_bytes);
      return put(d.flag ? ", sorted)" : ", unsorted)");
    case TypeId::DenseUnion:
    case TypeId::SparseUnion:
      put("Union(");
      fields(children());
      return put(id_ == TypeId::DenseUnion ? ", Dense)" : ", Sparse)");
    case TypeId::RunEndEncoded:
      put("RunEndEncoded(");
      children().at(0).type.append_text(out, keep_bytes);
      put(", ");
      children().at(1).type.append_text(out, keep_bytes);
      return put(")");
    case TypeId::Dictionary:
      put("Dictionary(");
      d.index_type->append_text(out, keep_bytes);
      put(", ");
      d.value_type->append_text(out, keep_bytes);
      return put(")");
    default: return put("Unknown");
  }
}

bool operator==(const DataType& a, const DataType& b) {
  if (a.id_ != b.id_) return false;
  // Copies share their detail, and so do types reached through one offset.
  if (a.detail_ == b.detail_) return true;
  const DataType::Detail& x = a.detail();
  const DataType::Detail& y = b.detail();
  if (x.time_unit != y.time_unit || x.interval_unit != y.interval_unit || x.flag != y.flag ||
      x.precision != y.precision || x.scale != y.scale || x.width != y.width || x.timezone != y.timezone ||
      x.type_ids != y.type_ids || x.index_type != y.index_type || x.value_type != y.value_type) {
    return false;
  }
  return x.children == y.children || a.children() == b.children();
}

std::ostream& operator<<(std::ostream& out, const SharedString& text) { return out << text.str(); }

bool operator==(const Field& a, const Field& b) {
  return a.name == b.name && a.type == b.type && a.nullable == b.nullable && a.metadata == b.metadata;
}

}  // namespace columnar
