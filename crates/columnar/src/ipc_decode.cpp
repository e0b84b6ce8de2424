// RecordBatch header + body -> RecordBatch, for Boolean, Int64, Float64 and
// Utf8 columns. Field nodes and buffers are consumed in the order of the
// schema's fields: one node per field, then validity + values (Utf8:
// validity + offsets + data). Every count, length and range is checked
// before a byte of the body is looked at.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ipc_internal.h"
#include "layout.h"

namespace columnar::ipc {
namespace {

using Nodes = flatbuffers::Vector<const fb::FieldNode*>;
using Buffers = flatbuffers::Vector<const fb::Buffer*>;

Error field_error(const Field& field, const std::string& what) {
  return Error::ipc("field '" + field.name.str() + "': " + what);
}

Result<const TypeLayout*> decodable_layout(const Field& field) {
  if (const TypeLayout* layout = layout_of(field.type.id())) return layout;
  return Error::not_yet_implemented("decoding a column of type " + field.type.to_string() + " (field '" +
                                    field.name.str() + "')");
}

// Reads the field nodes and buffers of one record batch in order, checking
// each against the body as it is taken.
class BatchReader {
 public:
  BatchReader(const fb::RecordBatch& batch, const BufferRef& body)
      : nodes_(batch.nodes()), buffers_(batch.buffers()), body_(body) {}

  flatbuffers::uoffset_t node_count() const { return nodes_ != nullptr ? nodes_->size() : 0; }
  flatbuffers::uoffset_t buffer_count() const { return buffers_ != nullptr ? buffers_->size() : 0; }

  // Precondition: fewer than node_count() nodes taken.
  fb::FieldNode next_node() { return element_at<fb::FieldNode>(*nodes_, next_node_++); }

  // The next buffer as a view of the body, or a copy when its start is not a
  // multiple of `alignment` bytes in memory.
  // Precondition: fewer than buffer_count() buffers taken.
  Result<BufferRef> next_buffer(const Field& field, size_t alignment) {
    const flatbuffers::uoffset_t index = next_buffer_++;
    const fb::Buffer location = element_at<fb::Buffer>(*buffers_, index);
    const int64_t offset = location.offset();
    const int64_t length = location.length();
    const int64_t body_size = body_->size();
    const std::string name = "buffer " + std::to_string(index);
    if (offset < 0) return field_error(field, name + " offset " + std::to_string(offset) + " is negative");
    if (length < 0) return field_error(field, name + " length " + std::to_string(length) + " is negative");
    if (offset > body_size || length > body_size - offset) {
      return field_error(field, name + " (offset " + std::to_string(offset) + ", length " +
                                    std::to_string(length) + ") is outside the body of " +
                                    std::to_string(body_size) + " bytes");
    }
    if (length == 0) return Buffer::empty();
    const uint8_t* start = body_->data() + offset;
    if (reinterpret_cast<uintptr_t>(start) % alignment == 0) return Buffer::slice(body_, offset, length);
    return Buffer::copy_of(start, length);
  }

 private:
  // The verifier only checks a vector's length word for 4-byte alignment, so
  // the 8-byte structs behind it may sit off their alignment: copy them out.
  template <typename T>
  static T element_at(const flatbuffers::Vector<const T*>& vector, flatbuffers::uoffset_t i) {
    T value;
    std::memcpy(static_cast<void*>(&value), vector.Data() + size_t{i} * sizeof(T), sizeof(T));
    return value;
  }

