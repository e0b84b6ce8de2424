// The one place the generated Arrow IPC FlatBuffers headers are included.
// Every IPC source and test includes this header instead, and refers to the
// generated types through the `fb` alias:
//
//   const fb::Message* m = ipc::message_table(view);
//   if (m->header_type() == fb::MessageHeader::RecordBatch) ...
#pragma once

#include "columnar/ipc.h"

// The generated code is not written for this project's warning set.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wextra"
#endif
#include "Message_generated.h"
#include "Message_bfbs_generated.h"
#include "flatbuffers/reflection.h"
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace columnar::ipc {

namespace fb = org::apache::arrow::flatbuf;

// Limits the verifier runs with. The depth bounds every recursion over a
// verified message (nested fields of a schema included).
inline constexpr flatbuffers::uoffset_t kVerifierMaxDepth = 64;
inline constexpr flatbuffers::uoffset_t kVerifierMaxTables = 1'000'000;
inline constexpr size_t kVerifierMaxSizeBytes = size_t{1} << 31;
// Greatest sum of the bytes of every table, vector and string that
// verification visits, each counted once per offset that reaches it.
inline constexpr uint64_t kVerifierMaxApparentSizeBytes = uint64_t{1} << 31;

// The generated Message table behind a view.
inline const fb::Message* message_table(const MessageView& view) {
  return static_cast<const fb::Message*>(view.message());
}

}  // namespace columnar::ipc
