// decode_record_batch: hand-built record batches over hand-laid bodies, and
// one patched field of a valid batch per error path.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "columnar/testing/ipc_fixtures.h"

namespace columnar::ipc {
namespace {

using testing::Body;
using testing::Node;

SchemaRef four_columns(bool s_nullable = true) {
  return make_schema({Field("b", DataType::boolean()), Field("i", DataType::int64()), Field("f", DataType::float64()),
                      Field("s", DataType::utf8(), s_nullable)});
}

// A valid batch of 4 rows over the four decodable types, as parts that a
// case may patch before the message is built.
struct Fixture {
  int64_t length = 4;
  std::vector<Node> nodes;
  std::vector<fb::Buffer> buffers;
  Body body;
  SchemaRef schema = four_columns();
  size_t misalign = 0;

  // Buffer indexes in format order.
  enum : size_t { kBoolValidity, kBoolValues, kIntValidity, kIntValues, kFloatValidity, kFloatValues,
                  kStrValidity, kStrOffsets, kStrData };

  Fixture() {
    std::string data;
    const auto offsets = testing::utf8_offsets({"a", "\xc3\xbcn\xc3\xaf", "", "xyz"}, &data);
    buffers = {body.add_bits({true, false, true, true}),
               body.add_bits({true, true, false, true}),
               Body::none(),
               body.add_values<int64_t>({10, -20, 30, std::numeric_limits<int64_t>::min()}),
               Body::none(),
               body.add_values<double>({0.5, 1.5, -2.5, 1e300}),
               body.add_bits({true, true, false, true}),
               body.add_values(offsets),
               body.add_string(data)};
    nodes = {{4, 1}, {4, 0}, {4, 0}, {4, 1}};
  }

  template <typename T>
  void poke(size_t buffer, size_t index, T value) {
    std::memcpy(body.bytes().data() + buffers[buffer].offset() + index * sizeof(T), &value, sizeof(T));
  }

