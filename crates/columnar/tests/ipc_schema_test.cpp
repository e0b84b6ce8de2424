// schema_from_message: every member of the type union converts and
// displays; every description that cannot be converted is an error.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "columnar/testing/ipc_fixtures.h"

namespace columnar::ipc {
namespace {

using testing::Builder;
using testing::field;
using testing::FieldOffset;
using testing::int_field;
using testing::utf8_field;

using MakeField = std::function<FieldOffset(Builder&)>;

Result<SchemaRef> convert(const MakeField& make, fb::Endianness endianness = fb::Endianness::Little) {
  Builder fbb;
  const auto bytes = testing::schema_message(fbb, {make(fbb)}, endianness);
  EXPECT_TRUE(testing::verifies(bytes));
  return schema_from_message(testing::view_of(bytes));
}

FieldOffset timestamp(Builder& fbb, fb::TimeUnit unit, const char* zone) {
  const auto ts = fb::CreateTimestamp(fbb, unit, zone != nullptr ? fbb.CreateString(zone) : 0);
  return field(fbb, "a", fb::Type::Timestamp, ts);
}

FieldOffset list_of(Builder& fbb, fb::Type type_type, flatbuffers::Offset<void> type,
                    const std::vector<FieldOffset>& children) {
  const auto name = fbb.CreateString("a");
  return fb::CreateField(fbb, name, true, type_type, type, 0, fbb.CreateVector(children));
}

FieldOffset map_field(Builder& fbb, bool sorted) {
  const auto entries = field(fbb, "entries", fb::Type::Struct_, fb::CreateStruct_(fbb), false,
                             {utf8_field(fbb, "key", false), int_field(fbb, "value")});
  return field(fbb, "a", fb::Type::Map, fb::CreateMap(fbb, sorted), true, {entries});
}

FieldOffset union_field(Builder& fbb, fb::UnionMode mode, const std::vector<int32_t>* type_ids) {
  const auto ids = type_ids != nullptr ? fbb.CreateVector(*type_ids) : 0;
  return field(fbb, "a", fb::Type::Union, fb::CreateUnion(fbb, mode, ids), true,
               {int_field(fbb, "i"), utf8_field(fbb, "s")});
}

FieldOffset dictionary_field(Builder& fbb, bool with_index_type, bool ordered) {
  const auto index = with_index_type ? fb::CreateInt(fbb, 8, false) : 0;
  const auto encoding = fb::CreateDictionaryEncoding(fbb, 0, index, ordered);
  return field(fbb, "a", fb::Type::Utf8, fb::CreateUtf8(fbb), true, {}, encoding);
}

template <typename Table>
MakeField simple(fb::Type type_type, std::function<flatbuffers::Offset<Table>(Builder&)> make_type) {
  return [=](Builder& fbb) { return field(fbb, "a", type_type, make_type(fbb)); };
}

struct DisplayCase {
  std::string name;
  MakeField make;
  std::string display;
};

class ConvertType : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(ConvertType, Displays) {
  const auto schema = convert(GetParam().make);
  ASSERT_TRUE(schema.ok()) << schema.error().to_string();
  ASSERT_EQ(schema.value()->fields.size(), 1u);
  EXPECT_EQ(schema.value()->fields[0].type.to_string(), GetParam().display);
}

#define PLAIN(T) simple<fb::T>(fb::Type::T, [](Builder& fbb) { return fb::Create##T(fbb); })

INSTANTIATE_TEST_SUITE_P(
    Types, ConvertType,
    ::testing::Values(
        DisplayCase{"Null", PLAIN(Null), "Null"},
        DisplayCase{"Int8", [](Builder& fbb) { return int_field(fbb, "a", 8, true); }, "Int8"},
        DisplayCase{"Int16", [](Builder& fbb) { return int_field(fbb, "a", 16, true); }, "Int16"},
        DisplayCase{"Int32", [](Builder& fbb) { return int_field(fbb, "a", 32, true); }, "Int32"},
        DisplayCase{"Int64", [](Builder& fbb) { return int_field(fbb, "a", 64, true); }, "Int64"},
        DisplayCase{"UInt8", [](Builder& fbb) { return int_field(fbb, "a", 8, false); }, "UInt8"},
        DisplayCase{"UInt64", [](Builder& fbb) { return int_field(fbb, "a", 64, false); }, "UInt64"},
        DisplayCase{"Float16", simple<fb::FloatingPoint>(fb::Type::FloatingPoint, [](Builder& fbb) {
                      return fb::CreateFloatingPoint(fbb, fb::Precision::HALF); }), "Float16"},
        DisplayCase{"Float32", simple<fb::FloatingPoint>(fb::Type::FloatingPoint, [](Builder& fbb) {
                      return fb::CreateFloatingPoint(fbb, fb::Precision::SINGLE); }), "Float32"},
        DisplayCase{"Float64", simple<fb::FloatingPoint>(fb::Type::FloatingPoint, [](Builder& fbb) {
                      return fb::CreateFloatingPoint(fbb, fb::Precision::DOUBLE); }), "Float64"},
        DisplayCase{"Binary", PLAIN(Binary), "Binary"},
        DisplayCase{"LargeBinary", PLAIN(LargeBinary), "LargeBinary"},
        DisplayCase{"BinaryView", PLAIN(BinaryView), "BinaryView"},
        DisplayCase{"Utf8", PLAIN(Utf8), "Utf8"},
        DisplayCase{"LargeUtf8", PLAIN(LargeUtf8), "LargeUtf8"},
        DisplayCase{"Utf8View", PLAIN(Utf8View), "Utf8View"},
        DisplayCase{"Bool", PLAIN(Bool), "Boolean"},
        DisplayCase{"Decimal128", simple<fb::Decimal>(fb::Type::Decimal, [](Builder& fbb) {
                      return fb::CreateDecimal(fbb, 10, 2); }), "Decimal128(10, 2)"},
        DisplayCase{"Decimal256", simple<fb::Decimal>(fb::Type::Decimal, [](Builder& fbb) {
                      return fb::CreateDecimal(fbb, 76, -3, 256); }), "Decimal256(76, -3)"},
        DisplayCase{"Decimal32", simple<fb::Decimal>(fb::Type::Decimal, [](Builder& fbb) {
                      return fb::CreateDecimal(fbb, 9, 0, 32); }), "Decimal32(9, 0)"},
        DisplayCase{"Decimal64", simple<fb::Decimal>(fb::Type::Decimal, [](Builder& fbb) {
                      return fb::CreateDecimal(fbb, 18, 4, 64); }), "Decimal64(18, 4)"},
        DisplayCase{"Date32", simple<fb::Date>(fb::Type::Date, [](Builder& fbb) {
                      return fb::CreateDate(fbb, fb::DateUnit::DAY); }), "Date32"},
        DisplayCase{"Date64", PLAIN(Date), "Date64"},
        DisplayCase{"Time32Default", PLAIN(Time), "Time32(Millisecond)"},
        DisplayCase{"Time32Second", simple<fb::Time>(fb::Type::Time, [](Builder& fbb) {
                      return fb::CreateTime(fbb, fb::TimeUnit::SECOND, 32); }), "Time32(Second)"},
        DisplayCase{"Time64Nano", simple<fb::Time>(fb::Type::Time, [](Builder& fbb) {
                      return fb::CreateTime(fbb, fb::TimeUnit::NANOSECOND, 64); }), "Time64(Nanosecond)"},
        DisplayCase{"TimestampNaive", [](Builder& fbb) { return timestamp(fbb, fb::TimeUnit::MICROSECOND, nullptr); },
                    "Timestamp(Microsecond, None)"},
        DisplayCase{"TimestampUtc", [](Builder& fbb) { return timestamp(fbb, fb::TimeUnit::MILLISECOND, "UTC"); },
                    "Timestamp(Millisecond, Some(\"UTC\"))"},
        DisplayCase{"IntervalYearMonth", PLAIN(Interval), "Interval(YearMonth)"},
        DisplayCase{"IntervalMonthDayNano", simple<fb::Interval>(fb::Type::Interval, [](Builder& fbb) {
                      return fb::CreateInterval(fbb, fb::IntervalUnit::MONTH_DAY_NANO); }),
                    "Interval(MonthDayNano)"},
        DisplayCase{"DurationDefault", PLAIN(Duration), "Duration(Millisecond)"},
        DisplayCase{"FixedSizeBinary", simple<fb::FixedSizeBinary>(fb::Type::FixedSizeBinary, [](Builder& fbb) {
                      return fb::CreateFixedSizeBinary(fbb, 16); }), "FixedSizeBinary(16)"},
        DisplayCase{"List", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::List, fb::CreateList(fbb).Union(), {int_field(fbb, "item")}); },
                    "List(Int64)"},
        DisplayCase{"LargeList", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::LargeList, fb::CreateLargeList(fbb).Union(),
                                     {utf8_field(fbb, "item")}); },
                    "LargeList(Utf8)"},
        DisplayCase{"ListView", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::ListView, fb::CreateListView(fbb).Union(),
                                     {int_field(fbb, "item", 32)}); },
                    "ListView(Int32)"},
        DisplayCase{"LargeListView", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::LargeListView, fb::CreateLargeListView(fbb).Union(),
                                     {int_field(fbb, "item", 8)}); },
                    "LargeListView(Int8)"},
        DisplayCase{"FixedSizeList", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::FixedSizeList, fb::CreateFixedSizeList(fbb, 3).Union(),
                                     {int_field(fbb, "item", 32)}); },
                    "FixedSizeList(Int32, 3)"},
        DisplayCase{"Struct", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::Struct_, fb::CreateStruct_(fbb).Union(),
                                     {int_field(fbb, "x"), utf8_field(fbb, "y")}); },
                    "Struct(x: Int64, y: Utf8)"},
        DisplayCase{"EmptyStruct", PLAIN(Struct_), "Struct()"},
        DisplayCase{"Map", [](Builder& fbb) { return map_field(fbb, false); },
                    "Map(Struct(key: Utf8, value: Int64), unsorted)"},
        DisplayCase{"MapSorted", [](Builder& fbb) { return map_field(fbb, true); },
                    "Map(Struct(key: Utf8, value: Int64), sorted)"},
        DisplayCase{"SparseUnion", [](Builder& fbb) { return union_field(fbb, fb::UnionMode::Sparse, nullptr); },
                    "Union(i: Int64, s: Utf8, Sparse)"},
        DisplayCase{"DenseUnion", [](Builder& fbb) { return union_field(fbb, fb::UnionMode::Dense, nullptr); },
                    "Union(i: Int64, s: Utf8, Dense)"},
        DisplayCase{"RunEndEncoded", [](Builder& fbb) {
                      return list_of(fbb, fb::Type::RunEndEncoded, fb::CreateRunEndEncoded(fbb).Union(),
                                     {int_field(fbb, "run_ends", 32, true, false), utf8_field(fbb, "values")}); },
                    "RunEndEncoded(Int32, Utf8)"},
        DisplayCase{"DictionaryDefaultIndex", [](Builder& fbb) { return dictionary_field(fbb, false, false); },
                    "Dictionary(Int32, Utf8)"},
        DisplayCase{"DictionaryUInt8Index", [](Builder& fbb) { return dictionary_field(fbb, true, false); },
                    "Dictionary(UInt8, Utf8)"}),
    [](const auto& test_case) { return test_case.param.name; });

