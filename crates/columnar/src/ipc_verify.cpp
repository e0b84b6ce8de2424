// Message verification in two layers. FlatBuffers' generated verifier proves
// every table, vector and string in bounds (depth and table limits included);
// it is driven from our own Message root so that a header of an unknown type
// stays unverified and untouched. Then one walk, driven by the binary schema
// that flatc compiles from the same .fbs files, visits everything the verifier
// visited: it bounds the apparent size (an object reached through two offsets
// counts twice) and checks that every string is UTF-8 and that every union's
// type and value come together. Being read from the schema, the walk covers
// every string and union field of every table without a list of our own.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "columnar/utf8.h"
#include "ipc_internal.h"

namespace columnar::ipc {
namespace {

using flatbuffers::Table;
using flatbuffers::voffset_t;

// Generated tables inherit flatbuffers::Table privately; the C-style cast is
// the one cast allowed to reach an inaccessible base.
template <typename T>
const Table* as_table(const T* table) {
  return (const Table*)table;  // NOLINT
}

// ---------------------------------------------------------------------------
// The walk's plan, read once from the binary schema.

struct FieldPlan {
  enum class Kind {
    String,        // a string
    Table,         // a sub-table
    Union,         // a union value; `type_slot` holds its type field
    StringVector,  // a vector of strings
    TableVector,   // a vector of tables
    InlineVector,  // a vector of scalars or structs, `element_bytes` each
  };
  Kind kind;
  voffset_t slot;            // the field's vtable slot
  voffset_t type_slot = 0;   // Union: the slot of its `_type` field
  uint32_t element_bytes = 0;
  int child = -1;            // Table, TableVector: object index; Union: union index
};

struct UnionPlan {
  int member_object[256];  // by type value; -1 for NONE and unknown values
};

struct Plan {
  bool complete = true;  // false if the schema holds a kind the walk cannot follow
  int root = -1;
  std::vector<std::vector<FieldPlan>> tables;  // by object index; empty for structs
  std::vector<UnionPlan> unions;               // by enum index
};

const reflection::Field* field_with_id(const reflection::Object& object, uint16_t id) {
  for (const reflection::Field* field : *object.fields()) {
    if (field->id() == id) return field;
  }
  return nullptr;
}

void plan_field(Plan& plan, const reflection::Schema& schema, const reflection::Object& object,
                const reflection::Field& field, std::vector<FieldPlan>& out) {
  const reflection::Type& type = *field.type();
  const auto is_struct = [&](int index) { return schema.objects()->Get(static_cast<flatbuffers::uoffset_t>(index))->is_struct(); };
  FieldPlan entry{FieldPlan::Kind::String, field.offset()};
  switch (type.base_type()) {
    case reflection::String: break;
    case reflection::Obj:
      if (is_struct(type.index())) return;  // inline in the table
      entry.kind = FieldPlan::Kind::Table;
      entry.child = type.index();
      break;
    case reflection::Union: {
      // flatc gives a union's `_type` field the id just before the value's.
      const reflection::Field* type_field = field.id() > 0 ? field_with_id(object, static_cast<uint16_t>(field.id() - 1)) : nullptr;
      if (type_field == nullptr || type_field->type()->base_type() != reflection::UType) {
        plan.complete = false;
        return;
      }
      entry.kind = FieldPlan::Kind::Union;
      entry.type_slot = type_field->offset();
      entry.child = type.index();
      break;
    }
    case reflection::Vector:
      switch (type.element()) {
        case reflection::String: entry.kind = FieldPlan::Kind::StringVector; break;
        case reflection::Obj:
          if (is_struct(type.index())) {
            entry.kind = FieldPlan::Kind::InlineVector;
            entry.element_bytes = static_cast<uint32_t>(
                schema.objects()->Get(static_cast<flatbuffers::uoffset_t>(type.index()))->bytesize());
          } else {
            entry.kind = FieldPlan::Kind::TableVector;
            entry.child = type.index();
          }
          break;
        case reflection::Union:
        case reflection::Vector:
        case reflection::Array:
          plan.complete = false;
          return;
        default:
          entry.kind = FieldPlan::Kind::InlineVector;
          entry.element_bytes = static_cast<uint32_t>(flatbuffers::GetTypeSize(type.element()));
          break;
      }
      break;
    case reflection::Array:
      plan.complete = false;
      return;
    default: return;  // scalars and union type fields: inline in the table
  }
  out.push_back(entry);
}

Plan build_plan() {
  Plan plan;
  const reflection::Schema& schema = *reflection::GetSchema(fb::MessageBinarySchema::data());
  const auto* objects = schema.objects();
  plan.tables.resize(objects->size());
  for (flatbuffers::uoffset_t i = 0; i < objects->size(); ++i) {
    const reflection::Object& object = *objects->Get(i);
    if (object.is_struct()) continue;
    for (const reflection::Field* field : *object.fields()) {
      if (!field->deprecated()) plan_field(plan, schema, object, *field, plan.tables[i]);
    }
    if (&object == schema.root_table()) plan.root = static_cast<int>(i);
  }
  const auto* enums = schema.enums();
  plan.unions.resize(enums->size());
  for (flatbuffers::uoffset_t i = 0; i < enums->size(); ++i) {
    UnionPlan& members = plan.unions[i];
    for (int& member : members.member_object) member = -1;
    const reflection::Enum& e = *enums->Get(i);
    if (!e.is_union()) continue;
    for (const reflection::EnumVal* value : *e.values()) {
      const reflection::Type* member_type = value->union_type();
      if (value->value() <= 0 || value->value() > 255 || member_type == nullptr ||
          member_type->base_type() != reflection::Obj) {
        continue;  // NONE
      }
      members.member_object[value->value()] = member_type->index();
    }
  }
  if (plan.root < 0) plan.complete = false;
  return plan;
}

const Plan& message_plan() {
  static const Plan plan = build_plan();
  return plan;
}

// ---------------------------------------------------------------------------
// The walk. Runs only over bytes the generated verifier has proven in bounds,
// along the same paths (so its recursion is bounded by the same depth limit).

class Walk {
 public:
  enum class Pass {
    Size,   // add up the apparent size; stop past the limit
    Rules,  // UTF-8 of every string, union type and value together
  };

