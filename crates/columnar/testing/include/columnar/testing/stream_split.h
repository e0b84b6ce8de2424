// Cuts a written Arrow IPC stream into its framed messages: the one reader of
// output streams for the tests of the columnar writer, of the runtime's output
// stream and of the executable. Each message's metadata is verified, since its
// bodyLength leads to the next message; every other check is the caller's.
//
//   const SplitStream split = split_stream(bytes.data(), bytes.size());
//   ASSERT_EQ(split.error, "");
//   split.messages[0].message()->header_as_Schema();
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "columnar/ipc.h"
#include "columnar/ipc_framing.h"
#include "ipc_internal.h"

namespace columnar::ipc::testing {

struct FramedMessage {
  size_t start = 0;               // offset of the prefix in the stream
  std::vector<uint8_t> metadata;  // the L bytes after the prefix, padding included
  std::vector<uint8_t> body;      // bodyLength bytes
  size_t end_offset = 0;          // offset after the body

  MessageView view() const { return MessageView::over_verified(metadata.data()); }
  const fb::Message* message() const { return fb::GetMessage(metadata.data()); }
};

struct SplitStream {
  std::vector<FramedMessage> messages;
  bool end_marker = false;    // the stream ended with FF FF FF FF 00 00 00 00
  size_t trailing_bytes = 0;  // bytes after the end-of-stream marker
  std::string error;          // empty when the stream split cleanly
};

// Stops at the end-of-stream marker, at the end of the bytes, or at the first
// fault, which `error` names with its offset.
inline SplitStream split_stream(const uint8_t* bytes, size_t size) {
  SplitStream split;
  size_t at = 0;
  const auto fail = [&](const char* what) {
    split.error = std::string(what) + " at byte " + std::to_string(at);
    return split;
  };
  while (at < size) {
    if (size - at < kMessagePrefixBytes) return fail("truncated prefix");
    if (!has_continuation_marker(bytes + at)) return fail("no continuation marker");
    const auto length = static_cast<uint32_t>(decode_metadata_length(bytes + at));
    const size_t metadata_start = at + kMessagePrefixBytes;
    if (length == 0) {
      split.end_marker = true;
      split.trailing_bytes = size - metadata_start;
      return split;
    }
    if (size - metadata_start < length) return fail("truncated metadata");
    FramedMessage frame;
    frame.start = at;
    frame.metadata.assign(bytes + metadata_start, bytes + metadata_start + length);
    if (verify_message_bytes(frame.metadata.data(), frame.metadata.size()) != VerifyResult::Ok) {
      return fail("unverified metadata");
    }
    const int64_t body_length = frame.view().body_length();
    const size_t body_start = metadata_start + length;
    if (body_length < 0 || size - body_start < static_cast<size_t>(body_length)) return fail("truncated body");
    frame.body.assign(bytes + body_start, bytes + body_start + body_length);
    at = frame.end_offset = body_start + static_cast<size_t>(body_length);
    split.messages.push_back(std::move(frame));
  }
  return split;
}

}  // namespace columnar::ipc::testing