  Result<RecordBatch> decode() const {
    const auto bytes = testing::record_batch_message(length, nodes, buffers, body.size());
    EXPECT_TRUE(testing::verifies(bytes));
    return decode_record_batch(testing::view_of(bytes), body.finish(misalign), schema);
  }
};

void expect_fixture_values(const RecordBatch& batch) {
  ASSERT_EQ(batch.num_rows(), 4);
  ASSERT_EQ(batch.num_columns(), 4);
  const Array& b = *batch.column(0);
  EXPECT_EQ(b.null_count(), 1);
  EXPECT_TRUE(b.is_valid(0) && b.is_null(1) && b.is_valid(2) && b.is_valid(3));
  EXPECT_TRUE(b.bool_value(0));
  EXPECT_FALSE(b.bool_value(2));
  EXPECT_TRUE(b.bool_value(3));
  const Array& i = *batch.column(1);
  EXPECT_EQ(i.null_count(), 0);
  EXPECT_EQ(i.int64_values()[1], -20);
  EXPECT_EQ(i.int64_values()[3], std::numeric_limits<int64_t>::min());
  const Array& f = *batch.column(2);
  EXPECT_EQ(f.float64_values()[2], -2.5);
  EXPECT_EQ(f.float64_values()[3], 1e300);
  const Array& s = *batch.column(3);
  EXPECT_EQ(s.null_count(), 1);
  EXPECT_EQ(s.utf8_value(0), "a");
  EXPECT_EQ(s.utf8_value(1), "\xc3\xbcn\xc3\xaf");
  EXPECT_TRUE(s.is_null(2));
  EXPECT_EQ(s.utf8_value(3), "xyz");
}

bool inside(const BufferRef& buffer, const BufferRef& body) {
  return buffer->data() >= body->data() && buffer->data() + buffer->size() <= body->data() + body->size();
}

// The example at the top of ipc.h, word for word.
Result<int64_t> rows_in(const uint8_t* bytes, size_t size, const BufferRef& body, SchemaRef& schema) {
  if (ipc::verify_message_bytes(bytes, size) != ipc::VerifyResult::Ok) return Error::ipc("not a Message");
  const ipc::MessageView m = ipc::MessageView::over_verified(bytes);
  if (m.header_type() == ipc::MessageHeaderType::Schema) {
    TESS_ASSIGN_OR_RETURN(schema, ipc::schema_from_message(m));
    return 0;
  }
  TESS_ASSIGN_OR_RETURN(const RecordBatch batch, ipc::decode_record_batch(m, body, schema));
  return batch.num_rows();
}

TEST(IpcHeaderExample, ReadsASchemaThenABatch) {
  Fixture fx;
  testing::Builder fbb;
  const auto schema_bytes = testing::schema_message(
      fbb, {testing::bool_field(fbb, "b"), testing::int_field(fbb, "i"), testing::float64_field(fbb, "f"),
            testing::utf8_field(fbb, "s")});
  SchemaRef schema;
  const auto none = rows_in(schema_bytes.data(), schema_bytes.size(), Buffer::empty(), schema);
  ASSERT_TRUE(none.ok()) << none.error().to_string();
  EXPECT_EQ(none.value(), 0);
  ASSERT_TRUE(schema);
  EXPECT_EQ(schema->fields, fx.schema->fields);

  const auto batch_bytes = testing::record_batch_message(fx.length, fx.nodes, fx.buffers, fx.body.size());
  const auto rows = rows_in(batch_bytes.data(), batch_bytes.size(), fx.body.finish(), schema);
  ASSERT_TRUE(rows.ok()) << rows.error().to_string();
  EXPECT_EQ(rows.value(), fx.length);

  const std::vector<uint8_t> junk(16, 0xAB);
  EXPECT_EQ(rows_in(junk.data(), junk.size(), Buffer::empty(), schema).error().to_string(), "Ipc error: not a Message");
}

TEST(DecodeRecordBatch, AlignedBodyIsSharedNotCopied) {
  Fixture fx;
  const auto bytes = testing::record_batch_message(fx.length, fx.nodes, fx.buffers, fx.body.size());
  const BufferRef body = fx.body.finish();
  const auto batch = decode_record_batch(testing::view_of(bytes), body, fx.schema);
  ASSERT_TRUE(batch.ok()) << batch.error().to_string();
  expect_fixture_values(batch.value());
  for (const auto& column : batch.value().columns()) {
    for (const auto& buffer : column->buffers()) EXPECT_TRUE(inside(buffer, body)) << column->type().to_string();
    if (column->validity()) {
      EXPECT_TRUE(inside(column->validity(), body));
    }
  }
  EXPECT_FALSE(batch.value().column(1)->validity()) << "no nulls, no bitmap";
}

TEST(DecodeRecordBatch, UnalignedBodyCopiesOnlyWhatNeedsAlignment) {
  for (const size_t misalign : {1u, 2u, 4u, 7u}) {
    SCOPED_TRACE(misalign);
    Fixture fx;
    const auto bytes = testing::record_batch_message(fx.length, fx.nodes, fx.buffers, fx.body.size());
    const BufferRef body = fx.body.finish(misalign);
    const auto batch = decode_record_batch(testing::view_of(bytes), body, fx.schema);
    ASSERT_TRUE(batch.ok()) << batch.error().to_string();
    expect_fixture_values(batch.value());
    const RecordBatch& b = batch.value();
    EXPECT_FALSE(inside(b.column(1)->buffers()[0], body)) << "int64 values need 8-byte alignment";
    EXPECT_FALSE(inside(b.column(2)->buffers()[0], body)) << "float64 values need 8-byte alignment";
    EXPECT_EQ(inside(b.column(3)->buffers()[0], body), misalign % 4 == 0) << "offsets need 4";
    EXPECT_TRUE(inside(b.column(0)->buffers()[0], body)) << "bitmaps are bytes";
    EXPECT_TRUE(inside(b.column(3)->buffers()[1], body)) << "utf8 data is bytes";
  }
}

TEST(DecodeRecordBatch, BooleansAcrossBytesAndAfterSlicing) {
  const std::vector<bool> values{true, false, false, true, true, false, true, false, false, true, true};
  const std::vector<bool> valid{true, true, true, false, true, true, true, true, true, false, true};
  Body body;
  const auto validity = body.add_bits(valid);
  const auto bits = body.add_bits(values);
  const auto bytes = testing::record_batch_message(11, {{11, 2}}, {validity, bits}, body.size());
  const auto batch =
      decode_record_batch(testing::view_of(bytes), body.finish(3), make_schema({Field("b", DataType::boolean())}));
  ASSERT_TRUE(batch.ok()) << batch.error().to_string();
  const RecordBatch& whole = batch.value();
  for (int64_t i = 0; i < 11; ++i) {
    EXPECT_EQ(whole.column(0)->is_valid(i), valid[size_t(i)]) << i;
    if (valid[size_t(i)]) {
      EXPECT_EQ(whole.column(0)->bool_value(i), values[size_t(i)]) << i;
    }
  }
  const RecordBatch tail = whole.slice(5, 6);
  EXPECT_EQ(tail.column(0)->null_count(), 1);
  for (int64_t i = 0; i < 6; ++i) {
    EXPECT_EQ(tail.column(0)->is_valid(i), valid[size_t(i + 5)]) << i;
    if (valid[size_t(i + 5)]) {
      EXPECT_EQ(tail.column(0)->bool_value(i), values[size_t(i + 5)]) << i;
    }
  }
}

TEST(DecodeRecordBatch, ValidityIsIgnoredWithoutNulls) {
  // A bitmap with a cleared bit, and one too short to cover the rows: with a
  // null count of 0 neither is read.
  Fixture fx;
  fx.nodes[0] = {4, 0};
  fx.buffers[Fixture::kStrValidity] = fb::Buffer(fx.buffers[Fixture::kStrValidity].offset(), 0);
  fx.nodes[3] = {4, 0};
  const auto batch = fx.decode();
  ASSERT_TRUE(batch.ok()) << batch.error().to_string();
  EXPECT_EQ(batch.value().column(0)->null_count(), 0);
  EXPECT_TRUE(batch.value().column(0)->is_valid(1));
  EXPECT_FALSE(batch.value().column(0)->validity());
  EXPECT_EQ(batch.value().column(3)->utf8_value(2), "");
}

TEST(DecodeRecordBatch, EmptyBatchesWithAndWithoutBuffers) {
  const SchemaRef schema = four_columns();
  // Every buffer empty, the Utf8 offsets included.
  const auto bare = testing::record_batch_message(0, {{0, 0}, {0, 0}, {0, 0}, {0, 0}},
                                                  std::vector<fb::Buffer>(9, Body::none()), 0);
  const auto batch = decode_record_batch(testing::view_of(bare), Buffer::empty(), schema);
  ASSERT_TRUE(batch.ok()) << batch.error().to_string();
  EXPECT_EQ(batch.value().num_rows(), 0);
  EXPECT_EQ(batch.value().column(3)->utf8_offsets()[0], 0);

  // No fields at all.
  const auto none = testing::record_batch_message(0, {}, {}, 0);
  const auto empty = decode_record_batch(testing::view_of(none), Buffer::empty(), make_schema({}));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().num_columns(), 0);
}

TEST(DecodeRecordBatch, ExtraNodesAndBuffersAndCompressionFieldDoNotHurt) {
  Fixture fx;
  fx.nodes.push_back({99, 0});
  fx.buffers.push_back(fb::Buffer(0, 1));
  const auto bytes = testing::record_batch_message(fx.length, fx.nodes, fx.buffers, fx.body.size(), true);
  const auto batch = decode_record_batch(testing::view_of(bytes), fx.body.finish(), fx.schema);
  ASSERT_TRUE(batch.ok()) << batch.error().to_string();
  expect_fixture_values(batch.value());
}

TEST(DecodeRecordBatch, OlderMetadataVersionsDecodeTheSame) {
  Fixture fx;
  for (const auto version : {fb::MetadataVersion::V1, fb::MetadataVersion::V4, fb::MetadataVersion::V5}) {
    testing::Builder fbb;
    std::vector<fb::FieldNode> nodes;
    for (const Node& n : fx.nodes) nodes.emplace_back(n.length, n.null_count);
    const auto rb = fb::CreateRecordBatch(fbb, fx.length, fbb.CreateVectorOfStructs(nodes),
                                          fbb.CreateVectorOfStructs(fx.buffers));
    const auto bytes = testing::finish_message(fbb, fb::MessageHeader::RecordBatch, rb.Union(), fx.body.size(), version);
    const auto batch = decode_record_batch(testing::view_of(bytes), fx.body.finish(), fx.schema);
    ASSERT_TRUE(batch.ok()) << batch.error().to_string();
    expect_fixture_values(batch.value());
  }
}

// FlatBuffers only checks a struct vector's length word for 4-byte
// alignment; nodes and buffers 4 bytes off their 8-byte grid must still be
// read correctly (and without a misaligned load). Found by the fuzzer.
TEST(DecodeRecordBatch, NodesAndBuffersOffTheirAlignment) {
  Body body;
  const auto values = body.add_values<int64_t>({7, 8});
  const std::vector<fb::FieldNode> nodes{fb::FieldNode(2, 0)};
  const std::vector<fb::Buffer> buffers{Body::none(), values};
  bool saw_misaligned = false;
  for (const int pad : {0, 1}) {
    testing::Builder fbb;
    const auto raw_vector = [&](const void* data, size_t count, size_t elem_size) {
      fbb.StartVector(count, 4);  // 4-byte alignment: what the verifier allows
      fbb.PushBytes(static_cast<const uint8_t*>(data), count * elem_size);
      return flatbuffers::Offset<void>(fbb.EndVector(count));
    };
    const auto buffers_offset = raw_vector(buffers.data(), buffers.size(), sizeof(fb::Buffer));
    if (pad == 1) fbb.PushElement<uint32_t>(0);
    const auto nodes_offset = raw_vector(nodes.data(), nodes.size(), sizeof(fb::FieldNode));
    const auto rb = fb::CreateRecordBatch(
        fbb, 2, flatbuffers::Offset<flatbuffers::Vector<const fb::FieldNode*>>(nodes_offset.o),
        flatbuffers::Offset<flatbuffers::Vector<const fb::Buffer*>>(buffers_offset.o));
    const auto bytes = testing::finish_message(fbb, fb::MessageHeader::RecordBatch, rb.Union(), body.size());
    ASSERT_TRUE(testing::verifies(bytes));
    const auto* batch_table = message_table(testing::view_of(bytes))->header_as_RecordBatch();
    saw_misaligned |= reinterpret_cast<uintptr_t>(batch_table->nodes()->Data()) % 8 != 0;
    const auto batch = decode_record_batch(testing::view_of(bytes), body.finish(),
                                           make_schema({Field("i", DataType::int64())}));
    ASSERT_TRUE(batch.ok()) << batch.error().to_string();
    EXPECT_EQ(batch.value().column(0)->int64_values()[1], 8);
  }
  EXPECT_TRUE(saw_misaligned) << "fixture should place one nodes vector off the 8-byte grid";
}

TEST(DecodeRecordBatch, NullsInANonNullableFieldAreRejected) {
  Fixture fx;
  fx.schema = four_columns(false);
  const auto batch = fx.decode();
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().to_string(),
            "Invalid argument error: Column 's' is declared as non-nullable but contains null values");
}