  Walk(const Plan& plan, Pass pass) : plan_(plan), pass_(pass) {}

  // Walks the message from its root table; Ok or the rule that failed.
  VerifyResult message(const Table* root) { return table(root, plan_.root) ? VerifyResult::Ok : failure_; }

 private:
  bool table(const Table* t, int object) {
    if (!add(table_bytes(t))) return false;
    for (const FieldPlan& f : plan_.tables[static_cast<size_t>(object)]) {
      if (!field(t, f)) return false;
    }
    return true;
  }

  bool fail(VerifyResult reason) {
    failure_ = reason;
    return false;
  }

  bool field(const Table* t, const FieldPlan& f) {
    switch (f.kind) {
      case FieldPlan::Kind::String: return string(t->GetPointer<const flatbuffers::String*>(f.slot));
      case FieldPlan::Kind::Table: {
        const auto* child = t->GetPointer<const Table*>(f.slot);
        return child == nullptr || table(child, f.child);
      }
      case FieldPlan::Kind::Union: return union_value(t, f);
      case FieldPlan::Kind::StringVector: {
        const auto* v = t->GetPointer<const flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>*>(f.slot);
        if (v == nullptr) return true;
        if (!add(vector_bytes(v->size(), sizeof(flatbuffers::uoffset_t)))) return false;
        for (const flatbuffers::String* s : *v) {
          if (!string(s)) return false;
        }
        return true;
      }
      case FieldPlan::Kind::TableVector: {
        const auto* v = t->GetPointer<const flatbuffers::Vector<flatbuffers::Offset<Table>>*>(f.slot);
        if (v == nullptr) return true;
        if (!add(vector_bytes(v->size(), sizeof(flatbuffers::uoffset_t)))) return false;
        for (const Table* element : *v) {
          if (!table(element, f.child)) return false;
        }
        return true;
      }
      case FieldPlan::Kind::InlineVector: {
        const auto* v = t->GetPointer<const flatbuffers::Vector<uint8_t>*>(f.slot);
        return v == nullptr || add(vector_bytes(v->size(), f.element_bytes));
      }
      default: return fail(VerifyResult::SchemaWalk);
    }
  }

