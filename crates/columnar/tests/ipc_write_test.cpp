// The stream writer, checked at the byte level (framing, body layout, re-based
// slices, sink failures) and by decoding what it wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "columnar/ipc.h"
#include "columnar/testing/stream_split.h"
#include "ipc_internal.h"
#include "ipc_write_internal.h"

namespace columnar::ipc {
namespace {

// ---------------------------------------------------------------------------
// Sinks

class MemorySink final : public ByteSink {
 public:
  IoStatus write_all(const uint8_t* data, size_t size) override {
    write_sources.push_back(data);
    bytes.insert(bytes.end(), data, data + size);
    return {};
  }
  IoStatus flush() override {
    ++flushes;
    return {};
  }

  std::vector<uint8_t> bytes;
  std::vector<const uint8_t*> write_sources;
  int flushes = 0;
};

// Takes `budget_bytes`, then fails the write that would go past it (and every
// later one) with EPIPE; optionally fails every flush too.
class FailingSink final : public ByteSink {
 public:
  FailingSink(size_t budget_bytes, bool fail_flush) : budget_bytes_(budget_bytes), fail_flush_(fail_flush) {}

  IoStatus write_all(const uint8_t*, size_t size) override {
    if (size > budget_bytes_) return IoError::from_errno(EPIPE);
    budget_bytes_ -= size;
    return {};
  }
  IoStatus flush() override {
    if (fail_flush_) return IoError::from_errno(EPIPE);
    return {};
  }

