// The Arrow IPC stream writer: schema message, record-batch messages and the
// end-of-stream marker, framed with the continuation marker.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "columnar/ipc.h"
#include "ipc_internal.h"
#include "ipc_write_internal.h"
#include "layout.h"

namespace columnar::ipc {
namespace {

constexpr int64_t kMaxAlignment = 64;
constexpr uint8_t kZeros[kMaxAlignment] = {};
// The offsets of an empty Utf8 window, whatever the source array holds.
constexpr int32_t kEmptyUtf8Offsets[1] = {0};

Error io_error(const IoError& error) { return Error::io(error.to_string()); }

Status write_bytes(ByteSink& sink, const uint8_t* data, int64_t size) {
  if (size == 0) return {};
  IoStatus written = sink.write_all(data, static_cast<size_t>(size));
  if (!written.ok()) return io_error(written.error());
  return {};
}

// ---------------------------------------------------------------------------
// Options

Status check_alignment(int64_t alignment) {
  if (alignment == 8 || alignment == 16 || alignment == 32 || alignment == 64) return {};
  return Error::invalid_argument("alignment must be 8, 16, 32 or 64 bytes, got " + std::to_string(alignment));
}

Status check_options(const WriteOptions& options) { return check_alignment(options.alignment); }

// ---------------------------------------------------------------------------
// Messages

// Frames a finished Message flatbuffer: continuation marker, metadata length
// L (int32 little-endian), the flatbuffer, zeros up to L. One write, so the
// sink sees the metadata whole.
Status write_message(ByteSink& sink, const flatbuffers::FlatBufferBuilder& fbb, int64_t alignment) {
  const auto flatbuffer_bytes = static_cast<int64_t>(fbb.GetSize());
  const int64_t metadata_bytes = padded_metadata_length(flatbuffer_bytes, alignment);
  std::vector<uint8_t> framed(kMessagePrefixBytes + static_cast<size_t>(metadata_bytes), 0);
  const auto prefix = encode_prefix(static_cast<int32_t>(metadata_bytes));
  std::copy(prefix.begin(), prefix.end(), framed.begin());
  std::memcpy(framed.data() + kMessagePrefixBytes, fbb.GetBufferPointer(), static_cast<size_t>(flatbuffer_bytes));
  return write_bytes(sink, framed.data(), static_cast<int64_t>(framed.size()));
}

using KeyValueVector = flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<fb::KeyValue>>>;

// Absent (offset 0) when there is no metadata, so none appears on the wire.
KeyValueVector encode_metadata(flatbuffers::FlatBufferBuilder& fbb, const KeyValueMetadata& metadata) {
  if (metadata.empty()) return 0;
  std::vector<flatbuffers::Offset<fb::KeyValue>> entries;
  entries.reserve(metadata.size());
  for (const auto& [key, value] : metadata) {
    const auto key_offset = fbb.CreateString(key.str());
    const auto value_offset = fbb.CreateString(value.str());
    entries.push_back(fb::CreateKeyValue(fbb, key_offset, value_offset));
  }
  return fbb.CreateVector(entries);
}

Error unwritable_field(const Field& field) {
  if (field.type.id() == TypeId::Dictionary) {
    return Error::ipc("field '" + field.name.str() + "' is dictionary-encoded; dictionary batches are not written");
  }
  return Error::not_yet_implemented("writing field '" + field.name.str() + "' of type " + field.type.to_string() +
                                    "; only Boolean, Int64, Float64 and Utf8 fields are written");
}

Result<flatbuffers::Offset<fb::Field>> encode_field(flatbuffers::FlatBufferBuilder& fbb, const Field& field) {
  // A field is written only if its arrays can be laid out.
  if (layout_of(field.type.id()) == nullptr) return unwritable_field(field);
  fb::Type type_type;
  flatbuffers::Offset<void> type;
  switch (field.type.id()) {
    case TypeId::Boolean:
      type_type = fb::Type::Bool;
      type = fb::CreateBool(fbb).Union();
      break;
    case TypeId::Int64:
      type_type = fb::Type::Int;
      type = fb::CreateInt(fbb, 64, true).Union();
      break;
    case TypeId::Float64:
      type_type = fb::Type::FloatingPoint;
      type = fb::CreateFloatingPoint(fbb, fb::Precision::DOUBLE).Union();
      break;
    case TypeId::Utf8:
      type_type = fb::Type::Utf8;
      type = fb::CreateUtf8(fbb).Union();
      break;
    default: return unwritable_field(field);
  }
  const auto name = fbb.CreateString(field.name.str());
  const auto children = fbb.CreateVector(std::vector<flatbuffers::Offset<fb::Field>>{});
  const auto metadata = encode_metadata(fbb, field.metadata);
  return fb::CreateField(fbb, name, field.nullable, type_type, type, 0, children, metadata);
}

Result<flatbuffers::Offset<fb::Schema>> encode_schema(flatbuffers::FlatBufferBuilder& fbb, const Schema& schema) {
  std::vector<flatbuffers::Offset<fb::Field>> fields;
  fields.reserve(schema.fields.size());
  for (const Field& field : schema.fields) {
    TESS_ASSIGN_OR_RETURN(auto encoded, encode_field(fbb, field));
    fields.push_back(encoded);
  }
  const auto field_vector = fbb.CreateVector(fields);
  const auto metadata = encode_metadata(fbb, schema.metadata);
  return fb::CreateSchema(fbb, fb::Endianness::Little, field_vector, metadata);
}

// ---------------------------------------------------------------------------
// Record-batch bodies

// The body of one record batch as a list of byte ranges, each placed at a
// multiple of the alignment. Ranges borrow the source arrays' buffers where
// the bytes can go out unchanged; re-based bitmaps and offsets are owned here.
class BodyBuilder {
 public:
  explicit BodyBuilder(int64_t alignment) : alignment_(alignment) {}