  // The generated verifier accepts a union's type or value alone; here both
  // must be present or both absent. NONE and unknown types are not followed:
  // their header was never verified.
  bool union_value(const Table* t, const FieldPlan& f) {
    const bool has_type = t->CheckField(f.type_slot);
    const bool has_value = t->CheckField(f.slot);
    if (has_type != has_value) return fail(VerifyResult::UnionPairing);
    if (!has_value) return true;
    const uint8_t type = t->GetField<uint8_t>(f.type_slot, 0);
    const int member = plan_.unions[static_cast<size_t>(f.child)].member_object[type];
    return member < 0 || table(t->GetPointer<const Table*>(f.slot), member);
  }

  bool string(const flatbuffers::String* s) {
    if (s == nullptr) return true;
    if (pass_ == Pass::Size) return add(vector_bytes(s->size(), 1) + 1);  // with its terminator
    return is_valid_utf8(reinterpret_cast<const uint8_t*>(s->data()), s->size()) || fail(VerifyResult::Utf8);
  }

  static uint64_t vector_bytes(uint64_t count, uint64_t element_bytes) {
    return sizeof(flatbuffers::uoffset_t) + count * element_bytes;
  }

  // The vtable and the table's inline fields, as the vtable declares them.
  static uint64_t table_bytes(const Table* t) {
    const uint8_t* vtable = t->GetVTable();
    const auto vtable_bytes = flatbuffers::ReadScalar<voffset_t>(vtable);
    // The verifier proved `vtable_bytes` of vtable in bounds, no more.
    const voffset_t inline_bytes =
        vtable_bytes >= 2 * sizeof(voffset_t) ? flatbuffers::ReadScalar<voffset_t>(vtable + sizeof(voffset_t)) : 0;
    return uint64_t{vtable_bytes} + inline_bytes;
  }

  bool add(uint64_t bytes) {
    if (pass_ != Pass::Size) return true;
    apparent_bytes_ += bytes;
    return apparent_bytes_ <= kVerifierMaxApparentSizeBytes || fail(VerifyResult::ApparentSize);
  }