#undef PLAIN

TEST(SchemaFromMessage, CarriesNamesNullabilityMetadataAndStructure) {
  Builder fbb;
  const auto field_kv = fbb.CreateVector(
      std::vector{fb::CreateKeyValue(fbb, fbb.CreateString("k1"), fbb.CreateString("v1")),
                  fb::CreateKeyValue(fbb, fbb.CreateString("k0"), fbb.CreateString(""))});
  const auto a = fb::CreateField(fbb, fbb.CreateString("a"), false, fb::Type::Utf8, fb::CreateUtf8(fbb).Union(), 0,
                                 0, field_kv);
  const auto b = int_field(fbb, "b", 64, true, true);
  const std::vector<int32_t> ids{5, 2};
  const auto u = union_field(fbb, fb::UnionMode::Dense, &ids);
  const auto d = dictionary_field(fbb, false, true);
  const auto schema_kv =
      fbb.CreateVector(std::vector{fb::CreateKeyValue(fbb, fbb.CreateString("origin"), fbb.CreateString("test"))});
  const auto schema = fb::CreateSchema(fbb, fb::Endianness::Little, fbb.CreateVector(std::vector{a, b, u, d}),
                                       schema_kv);
  const auto bytes = testing::finish_message(fbb, fb::MessageHeader::Schema, schema.Union());
  ASSERT_TRUE(testing::verifies(bytes));

  const auto converted = schema_from_message(testing::view_of(bytes));
  ASSERT_TRUE(converted.ok()) << converted.error().to_string();
  const Schema& s = *converted.value();
  ASSERT_EQ(s.fields.size(), 4u);
  EXPECT_EQ(s.fields[0], Field("a", DataType::utf8(), false, {{"k1", "v1"}, {"k0", ""}}));
  EXPECT_EQ(s.fields[1], Field("b", DataType::int64(), true));
  EXPECT_EQ(s.fields[2].type,
            DataType::union_type(TypeId::DenseUnion, {Field("i", DataType::int64()), Field("s", DataType::utf8())},
                                 {5, 2}));
  EXPECT_EQ(s.fields[3].type, DataType::dictionary(DataType::int_type(32, true), DataType::utf8(), true));
  EXPECT_EQ(s.metadata, (KeyValueMetadata{{"origin", "test"}}));

  const auto dropped = schema_from_message(testing::view_of(bytes), SchemaMetadata::Drop);
  ASSERT_TRUE(dropped.ok()) << dropped.error().to_string();
  EXPECT_EQ(dropped.value()->fields[0], Field("a", DataType::utf8(), false));
  EXPECT_EQ(dropped.value()->fields[2].type, s.fields[2].type);
  EXPECT_TRUE(dropped.value()->metadata.empty());
}