 private:
  size_t budget_bytes_;
  bool fail_flush_;
};

// ---------------------------------------------------------------------------
// Fixture: 12 rows per type, nulls at rows 1, 4 and 10. Null Utf8 slots keep
// bytes of their own, as producers are free to leave them.

constexpr int64_t kRows = 12;

bool row_valid(int64_t i) { return i != 1 && i != 4 && i != 10; }
bool bool_at(int64_t i) { return i % 3 != 0; }
int64_t int_at(int64_t i) { return (i - 5) * 1'000'000'007LL; }
double float_at(int64_t i) { return static_cast<double>(i) * 0.25 - 1.0; }
std::string text_at(int64_t i) {
  return std::string(static_cast<size_t>(i % 4), static_cast<char>('a' + i)) + (i % 5 == 0 ? "\xC3\xA9" : "");
}

std::vector<uint8_t> pack_bits(int64_t offset, int64_t length, bool (*bit)(int64_t)) {
  std::vector<uint8_t> bits(static_cast<size_t>((length + 7) / 8), 0);
  for (int64_t i = 0; i < length; ++i) {
    if (bit(offset + i)) set_bit(bits.data(), i);
  }
  return bits;
}

template <typename T>
BufferRef buffer_of(const std::vector<T>& values) {
  return Buffer::copy_of(reinterpret_cast<const uint8_t*>(values.data()), static_cast<int64_t>(values.size() * sizeof(T)));
}

BufferRef fixture_validity() { return buffer_of(pack_bits(0, kRows, row_valid)); }

ArrayRef fixture_array(TypeId id) {
  switch (id) {
    case TypeId::Boolean:
      return Array::make(DataType::boolean(), kRows, 0, fixture_validity(), {buffer_of(pack_bits(0, kRows, bool_at))});
    case TypeId::Int64: {
      std::vector<int64_t> values;
      for (int64_t i = 0; i < kRows; ++i) values.push_back(int_at(i));
      return Array::make(DataType::int64(), kRows, 0, fixture_validity(), {buffer_of(values)});
    }
    case TypeId::Float64: {
      std::vector<double> values;
      for (int64_t i = 0; i < kRows; ++i) values.push_back(float_at(i));
      return Array::make(DataType::float64(), kRows, 0, fixture_validity(), {buffer_of(values)});
    }
    case TypeId::Utf8: {
      std::vector<int32_t> offsets{0};
      std::string data;
      for (int64_t i = 0; i < kRows; ++i) {
        data += text_at(i);
        offsets.push_back(static_cast<int32_t>(data.size()));
      }
      return Array::make(DataType::utf8(), kRows, 0, fixture_validity(),
                         {buffer_of(offsets), buffer_of(std::vector<char>(data.begin(), data.end()))});
    }
    default:
      ADD_FAILURE() << "no fixture for this type";
      return nullptr;
  }
}

const TypeId kFixtureTypes[] = {TypeId::Boolean, TypeId::Int64, TypeId::Float64, TypeId::Utf8};

SchemaRef fixture_schema() {
  return make_schema({Field("flag", DataType::boolean()), Field("count", DataType::int64()),
                      Field("ratio", DataType::float64()), Field("name", DataType::utf8())});
}

RecordBatch fixture_window(int64_t offset, int64_t length) {
  std::vector<ArrayRef> columns;
  for (TypeId id : kFixtureTypes) columns.push_back(fixture_array(id)->slice(offset, length));
  Result<RecordBatch> batch = RecordBatch::make(fixture_schema(), std::move(columns), length);
  EXPECT_TRUE(batch.ok());
  return std::move(batch).value();
}

// Row windows of the fixture: whole, a slice at bit 3 of the bitmaps, one at a
// byte boundary, one whose rows are all valid, and an empty one.
struct Window {
  const char* name;
  int64_t offset;
  int64_t length;
};
const Window kWindows[] = {
    {"whole", 0, kRows}, {"offset 3", 3, 7}, {"offset 8", 8, 4}, {"no nulls", 5, 4}, {"empty", 5, 0},
};

int64_t nulls_in(const Window& w) {
  int64_t nulls = 0;
  for (int64_t i = w.offset; i < w.offset + w.length; ++i) nulls += row_valid(i) ? 0 : 1;
  return nulls;
}

// ---------------------------------------------------------------------------
// Reading the stream back

using StreamMessage = testing::FramedMessage;

// Splits a complete stream into its messages and checks the framing of each
// (marker, the length rule, a verified flatbuffer, a body of whole alignment
// units) and the end-of-stream marker as its last eight bytes.
std::vector<StreamMessage> split_stream(const std::vector<uint8_t>& bytes, int64_t alignment = 64) {
  testing::SplitStream split = testing::split_stream(bytes.data(), bytes.size());
  EXPECT_EQ(split.error, "");
  EXPECT_TRUE(split.end_marker);
  EXPECT_EQ(split.trailing_bytes, 0u) << "bytes follow the end-of-stream marker";
  for (const StreamMessage& m : split.messages) {
    EXPECT_EQ((8 + m.metadata.size()) % static_cast<size_t>(alignment), 0u) << "metadata length at byte " << m.start;
    EXPECT_EQ(m.body.size() % static_cast<size_t>(alignment), 0u) << "body length at byte " << m.start;
  }
  return std::move(split.messages);
}

std::vector<uint8_t> write_stream(const SchemaRef& schema, const std::vector<RecordBatch>& batches,
                                  WriteOptions options = {}) {
  MemorySink sink;
  Result<StreamWriter> writer = StreamWriter::open(sink, schema, options);
  if (!writer.ok()) {
    ADD_FAILURE() << writer.error().to_string();
    return {};
  }
  for (const RecordBatch& batch : batches) {
    Status written = writer.value().write(batch);
    EXPECT_TRUE(written.ok()) << written.error().to_string();
  }
  Status finished = writer.value().finish();
  EXPECT_TRUE(finished.ok()) << finished.error().to_string();
  return sink.bytes;
}

void expect_error(const Error& error, ErrorKind kind, const std::string& text) {
  EXPECT_EQ(error.kind(), kind);
  EXPECT_EQ(error.to_string(), text);
}

// ---------------------------------------------------------------------------
// Framing

TEST(MetadataLength, SmallestPaddedLengthThatHoldsTheFlatbuffer) {
  struct Case {
    int64_t flatbuffer_bytes;
    int64_t alignment;
    int64_t metadata_length;
  };
  const Case cases[] = {
      {56, 64, 56}, {57, 64, 120}, {100, 64, 120}, {120, 64, 120}, {121, 64, 184}, {1, 64, 56},
      {8, 8, 8},    {9, 8, 16},    {24, 16, 24},   {25, 16, 40},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(padded_metadata_length(c.flatbuffer_bytes, c.alignment), c.metadata_length)
        << c.flatbuffer_bytes << " bytes, alignment " << c.alignment;
  }
}

TEST(StreamWriterSchema, EncodesFieldsAsTheFormatDescribes) {
  const SchemaRef schema = make_schema({Field("flag", DataType::boolean(), false), Field("count", DataType::int64()),
                                        Field("ratio", DataType::float64()), Field("name", DataType::utf8())});
  const std::vector<uint8_t> bytes = write_stream(schema, {});
  const std::vector<StreamMessage> messages = split_stream(bytes);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(bytes.size(), 8 + messages[0].metadata.size() + 8);

  const fb::Message* message = messages[0].message();
  EXPECT_EQ(message->version(), fb::MetadataVersion::V5);
  EXPECT_EQ(message->bodyLength(), 0);
  EXPECT_EQ(message->custom_metadata(), nullptr);
  const fb::Schema* header = message->header_as_Schema();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->endianness(), fb::Endianness::Little);
  EXPECT_EQ(header->custom_metadata(), nullptr);
  EXPECT_EQ(header->features(), nullptr);
  ASSERT_NE(header->fields(), nullptr);
  ASSERT_EQ(header->fields()->size(), 4u);

  const fb::Field* flag = header->fields()->Get(0);
  const fb::Field* count = header->fields()->Get(1);
  const fb::Field* ratio = header->fields()->Get(2);
  const fb::Field* name = header->fields()->Get(3);
  EXPECT_EQ(flag->name()->str(), "flag");
  EXPECT_FALSE(flag->nullable());
  EXPECT_NE(flag->type_as_Bool(), nullptr);
  EXPECT_EQ(count->name()->str(), "count");
  EXPECT_TRUE(count->nullable());
  ASSERT_NE(count->type_as_Int(), nullptr);
  EXPECT_EQ(count->type_as_Int()->bitWidth(), 64);
  EXPECT_TRUE(count->type_as_Int()->is_signed());
  ASSERT_NE(ratio->type_as_FloatingPoint(), nullptr);
  EXPECT_EQ(ratio->type_as_FloatingPoint()->precision(), fb::Precision::DOUBLE);
  EXPECT_NE(name->type_as_Utf8(), nullptr);
  for (const fb::Field* field : *header->fields()) {
    EXPECT_EQ(field->dictionary(), nullptr);
    ASSERT_NE(field->children(), nullptr) << field->name()->str();
    EXPECT_EQ(field->children()->size(), 0u);
    EXPECT_EQ(field->custom_metadata(), nullptr);
  }
  // The zero bytes between the flatbuffer and L belong to the metadata.
  EXPECT_TRUE(std::equal(kEndOfStream.begin(), kEndOfStream.end(), bytes.end() - 8));
}

TEST(StreamWriterSchema, WritesCustomMetadataWhenPresent) {
  const SchemaRef schema = make_schema({Field("name", DataType::utf8(), true, {{"origin", "scan"}})},
                                       {{"owner", "team"}, {"empty", ""}});
  const std::vector<uint8_t> bytes = write_stream(schema, {});
  const std::vector<StreamMessage> messages = split_stream(bytes);
  ASSERT_EQ(messages.size(), 1u);
  const fb::Schema* header = messages[0].message()->header_as_Schema();
  ASSERT_NE(header, nullptr);
  ASSERT_NE(header->custom_metadata(), nullptr);
  ASSERT_EQ(header->custom_metadata()->size(), 2u);
  EXPECT_EQ(header->custom_metadata()->Get(0)->key()->str(), "owner");
  EXPECT_EQ(header->custom_metadata()->Get(0)->value()->str(), "team");
  EXPECT_EQ(header->custom_metadata()->Get(1)->key()->str(), "empty");
  EXPECT_EQ(header->custom_metadata()->Get(1)->value()->str(), "");
  const auto* field_metadata = header->fields()->Get(0)->custom_metadata();
  ASSERT_NE(field_metadata, nullptr);
  ASSERT_EQ(field_metadata->size(), 1u);
  EXPECT_EQ(field_metadata->Get(0)->key()->str(), "origin");
  EXPECT_EQ(field_metadata->Get(0)->value()->str(), "scan");
}

TEST(StreamWriterSchema, RefusesTypesItCannotWrite) {
  struct Case {
    const char* name;
    DataType type;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {"int32", DataType::int_type(32, true), ErrorKind::NotYetImplemented,
       "Not yet implemented: writing field 'x' of type Int32; only Boolean, Int64, Float64 and Utf8 fields are "
       "written"},
      {"list", DataType::list(TypeId::List, Field("item", DataType::int64())), ErrorKind::NotYetImplemented,
       "Not yet implemented: writing field 'x' of type List(Int64); only Boolean, Int64, Float64 and Utf8 fields "
       "are written"},
      {"dictionary", DataType::dictionary(DataType::int_type(32, true), DataType::utf8(), false), ErrorKind::Ipc,
       "Ipc error: field 'x' is dictionary-encoded; dictionary batches are not written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySink sink;
    Result<StreamWriter> writer =
        StreamWriter::open(sink, make_schema({Field("ok", DataType::utf8()), Field("x", c.type)}), {});
    ASSERT_FALSE(writer.ok());
    expect_error(writer.error(), c.kind, c.text);
    EXPECT_TRUE(sink.bytes.empty());
  }
}

TEST(StreamWriterOptions, RefusesAlignmentsOtherThan8To64) {
  struct Case {
    const char* name;
    WriteOptions options;
    const char* text;
  };
  const Case cases[] = {
      {"alignment 0", {0}, "Invalid argument error: alignment must be 8, 16, 32 or 64 bytes, got 0"},
      {"alignment 48", {48}, "Invalid argument error: alignment must be 8, 16, 32 or 64 bytes, got 48"},
      {"alignment 128", {128}, "Invalid argument error: alignment must be 8, 16, 32 or 64 bytes, got 128"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySink sink;
    Result<StreamWriter> writer = StreamWriter::open(sink, fixture_schema(), c.options);
    ASSERT_FALSE(writer.ok());
    expect_error(writer.error(), ErrorKind::InvalidArgument, c.text);
    EXPECT_TRUE(sink.bytes.empty());
  }
}

// ---------------------------------------------------------------------------
// Record-batch bodies

// Every buffer starts at a multiple of the alignment right after the padded
// end of the one before, its padding is zero, and the body ends with the last.
void expect_body_layout(const StreamMessage& m, int64_t alignment) {
  const fb::RecordBatch* batch = m.message()->header_as_RecordBatch();
  ASSERT_NE(batch, nullptr);
  ASSERT_NE(batch->buffers(), nullptr);
  int64_t position = 0;
  for (const fb::Buffer* buffer : *batch->buffers()) {
    EXPECT_EQ(buffer->offset(), position);
    EXPECT_EQ(buffer->offset() % alignment, 0);
    const int64_t padded_end = (buffer->offset() + buffer->length() + alignment - 1) / alignment * alignment;
    for (int64_t i = buffer->offset() + buffer->length(); i < padded_end; ++i) {
      EXPECT_EQ(m.body[i], 0) << "padding byte " << i;
    }
    position = padded_end;
  }
  EXPECT_EQ(static_cast<int64_t>(m.body.size()), position);
}

// The bytes of one buffer; a bitmap is compared on its first `bitmap_bits`
// bits only: readers ignore the bits after the window, so any value is right.
struct ExpectedBuffer {
  std::vector<uint8_t> bytes;
  int64_t bitmap_bits = -1;
};

template <typename T>
ExpectedBuffer bytes_of(const std::vector<T>& values) {
  const auto* p = reinterpret_cast<const uint8_t*>(values.data());
  return {std::vector<uint8_t>(p, p + values.size() * sizeof(T))};
}

ExpectedBuffer bitmap_of(const Window& w, bool (*bit)(int64_t)) { return {pack_bits(w.offset, w.length, bit), w.length}; }

// The column's buffers in IPC order, computed from the fixture's values.
std::vector<ExpectedBuffer> expected_buffers(TypeId id, const Window& w) {
  std::vector<ExpectedBuffer> out;
  out.push_back(nulls_in(w) == 0 ? ExpectedBuffer{} : bitmap_of(w, row_valid));
  switch (id) {
    case TypeId::Boolean:
      out.push_back(bitmap_of(w, bool_at));
      break;
    case TypeId::Int64: {
      std::vector<int64_t> values;
      for (int64_t i = w.offset; i < w.offset + w.length; ++i) values.push_back(int_at(i));
      out.push_back(bytes_of(values));
      break;
    }
    case TypeId::Float64: {
      std::vector<double> values;
      for (int64_t i = w.offset; i < w.offset + w.length; ++i) values.push_back(float_at(i));
      out.push_back(bytes_of(values));
      break;
    }
    case TypeId::Utf8: {
      std::vector<int32_t> offsets{0};
      std::string data;
      for (int64_t i = w.offset; i < w.offset + w.length; ++i) {
        data += text_at(i);
        offsets.push_back(static_cast<int32_t>(data.size()));
      }
      out.push_back(bytes_of(offsets));
      out.push_back(bytes_of(std::vector<char>(data.begin(), data.end())));
      break;
    }
    default:
      ADD_FAILURE() << "no fixture for this type";
  }
  return out;
}

void expect_buffer(const StreamMessage& m, const fb::Buffer& actual, const ExpectedBuffer& expected) {
  const uint8_t* bytes = m.body.data() + actual.offset();
  if (expected.bitmap_bits < 0) {
    ASSERT_EQ(actual.length(), static_cast<int64_t>(expected.bytes.size()));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + actual.length()), expected.bytes);
    return;
  }
  ASSERT_EQ(actual.length(), (expected.bitmap_bits + 7) / 8);
  for (int64_t i = 0; i < expected.bitmap_bits; ++i) {
    EXPECT_EQ(get_bit(bytes, i), get_bit(expected.bytes.data(), i)) << "bit " << i;
  }
}

class StreamWriterBatch : public ::testing::TestWithParam<std::tuple<Window, int64_t>> {};

TEST_P(StreamWriterBatch, WritesEachWindowRebasedWithAlignedBuffers) {
  const auto& [window, alignment] = GetParam();
  WriteOptions options;
  options.alignment = alignment;
  const std::vector<uint8_t> bytes =
      write_stream(fixture_schema(), {fixture_window(window.offset, window.length)}, options);
  const std::vector<StreamMessage> messages = split_stream(bytes, alignment);
  ASSERT_EQ(messages.size(), 2u);
  const StreamMessage& m = messages[1];
  EXPECT_EQ(m.message()->version(), fb::MetadataVersion::V5);
  const fb::RecordBatch* batch = m.message()->header_as_RecordBatch();
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->length(), window.length);
  EXPECT_EQ(batch->compression(), nullptr);
  expect_body_layout(m, alignment);