  void add_borrowed(const uint8_t* data, int64_t size) {
    pieces_.push_back({data, size});
    locations_.emplace_back(size_bytes_, size);
    size_bytes_ += round_up(size);
  }
  void add_owned(std::vector<uint8_t> bytes) {
    owned_.push_back(std::move(bytes));
    add_borrowed(owned_.back().data(), static_cast<int64_t>(owned_.back().size()));
  }

  const std::vector<fb::Buffer>& locations() const { return locations_; }
  int64_t size_bytes() const { return size_bytes_; }

  Status write_to(ByteSink& sink) const {
    for (const Piece& piece : pieces_) {
      TESS_TRY(write_bytes(sink, piece.data, piece.size));
      TESS_TRY(write_bytes(sink, kZeros, round_up(piece.size) - piece.size));
    }
    return {};
  }

 private:
  struct Piece {
    const uint8_t* data;
    int64_t size;
  };

  int64_t round_up(int64_t size) const { return (size + alignment_ - 1) & ~(alignment_ - 1); }

  int64_t alignment_;
  int64_t size_bytes_ = 0;
  std::vector<Piece> pieces_;
  std::vector<fb::Buffer> locations_;
  // Moving an inner vector keeps its storage, so Pieces stay valid as this grows.
  std::vector<std::vector<uint8_t>> owned_;
};

// Bits [offset, offset + length) moved down to start at bit 0; the bits after
// `length` in the last byte are zero.
std::vector<uint8_t> copy_bits(const uint8_t* bits, int64_t offset, int64_t length) {
  std::vector<uint8_t> out(static_cast<size_t>(bitmap_bytes(length)));
  const uint8_t* source = bits + offset / 8;
  const int shift = static_cast<int>(offset % 8);
  const int64_t source_bytes = bitmap_bytes(shift + length);
  for (int64_t i = 0; i < static_cast<int64_t>(out.size()); ++i) {
    const unsigned low = source[i] >> shift;
    const unsigned high = i + 1 < source_bytes ? static_cast<unsigned>(source[i + 1]) << (8 - shift) : 0u;
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(low | high);
  }
  if (length % 8 != 0) out.back() &= static_cast<uint8_t>((1u << (length % 8)) - 1);
  return out;
}

// A bitmap window goes out as is when it starts on a byte boundary (bits past
// the window in its last byte are the next rows', which readers ignore).
void add_bitmap(BodyBuilder& body, const uint8_t* bits, int64_t offset, int64_t length) {
  if (offset % 8 == 0) {
    body.add_borrowed(bits + offset / 8, bitmap_bytes(length));
  } else {
    body.add_owned(copy_bits(bits, offset, length));
  }
}

// Describes one column for error texts: "Utf8 column 2".
std::string column_label(const Array& array, size_t index) {
  return array.type().to_string() + " column " + std::to_string(index);
}

// The arrays handed to the writer are trusted to be well formed, but a short
// buffer would make the writer read past it into the output: check the bounds
// of every range that is written.
Status check_buffer_size(const Array& array, size_t index, const BufferLayout& layout, const BufferRef& buffer) {
  const int64_t need_bytes = needed_bytes(layout, array.offset() + array.length());
  const int64_t have_bytes = buffer ? buffer->size() : 0;
  const char* what = layout.name;
  if (have_bytes >= need_bytes) return {};
  return Error::invalid_argument(column_label(array, index) + ": the " + what + " buffer holds " +
                                 std::to_string(have_bytes) + " bytes, rows [" + std::to_string(array.offset()) +
                                 ", " + std::to_string(array.offset() + array.length()) + ") need " +
                                 std::to_string(need_bytes));
}

const BufferRef& value_buffer(const Array& array, size_t i) {
  static const BufferRef missing;
  return i < array.buffers().size() ? array.buffers()[i] : missing;
}

// Null count 0 writes an empty validity buffer, as the format allows.
Status add_validity(BodyBuilder& body, const Array& array, size_t index) {
  if (array.null_count() == 0) {
    body.add_borrowed(nullptr, 0);
    return {};
  }
  TESS_TRY(check_buffer_size(array, index, kValidityLayout, array.validity()));
  add_bitmap(body, array.validity()->data(), array.offset(), array.length());
  return {};
}

Status add_bitmap_values(BodyBuilder& body, const Array& array, size_t index, const BufferLayout& layout) {
  const BufferRef& values = value_buffer(array, 0);
  if (array.length() == 0) {
    body.add_borrowed(nullptr, 0);
    return {};
  }
  TESS_TRY(check_buffer_size(array, index, layout, values));
  add_bitmap(body, values->data(), array.offset(), array.length());
  return {};
}

Status add_fixed_width_values(BodyBuilder& body, const Array& array, size_t index, const BufferLayout& layout) {
  const BufferRef& values = value_buffer(array, 0);
  if (array.length() == 0) {
    body.add_borrowed(nullptr, 0);
    return {};
  }
  TESS_TRY(check_buffer_size(array, index, layout, values));
  const int64_t width_bytes = layout.element_bits / 8;
  body.add_borrowed(values->data() + array.offset() * width_bytes, array.length() * width_bytes);
  return {};
}

// Offsets are re-based to start at 0 and the data cut to the window's bytes,
// so a slice writes only its own values.
Status add_utf8_values(BodyBuilder& body, const Array& array, size_t index, const TypeLayout& layout) {
  if (array.length() == 0) {
    body.add_borrowed(reinterpret_cast<const uint8_t*>(kEmptyUtf8Offsets), sizeof kEmptyUtf8Offsets);
    body.add_borrowed(nullptr, 0);
    return {};
  }
  const BufferRef& offsets_buffer = value_buffer(array, 0);
  const BufferRef& data_buffer = value_buffer(array, 1);
  const int64_t offset_count = array.length() + 1;
  TESS_TRY(check_buffer_size(array, index, layout.buffers()[0], offsets_buffer));
  const uint8_t* offsets = offsets_buffer->data() + array.offset() * 4;
  const int32_t first = load_offset(offsets, 0);
  const int32_t last = load_offset(offsets, array.length());
  const int64_t data_bytes = data_buffer ? data_buffer->size() : 0;
  if (first < 0 || last < first || last > data_bytes) {
    return Error::invalid_argument(column_label(array, index) + ": offsets " + std::to_string(first) + ".." +
                                   std::to_string(last) + " lie outside the " + std::to_string(data_bytes) +
                                   " bytes of value data");
  }
  if (first == 0) {
    body.add_borrowed(offsets, offset_count * 4);
  } else {
    std::vector<uint8_t> rebased(static_cast<size_t>(offset_count * 4));
    for (int64_t i = 0; i < offset_count; ++i) {
      const int32_t value = load_offset(offsets, i) - first;
      std::memcpy(rebased.data() + i * 4, &value, sizeof value);
    }
    body.add_owned(std::move(rebased));
  }
  body.add_borrowed(last == first ? nullptr : data_buffer->data() + first, last - first);
  return {};
}

// One field node and the column's buffers in IPC order: validity first, then
// the type's own buffers.
Status add_column(BodyBuilder& body, std::vector<fb::FieldNode>& nodes, const Array& array, size_t index) {
  nodes.emplace_back(array.length(), array.null_count());
  TESS_TRY(add_validity(body, array, index));
  const TypeLayout* layout = layout_of(array.type().id());
  if (layout == nullptr) return Error::not_yet_implemented("writing arrays of type " + array.type().to_string());
  if (layout->has_offsets()) return add_utf8_values(body, array, index, *layout);
  const BufferLayout& values = layout->buffers()[0];
  if (values.element_bits == 1) return add_bitmap_values(body, array, index, values);
  return add_fixed_width_values(body, array, index, values);
}

Status check_batch_matches(const RecordBatch& batch, const Schema& schema) {
  if (static_cast<size_t>(batch.num_columns()) != schema.fields.size()) {
    return Error::invalid_argument("the record batch has " + std::to_string(batch.num_columns()) +
                                   " columns, the stream schema " + std::to_string(schema.fields.size()) +
                                   " fields");
  }
  for (size_t i = 0; i < schema.fields.size(); ++i) {
    const DataType& type = batch.columns()[i]->type();
    if (type != schema.fields[i].type) {
      return Error::invalid_argument("column " + std::to_string(i) + " has type " + type.to_string() +
                                     ", the stream schema declares " + schema.fields[i].type.to_string());
    }
  }
  return {};
}

Status check_not_finished(bool finished) {
  if (!finished) return {};
  return Error::ipc("the stream is already finished");
}

}  // namespace

Result<StreamWriter> StreamWriter::open(ByteSink& sink, SchemaRef schema, WriteOptions options) {
  TESS_TRY(check_options(options));
  flatbuffers::FlatBufferBuilder fbb;
  TESS_ASSIGN_OR_RETURN(const auto header, encode_schema(fbb, *schema));
  fbb.Finish(fb::CreateMessage(fbb, fb::MetadataVersion::V5, fb::MessageHeader::Schema, header.Union(), 0));
  TESS_TRY(write_message(sink, fbb, options.alignment));
  return StreamWriter(sink, std::move(schema), options);
}

Status StreamWriter::write(const RecordBatch& batch) {
  TESS_TRY(check_not_finished(finished_));
  TESS_TRY(check_batch_matches(batch, *schema_));
  BodyBuilder body(options_.alignment);
  std::vector<fb::FieldNode> nodes;
  nodes.reserve(static_cast<size_t>(batch.num_columns()));
  for (size_t i = 0; i < batch.columns().size(); ++i) {
    TESS_TRY(add_column(body, nodes, *batch.columns()[i], i));
  }
  flatbuffers::FlatBufferBuilder fbb;
  const auto node_vector = fbb.CreateVectorOfStructs(nodes);
  const auto buffer_vector = fbb.CreateVectorOfStructs(body.locations());
  const auto header = fb::CreateRecordBatch(fbb, batch.num_rows(), node_vector, buffer_vector);
  fbb.Finish(fb::CreateMessage(fbb, fb::MetadataVersion::V5, fb::MessageHeader::RecordBatch, header.Union(),
                               body.size_bytes()));
  TESS_TRY(write_message(*sink_, fbb, options_.alignment));
  return body.write_to(*sink_);
}

Status StreamWriter::finish() {
  TESS_TRY(check_not_finished(finished_));
  TESS_TRY(write_bytes(*sink_, kEndOfStream.data(), static_cast<int64_t>(kEndOfStream.size())));
  IoStatus flushed = sink_->flush();
  if (!flushed.ok()) return io_error(flushed.error());
  finished_ = true;
  return {};
}

}  // namespace columnar::ipc
