// Message verification: FlatBuffers' own verifier, then the two rules it does
// not know about (unions whose type and value come apart, strings that are
// not UTF-8), and the read-only view over verified bytes.
#include <cstddef>
#include <cstdint>

#include "columnar/array.h"
#include "ipc_internal.h"

namespace columnar::ipc {
namespace {

// Generated tables inherit flatbuffers::Table privately; the C-style cast is
// the one cast allowed to reach an inaccessible base.
template <typename T>
bool has_field(const T* table, flatbuffers::voffset_t field) {
  return ((const flatbuffers::Table*)table)->CheckField(field);  // NOLINT
}

// A union's type field and value field must both be present or both absent
// (the generated verifier accepts either one alone).
template <typename T>
bool union_consistent(const T* table, flatbuffers::voffset_t type_field, flatbuffers::voffset_t value_field) {
  return has_field(table, type_field) == has_field(table, value_field);
}

bool utf8_ok(const flatbuffers::String* s) {
  return s == nullptr || is_valid_utf8(reinterpret_cast<const uint8_t*>(s->data()), s->size());
}

bool metadata_ok(const flatbuffers::Vector<flatbuffers::Offset<fb::KeyValue>>* entries) {
  if (entries == nullptr) return true;
  for (const fb::KeyValue* kv : *entries) {
    if (kv == nullptr || !utf8_ok(kv->key()) || !utf8_ok(kv->value())) return false;
  }
  return true;
}

bool dims_ok(const flatbuffers::Vector<flatbuffers::Offset<fb::TensorDim>>* dims) {
  if (dims == nullptr) return true;
  for (const fb::TensorDim* dim : *dims) {
    if (dim == nullptr || !utf8_ok(dim->name())) return false;
  }
  return true;
}

// Recursion depth is bounded: every nested Field is a table the verifier
// counted against its depth limit.
bool field_ok(const fb::Field* field) {
  if (field == nullptr) return false;
  if (!utf8_ok(field->name())) return false;
  if (!union_consistent(field, fb::Field::VT_TYPE_TYPE, fb::Field::VT_TYPE)) return false;
  if (const fb::Timestamp* ts = field->type_as_Timestamp(); ts != nullptr && !utf8_ok(ts->timezone())) {
    return false;
  }
  if (const auto* children = field->children(); children != nullptr) {
    for (const fb::Field* child : *children) {
      if (!field_ok(child)) return false;
    }
  }
  return metadata_ok(field->custom_metadata());
}

bool schema_ok(const fb::Schema* schema) {
  if (const auto* fields = schema->fields(); fields != nullptr) {
    for (const fb::Field* field : *fields) {
      if (!field_ok(field)) return false;
    }
  }
  return metadata_ok(schema->custom_metadata());
}

bool tensor_ok(const fb::Tensor* tensor) {
  return union_consistent(tensor, fb::Tensor::VT_TYPE_TYPE, fb::Tensor::VT_TYPE) && dims_ok(tensor->shape());
}

bool sparse_tensor_ok(const fb::SparseTensor* tensor) {
  return union_consistent(tensor, fb::SparseTensor::VT_TYPE_TYPE, fb::SparseTensor::VT_TYPE) &&
         union_consistent(tensor, fb::SparseTensor::VT_SPARSEINDEX_TYPE, fb::SparseTensor::VT_SPARSEINDEX) &&
         dims_ok(tensor->shape());
}

// Walks what the generated verifier has already proven in bounds. Headers of
// an unknown type were not verified and are not touched.
bool message_rules_ok(const fb::Message* message) {
  if (!union_consistent(message, fb::Message::VT_HEADER_TYPE, fb::Message::VT_HEADER)) return false;
  if (!metadata_ok(message->custom_metadata())) return false;
  switch (message->header_type()) {
    case fb::MessageHeader::Schema: return schema_ok(message->header_as_Schema());
    case fb::MessageHeader::Tensor: return tensor_ok(message->header_as_Tensor());
    case fb::MessageHeader::SparseTensor: return sparse_tensor_ok(message->header_as_SparseTensor());
    case fb::MessageHeader::DictionaryBatch:  // no strings, no unions
    case fb::MessageHeader::RecordBatch:
    case fb::MessageHeader::NONE:
    default: return true;
  }
}

}  // namespace

bool verify_message_bytes(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 4) return false;
  // FlatBuffers asserts (rather than fails) on buffers at its own size limit.
  if (size >= kVerifierMaxSizeBytes || size >= FLATBUFFERS_MAX_BUFFER_SIZE) return false;
  flatbuffers::Verifier::Options options;
  options.max_depth = kVerifierMaxDepth;
  options.max_tables = kVerifierMaxTables;
  flatbuffers::Verifier verifier(data, size, options);
  if (!fb::VerifyMessageBuffer(verifier)) return false;
  return message_rules_ok(fb::GetMessage(data));
}

MessageView MessageView::over_verified(const uint8_t* data) { return MessageView(fb::GetMessage(data)); }

MetadataVersion MessageView::version() const {
  return static_cast<MetadataVersion>(message_table(*this)->version());
}

uint8_t MessageView::header_type() const { return static_cast<uint8_t>(message_table(*this)->header_type()); }

bool MessageView::has_header() const { return message_table(*this)->header() != nullptr; }

int64_t MessageView::body_length() const { return message_table(*this)->bodyLength(); }

bool MessageView::record_batch_has_compression() const {
  const fb::RecordBatch* batch = message_table(*this)->header_as_RecordBatch();
  return batch != nullptr && batch->compression() != nullptr;
}

}  // namespace columnar::ipc