  ASSERT_NE(batch->nodes(), nullptr);
  ASSERT_EQ(batch->nodes()->size(), std::size(kFixtureTypes));
  size_t next_buffer = 0;
  for (size_t column = 0; column < std::size(kFixtureTypes); ++column) {
    SCOPED_TRACE(DataType::plain(kFixtureTypes[column]).to_string());
    EXPECT_EQ(batch->nodes()->Get(static_cast<flatbuffers::uoffset_t>(column))->length(), window.length);
    EXPECT_EQ(batch->nodes()->Get(static_cast<flatbuffers::uoffset_t>(column))->null_count(), nulls_in(window));
    for (const ExpectedBuffer& expected : expected_buffers(kFixtureTypes[column], window)) {
      ASSERT_LT(next_buffer, batch->buffers()->size());
      expect_buffer(m, *batch->buffers()->Get(static_cast<flatbuffers::uoffset_t>(next_buffer++)), expected);
    }
  }
  EXPECT_EQ(next_buffer, batch->buffers()->size());
}

INSTANTIATE_TEST_SUITE_P(Windows, StreamWriterBatch,
                         ::testing::Combine(::testing::ValuesIn(kWindows), ::testing::Values(int64_t{64}, int64_t{8})),
                         [](const auto& param_info) {
                           std::string name = std::string(std::get<0>(param_info.param).name) + "_align" +
                                              std::to_string(std::get<1>(param_info.param));
                           for (char& c : name) {
                             if (c == ' ') c = '_';
                           }
                           return name;
                         });

TEST(StreamWriterBatchShape, ZeroColumnSchema) {
  const SchemaRef schema = make_schema({});
  Result<RecordBatch> batch = RecordBatch::make(schema, {}, 0);
  ASSERT_TRUE(batch.ok());
  const std::vector<uint8_t> bytes = write_stream(schema, {batch.value()});
  const std::vector<StreamMessage> messages = split_stream(bytes);
  ASSERT_EQ(messages.size(), 2u);
  ASSERT_NE(messages[0].message()->header_as_Schema(), nullptr);
  ASSERT_NE(messages[0].message()->header_as_Schema()->fields(), nullptr);
  EXPECT_EQ(messages[0].message()->header_as_Schema()->fields()->size(), 0u);
  const fb::RecordBatch* header = messages[1].message()->header_as_RecordBatch();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->length(), 0);
  ASSERT_NE(header->nodes(), nullptr);
  EXPECT_EQ(header->nodes()->size(), 0u);
  ASSERT_NE(header->buffers(), nullptr);
  EXPECT_EQ(header->buffers()->size(), 0u);
  EXPECT_TRUE(messages[1].body.empty());
}

