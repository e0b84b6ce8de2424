// Hand-built Arrow IPC messages: the one builder of Message flatbuffers with
// the generated API, for the decoder tests and, framed, for the runtime's and
// the executable's tests; and message bodies laid out buffer by buffer.
//
//   Body body;
//   const auto values = body.add_values<int64_t>({1, 2, 3});
//   auto bytes = record_batch_message(3, {{3, 0}}, {Body::none(), values}, body.size());
//   decode_record_batch(view_of(bytes), body.finish(), schema);
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "columnar/buffer.h"
#include "columnar/ipc.h"
#include "ipc_internal.h"

namespace columnar::ipc::testing {

using FieldOffset = flatbuffers::Offset<fb::Field>;
using Builder = flatbuffers::FlatBufferBuilder;

// The field types the runtime's and the executable's tests name.
enum class FieldKind { Utf8, LargeUtf8, Int64, Int32, Boolean, Float64 };
struct FieldDescription {
  std::string name;
  FieldKind kind;
};

// A nullable field with its children list written out empty, as Arrow's
// writers do.
inline FieldOffset field_of(Builder& fbb, const FieldDescription& description) {
  const auto name = fbb.CreateString(description.name);
  fb::Type type_type = fb::Type::Utf8;
  flatbuffers::Offset<void> type;
  switch (description.kind) {
    case FieldKind::Utf8: type = fb::CreateUtf8(fbb).Union(); break;
    case FieldKind::LargeUtf8:
      type_type = fb::Type::LargeUtf8;
      type = fb::CreateLargeUtf8(fbb).Union();
      break;
    case FieldKind::Int64:
      type_type = fb::Type::Int;
      type = fb::CreateInt(fbb, 64, true).Union();
      break;
    case FieldKind::Int32:
      type_type = fb::Type::Int;
      type = fb::CreateInt(fbb, 32, true).Union();
      break;
    case FieldKind::Boolean:
      type_type = fb::Type::Bool;
      type = fb::CreateBool(fbb).Union();
      break;
    case FieldKind::Float64:
      type_type = fb::Type::FloatingPoint;
      type = fb::CreateFloatingPoint(fbb, fb::Precision::DOUBLE).Union();
      break;
    default: std::abort();
  }
  const auto children = fbb.CreateVector(std::vector<FieldOffset>{});
  return fb::CreateField(fbb, name, true, type_type, type, 0, children);
}

inline std::vector<FieldOffset> fields_of(Builder& fbb, const std::vector<FieldDescription>& descriptions) {
  std::vector<FieldOffset> fields;
  for (const FieldDescription& description : descriptions) fields.push_back(field_of(fbb, description));
  return fields;
}

inline std::vector<uint8_t> finish_message(Builder& fbb, fb::MessageHeader header_type,
                                           flatbuffers::Offset<void> header, int64_t body_length = 0,
                                           fb::MetadataVersion version = fb::MetadataVersion::V5) {
  fbb.Finish(fb::CreateMessage(fbb, version, header_type, header, body_length));
  return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

// A schema message of `fields` (none by default) whose custom metadata holds
// `count` offsets to one KeyValue with a key of `key_bytes` letters: small on
// the wire, `count` times the key for a reader that follows every offset.
inline std::vector<uint8_t> shared_key_value_message(size_t count, size_t key_bytes,
                                                     const std::vector<FieldDescription>& fields = {}) {
  Builder fbb;
  const std::vector<FieldOffset> tables = fields_of(fbb, fields);
  const auto kv = fb::CreateKeyValue(fbb, fbb.CreateString(std::string(key_bytes, 'k')), fbb.CreateString("v"));
  const auto metadata = fbb.CreateVector(std::vector<flatbuffers::Offset<fb::KeyValue>>(count, kv));
  const auto schema = fb::CreateSchema(fbb, fb::Endianness::Little, fbb.CreateVector(tables), metadata);
  return finish_message(fbb, fb::MessageHeader::Schema, schema.Union());
}

// Precondition: verify_message_bytes returned Ok for the bytes.
inline MessageView view_of(const std::vector<uint8_t>& bytes) { return MessageView::over_verified(bytes.data()); }

inline bool verifies(const std::vector<uint8_t>& bytes) {
  return verify_message_bytes(bytes.data(), bytes.size()) == VerifyResult::Ok;
}

// --- fields -----------------------------------------------------------------

template <typename TypeOffset>
FieldOffset field(Builder& fbb, const std::string& name, fb::Type type_type, TypeOffset type,
                  bool nullable = true, const std::vector<FieldOffset>& children = {},
                  flatbuffers::Offset<fb::DictionaryEncoding> dictionary = 0) {
  const auto name_offset = fbb.CreateString(name);
  const auto children_offset = children.empty() ? 0 : fbb.CreateVector(children);
  return fb::CreateField(fbb, name_offset, nullable, type_type, type.Union(), dictionary, children_offset);
}

inline FieldOffset int_field(Builder& fbb, const std::string& name, int32_t bit_width = 64, bool is_signed = true,
                             bool nullable = true) {
  return field(fbb, name, fb::Type::Int, fb::CreateInt(fbb, bit_width, is_signed), nullable);
}
inline FieldOffset utf8_field(Builder& fbb, const std::string& name, bool nullable = true) {
  return field(fbb, name, fb::Type::Utf8, fb::CreateUtf8(fbb), nullable);
}
inline FieldOffset bool_field(Builder& fbb, const std::string& name, bool nullable = true) {
  return field(fbb, name, fb::Type::Bool, fb::CreateBool(fbb), nullable);
}
inline FieldOffset float64_field(Builder& fbb, const std::string& name, bool nullable = true) {
  return field(fbb, name, fb::Type::FloatingPoint, fb::CreateFloatingPoint(fbb, fb::Precision::DOUBLE), nullable);
}

inline std::vector<uint8_t> schema_message(Builder& fbb, const std::vector<FieldOffset>& fields,
                                           fb::Endianness endianness = fb::Endianness::Little) {
  const auto schema = fb::CreateSchema(fbb, endianness, fbb.CreateVector(fields));
  return finish_message(fbb, fb::MessageHeader::Schema, schema.Union());
}

inline std::vector<uint8_t> schema_message(const std::vector<FieldDescription>& fields) {
  Builder fbb;
  return schema_message(fbb, fields_of(fbb, fields));
}

// Schemas that reach one table or string through many offsets: small on the
// wire, far larger for a reader that follows every offset.
//
// `depth` Struct fields nested in one another, every level named by one
// string `name`; the deepest lists `leaves` offsets to one Utf8 field "leaf"
// (none: it is an empty Struct).
inline std::vector<uint8_t> shared_name_chain_message(size_t depth, const std::string& name_text, size_t leaves = 0) {
  Builder fbb;
  const auto name = fbb.CreateString(name_text);
  flatbuffers::Offset<flatbuffers::Vector<FieldOffset>> children = 0;
  if (leaves > 0) children = fbb.CreateVector(std::vector<FieldOffset>(leaves, utf8_field(fbb, "leaf")));
  FieldOffset level;
  for (size_t i = 0; i < depth; ++i) {
    level = fb::CreateField(fbb, name, true, fb::Type::Struct_, fb::CreateStruct_(fbb).Union(), 0, children);
    children = fbb.CreateVector(std::vector<FieldOffset>{level});
  }
  const auto schema = fb::CreateSchema(fbb, fb::Endianness::Little, children);
  return finish_message(fbb, fb::MessageHeader::Schema, schema.Union());
}

// A field list of `count` offsets to one Utf8 field named `name`.
inline std::vector<uint8_t> repeated_field_message(size_t count, const std::string& name) {
  Builder fbb;
  const FieldOffset one = utf8_field(fbb, name);
  return schema_message(fbb, std::vector<FieldOffset>(count, one));
}

// `count` distinct Utf8 fields "f0", "f1", ...
inline std::vector<uint8_t> distinct_fields_message(size_t count) {
  Builder fbb;
  std::vector<FieldOffset> fields;
  fields.reserve(count);
  for (size_t i = 0; i < count; ++i) fields.push_back(utf8_field(fbb, "f" + std::to_string(i)));
  return schema_message(fbb, fields);
}

// --- record batches ---------------------------------------------------------

struct Node {
  int64_t length;
  int64_t null_count;
};

inline std::vector<uint8_t> record_batch_message(int64_t length, const std::vector<Node>& nodes,
                                                 const std::vector<fb::Buffer>& buffers, int64_t body_length,
                                                 bool compressed = false) {
  Builder fbb;
  std::vector<fb::FieldNode> fb_nodes;
  for (const Node& n : nodes) fb_nodes.emplace_back(n.length, n.null_count);
  const auto nodes_offset = fbb.CreateVectorOfStructs(fb_nodes);
  const auto buffers_offset = fbb.CreateVectorOfStructs(buffers);
  const auto compression = compressed ? fb::CreateBodyCompression(fbb) : 0;
  const auto batch = fb::CreateRecordBatch(fbb, length, nodes_offset, buffers_offset, compression);
  return finish_message(fbb, fb::MessageHeader::RecordBatch, batch.Union(), body_length);
}

// Lays buffers out the way a writer does: each at a multiple of 8 bytes.
class Body {
 public:
  static fb::Buffer none() { return fb::Buffer(0, 0); }

  fb::Buffer add(const void* data, size_t size) {
    bytes_.resize((bytes_.size() + 7) / 8 * 8, 0);
    const auto offset = static_cast<int64_t>(bytes_.size());
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return fb::Buffer(offset, static_cast<int64_t>(size));
  }
  fb::Buffer add_string(const std::string& s) { return add(s.data(), s.size()); }
  template <typename T>
  fb::Buffer add_values(const std::vector<T>& values) {
    return add(values.data(), values.size() * sizeof(T));
  }
  // Bit i of the bitmap is bits[i]; the unused high bits of the last byte
  // are set, so a reader that looks past the length sees garbage.
  fb::Buffer add_bits(const std::vector<bool>& bits) {
    std::vector<uint8_t> packed((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
      if (bits[i]) packed[i / 8] = static_cast<uint8_t>(packed[i / 8] | (1u << (i % 8)));
    }
    for (size_t i = bits.size(); i < packed.size() * 8; ++i) {
      packed[i / 8] = static_cast<uint8_t>(packed[i / 8] | (1u << (i % 8)));
    }
    return add(packed.data(), packed.size());
  }

  int64_t size() const { return static_cast<int64_t>(bytes_.size()); }
  std::vector<uint8_t>& bytes() { return bytes_; }

  // The body as a buffer whose first byte sits `misalign` bytes past a
  // 128-byte boundary.
  BufferRef finish(size_t misalign = 0) const {
    MutableBuffer storage;
    const std::vector<uint8_t> pad(misalign, 0xEE);
    if (misalign > 0) storage.append(pad.data(), static_cast<int64_t>(misalign));
    if (!bytes_.empty()) storage.append(bytes_.data(), static_cast<int64_t>(bytes_.size()));
    BufferRef whole = std::move(storage).freeze();
    if (bytes_.empty()) return Buffer::empty();
    return Buffer::slice(whole, static_cast<int64_t>(misalign), static_cast<int64_t>(bytes_.size()));
  }

 private:
  std::vector<uint8_t> bytes_;
};

// Offsets of a Utf8 column holding `values`, and their concatenation.
inline std::vector<int32_t> utf8_offsets(const std::vector<std::string>& values, std::string* data) {
  std::vector<int32_t> offsets{0};
  for (const std::string& v : values) {
    *data += v;
    offsets.push_back(static_cast<int32_t>(data->size()));
  }
  return offsets;
}

// --- other headers ----------------------------------------------------------

// A message whose header_type is `header_type` (absent when nullopt; stored
// even when 0) and whose header, when `with_header`, is an empty Schema table.
inline std::vector<uint8_t> message_with_header_type(std::optional<uint8_t> header_type, bool with_header) {
  Builder fbb;
  fbb.ForceDefaults(true);
  flatbuffers::Offset<fb::Schema> schema;
  if (with_header) schema = fb::CreateSchema(fbb, fb::Endianness::Little, fbb.CreateVector(std::vector<FieldOffset>{}));
  fb::MessageBuilder message(fbb);
  message.add_version(fb::MetadataVersion::V5);
  if (header_type) message.add_header_type(static_cast<fb::MessageHeader>(*header_type));
  if (with_header) message.add_header(schema.Union());
  fbb.Finish(message.Finish());
  return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

// A message of `header_type` whose header offset points 4 KiB past the end of
// its bytes.
inline std::vector<uint8_t> message_with_header_outside(uint8_t header_type) {
  std::vector<uint8_t> bytes = message_with_header_type(header_type, true);
  // Follow the root offset and the vtable to the header's slot.
  const auto read = [&](size_t at, auto value) {
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
  };
  const size_t table = read(0, uint32_t{});
  const size_t vtable = table - static_cast<size_t>(read(table, int32_t{}));
  const size_t slot = table + read(vtable + fb::Message::VT_HEADER, uint16_t{});
  const auto past_the_end = static_cast<uint32_t>(bytes.size() - slot + 4096);
  std::memcpy(bytes.data() + slot, &past_the_end, sizeof past_the_end);
  return bytes;
}

// A dictionary batch of one empty Utf8 column.
inline std::vector<uint8_t> dictionary_batch_message() {
  Builder fbb;
  const std::vector<fb::FieldNode> nodes = {fb::FieldNode(0, 0)};
  const std::vector<fb::Buffer> buffers = {Body::none(), Body::none(), Body::none()};
  const auto data = fb::CreateRecordBatchDirect(fbb, 0, &nodes, &buffers);
  const auto dictionary = fb::CreateDictionaryBatch(fbb, 0, data);
  return finish_message(fbb, fb::MessageHeader::DictionaryBatch, dictionary.Union());
}

// An empty one-dimensional Int64 tensor.
inline std::vector<uint8_t> tensor_message() {
  Builder fbb;
  const auto type = fb::CreateInt(fbb, 64, true);
  const auto shape = fbb.CreateVector(std::vector<flatbuffers::Offset<fb::TensorDim>>{fb::CreateTensorDim(fbb, 0)});
  const fb::Buffer data = Body::none();
  const auto tensor = fb::CreateTensor(fbb, fb::Type::Int, type.Union(), shape, 0, &data);
  return finish_message(fbb, fb::MessageHeader::Tensor, tensor.Union());
}

}  // namespace columnar::ipc::testing