  const Plan& plan_;
  Pass pass_;
  uint64_t apparent_bytes_ = 0;
  VerifyResult failure_ = VerifyResult::SchemaWalk;
};

bool known_header_type(fb::MessageHeader type) {
  return type >= fb::MessageHeader::MIN && type <= fb::MessageHeader::MAX && type != fb::MessageHeader::NONE;
}

// The generated Message verifier, except that the header is verified only for
// a known type: any other type passes with its header left alone, so that the
// stream loop can name it.
bool verify_message_table(flatbuffers::Verifier& verifier, const fb::Message* message) {
  const Table* t = as_table(message);
  if (!t->VerifyTableStart(verifier) || !t->VerifyField<int16_t>(verifier, fb::Message::VT_VERSION, 2) ||
      !t->VerifyField<uint8_t>(verifier, fb::Message::VT_HEADER_TYPE, 1)) {
    return false;
  }
  const fb::MessageHeader type = message->header_type();
  if (known_header_type(type) && (!t->VerifyOffset(verifier, fb::Message::VT_HEADER) ||
                                  !fb::VerifyMessageHeader(verifier, message->header(), type))) {
    return false;
  }
  return t->VerifyField<int64_t>(verifier, fb::Message::VT_BODYLENGTH, 8) &&
         t->VerifyOffset(verifier, fb::Message::VT_CUSTOM_METADATA) &&
         verifier.VerifyVector(message->custom_metadata()) &&
         verifier.VerifyVectorOfTables(message->custom_metadata()) && verifier.EndTable();
}

// FlatBuffers' verifier over the whole message with the given limits.
bool verify_structure(const uint8_t* data, size_t size, flatbuffers::uoffset_t max_depth,
                      flatbuffers::uoffset_t max_tables) {
  flatbuffers::Verifier::Options options;
  options.max_depth = max_depth;
  options.max_tables = max_tables;
  flatbuffers::Verifier verifier(data, size, options);
  if (verifier.VerifyOffset(0) == 0) return false;
  return verify_message_table(verifier, fb::GetMessage(data));
}

// The verifier says only that it failed. Its limits are raised to tell
// whether one of them was the cause: far enough for the fixtures that sit
// just past them, not so far that a hostile message costs much more (the
// depth bounds the verifier's recursion, the table count its time).
constexpr flatbuffers::uoffset_t kProbeMaxDepth = 1'024;
constexpr flatbuffers::uoffset_t kProbeMaxTables = 2 * kVerifierMaxTables;

VerifyResult structure_failure(const uint8_t* data, size_t size) {
  if (!verify_structure(data, size, kProbeMaxDepth, kProbeMaxTables)) return VerifyResult::Structure;
  return verify_structure(data, size, kVerifierMaxDepth, kProbeMaxTables) ? VerifyResult::Tables
                                                                           : VerifyResult::Depth;
}

}  // namespace

const char* verify_result_name(VerifyResult result) {
  switch (result) {
    case VerifyResult::Ok: return "Ok";
    case VerifyResult::Structure: return "Structure";
    case VerifyResult::TooLarge: return "TooLarge";
    case VerifyResult::Depth: return "Depth";
    case VerifyResult::Tables: return "Tables";
    case VerifyResult::ApparentSize: return "ApparentSize";
    case VerifyResult::Utf8: return "Utf8";
    case VerifyResult::UnionPairing: return "UnionPairing";
    case VerifyResult::SchemaWalk: return "SchemaWalk";
    default: return "Unknown";
  }
}

VerifyResult verify_message_bytes(const uint8_t* data, size_t size) {
  // The smallest buffer FlatBuffers itself accepts: root offset, vtable
  // offset and a vtable of two entries.
  constexpr size_t kMinBufferBytes = sizeof(flatbuffers::uoffset_t) + sizeof(flatbuffers::soffset_t) + 2 * sizeof(voffset_t);
  if (data == nullptr || size < kMinBufferBytes) return VerifyResult::Structure;
  // FlatBuffers asserts (rather than fails) on buffers at its own size limit.
  if (size >= kVerifierMaxSizeBytes || size >= FLATBUFFERS_MAX_BUFFER_SIZE) return VerifyResult::TooLarge;
  if (!verify_structure(data, size, kVerifierMaxDepth, kVerifierMaxTables)) return structure_failure(data, size);

  const Plan& plan = message_plan();
  if (!plan.complete) return VerifyResult::SchemaWalk;
  const Table* root = as_table(fb::GetMessage(data));
  // Sizes first: a message that reaches one long string many times fails
  // before any of those strings is read.
  const VerifyResult sizes = Walk(plan, Walk::Pass::Size).message(root);
  if (sizes != VerifyResult::Ok) return sizes;
  return Walk(plan, Walk::Pass::Rules).message(root);
}

MessageView MessageView::over_verified(const uint8_t* data) { return MessageView(fb::GetMessage(data)); }

MetadataVersion MessageView::version() const {
  return static_cast<MetadataVersion>(message_table(*this)->version());
}

MessageHeaderType MessageView::header_type() const {
  return static_cast<MessageHeaderType>(message_table(*this)->header_type());
}

// By the vtable alone: the header of an unknown type may point anywhere.
bool MessageView::has_header() const { return as_table(message_table(*this))->CheckField(fb::Message::VT_HEADER); }

int64_t MessageView::body_length() const { return message_table(*this)->bodyLength(); }

bool MessageView::record_batch_has_compression() const {
  const fb::RecordBatch* batch = message_table(*this)->header_as_RecordBatch();
  return batch != nullptr && batch->compression() != nullptr;
}

std::string header_type_name(MessageHeaderType type) {
  switch (type) {
    case MessageHeaderType::None: return "NONE";
    case MessageHeaderType::Schema: return "Schema";
    case MessageHeaderType::DictionaryBatch: return "DictionaryBatch";
    case MessageHeaderType::RecordBatch: return "RecordBatch";
    case MessageHeaderType::Tensor: return "Tensor";
    case MessageHeaderType::SparseTensor: return "SparseTensor";
    default: return "<UNKNOWN " + std::to_string(static_cast<unsigned>(type)) + ">";
  }
}

}  // namespace columnar::ipc