TEST(SchemaFromMessage, EmptyFieldListAndAbsentNames) {
  Builder fbb;
  const auto unnamed = fb::CreateField(fbb, 0, true, fb::Type::Bool, fb::CreateBool(fbb).Union());
  const auto bytes = testing::schema_message(fbb, {unnamed});
  const auto converted = schema_from_message(testing::view_of(bytes));
  ASSERT_TRUE(converted.ok());
  EXPECT_EQ(converted.value()->fields[0].name, "");

  Builder empty;
  const auto no_fields = testing::schema_message(empty, {});
  const auto converted_empty = schema_from_message(testing::view_of(no_fields));
  ASSERT_TRUE(converted_empty.ok());
  EXPECT_TRUE(converted_empty.value()->fields.empty());
}

TEST(SchemaFromMessage, BigEndianSchemaWithoutDecimalConverts) {
  const auto schema = convert([](Builder& fbb) { return int_field(fbb, "a"); }, fb::Endianness::Big);
  ASSERT_TRUE(schema.ok());
  EXPECT_EQ(schema.value()->fields[0].type, DataType::int64());
}

TEST(SchemaFromMessage, DeepNestingWithinTheVerifierLimitConverts) {
  Builder fbb;
  FieldOffset inner = int_field(fbb, "leaf");
  for (int i = 0; i < 60; ++i) {
    inner = field(fbb, "s", fb::Type::Struct_, fb::CreateStruct_(fbb), true, {inner});
  }
  const auto bytes = testing::schema_message(fbb, {inner});
  ASSERT_TRUE(testing::verifies(bytes));
  const auto schema = schema_from_message(testing::view_of(bytes));
  ASSERT_TRUE(schema.ok()) << schema.error().to_string();
  EXPECT_EQ(schema.value()->fields[0].type.children()[0].type.id(), TypeId::Struct);
}

