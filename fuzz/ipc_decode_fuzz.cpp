// Fuzzes message verification, schema conversion and record-batch decoding.
//
// Input: a sequence of [u32 LE metadata length][metadata][u32 LE body
// length][body]; a short tail ends the sequence. Each metadata blob is
// verified; the first verified schema becomes the stream schema and every
// verified record batch after it is decoded against it. Decoded values are
// read back so that a bad bound shows up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "columnar/array.h"
#include "columnar/buffer.h"
#include "columnar/ipc.h"
#include "columnar/record_batch.h"

namespace {

using columnar::ArrayRef;
using columnar::BufferRef;
using columnar::SchemaRef;
namespace ipc = columnar::ipc;

std::optional<uint32_t> take_u32(const uint8_t*& data, size_t& size) {
  if (size < 4) return std::nullopt;
  uint32_t v;
  std::memcpy(&v, data, 4);
  data += 4;
  size -= 4;
  return v;
}

// Copies the body so that reads past its end are caught; `misalign` bytes in
// front move it off the 8-byte grid and make the decoder copy instead of
// slicing.
BufferRef make_body(const uint8_t* data, size_t size, size_t misalign) {
  columnar::MutableBuffer storage;
  const uint8_t pad[8] = {};
  if (misalign > 0) storage.append(pad, static_cast<int64_t>(misalign));
  if (size > 0) storage.append(data, static_cast<int64_t>(size));
  BufferRef whole = std::move(storage).freeze();
  if (size == 0) return columnar::Buffer::empty();
  return columnar::Buffer::slice(whole, static_cast<int64_t>(misalign), static_cast<int64_t>(size));
}

volatile size_t g_sink;

void touch(const ArrayRef& array) {
  size_t acc = array->type().to_string().size();
  for (int64_t i = 0; i < array->length(); ++i) {
    if (array->is_null(i)) continue;
    switch (array->type().id()) {
      case columnar::TypeId::Boolean: acc += array->bool_value(i); break;
      case columnar::TypeId::Int64: acc += static_cast<size_t>(array->int64_values()[i]); break;
      case columnar::TypeId::Float64: acc += array->float64_values()[i] > 0 ? 1 : 0; break;
      case columnar::TypeId::Utf8: acc += array->utf8_value(i).size(); break;
      default: break;
    }
  }
  g_sink = acc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SchemaRef schema;
  while (true) {
    const auto metadata_length = take_u32(data, size);
    if (!metadata_length || *metadata_length > size) break;
    // An exact-size copy, so the verifier's bounds are checked by ASan too.
    const std::vector<uint8_t> metadata(data, data + *metadata_length);
    data += *metadata_length;
    size -= *metadata_length;
    const auto body_length = take_u32(data, size);
    if (!body_length || *body_length > size) break;
    const BufferRef body = make_body(data, *body_length, *metadata_length % 8);
    data += *body_length;
    size -= *body_length;

    if (ipc::verify_message_bytes(metadata.data(), metadata.size()) != ipc::VerifyResult::Ok) continue;
    const ipc::MessageView message = ipc::MessageView::over_verified(metadata.data());
    g_sink = static_cast<size_t>(message.body_length()) + static_cast<size_t>(message.version());
    if (!message.has_header()) continue;
    if (message.header_type() == ipc::MessageHeaderType::Schema) {
      if (schema) continue;
      auto converted = ipc::schema_from_message(message);
      if (!converted.ok()) {
        g_sink = converted.error().to_string().size();
        continue;
      }
      schema = converted.value();
      for (const auto& field : schema->fields) g_sink = field.type.to_string().size();
    } else if (message.header_type() == ipc::MessageHeaderType::RecordBatch && schema) {
      g_sink = message.record_batch_has_compression();
      auto batch = ipc::decode_record_batch(message, body, schema);
      if (!batch.ok()) {
        g_sink = batch.error().to_string().size();
        continue;
      }
      for (const auto& column : batch.value().columns()) touch(column);
      const int64_t rows = batch.value().num_rows();
      if (rows > 1) {
        const columnar::RecordBatch tail = batch.value().slice(1, rows - 1);
        for (const auto& column : tail.columns()) touch(column);
      }
    }
  }
  return 0;
}
