// Buffers, arrays and record batches: the in-memory half of the library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "columnar/array.h"
#include "columnar/buffer.h"
#include "columnar/record_batch.h"

namespace columnar {
namespace {

template <typename T>
BufferRef buffer_of(const std::vector<T>& values) {
  return Buffer::copy_of(reinterpret_cast<const uint8_t*>(values.data()), int64_t(values.size() * sizeof(T)));
}

BufferRef bytes_of(std::string_view s) { return Buffer::copy_of(reinterpret_cast<const uint8_t*>(s.data()), int64_t(s.size())); }

ArrayRef utf8_array(std::vector<int32_t> offsets, std::string_view data, BufferRef validity = nullptr) {
  const int64_t length = int64_t(offsets.size()) - 1;
  return Array::make(DataType::utf8(), length, 0, std::move(validity), {buffer_of(offsets), bytes_of(data)});
}

TEST(MutableBuffer, GrowsToTwiceOrNeededRoundedTo64AndStaysAligned) {
  struct Case { int64_t first, second; int64_t capacity_after_first, capacity_after_second; };
  const Case cases[] = {
      {100, 0, 128, 128},
      {1'048'576, 1'048'576, 1'048'576, 2'097'152},
      {64, 1000, 64, 1088},
  };
  for (const auto& c : cases) {
    MutableBuffer buffer;
    std::vector<uint8_t> bytes(size_t(std::max(c.first, c.second)), 7);
    buffer.append(bytes.data(), c.first);
    EXPECT_EQ(buffer.capacity(), c.capacity_after_first) << c.first;
    buffer.append(bytes.data(), c.second);
    EXPECT_EQ(buffer.capacity(), c.capacity_after_second) << c.first << "+" << c.second;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % 128, 0u);
    const int64_t size = buffer.size();
    BufferRef frozen = std::move(buffer).freeze();
    EXPECT_EQ(frozen->size(), size);
    EXPECT_EQ(frozen->capacity(), c.capacity_after_second);
  }
}

// Large storage is kept when freed and grows in place: contents, alignment
// and the capacity rule must come through every path.
TEST(MutableBuffer, LargeStorageIsReusedAndGrowsKeepingItsBytes) {
  constexpr int64_t kLarge = (13 << 20) + 1;
  std::vector<uint8_t> bytes(size_t{24} << 20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4099);

  const uint8_t* first = nullptr;
  {
    MutableBuffer buffer(kLarge);
    first = buffer.data();
    buffer.append(bytes.data(), kLarge);
    BufferRef frozen = std::move(buffer).freeze();
    EXPECT_TRUE(std::equal(frozen->data(), frozen->data() + kLarge, bytes.data()));
  }
  {
    // The next buffer of the size takes the same storage.
    MutableBuffer again(kLarge);
    EXPECT_EQ(again.data(), first);
  }
  // Growth from a small heap block into large storage and on, by appends
  // of uneven pieces, as a body from a pipe grows; and a growing buffer.
  for (const bool growing : {false, true}) {
    MutableBuffer buffer = growing ? MutableBuffer::growing(1 << 20) : MutableBuffer();
    size_t at = 0;
    for (const size_t piece : {size_t{1000}, size_t{1} << 20, size_t{3'000'001}, size_t{9} << 20, size_t{7} << 20}) {
      buffer.append(bytes.data() + at, static_cast<int64_t>(piece));
      at += piece;
      EXPECT_GE(buffer.capacity(), buffer.size());
      EXPECT_EQ(buffer.capacity() % 64, 0);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % 128, 0u);
    }
    EXPECT_TRUE(std::equal(buffer.data(), buffer.data() + at, bytes.data())) << growing;
  }
}

TEST(Bits, CountSetBitsAtAnyOffset) {
  std::vector<uint8_t> bits(32, 0);
  for (int64_t i = 0; i < 256; i += 3) set_bit(bits.data(), i);
  for (int64_t offset : {0, 1, 5, 8, 13, 64, 100}) {
    for (int64_t length : {0, 1, 7, 64, 100, 150}) {
      if (offset + length > 256) continue;
      int64_t expected = 0;
      for (int64_t i = offset; i < offset + length; ++i) expected += (i % 3 == 0);
      EXPECT_EQ(count_set_bits(bits.data(), offset, length), expected) << offset << "," << length;
    }
  }
}

