// Arrow logical data types, fields and schemas.
//
// Every member of the Arrow IPC type union can be described, so that any
// schema a stream carries converts and displays; only Boolean, Int64, Float64
// and Utf8 have arrays in this library (see array.h).
//
//   DataType::utf8().to_string() == "Utf8"
//   DataType::int_type(32, true).to_string() == "Int32"
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "columnar/shared_string.h"

namespace columnar {

enum class TypeId : uint8_t {
  Null, Boolean,
  Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
  Float16, Float32, Float64,
  Decimal32, Decimal64, Decimal128, Decimal256,
  Date32, Date64, Time32, Time64, Timestamp, Duration, Interval,
  Binary, LargeBinary, BinaryView, FixedSizeBinary,
  Utf8, LargeUtf8, Utf8View,
  List, LargeList, ListView, LargeListView, FixedSizeList,
  Struct, Map, DenseUnion, SparseUnion, RunEndEncoded,
  Dictionary,
};

enum class TimeUnit : uint8_t { Second, Millisecond, Microsecond, Nanosecond };
enum class IntervalUnit : uint8_t { YearMonth, DayTime, MonthDayNano };

struct Field;
using KeyValueMetadata = std::vector<std::pair<SharedString, SharedString>>;

// A data type is a type id and, for parameterised types, one immutable
// detail that copies share: a schema read from a message can reach one type
// or child list through many offsets, and converts and stores it once.
class DataType {
 public:
  // A child list that several types may share.
  using Children = std::shared_ptr<const std::vector<Field>>;

  // Plain types.
  static DataType null();
  static DataType boolean();
  static DataType int64();
  static DataType float64();
  static DataType utf8();
  static DataType plain(TypeId id);
  // Width in bits must be 8, 16, 32 or 64 (callers check).
  static DataType int_type(int bit_width, bool is_signed);

  // Parameterised types.
  static DataType decimal(TypeId id, int32_t precision, int32_t scale);
  static DataType time(TypeId id, TimeUnit unit);  // Date32/Date64 take Millisecond/ignored
  static DataType timestamp(TimeUnit unit, std::optional<SharedString> timezone);
  static DataType duration(TimeUnit unit);
  static DataType interval(IntervalUnit unit);
  static DataType fixed_size_binary(int32_t byte_width);
  static DataType list(TypeId id, Field child);  // List, LargeList, ListView, LargeListView
  static DataType fixed_size_list(Field child, int32_t list_size);
  static DataType struct_type(std::vector<Field> children);
  static DataType struct_type(Children children);
  static DataType map(Field entries, bool keys_sorted);
  static DataType union_type(TypeId id, std::vector<Field> children, std::vector<int32_t> type_ids);
  static DataType union_type(TypeId id, Children children, std::vector<int32_t> type_ids);
  static DataType run_end_encoded(Field run_ends, Field values);
  static DataType dictionary(DataType index_type, DataType value_type, bool ordered);

  TypeId id() const { return id_; }
  // The fields of a nested type (List, Struct, Map, Union, RunEndEncoded...);
  // empty for the others. Parameters are seen through to_string() and ==.
  const std::vector<Field>& children() const;

  // The display text used inside error messages: "Int32", "LargeUtf8",
  // "Timestamp(Millisecond, Some(\"UTC\"))", "List(Int64)" and so on.
  std::string to_string() const;
  // The first `keep_bytes` bytes of to_string() (all of it when shorter),
  // built without the rest: a timezone or a child's name can be as long as
  // the input's metadata, and a message keeps only its head.
  std::string to_string(size_t keep_bytes) const;

  friend bool operator==(const DataType& a, const DataType& b);
  friend bool operator!=(const DataType& a, const DataType& b) { return !(a == b); }

 private:
  struct Detail;  // the parameters, children and dictionary types

  explicit DataType(TypeId id) : id_(id) {}
  DataType(TypeId id, Detail detail);
  const Detail& detail() const;
  // Appends the display text, stopping once `out` holds `keep_bytes` bytes.
  void append_text(std::string& out, size_t keep_bytes) const;

  TypeId id_;
  std::shared_ptr<const Detail> detail_;  // null for the plain types
};

struct Field {
  SharedString name;
  DataType type;
  bool nullable = true;
  KeyValueMetadata metadata;

  Field(SharedString name_, DataType type_, bool nullable_ = true, KeyValueMetadata metadata_ = {})
      : name(std::move(name_)), type(std::move(type_)), nullable(nullable_), metadata(std::move(metadata_)) {}
};

inline DataType DataType::null() { return DataType(TypeId::Null); }
inline DataType DataType::boolean() { return DataType(TypeId::Boolean); }
inline DataType DataType::int64() { return DataType(TypeId::Int64); }
inline DataType DataType::float64() { return DataType(TypeId::Float64); }
inline DataType DataType::utf8() { return DataType(TypeId::Utf8); }
inline DataType DataType::plain(TypeId id) { return DataType(id); }

bool operator==(const Field& a, const Field& b);
inline bool operator!=(const Field& a, const Field& b) { return !(a == b); }

struct Schema {
  std::vector<Field> fields;
  KeyValueMetadata metadata;
};

// Schemas are immutable once built and shared between batches and writers.
using SchemaRef = std::shared_ptr<const Schema>;

inline SchemaRef make_schema(std::vector<Field> fields, KeyValueMetadata metadata = {}) {
  return std::make_shared<const Schema>(Schema{std::move(fields), std::move(metadata)});
}

}  // namespace columnar