// A message may reach one field, child list or name through many offsets;
// the converted schema holds each once and shares it.
TEST(SchemaFromMessage, PartsReachedThroughManyOffsetsAreConvertedOnce) {
  const auto repeated = testing::repeated_field_message(3, "text");
  const auto fields = schema_from_message(testing::view_of(repeated));
  ASSERT_TRUE(fields.ok()) << fields.error().to_string();
  ASSERT_EQ(fields.value()->fields.size(), 3u);
  for (const Field& f : fields.value()->fields) {
    EXPECT_EQ(f, Field("text", DataType::utf8()));
    EXPECT_EQ(&f.name.str(), &fields.value()->fields[0].name.str());
  }

  const auto chain = testing::shared_name_chain_message(60, std::string(1000, 'n'), 4);
  ASSERT_TRUE(testing::verifies(chain));
  const auto nested = schema_from_message(testing::view_of(chain));
  ASSERT_TRUE(nested.ok()) << nested.error().to_string();
  const Field* level = &nested.value()->fields.at(0);
  for (int depth = 1; depth < 60; ++depth) {
    ASSERT_EQ(level->type.children().size(), 1u) << "at depth " << depth;
    const Field* child = &level->type.children()[0];
    EXPECT_EQ(&child->name.str(), &level->name.str()) << "at depth " << depth;
    level = child;
  }
  const std::vector<Field>& leaves = level->type.children();
  ASSERT_EQ(leaves.size(), 4u);
  for (const Field& leaf : leaves) {
    EXPECT_EQ(leaf, Field("leaf", DataType::utf8()));
    EXPECT_EQ(&leaf.name.str(), &leaves[0].name.str());
  }
}