TEST(StreamWriterBatchShape, EmptyUtf8ArrayWithoutOffsetsStillGetsOneOffset) {
  const SchemaRef schema = make_schema({Field("name", DataType::utf8())});
  const ArrayRef empty = Array::make(DataType::utf8(), 0, 0, nullptr, {Buffer::empty(), Buffer::empty()});
  Result<RecordBatch> batch = RecordBatch::make(schema, {empty});
  ASSERT_TRUE(batch.ok());
  const std::vector<uint8_t> bytes = write_stream(schema, {batch.value()});
  const std::vector<StreamMessage> messages = split_stream(bytes);
  ASSERT_EQ(messages.size(), 2u);
  const fb::RecordBatch* header = messages[1].message()->header_as_RecordBatch();
  ASSERT_NE(header, nullptr);
  ASSERT_EQ(header->buffers()->size(), 3u);
  EXPECT_EQ(header->buffers()->Get(0)->length(), 0);
  ASSERT_EQ(header->buffers()->Get(1)->length(), 4);
  EXPECT_EQ(std::memcmp(messages[1].body.data() + header->buffers()->Get(1)->offset(), "\0\0\0\0", 4), 0);
  EXPECT_EQ(header->buffers()->Get(2)->length(), 0);
}

TEST(StreamWriterBatchShape, UnchangedBuffersGoToTheSinkWithoutACopy) {
  const ArrayRef ints = fixture_array(TypeId::Int64);
  const ArrayRef texts = fixture_array(TypeId::Utf8);
  const SchemaRef schema = make_schema({Field("count", DataType::int64()), Field("name", DataType::utf8())});
  Result<RecordBatch> batch = RecordBatch::make(schema, {ints->slice(2, 6), texts->slice(0, 6)});
  ASSERT_TRUE(batch.ok());
  MemorySink sink;
  Result<StreamWriter> writer = StreamWriter::open(sink, schema, {});
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().write(batch.value()).ok());
  const auto wrote = [&](const uint8_t* source) {
    return std::find(sink.write_sources.begin(), sink.write_sources.end(), source) != sink.write_sources.end();
  };
  EXPECT_TRUE(wrote(ints->buffers()[0]->data() + 2 * 8));
  EXPECT_TRUE(wrote(texts->buffers()[0]->data()));
  EXPECT_TRUE(wrote(texts->buffers()[1]->data()));
}

