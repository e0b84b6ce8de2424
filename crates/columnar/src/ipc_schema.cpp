// Schema table -> Schema, for every member of the type union. A description
// that cannot be converted is an Ipc error naming the field by its path
// ("outer.inner"), never an abort.
//
// A message can reach one field, child list or string through many offsets:
// each is converted once and the result shared, so a schema costs what its
// message holds, not how often its parts are reached. Paths are built only
// when an error names one.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "columnar/utf8.h"
#include "ipc_internal.h"

namespace columnar::ipc {
namespace {

using KeyValues = flatbuffers::Vector<flatbuffers::Offset<fb::KeyValue>>;
using Fields = flatbuffers::Vector<flatbuffers::Offset<fb::Field>>;

// Error texts keep this much of a field's path: its names can add up to the
// apparent size of the message.
constexpr size_t kPathLimitBytes = 1024;

// The fields from the top of the schema down to the one being converted.
// Its text ("outer.inner") is built only when an error names it.
class Path {
 public:
  void push(const fb::Field* field) { fields_.push_back(field); }
  void pop() { fields_.pop_back(); }

  Error error(const std::string& what) const { return Error::ipc("field '" + text() + "': " + what); }

 private:
  std::string text() const {
    std::string out;
    for (const fb::Field* field : fields_) {
      const std::string_view name = field->name() != nullptr ? field->name()->string_view() : std::string_view();
      // An empty path takes the next name without a dot.
      if (!out.empty()) out += '.';
      out.append(name.substr(0, kPathLimitBytes + 1 - std::min(out.size(), kPathLimitBytes + 1)));
      if (out.size() > kPathLimitBytes) return cut(std::move(out));
    }
    return out;
  }

  // Cut at a character boundary, marked as cut.
  static std::string cut(std::string text) {
    text.resize(utf8_cut_point(text, kPathLimitBytes));
    return text + "...";
  }

  std::vector<const fb::Field*> fields_;
};

Error field_error(const Path& path, const std::string& what) { return path.error(what); }

// One conversion: its settings, the fields, child lists and strings already
// converted (by address in the message), and where it is.
struct Context {
  bool big_endian = false;
  SchemaMetadata metadata = SchemaMetadata::Keep;
  Path path;
  std::unordered_map<const flatbuffers::String*, SharedString> strings;
  // Each points into a field list reserved to its final size, so it stays
  // where it is while the list is filled, moved and shared.
  std::unordered_map<const fb::Field*, const Field*> fields;
  std::unordered_map<const Fields*, DataType::Children> children;