TEST(Array, Utf8ValidateRejectsBadOffsetsAndBytes) {
  struct Case { const char* name; std::vector<int32_t> offsets; std::string data; const char* error; };
  const Case cases[] = {
      {"valid", {0, 1, 3}, "abc", nullptr},
      {"negative first", {-1, 1}, "ab", "Invalid argument error: Utf8 offset -1 is negative"},
      {"decreasing", {0, 2, 1}, "ab", "Invalid argument error: Utf8 offsets decrease at index 2: 2 > 1"},
      {"beyond data", {0, 4}, "ab", "Invalid argument error: Utf8 offset 4 is beyond the 2 bytes of value data"},
      {"invalid bytes", {0, 1}, "\xFF", "Invalid argument error: invalid UTF-8 in Utf8 value at index 0"},
      {"split character", {0, 1, 2}, "\xC3\xA9", "Invalid argument error: invalid UTF-8 in Utf8 value at index 0"},
  };
  for (const auto& c : cases) {
    const Status status = utf8_array(c.offsets, c.data)->validate();
    if (c.error == nullptr) {
      EXPECT_TRUE(status.ok()) << c.name << ": " << status.error().to_string();
    } else {
      ASSERT_FALSE(status.ok()) << c.name;
      EXPECT_EQ(status.error().to_string(), c.error) << c.name;
    }
  }
}

TEST(Array, InvalidBytesUnderANullAreNotLookedAt) {
  const uint8_t validity = 0b101;
  ArrayRef array = utf8_array({0, 1, 2, 3}, "a\xFF" "c", Buffer::copy_of(&validity, 1));
  EXPECT_EQ(array->null_count(), 1);
  EXPECT_TRUE(array->validate().ok());
}

TEST(Array, ShortBuffersAreRejected) {
  ArrayRef ints = Array::make(DataType::int64(), 3, 0, nullptr, {buffer_of(std::vector<int64_t>{1, 2})});
  ASSERT_FALSE(ints->validate().ok());
  EXPECT_EQ(ints->validate().error().to_string(), "Invalid argument error: values buffer has 16 bytes, needs at least 24");
  const uint8_t one = 0xFF;
  ArrayRef bools = Array::make(DataType::boolean(), 9, 0, nullptr, {Buffer::copy_of(&one, 1)});
  EXPECT_FALSE(bools->validate().ok());
  ArrayRef short_validity = Array::make(DataType::int64(), 9, 0, Buffer::copy_of(&one, 1),
                                        {buffer_of(std::vector<int64_t>(9, 0))}, 0);
  EXPECT_FALSE(short_validity->validate().ok());
}