struct ErrorCase {
  std::string name;
  MakeField make;
  std::string message;
  fb::Endianness endianness = fb::Endianness::Little;
};

class RejectType : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RejectType, WithMessage) {
  const auto schema = convert(GetParam().make, GetParam().endianness);
  ASSERT_FALSE(schema.ok());
  EXPECT_EQ(schema.error().kind(), ErrorKind::Ipc);
  EXPECT_EQ(schema.error().to_string(), GetParam().message);
}

FieldOffset without_type(Builder& fbb) { return fb::CreateField(fbb, fbb.CreateString("a"), true); }

FieldOffset unknown_type(Builder& fbb) {
  return fb::CreateField(fbb, fbb.CreateString("a"), true, static_cast<fb::Type>(99), fb::CreateNull(fbb).Union());
}

FieldOffset decimal(Builder& fbb, int32_t precision, int32_t scale, int32_t width) {
  return field(fbb, "a", fb::Type::Decimal, fb::CreateDecimal(fbb, precision, scale, width));
}

FieldOffset time_field(Builder& fbb, fb::TimeUnit unit, int32_t width) {
  return field(fbb, "a", fb::Type::Time, fb::CreateTime(fbb, unit, width));
}

FieldOffset struct_of(Builder& fbb, const std::string& name, const std::vector<FieldOffset>& children) {
  return field(fbb, name, fb::Type::Struct_, fb::CreateStruct_(fbb), true, children);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectType,
    ::testing::Values(
        ErrorCase{"MissingType", without_type, "Ipc error: field 'a': type is missing"},
        ErrorCase{"UnknownTypeId", unknown_type, "Ipc error: field 'a': unknown type id 99"},
        ErrorCase{"IntWidth7", [](Builder& fbb) { return int_field(fbb, "a", 7); },
                  "Ipc error: field 'a': integer bit width 7 is not 8, 16, 32 or 64"},
        ErrorCase{"IntWidthAbsent", [](Builder& fbb) { return int_field(fbb, "a", 0); },
                  "Ipc error: field 'a': integer bit width 0 is not 8, 16, 32 or 64"},
        ErrorCase{"FloatPrecision", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::FloatingPoint,
                                 fb::CreateFloatingPoint(fbb, static_cast<fb::Precision>(3))); },
                  "Ipc error: field 'a': unknown floating point precision 3"},
        ErrorCase{"DecimalWidth", [](Builder& fbb) { return decimal(fbb, 10, 2, 100); },
                  "Ipc error: field 'a': decimal bit width 100 is not 32, 64, 128 or 256"},
        ErrorCase{"DecimalPrecision", [](Builder& fbb) { return decimal(fbb, 300, 2, 128); },
                  "Ipc error: field 'a': decimal precision 300 is outside 0..255"},
        ErrorCase{"DecimalScale", [](Builder& fbb) { return decimal(fbb, 10, 200, 128); },
                  "Ipc error: field 'a': decimal scale 200 is outside -128..127"},
        ErrorCase{"DecimalInBigEndianSchema", [](Builder& fbb) { return decimal(fbb, 10, 2, 128); },
                  "Ipc error: field 'a': Decimal in a big-endian schema is not supported", fb::Endianness::Big},
        ErrorCase{"NestedDecimalInBigEndianSchema",
                  [](Builder& fbb) { return struct_of(fbb, "s", {decimal(fbb, 10, 2, 128)}); },
                  "Ipc error: field 's.a': Decimal in a big-endian schema is not supported", fb::Endianness::Big},
        ErrorCase{"DateUnit", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::Date, fb::CreateDate(fbb, static_cast<fb::DateUnit>(2))); },
                  "Ipc error: field 'a': unknown date unit 2"},
        ErrorCase{"Time32Nanoseconds", [](Builder& fbb) { return time_field(fbb, fb::TimeUnit::NANOSECOND, 32); },
                  "Ipc error: field 'a': time bit width 32 does not fit its unit"},
        ErrorCase{"Time64Seconds", [](Builder& fbb) { return time_field(fbb, fb::TimeUnit::SECOND, 64); },
                  "Ipc error: field 'a': time bit width 64 does not fit its unit"},
        ErrorCase{"TimestampUnit", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::Timestamp,
                                 fb::CreateTimestamp(fbb, static_cast<fb::TimeUnit>(9))); },
                  "Ipc error: field 'a': unknown time unit 9"},
        ErrorCase{"DurationUnit", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::Duration,
                                 fb::CreateDuration(fbb, static_cast<fb::TimeUnit>(-1))); },
                  "Ipc error: field 'a': unknown time unit -1"},
        ErrorCase{"IntervalUnit", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::Interval,
                                 fb::CreateInterval(fbb, static_cast<fb::IntervalUnit>(3))); },
                  "Ipc error: field 'a': unknown interval unit 3"},
        ErrorCase{"FixedSizeBinaryNegative", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::FixedSizeBinary, fb::CreateFixedSizeBinary(fbb, -1)); },
                  "Ipc error: field 'a': fixed-size binary width -1 is negative"},
        ErrorCase{"ListWithoutChild", [](Builder& fbb) { return field(fbb, "a", fb::Type::List, fb::CreateList(fbb)); },
                  "Ipc error: field 'a': List needs exactly 1 child, got 0"},
        ErrorCase{"LargeListWithTwoChildren", [](Builder& fbb) {
                    return list_of(fbb, fb::Type::LargeList, fb::CreateLargeList(fbb).Union(),
                                   {int_field(fbb, "x"), int_field(fbb, "y")}); },
                  "Ipc error: field 'a': LargeList needs exactly 1 child, got 2"},
        ErrorCase{"ListViewWithoutChild", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::ListView, fb::CreateListView(fbb)); },
                  "Ipc error: field 'a': ListView needs exactly 1 child, got 0"},
        ErrorCase{"FixedSizeListWithoutChild", [](Builder& fbb) {
                    return field(fbb, "a", fb::Type::FixedSizeList, fb::CreateFixedSizeList(fbb, 2)); },
                  "Ipc error: field 'a': FixedSizeList needs exactly 1 child, got 0"},
        ErrorCase{"FixedSizeListNegative", [](Builder& fbb) {
                    return list_of(fbb, fb::Type::FixedSizeList, fb::CreateFixedSizeList(fbb, -2).Union(),
                                   {int_field(fbb, "x")}); },
                  "Ipc error: field 'a': fixed-size list size -2 is negative"},
        ErrorCase{"MapWithoutChild", [](Builder& fbb) { return field(fbb, "a", fb::Type::Map, fb::CreateMap(fbb)); },
                  "Ipc error: field 'a': Map needs exactly 1 child, got 0"},
        ErrorCase{"RunEndEncodedOneChild", [](Builder& fbb) {
                    return list_of(fbb, fb::Type::RunEndEncoded, fb::CreateRunEndEncoded(fbb).Union(),
                                   {int_field(fbb, "run_ends", 32)}); },
                  "Ipc error: field 'a': RunEndEncoded needs exactly 2 children, got 1"},
        ErrorCase{"RunEndEncodedUtf8RunEnds", [](Builder& fbb) {
                    return list_of(fbb, fb::Type::RunEndEncoded, fb::CreateRunEndEncoded(fbb).Union(),
                                   {utf8_field(fbb, "run_ends"), utf8_field(fbb, "values")}); },
                  "Ipc error: field 'a': run ends must be Int16, Int32 or Int64, got Utf8"},
        ErrorCase{"UnionTypeIdCount", [](Builder& fbb) {
                    const std::vector<int32_t> ids{1};
                    return union_field(fbb, fb::UnionMode::Sparse, &ids); },
                  "Ipc error: field 'a': union has 1 type ids for 2 children"},
        ErrorCase{"UnionTypeIdRepeated", [](Builder& fbb) {
                    const std::vector<int32_t> ids{3, 3};
                    return union_field(fbb, fb::UnionMode::Sparse, &ids); },
                  "Ipc error: field 'a': union type id 3 is repeated"},
        ErrorCase{"UnionTypeIdRange", [](Builder& fbb) {
                    const std::vector<int32_t> ids{0, 128};
                    return union_field(fbb, fb::UnionMode::Dense, &ids); },
                  "Ipc error: field 'a': union type id 128 is outside 0..127"},
        ErrorCase{"UnionMode", [](Builder& fbb) {
                    return union_field(fbb, static_cast<fb::UnionMode>(2), nullptr); },
                  "Ipc error: field 'a': unknown union mode 2"},
        ErrorCase{"DictionaryIndexWidth", [](Builder& fbb) {
                    const auto encoding = fb::CreateDictionaryEncoding(fbb, 0, fb::CreateInt(fbb, 12, true));
                    return field(fbb, "a", fb::Type::Utf8, fb::CreateUtf8(fbb), true, {}, encoding); },
                  "Ipc error: field 'a': integer bit width 12 is not 8, 16, 32 or 64"},
        ErrorCase{"NestedErrorNamesThePath", [](Builder& fbb) {
                    return struct_of(fbb, "outer", {struct_of(fbb, "inner", {int_field(fbb, "x", 3)})}); },
                  "Ipc error: field 'outer.inner.x': integer bit width 3 is not 8, 16, 32 or 64"},
        ErrorCase{"ChildWithoutType", [](Builder& fbb) { return struct_of(fbb, "s", {without_type(fbb)}); },
                  "Ipc error: field 's.a': type is missing"},
        ErrorCase{"UnnamedParentAddsNoDot", [](Builder& fbb) { return struct_of(fbb, "", {int_field(fbb, "x", 3)}); },
                  "Ipc error: field 'x': integer bit width 3 is not 8, 16, 32 or 64"},
        ErrorCase{"UnnamedChildKeepsTheDot", [](Builder& fbb) { return struct_of(fbb, "s", {int_field(fbb, "", 3)}); },
                  "Ipc error: field 's.': integer bit width 3 is not 8, 16, 32 or 64"},
        // A field reached through two parents is named by the first path.
        ErrorCase{"SharedFieldNamesTheFirstPath", [](Builder& fbb) {
                    const FieldOffset bad = int_field(fbb, "x", 3);
                    return struct_of(fbb, "outer", {struct_of(fbb, "a", {bad}), struct_of(fbb, "b", {bad})}); },
                  "Ipc error: field 'outer.a.x': integer bit width 3 is not 8, 16, 32 or 64"},
        // Names along a path can add up to gigabytes: 1,024 bytes are kept,
        // cut at a character boundary.
        ErrorCase{"LongPathIsCut", [](Builder& fbb) {
                    std::string name = "n";
                    for (int i = 0; i < 600; ++i) name += "\xC3\xA9";
                    return struct_of(fbb, name, {int_field(fbb, "x", 3)}); },
                  [] {
                    std::string cut = "n";
                    for (int i = 0; i < 511; ++i) cut += "\xC3\xA9";
                    return "Ipc error: field '" + cut + "...': integer bit width 3 is not 8, 16, 32 or 64";
                  }()}),
    [](const auto& test_case) { return test_case.param.name; });

TEST(SchemaFromMessage, RejectsSchemaTablesThatCannotBeConverted) {
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>(Builder&)> bytes;
    const char* message;
  };
  const Case cases[] = {
      {"NoFieldList",
       [](Builder& fbb) {
         return testing::finish_message(fbb, fb::MessageHeader::Schema, fb::CreateSchema(fbb).Union());
       },
       "Ipc error: schema has no field list"},
      {"UnknownEndianness",
       [](Builder& fbb) {
         return testing::schema_message(fbb, {int_field(fbb, "a")}, static_cast<fb::Endianness>(5));
       },
       "Ipc error: unknown schema endianness 5"},
      {"NotASchemaMessage", [](Builder&) { return testing::record_batch_message(0, {}, {}, 0); },
       "Ipc error: message has no schema header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder fbb;
    const auto bytes = c.bytes(fbb);
    ASSERT_TRUE(testing::verifies(bytes));
    const auto schema = schema_from_message(testing::view_of(bytes));
    ASSERT_FALSE(schema.ok());
    EXPECT_EQ(schema.error().to_string(), c.message);
  }
}

}  // namespace
}  // namespace columnar::ipc
