// Arrow IPC messages: verification, schema conversion, record-batch decoding
// and the stream writer. The FlatBuffers types stay behind this header.
//
//   // The rows of one message; a schema message sets `schema` and has none.
//   Result<int64_t> rows_in(const uint8_t* bytes, size_t size, const BufferRef& body, SchemaRef& schema) {
//     if (ipc::verify_message_bytes(bytes, size) != ipc::VerifyResult::Ok) return Error::ipc("not a Message");
//     const ipc::MessageView m = ipc::MessageView::over_verified(bytes);
//     if (m.header_type() == ipc::MessageHeaderType::Schema) {
//       TESS_ASSIGN_OR_RETURN(schema, ipc::schema_from_message(m));
//       return 0;
//     }
//     TESS_ASSIGN_OR_RETURN(const RecordBatch batch, ipc::decode_record_batch(m, body, schema));
//     return batch.num_rows();
//   }
//
// (ipc_decode_test.cpp compiles and runs this example.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "columnar/buffer.h"
#include "columnar/data_type.h"
#include "columnar/error.h"
#include "columnar/io.h"
#include "columnar/record_batch.h"

namespace columnar::ipc {

// Values of the Message.header union type. A message may carry any other
// byte too, which the enum holds as it is.
enum class MessageHeaderType : uint8_t {
  None = 0, Schema = 1, DictionaryBatch = 2, RecordBatch = 3, Tensor = 4, SparseTensor = 5,
};

// "NONE", "Schema", "DictionaryBatch", "RecordBatch", "Tensor",
// "SparseTensor"; "<UNKNOWN n>" for any other value n.
std::string header_type_name(MessageHeaderType type);

enum class MetadataVersion : int16_t { V1 = 0, V2 = 1, V3 = 2, V4 = 3, V5 = 4 };

// What verify_message_bytes found: Ok, or the one rule that rejected the
// message (the first one checked that failed).
enum class VerifyResult : uint8_t {
  Ok,
  Structure,     // FlatBuffers' own checks: offsets, vtables, vectors and strings
                 // in bounds and aligned, strings zero-terminated, the root table
  TooLarge,      // the buffer is 2^31 bytes or more
  Depth,         // tables nested more than 64 deep
  Tables,        // more than 1,000,000 tables visited
  ApparentSize,  // more than 2^31 bytes, counted once per offset that reaches them
  Utf8,          // a string that is not valid UTF-8
  UnionPairing,  // a union's type without its value, or its value without its type
  SchemaWalk,    // the compiled-in schema holds a field the walk cannot follow (never for Arrow's)
};

// "Ok", "Structure", ... as the enumerator is spelled.
const char* verify_result_name(VerifyResult result);

// Verifies `size` bytes as a FlatBuffers buffer whose root is an Arrow IPC
// Message: FlatBuffers' verifier with max depth 64, at most 1,000,000 tables,
// a size below 2^31 and zero-terminated strings; in addition the apparent size
// (bytes counted once per offset that reaches them) is at most 2^31, a union's
// type and value must come together and every string must be valid UTF-8. A
// header type above 5 with a value passes (its table is left unverified), and
// so does a type of 0 written out with a value.
//
// FlatBuffers' verifier answers only yes or no. When it says no, it runs again
// with its depth and table limits raised (to 1,024 and 2,000,000): if the
// message still fails, the answer is Structure; if it passes, the answer is
// Tables when the depth limit alone holds, else Depth. So a message beyond the
// raised limits is reported as Structure.
VerifyResult verify_message_bytes(const uint8_t* data, size_t size);
// Read-only view of a verified Message; valid while its bytes live.
class MessageView {
 public:
  // Precondition: verify_message_bytes(data, size) returned Ok.
  static MessageView over_verified(const uint8_t* data);

  MetadataVersion version() const;  // V1 when absent
  MessageHeaderType header_type() const;  // None when absent
  bool has_header() const;
  int64_t body_length() const;      // 0 when absent; may be negative
  // Precondition: header_type() == RecordBatch and has_header().
  bool record_batch_has_compression() const;

  const void* message() const { return message_; }  // the generated Message table

 private:
  explicit MessageView(const void* message) : message_(message) {}
  const void* message_;
};

// Metadata may be dropped by a reader that never looks at it: entries reached
// through many offsets would otherwise be copied once per offset.
enum class SchemaMetadata { Keep, Drop };

// Converts the Schema header of `message` into a schema, for every member of
// the type union. Descriptions that cannot be converted (no field list,
// unknown type, bad integer width, a list without exactly one child, ...) are
// errors, never aborts.
// Precondition: header_type() == Schema and has_header().
Result<SchemaRef> schema_from_message(const MessageView& message, SchemaMetadata metadata = SchemaMetadata::Keep);

// Decodes the RecordBatch header of `message` over `body` against the whole
// stream schema (all fields in stream order; only Boolean, Int64, Float64 and
// Utf8 fields can be decoded). Every buffer range, length, null count, offset
// and UTF-8 value is checked; nothing outside `body` is read. Arrays share the
// body when their buffers are aligned for their type and copy it otherwise.
// Precondition: header_type() == RecordBatch and has_header().
Result<RecordBatch> decode_record_batch(const MessageView& message, const BufferRef& body,
                                        const SchemaRef& schema);

// The writer always writes metadata version V5 with the continuation marker
// before every message and uncompressed bodies; only the alignment varies.
struct WriteOptions {
  int64_t alignment = 64;  // of metadata and body buffers: 8, 16, 32 or 64
};

// Encodes a stream: schema message on open(), one record-batch message per
// write(), the end-of-stream marker on finish(). Each message is: FF FF FF FF,
// metadata length L (int32 LE, 8 + L a multiple of the alignment), the
// Message flatbuffer zero-padded to L, then the body with every buffer at a
// multiple of the alignment. Sink failures come back as Io errors whose text
// is the IoError's ("Io error: Broken pipe (os error 32)").
class StreamWriter {
 public:
  // Writes the schema message to `sink`, which must outlive the writer.
  static Result<StreamWriter> open(ByteSink& sink, SchemaRef schema, WriteOptions options);

  // The batch's columns must have the types of the writer's schema, else an
  // InvalidArgument error; nothing is written then.
  Status write(const RecordBatch& batch);
  // Writes the end-of-stream marker and flushes the sink; sets finished().
  Status finish();
  bool finished() const { return finished_; }

 private:
  StreamWriter(ByteSink& sink, SchemaRef schema, WriteOptions options)
      : sink_(&sink), schema_(std::move(schema)), options_(options) {}

  ByteSink* sink_;
  SchemaRef schema_;
  WriteOptions options_;
  bool finished_ = false;
};

}  // namespace columnar::ipc