TEST(DecodeRecordBatch, OtherTypesAreNotYetImplemented) {
  Fixture fx;
  fx.schema = make_schema({Field("b", DataType::boolean()), Field("n", DataType::int_type(32, true)),
                           Field("f", DataType::float64()), Field("s", DataType::plain(TypeId::LargeUtf8))});
  const auto batch = fx.decode();
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().kind(), ErrorKind::NotYetImplemented);
  EXPECT_EQ(batch.error().to_string(), "Not yet implemented: decoding a column of type Int32 (field 'n')");
}

TEST(DecodeRecordBatch, MessageWithoutRecordBatchHeader) {
  testing::Builder fbb;
  const auto bytes = testing::schema_message(fbb, {});
  const auto batch = decode_record_batch(testing::view_of(bytes), Buffer::empty(), make_schema({}));
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().to_string(), "Ipc error: message has no record batch header");
}

struct PatchCase {
  std::string name;
  std::function<void(Fixture&)> patch;
  // "{body}" stands for the body size in bytes.
  std::string message;
};

class RejectBatch : public ::testing::TestWithParam<PatchCase> {};

TEST_P(RejectBatch, WithMessage) {
  Fixture fx;
  GetParam().patch(fx);
  std::string expected = GetParam().message;
  if (const auto at = expected.find("{body}"); at != std::string::npos) {
    expected.replace(at, 6, std::to_string(fx.body.size()));
  }
  for (const size_t misalign : {0u, 3u}) {
    fx.misalign = misalign;
    const auto batch = fx.decode();
    ASSERT_FALSE(batch.ok()) << "misalign " << misalign;
    EXPECT_EQ(batch.error().to_string(), expected) << "misalign " << misalign;
  }
}