  const Nodes* nodes_;
  const Buffers* buffers_;
  const BufferRef& body_;
  flatbuffers::uoffset_t next_node_ = 0;
  flatbuffers::uoffset_t next_buffer_ = 0;
};

Status check_node(const Field& field, const fb::FieldNode& node, int64_t batch_length) {
  if (node.length() < 0) return field_error(field, "length " + std::to_string(node.length()) + " is negative");
  if (node.null_count() < 0) {
    return field_error(field, "null count " + std::to_string(node.null_count()) + " is negative");
  }
  if (node.null_count() > node.length()) {
    return field_error(field, "null count " + std::to_string(node.null_count()) + " exceeds length " +
                                  std::to_string(node.length()));
  }
  if (node.length() != batch_length) {
    return field_error(field, "length " + std::to_string(node.length()) + " differs from the batch length " +
                                  std::to_string(batch_length));
  }
  return {};
}

Status check_size(const Field& field, const BufferLayout& layout, const BufferRef& buffer, int64_t length) {
  if (holds_rows(layout, buffer->size(), length)) return {};
  return field_error(field, std::string(layout.name) + " buffer of " + std::to_string(buffer->size()) +
                                " bytes is too short for " + std::to_string(length) + " values");
}

// A zero-length validity buffer stands for "all valid" only when the node
// reports no nulls; with nulls the bitmap must cover every value.
Result<BufferRef> read_validity(BatchReader& reader, const Field& field, const fb::FieldNode& node) {
  TESS_ASSIGN_OR_RETURN(BufferRef validity, reader.next_buffer(field, kValidityLayout.alignment));
  if (node.null_count() == 0) return BufferRef();
  TESS_TRY(check_size(field, kValidityLayout, validity, node.length()));
  return validity;
}

// Every buffer of the type is taken before any is checked.
Result<ArrayRef> read_array(BatchReader& reader, const Field& field, const TypeLayout& layout,
                            const fb::FieldNode& node) {
  const int64_t length = node.length();
  TESS_ASSIGN_OR_RETURN(BufferRef validity, read_validity(reader, field, node));
  std::vector<BufferRef> buffers;
  for (const BufferLayout& buffer_layout : layout.buffers()) {
    TESS_ASSIGN_OR_RETURN(BufferRef buffer, reader.next_buffer(field, buffer_layout.alignment));
    buffers.push_back(std::move(buffer));
  }
  if (layout.has_offsets() && length == 0 && buffers[0]->size() == 0) {
    // Writers may leave out the single offset of an empty column.
    static const int32_t kZero = 0;
    buffers[0] = Buffer::copy_of(reinterpret_cast<const uint8_t*>(&kZero), sizeof kZero);
  }
  for (size_t i = 0; i < buffers.size(); ++i) TESS_TRY(check_size(field, layout.buffers()[i], buffers[i], length));
  ArrayRef array = Array::make(field.type, length, 0, std::move(validity), std::move(buffers));
  if (Status valid = array->validate(); !valid.ok()) {
    return Error(valid.error().kind(), "field '" + field.name.str() + "': " + valid.error().message());
  }
  return array;
}

}  // namespace

Result<RecordBatch> decode_record_batch(const MessageView& message, const BufferRef& body,
                                        const SchemaRef& schema) {
  const fb::RecordBatch* batch = message_table(message)->header_as_RecordBatch();
  if (batch == nullptr) return Error::ipc("message has no record batch header");
  const int64_t length = batch->length();
  if (length < 0) return Error::ipc("record batch length " + std::to_string(length) + " is negative");

  const std::vector<Field>& fields = schema->fields;
  std::vector<const TypeLayout*> layouts;
  layouts.reserve(fields.size());
  size_t buffers_needed = 0;
  for (const Field& field : fields) {
    TESS_ASSIGN_OR_RETURN(const TypeLayout* layout, decodable_layout(field));
    layouts.push_back(layout);
    buffers_needed += 1 + layout->buffers().size();  // the validity bitmap first
  }
  const BufferRef body_or_empty = body ? body : Buffer::empty();
  BatchReader reader(*batch, body_or_empty);
  if (reader.node_count() < fields.size()) {
    return Error::ipc("record batch has " + std::to_string(reader.node_count()) + " field nodes for " +
                      std::to_string(fields.size()) + " fields");
  }
  if (reader.buffer_count() < buffers_needed) {
    return Error::ipc("record batch has " + std::to_string(reader.buffer_count()) + " buffers, its fields need " +
                      std::to_string(buffers_needed));
  }

  std::vector<ArrayRef> columns;
  columns.reserve(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    const Field& field = fields[i];
    const fb::FieldNode node = reader.next_node();
    TESS_TRY(check_node(field, node, length));
    TESS_ASSIGN_OR_RETURN(ArrayRef column, read_array(reader, field, *layouts[i], node));
    columns.push_back(std::move(column));
  }
  return RecordBatch::make(schema, std::move(columns), length);
}

}  // namespace columnar::ipc