TEST(Array, SliceSharesBuffersAndRecountsNulls) {
  const uint8_t validity[] = {0b11011011, 0b1};
  ArrayRef array = utf8_array({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, "abcdefghi", Buffer::copy_of(validity, 2));
  EXPECT_EQ(array->null_count(), 2);
  ArrayRef slice = array->slice(3, 5);
  EXPECT_EQ(slice->length(), 5);
  EXPECT_EQ(slice->offset(), 3);
  EXPECT_EQ(slice->null_count(), 1);  // row 5 of the parent
  EXPECT_EQ(slice->buffers()[1], array->buffers()[1]);
  EXPECT_EQ(slice->utf8_value(0), "d");
  EXPECT_TRUE(slice->is_null(2));
  EXPECT_TRUE(slice->validate().ok());
}

TEST(RecordBatch, ValidatingConstructor) {
  ArrayRef text = utf8_array({0, 1, 2}, "ab");
  ArrayRef ints = Array::make(DataType::int64(), 2, 0, nullptr, {buffer_of(std::vector<int64_t>{1, 2})});
  const uint8_t one_null = 0b01;
  ArrayRef with_null = utf8_array({0, 1, 2}, "ab", Buffer::copy_of(&one_null, 1));
  struct Case { const char* name; SchemaRef schema; std::vector<ArrayRef> columns; const char* error; };
  const Case cases[] = {
      {"ok", make_schema({Field("a", DataType::utf8())}), {text}, nullptr},
      {"column count", make_schema({Field("a", DataType::utf8())}), {text, text},
       "Invalid argument error: number of columns(2) must match number of fields(1) in schema"},
      {"type", make_schema({Field("a", DataType::utf8())}), {ints},
       "Invalid argument error: column types must match schema types, expected Utf8 but found Int64 at column index 0"},
      {"lengths", make_schema({Field("a", DataType::utf8()), Field("b", DataType::utf8())}), {text, text->slice(0, 1)},
       "Invalid argument error: all columns in a record batch must have the same length"},
      {"non-nullable", make_schema({Field("a", DataType::utf8(), false)}), {with_null},
       "Invalid argument error: Column 'a' is declared as non-nullable but contains null values"},
  };
  for (const auto& c : cases) {
    auto batch = RecordBatch::make(c.schema, c.columns);
    if (c.error == nullptr) {
      ASSERT_TRUE(batch.ok()) << c.name;
      EXPECT_EQ(batch.value().num_rows(), 2);
    } else {
      ASSERT_FALSE(batch.ok()) << c.name;
      EXPECT_EQ(batch.error().to_string(), c.error) << c.name;
    }
  }
  auto mismatch = RecordBatch::make(make_schema({Field("a", DataType::utf8())}), {text}, 3);
  ASSERT_FALSE(mismatch.ok());
}

TEST(RecordBatch, SliceIsAWindowOfEveryColumn) {
  ArrayRef text = utf8_array({0, 1, 2, 3}, "abc");
  auto batch = RecordBatch::make(make_schema({Field("a", DataType::utf8())}), {text}).value();
  RecordBatch slice = batch.slice(1, 2);
  EXPECT_EQ(slice.num_rows(), 2);
  EXPECT_EQ(slice.column(0)->utf8_value(0), "b");
  EXPECT_EQ(slice.schema(), batch.schema());
}

TEST(DataType, DisplayTexts) {
  struct Case { DataType type; const char* text; };
  const Case cases[] = {
      {DataType::boolean(), "Boolean"}, {DataType::float64(), "Float64"}, {DataType::int64(), "Int64"},
      {DataType::utf8(), "Utf8"}, {DataType::plain(TypeId::LargeUtf8), "LargeUtf8"},
      {DataType::plain(TypeId::Utf8View), "Utf8View"}, {DataType::int_type(32, true), "Int32"},
      {DataType::int_type(8, false), "UInt8"}, {DataType::plain(TypeId::Null), "Null"},
      {DataType::timestamp(TimeUnit::Millisecond, "UTC"), "Timestamp(Millisecond, Some(\"UTC\"))"},
      {DataType::timestamp(TimeUnit::Second, std::nullopt), "Timestamp(Second, None)"},
      {DataType::decimal(TypeId::Decimal128, 10, 2), "Decimal128(10, 2)"},
      {DataType::list(TypeId::List, Field("item", DataType::int64())), "List(Int64)"},
      {DataType::dictionary(DataType::int_type(32, true), DataType::utf8(), false), "Dictionary(Int32, Utf8)"},
      {DataType::fixed_size_binary(16), "FixedSizeBinary(16)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.type.to_string(), c.text);
  // A bounded text is exactly the head of the whole one, for every bound.
  for (const auto& c : cases) {
    const std::string text = c.text;
    for (size_t keep = 0; keep <= text.size() + 1; ++keep) {
      EXPECT_EQ(c.type.to_string(keep), text.substr(0, keep)) << text << " kept to " << keep;
    }
  }
  const DataType nested = DataType::struct_type(
      {Field("a", DataType::timestamp(TimeUnit::Second, std::string(5000, 'z')), true),
       Field(std::string(3000, 'n'), DataType::list(TypeId::List, Field("item", DataType::utf8(), true)), true)});
  const std::string whole = nested.to_string();
  for (const size_t keep : {size_t{0}, size_t{10}, size_t{1025}, size_t{5020}, size_t{5030}, size_t{8040}, whole.size()}) {
    EXPECT_EQ(nested.to_string(keep), whole.substr(0, keep)) << keep;
  }
  EXPECT_EQ(DataType::utf8(), DataType::utf8());
  EXPECT_NE(DataType::utf8(), DataType::plain(TypeId::LargeUtf8));
  EXPECT_NE(DataType::timestamp(TimeUnit::Second, "UTC"), DataType::timestamp(TimeUnit::Second, std::nullopt));
}

}  // namespace
}  // namespace columnar