// ---------------------------------------------------------------------------
// Errors

TEST(StreamWriterErrors, RefusesBatchesThatDoNotMatchTheSchema) {
  struct Case {
    const char* name;
    SchemaRef batch_schema;
    std::vector<ArrayRef> columns;
    const char* text;
  };
  const Case cases[] = {
      {"one column short", make_schema({Field("flag", DataType::boolean())}), {fixture_array(TypeId::Boolean)},
       "Invalid argument error: the record batch has 1 columns, the stream schema 4 fields"},
      {"type differs",
       make_schema({Field("flag", DataType::boolean()), Field("count", DataType::utf8()),
                    Field("ratio", DataType::float64()), Field("name", DataType::utf8())}),
       {fixture_array(TypeId::Boolean), fixture_array(TypeId::Utf8), fixture_array(TypeId::Float64),
        fixture_array(TypeId::Utf8)},
       "Invalid argument error: column 1 has type Utf8, the stream schema declares Int64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<RecordBatch> batch = RecordBatch::make(c.batch_schema, c.columns);
    ASSERT_TRUE(batch.ok());
    MemorySink sink;
    Result<StreamWriter> writer = StreamWriter::open(sink, fixture_schema(), {});
    ASSERT_TRUE(writer.ok());
    const size_t schema_bytes = sink.bytes.size();
    Status written = writer.value().write(batch.value());
    ASSERT_FALSE(written.ok());
    expect_error(written.error(), ErrorKind::InvalidArgument, c.text);
    EXPECT_EQ(sink.bytes.size(), schema_bytes);
  }
}

TEST(StreamWriterErrors, RefusesBuffersTooShortForTheWindow) {
  const BufferRef eight_bytes = Buffer::copy_of(reinterpret_cast<const uint8_t*>("\0\0\0\0\x03\0\0\0"), 8);
  struct Case {
    const char* name;
    ArrayRef array;
    const char* text;
  };
  const Case cases[] = {
      {"int64 values", Array::make(DataType::int64(), 2, 0, nullptr, {eight_bytes}),
       "Invalid argument error: Int64 column 0: the values buffer holds 8 bytes, rows [0, 2) need 16"},
      {"validity", Array::make(DataType::int64(), 1, 9, Buffer::copy_of(eight_bytes->data(), 1),
                               {Buffer::copy_of(std::vector<uint8_t>(80).data(), 80)}, 1),
       "Invalid argument error: Int64 column 0: the validity buffer holds 1 bytes, rows [9, 10) need 2"},
      {"boolean values", Array::make(DataType::boolean(), 9, 0, nullptr, {Buffer::slice(eight_bytes, 0, 1)}),
       "Invalid argument error: Boolean column 0: the values buffer holds 1 bytes, rows [0, 9) need 2"},
      {"utf8 offsets", Array::make(DataType::utf8(), 2, 0, nullptr, {eight_bytes, eight_bytes}),
       "Invalid argument error: Utf8 column 0: the offsets buffer holds 8 bytes, rows [0, 2) need 12"},
      {"utf8 data", Array::make(DataType::utf8(), 1, 0, nullptr, {eight_bytes, Buffer::slice(eight_bytes, 0, 2)}),
       "Invalid argument error: Utf8 column 0: offsets 0..3 lie outside the 2 bytes of value data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SchemaRef schema = make_schema({Field("x", c.array->type())});
    Result<RecordBatch> batch = RecordBatch::make(schema, {c.array});
    ASSERT_TRUE(batch.ok());
    MemorySink sink;
    Result<StreamWriter> writer = StreamWriter::open(sink, schema, {});
    ASSERT_TRUE(writer.ok());
    Status written = writer.value().write(batch.value());
    ASSERT_FALSE(written.ok());
    expect_error(written.error(), ErrorKind::InvalidArgument, c.text);
  }
}

TEST(StreamWriterErrors, SinkFailuresReadAsIoErrors) {
  const std::vector<uint8_t> whole = write_stream(fixture_schema(), {fixture_window(0, kRows)});
  const std::vector<StreamMessage> messages = split_stream(whole);
  ASSERT_EQ(messages.size(), 2u);
  const size_t batch_start = messages[1].start;
  const size_t body_start = batch_start + 8 + static_cast<size_t>(messages[1].metadata.size());

  enum class FailsIn { Open, Write, Finish };
  struct Case {
    const char* name;
    size_t budget_bytes;
    bool fail_flush;
    FailsIn fails_in;
  };
  const Case cases[] = {
      {"schema message", 0, false, FailsIn::Open},
      {"record-batch metadata", batch_start, false, FailsIn::Write},
      {"record-batch body", body_start + 1, false, FailsIn::Write},
      {"end-of-stream marker", whole.size() - 1, false, FailsIn::Finish},
      {"flush", whole.size(), true, FailsIn::Finish},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailingSink sink(c.budget_bytes, c.fail_flush);
    Result<StreamWriter> writer = StreamWriter::open(sink, fixture_schema(), {});
    std::optional<Error> error;
    if (!writer.ok()) {
      error = writer.error();
      EXPECT_EQ(c.fails_in, FailsIn::Open);
    } else if (Status written = writer.value().write(fixture_window(0, kRows)); !written.ok()) {
      error = written.error();
      EXPECT_EQ(c.fails_in, FailsIn::Write);
    } else if (Status finished = writer.value().finish(); !finished.ok()) {
      error = finished.error();
      EXPECT_EQ(c.fails_in, FailsIn::Finish);
      EXPECT_FALSE(writer.value().finished());
    }
    ASSERT_TRUE(error.has_value());
    expect_error(*error, ErrorKind::Io, "Io error: Broken pipe (os error 32)");
  }
}

TEST(StreamWriterErrors, NothingIsWrittenAfterFinish) {
  MemorySink sink;
  Result<StreamWriter> writer = StreamWriter::open(sink, fixture_schema(), {});
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().finish().ok());
  EXPECT_TRUE(writer.value().finished());
  EXPECT_EQ(sink.flushes, 1);
  const size_t finished_bytes = sink.bytes.size();

  Status written = writer.value().write(fixture_window(0, 2));
  ASSERT_FALSE(written.ok());
  expect_error(written.error(), ErrorKind::Ipc, "Ipc error: the stream is already finished");
  Status finished_again = writer.value().finish();
  ASSERT_FALSE(finished_again.ok());
  expect_error(finished_again.error(), ErrorKind::Ipc, "Ipc error: the stream is already finished");
  EXPECT_EQ(sink.bytes.size(), finished_bytes);
}

// ---------------------------------------------------------------------------
// Round trip through the decoder

void expect_same_rows(const Array& decoded, TypeId id, const Window& w) {
  ASSERT_EQ(decoded.type(), DataType::plain(id));
  ASSERT_EQ(decoded.length(), w.length);
  EXPECT_EQ(decoded.null_count(), nulls_in(w));
  for (int64_t i = 0; i < w.length; ++i) {
    const int64_t row = w.offset + i;
    ASSERT_EQ(decoded.is_valid(i), row_valid(row)) << "row " << row;
    if (!row_valid(row)) continue;
    switch (id) {
      case TypeId::Boolean: EXPECT_EQ(decoded.bool_value(i), bool_at(row)) << "row " << row; break;
      case TypeId::Int64: EXPECT_EQ(decoded.int64_values()[i], int_at(row)) << "row " << row; break;
      case TypeId::Float64: EXPECT_EQ(decoded.float64_values()[i], float_at(row)) << "row " << row; break;
      case TypeId::Utf8: EXPECT_EQ(decoded.utf8_value(i), text_at(row)) << "row " << row; break;
      default: ADD_FAILURE() << "no fixture for this type";
    }
  }
}

TEST(StreamWriterRoundTrip, DecoderReadsBackEveryTypeAndWindow) {
  std::vector<RecordBatch> batches;
  for (const Window& w : kWindows) batches.push_back(fixture_window(w.offset, w.length));
  const std::vector<uint8_t> bytes = write_stream(fixture_schema(), batches);
  const std::vector<StreamMessage> messages = split_stream(bytes);
  ASSERT_EQ(messages.size(), 1 + std::size(kWindows));

  const MessageView schema_message = messages[0].view();
  ASSERT_EQ(schema_message.header_type(), MessageHeaderType::Schema);
  Result<SchemaRef> schema = schema_from_message(schema_message);
  ASSERT_TRUE(schema.ok()) << schema.error().to_string();
  EXPECT_EQ(schema.value()->fields, fixture_schema()->fields);
  EXPECT_TRUE(schema.value()->metadata.empty());

  for (size_t k = 0; k < std::size(kWindows); ++k) {
    const Window& w = kWindows[k];
    SCOPED_TRACE(w.name);
    const StreamMessage& m = messages[1 + k];
    const MessageView view = m.view();
    ASSERT_EQ(view.header_type(), MessageHeaderType::RecordBatch);
    EXPECT_EQ(view.version(), MetadataVersion::V5);
    EXPECT_FALSE(view.record_batch_has_compression());
    const BufferRef body = Buffer::copy_of(m.body.data(), static_cast<int64_t>(m.body.size()));
    Result<RecordBatch> decoded = decode_record_batch(view, body, schema.value());
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    ASSERT_EQ(decoded.value().num_rows(), w.length);
    ASSERT_EQ(decoded.value().num_columns(), static_cast<int>(std::size(kFixtureTypes)));
    for (size_t column = 0; column < std::size(kFixtureTypes); ++column) {
      SCOPED_TRACE(DataType::plain(kFixtureTypes[column]).to_string());
      expect_same_rows(*decoded.value().columns()[column], kFixtureTypes[column], w);
    }
  }
}

}  // namespace
}  // namespace columnar::ipc