  SharedString text(const flatbuffers::String* string) {
    if (string == nullptr) return {};
    auto [at, added] = strings.try_emplace(string);
    if (added) at->second = SharedString(string->str());
    return at->second;
  }
};

KeyValueMetadata convert_metadata(const KeyValues* entries, Context& context) {
  KeyValueMetadata out;
  if (entries == nullptr || context.metadata == SchemaMetadata::Drop) return out;
  out.reserve(entries->size());
  for (const fb::KeyValue* kv : *entries) {
    if (kv == nullptr) continue;
    out.emplace_back(context.text(kv->key()), context.text(kv->value()));
  }
  return out;
}

Result<DataType> convert_int(const fb::Int* type, const Path& path) {
  const int32_t width = type->bitWidth();
  if (width != 8 && width != 16 && width != 32 && width != 64) {
    return field_error(path, "integer bit width " + std::to_string(width) + " is not 8, 16, 32 or 64");
  }
  return DataType::int_type(width, type->is_signed());
}

Result<TimeUnit> convert_time_unit(fb::TimeUnit unit, const Path& path) {
  switch (unit) {
    case fb::TimeUnit::SECOND: return TimeUnit::Second;
    case fb::TimeUnit::MILLISECOND: return TimeUnit::Millisecond;
    case fb::TimeUnit::MICROSECOND: return TimeUnit::Microsecond;
    case fb::TimeUnit::NANOSECOND: return TimeUnit::Nanosecond;
    default: return field_error(path, "unknown time unit " + std::to_string(static_cast<int>(unit)));
  }
}

Result<DataType> convert_floating_point(const fb::FloatingPoint* type, const Path& path) {
  switch (type->precision()) {
    case fb::Precision::HALF: return DataType::plain(TypeId::Float16);
    case fb::Precision::SINGLE: return DataType::plain(TypeId::Float32);
    case fb::Precision::DOUBLE: return DataType::plain(TypeId::Float64);
    default:
      return field_error(path, "unknown floating point precision " +
                                   std::to_string(static_cast<int>(type->precision())));
  }
}

Result<DataType> convert_decimal(const fb::Decimal* type, const Path& path, bool big_endian) {
  // Decimal values are stored in the schema's byte order; only little-endian
  // data can be read here.
  if (big_endian) return field_error(path, "Decimal in a big-endian schema is not supported");
  const int32_t precision = type->precision();
  const int32_t scale = type->scale();
  if (precision < 0 || precision > 255) {
    return field_error(path, "decimal precision " + std::to_string(precision) + " is outside 0..255");
  }
  if (scale < -128 || scale > 127) {
    return field_error(path, "decimal scale " + std::to_string(scale) + " is outside -128..127");
  }
  switch (type->bitWidth()) {
    case 32: return DataType::decimal(TypeId::Decimal32, precision, scale);
    case 64: return DataType::decimal(TypeId::Decimal64, precision, scale);
    case 128: return DataType::decimal(TypeId::Decimal128, precision, scale);
    case 256: return DataType::decimal(TypeId::Decimal256, precision, scale);
    default:
      return field_error(path, "decimal bit width " + std::to_string(type->bitWidth()) +
                                   " is not 32, 64, 128 or 256");
  }
}

Result<DataType> convert_date(const fb::Date* type, const Path& path) {
  switch (type->unit()) {
    case fb::DateUnit::DAY: return DataType::plain(TypeId::Date32);
    case fb::DateUnit::MILLISECOND: return DataType::plain(TypeId::Date64);
    default: return field_error(path, "unknown date unit " + std::to_string(static_cast<int>(type->unit())));
  }
}

Result<DataType> convert_time(const fb::Time* type, const Path& path) {
  TESS_ASSIGN_OR_RETURN(const TimeUnit unit, convert_time_unit(type->unit(), path));
  const int32_t width = type->bitWidth();
  const bool wide_unit = unit == TimeUnit::Microsecond || unit == TimeUnit::Nanosecond;
  if (width == 32 && !wide_unit) return DataType::time(TypeId::Time32, unit);
  if (width == 64 && wide_unit) return DataType::time(TypeId::Time64, unit);
  return field_error(path, "time bit width " + std::to_string(width) + " does not fit its unit");
}

Result<DataType> convert_interval(const fb::Interval* type, const Path& path) {
  switch (type->unit()) {
    case fb::IntervalUnit::YEAR_MONTH: return DataType::interval(IntervalUnit::YearMonth);
    case fb::IntervalUnit::DAY_TIME: return DataType::interval(IntervalUnit::DayTime);
    case fb::IntervalUnit::MONTH_DAY_NANO: return DataType::interval(IntervalUnit::MonthDayNano);
    default:
      return field_error(path, "unknown interval unit " + std::to_string(static_cast<int>(type->unit())));
  }
}

Status convert_field_into(std::vector<Field>& out, const fb::Field* field, Context& context);

// A child list reached through many offsets is converted once and shared.
Result<DataType::Children> convert_children(const fb::Field* field, Context& context) {
  const Fields* children = field->children();
  if (children == nullptr) return DataType::Children(std::make_shared<const std::vector<Field>>());
  if (const auto known = context.children.find(children); known != context.children.end()) return known->second;
  std::vector<Field> out;
  out.reserve(children->size());
  for (flatbuffers::uoffset_t i = 0; i < children->size(); ++i) {
    const fb::Field* child = children->Get(i);
    if (child == nullptr) return field_error(context.path, "child " + std::to_string(i) + " is missing");
    TESS_TRY(convert_field_into(out, child, context));
  }
  auto shared = std::make_shared<const std::vector<Field>>(std::move(out));
  context.children.emplace(children, shared);
  return DataType::Children(std::move(shared));
}

Status expect_children(const std::vector<Field>& children, size_t count, const char* type_name,
                       const Path& path) {
  if (children.size() == count) return {};
  return field_error(path, std::string(type_name) + " needs exactly " + std::to_string(count) + " child" +
                               (count == 1 ? "" : "ren") + ", got " + std::to_string(children.size()));
}

Result<DataType> convert_union(const fb::Union* type, DataType::Children children, const Path& path) {
  TypeId id;
  switch (type->mode()) {
    case fb::UnionMode::Sparse: id = TypeId::SparseUnion; break;
    case fb::UnionMode::Dense: id = TypeId::DenseUnion; break;
    default: return field_error(path, "unknown union mode " + std::to_string(static_cast<int>(type->mode())));
  }
  // Type codes are one signed byte on the wire of a union array.
  const size_t count = children->size();
  if (count > 128) return field_error(path, "union has " + std::to_string(count) + " children, more than 128");
  std::vector<int32_t> type_ids;
  if (const auto* ids = type->typeIds(); ids != nullptr) {
    if (ids->size() != count) {
      return field_error(path, "union has " + std::to_string(ids->size()) + " type ids for " + std::to_string(count) +
                                   " children");
    }
    std::set<int32_t> seen;
    for (const int32_t type_id : *ids) {
      if (type_id < 0 || type_id > 127) {
        return field_error(path, "union type id " + std::to_string(type_id) + " is outside 0..127");
      }
      if (!seen.insert(type_id).second) {
        return field_error(path, "union type id " + std::to_string(type_id) + " is repeated");
      }
      type_ids.push_back(type_id);
    }
  } else {
    for (size_t i = 0; i < count; ++i) type_ids.push_back(static_cast<int32_t>(i));
  }
  return DataType::union_type(id, std::move(children), std::move(type_ids));
}

Status check_run_ends(const Field& run_ends, const Path& path) {
  const TypeId id = run_ends.type.id();
  if (id == TypeId::Int16 || id == TypeId::Int32 || id == TypeId::Int64) return {};
  return field_error(path, "run ends must be Int16, Int32 or Int64, got " + run_ends.type.to_string());
}

// The type a field's values have (the dictionary's value type for a
// dictionary-encoded field).
Result<DataType> convert_value_type(const fb::Field* field, Context& context) {
  const Path& path = context.path;
  if (field->type() == nullptr || field->type_type() == fb::Type::NONE) {
    return field_error(path, "type is missing");
  }
  switch (field->type_type()) {
    case fb::Type::Null: return DataType::null();
    case fb::Type::Int: return convert_int(field->type_as_Int(), path);
    case fb::Type::FloatingPoint: return convert_floating_point(field->type_as_FloatingPoint(), path);
    case fb::Type::Binary: return DataType::plain(TypeId::Binary);
    case fb::Type::LargeBinary: return DataType::plain(TypeId::LargeBinary);
    case fb::Type::BinaryView: return DataType::plain(TypeId::BinaryView);
    case fb::Type::Utf8: return DataType::utf8();
    case fb::Type::LargeUtf8: return DataType::plain(TypeId::LargeUtf8);
    case fb::Type::Utf8View: return DataType::plain(TypeId::Utf8View);
    case fb::Type::Bool: return DataType::boolean();
    case fb::Type::Decimal: return convert_decimal(field->type_as_Decimal(), path, context.big_endian);
    case fb::Type::Date: return convert_date(field->type_as_Date(), path);
    case fb::Type::Time: return convert_time(field->type_as_Time(), path);
    case fb::Type::Timestamp: {
      const fb::Timestamp* ts = field->type_as_Timestamp();
      TESS_ASSIGN_OR_RETURN(const TimeUnit unit, convert_time_unit(ts->unit(), path));
      std::optional<SharedString> timezone;
      if (ts->timezone() != nullptr) timezone = context.text(ts->timezone());
      return DataType::timestamp(unit, std::move(timezone));
    }
    case fb::Type::Interval: return convert_interval(field->type_as_Interval(), path);
    case fb::Type::Duration: {
      TESS_ASSIGN_OR_RETURN(const TimeUnit unit, convert_time_unit(field->type_as_Duration()->unit(), path));
      return DataType::duration(unit);
    }
    case fb::Type::FixedSizeBinary: {
      const int32_t width = field->type_as_FixedSizeBinary()->byteWidth();
      if (width < 0) return field_error(path, "fixed-size binary width " + std::to_string(width) + " is negative");
      return DataType::fixed_size_binary(width);
    }
    case fb::Type::List:
    case fb::Type::LargeList:
    case fb::Type::ListView:
    case fb::Type::LargeListView: {
      const fb::Type t = field->type_type();
      const TypeId id = t == fb::Type::List        ? TypeId::List
                        : t == fb::Type::LargeList ? TypeId::LargeList
                        : t == fb::Type::ListView  ? TypeId::ListView
                                                   : TypeId::LargeListView;
      TESS_ASSIGN_OR_RETURN(const DataType::Children children, convert_children(field, context));
      TESS_TRY(expect_children(*children, 1, fb::EnumNameType(t), path));
      return DataType::list(id, children->front());
    }
    case fb::Type::FixedSizeList: {
      const int32_t size = field->type_as_FixedSizeList()->listSize();
      if (size < 0) return field_error(path, "fixed-size list size " + std::to_string(size) + " is negative");
      TESS_ASSIGN_OR_RETURN(const DataType::Children children, convert_children(field, context));
      TESS_TRY(expect_children(*children, 1, "FixedSizeList", path));
      return DataType::fixed_size_list(children->front(), size);
    }
    case fb::Type::Map: {
      TESS_ASSIGN_OR_RETURN(const DataType::Children children, convert_children(field, context));
      TESS_TRY(expect_children(*children, 1, "Map", path));
      return DataType::map(children->front(), field->type_as_Map()->keysSorted());
    }
    case fb::Type::Struct_: {
      TESS_ASSIGN_OR_RETURN(DataType::Children children, convert_children(field, context));
      return DataType::struct_type(std::move(children));
    }
    case fb::Type::Union: {
      TESS_ASSIGN_OR_RETURN(DataType::Children children, convert_children(field, context));
      return convert_union(field->type_as_Union(), std::move(children), path);
    }
    case fb::Type::RunEndEncoded: {
      TESS_ASSIGN_OR_RETURN(const DataType::Children children, convert_children(field, context));
      TESS_TRY(expect_children(*children, 2, "RunEndEncoded", path));
      TESS_TRY(check_run_ends(children->front(), path));
      return DataType::run_end_encoded(children->front(), children->back());
    }
    case fb::Type::NONE:
    default:
      return field_error(path, "unknown type id " + std::to_string(static_cast<int>(field->type_type())));
  }
}

Result<Field> convert_new_field(const fb::Field* field, Context& context) {
  TESS_ASSIGN_OR_RETURN(DataType type, convert_value_type(field, context));
  if (const fb::DictionaryEncoding* encoding = field->dictionary(); encoding != nullptr) {
    // Without an index type the indices are signed 32-bit.
    DataType index_type = DataType::int_type(32, true);
    if (encoding->indexType() != nullptr) {
      TESS_ASSIGN_OR_RETURN(index_type, convert_int(encoding->indexType(), context.path));
    }
    type = DataType::dictionary(std::move(index_type), std::move(type), encoding->isOrdered());
  }
  return Field(context.text(field->name()), std::move(type), field->nullable(),
               convert_metadata(field->custom_metadata(), context));
}

// Appends the converted field to `out`, which has room for it. A field
// reached through many offsets is converted once: what it converts to does
// not depend on where it is reached, only the text of an error does, and the
// first error ends the conversion.
Status convert_field_into(std::vector<Field>& out, const fb::Field* field, Context& context) {
  if (const auto known = context.fields.find(field); known != context.fields.end()) {
    out.push_back(*known->second);
    return {};
  }
  context.path.push(field);
  Result<Field> converted = convert_new_field(field, context);
  context.path.pop();
  if (!converted.ok()) return std::move(converted).error();
  out.push_back(std::move(converted).value());
  context.fields.emplace(field, &out.back());
  return {};
}

}  // namespace

Result<SchemaRef> schema_from_message(const MessageView& message, SchemaMetadata metadata) {
  const fb::Schema* schema = message_table(message)->header_as_Schema();
  if (schema == nullptr) return Error::ipc("message has no schema header");
  const Fields* fields = schema->fields();
  if (fields == nullptr) return Error::ipc("schema has no field list");
  Context context;
  context.metadata = metadata;
  switch (schema->endianness()) {
    case fb::Endianness::Little: break;
    case fb::Endianness::Big: context.big_endian = true; break;
    default:
      return Error::ipc("unknown schema endianness " + std::to_string(static_cast<int>(schema->endianness())));
  }
  std::vector<Field> out;
  out.reserve(fields->size());
  for (flatbuffers::uoffset_t i = 0; i < fields->size(); ++i) {
    const fb::Field* field = fields->Get(i);
    if (field == nullptr) return Error::ipc("schema field " + std::to_string(i) + " is missing");
    TESS_TRY(convert_field_into(out, field, context));
  }
  return make_schema(std::move(out), convert_metadata(schema->custom_metadata(), context));
}

}  // namespace columnar::ipc