void set_buffer(Fixture& fx, size_t index, int64_t offset, int64_t length) {
  fx.buffers[index] = fb::Buffer(offset, length);
}

void resize_buffer(Fixture& fx, size_t index, int64_t length) {
  set_buffer(fx, index, fx.buffers[index].offset(), length);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectBatch,
    ::testing::Values(
        PatchCase{"TooFewNodes", [](Fixture& fx) { fx.nodes.pop_back(); },
                  "Ipc error: record batch has 3 field nodes for 4 fields"},
        PatchCase{"TooFewBuffers", [](Fixture& fx) { fx.buffers.pop_back(); },
                  "Ipc error: record batch has 8 buffers, its fields need 9"},
        PatchCase{"NegativeBatchLength", [](Fixture& fx) { fx.length = -1; },
                  "Ipc error: record batch length -1 is negative"},
        PatchCase{"NegativeNodeLength", [](Fixture& fx) { fx.nodes[1] = {-1, 0}; },
                  "Ipc error: field 'i': length -1 is negative"},
        PatchCase{"NegativeNullCount", [](Fixture& fx) { fx.nodes[1] = {4, -1}; },
                  "Ipc error: field 'i': null count -1 is negative"},
        PatchCase{"NullCountAboveLength", [](Fixture& fx) { fx.nodes[1] = {4, 5}; },
                  "Ipc error: field 'i': null count 5 exceeds length 4"},
        PatchCase{"NodeShorterThanBatch", [](Fixture& fx) { fx.nodes[2] = {3, 0}; },
                  "Ipc error: field 'f': length 3 differs from the batch length 4"},
        PatchCase{"BatchLongerThanNodes", [](Fixture& fx) { fx.length = 5; },
                  "Ipc error: field 'b': length 4 differs from the batch length 5"},
        PatchCase{"NegativeBufferOffset", [](Fixture& fx) { set_buffer(fx, Fixture::kIntValues, -8, 32); },
                  "Ipc error: field 'i': buffer 3 offset -8 is negative"},
        PatchCase{"NegativeBufferLength", [](Fixture& fx) { resize_buffer(fx, Fixture::kIntValues, -1); },
                  "Ipc error: field 'i': buffer 3 length -1 is negative"},
        PatchCase{"BufferPastTheBody", [](Fixture& fx) { set_buffer(fx, Fixture::kStrData, 0, 100000); },
                  "Ipc error: field 's': buffer 8 (offset 0, length 100000) is outside the body of {body} bytes"},
        PatchCase{"BufferOffsetPastTheBody", [](Fixture& fx) { set_buffer(fx, Fixture::kIntValidity, 4096, 0); },
                  "Ipc error: field 'i': buffer 2 (offset 4096, length 0) is outside the body of {body} bytes"},
        PatchCase{"BufferEndOverflows",
                  [](Fixture& fx) { set_buffer(fx, Fixture::kBoolValues, 8, std::numeric_limits<int64_t>::max()); },
                  "Ipc error: field 'b': buffer 1 (offset 8, length 9223372036854775807) is outside the body of "
                  "{body} bytes"},
        PatchCase{"UnreadValidityStillInBounds",
                  [](Fixture& fx) { set_buffer(fx, Fixture::kFloatValidity, 1 << 20, 1); },
                  "Ipc error: field 'f': buffer 4 (offset 1048576, length 1) is outside the body of {body} bytes"},
        PatchCase{"ValidityMissingWithNulls", [](Fixture& fx) { resize_buffer(fx, Fixture::kBoolValidity, 0); },
                  "Ipc error: field 'b': validity buffer of 0 bytes is too short for 4 values"},
        PatchCase{"BoolValuesMissing", [](Fixture& fx) { resize_buffer(fx, Fixture::kBoolValues, 0); },
                  "Ipc error: field 'b': values buffer of 0 bytes is too short for 4 values"},
        PatchCase{"Int64ValuesShort", [](Fixture& fx) { resize_buffer(fx, Fixture::kIntValues, 31); },
                  "Ipc error: field 'i': values buffer of 31 bytes is too short for 4 values"},
        PatchCase{"Float64ValuesMissing", [](Fixture& fx) { resize_buffer(fx, Fixture::kFloatValues, 0); },
                  "Ipc error: field 'f': values buffer of 0 bytes is too short for 4 values"},
        PatchCase{"OffsetsShort", [](Fixture& fx) { resize_buffer(fx, Fixture::kStrOffsets, 16); },
                  "Ipc error: field 's': offsets buffer of 16 bytes is too short for 4 values"},
        PatchCase{"FirstOffsetNegative", [](Fixture& fx) { fx.poke<int32_t>(Fixture::kStrOffsets, 0, -1); },
                  "Invalid argument error: field 's': Utf8 offset -1 is negative"},
        PatchCase{"OffsetsDecrease", [](Fixture& fx) { fx.poke<int32_t>(Fixture::kStrOffsets, 2, 0); },
                  "Invalid argument error: field 's': Utf8 offsets decrease at index 2: 1 > 0"},
        PatchCase{"LastOffsetPastTheData", [](Fixture& fx) { fx.poke<int32_t>(Fixture::kStrOffsets, 4, 10); },
                  "Invalid argument error: field 's': Utf8 offset 10 is beyond the 9 bytes of value data"},
        PatchCase{"DataCutShort", [](Fixture& fx) { resize_buffer(fx, Fixture::kStrData, 8); },
                  "Invalid argument error: field 's': Utf8 offset 9 is beyond the 8 bytes of value data"},
        PatchCase{"InvalidUtf8", [](Fixture& fx) { fx.poke<uint8_t>(Fixture::kStrData, 0, 0xFF); },
                  "Invalid argument error: field 's': invalid UTF-8 in Utf8 value at index 0"},
        PatchCase{"Utf8SplitInsideACharacter", [](Fixture& fx) { fx.poke<int32_t>(Fixture::kStrOffsets, 1, 2); },
                  "Invalid argument error: field 's': invalid UTF-8 in Utf8 value at index 0"}),
    [](const auto& test_case) { return test_case.param.name; });

}  // namespace
}  // namespace columnar::ipc
