// The input framing reader: cuts the input into Arrow IPC stream messages,
// one per call, without interpreting them.
//
//   TESS_ASSIGN_OR_RETURN(ReadOutcome outcome, read_message(reader));
//   if (outcome.kind == ReadOutcome::Kind::Message) {
//     const columnar::ipc::MessageView& view = outcome.message->view();  // verified once, here
//     ...
//   }
//
// Each message is FF FF FF FF, a signed 32-bit little-endian metadata length
// L, L bytes of FlatBuffers Message, then the body of the Message's
// bodyLength. The reader adds no buffering of its own and never seeks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "columnar/buffer.h"
#include "columnar/ipc.h"
#include "wrapper/byte_io.h"
#include "wrapper/error.h"

namespace wrapper {

// Largest accepted metadata length, inclusive (2^26).
inline constexpr int32_t METADATA_LENGTH_CAP = 67'108'864;
// Largest piece of a body read at once.
inline constexpr int64_t BODY_READ_CHUNK = 1'048'576;

// One framed message, its metadata verified exactly once, by read_message.
// Move-only: the view points into the metadata's storage, which a move of
// the vector hands over unchanged.
class IpcMessage {
 public:
  // Precondition: `view` is verify_message of `metadata`.
  IpcMessage(std::vector<uint8_t> metadata, columnar::ipc::MessageView view, columnar::BufferRef body)
      : metadata_(std::move(metadata)), view_(view), body_(std::move(body)) {}
  IpcMessage(IpcMessage&&) noexcept = default;
  IpcMessage& operator=(IpcMessage&&) noexcept = default;
  IpcMessage(const IpcMessage&) = delete;
  IpcMessage& operator=(const IpcMessage&) = delete;

  // Exactly the L metadata bytes as read, padding included.
  const std::vector<uint8_t>& metadata() const { return metadata_; }
  // The verified Message over metadata(); valid as long as this message.
  const columnar::ipc::MessageView& view() const { return view_; }
  // Exactly bodyLength bytes; shared with the arrays decoded from it.
  const columnar::BufferRef& body() const { return body_; }

 private:
  std::vector<uint8_t> metadata_;
  columnar::ipc::MessageView view_;
  columnar::BufferRef body_;
};

struct ReadOutcome {
  enum class Kind {
    Message,      // `message` holds it
    EndOfStream,  // the 8-byte end-of-stream marker was read
    EndOfInput,   // the input ended before the first byte of a message
  };

  Kind kind;
  std::optional<IpcMessage> message;

  static ReadOutcome of_message(IpcMessage message) { return {Kind::Message, std::move(message)}; }
  static ReadOutcome end_of_stream() { return {Kind::EndOfStream, std::nullopt}; }
  static ReadOutcome end_of_input() { return {Kind::EndOfInput, std::nullopt}; }
};

// Reads one message. Bytes consumed before a failure are not given back.
Result<ReadOutcome> read_message(ByteReader& reader);

// Reads a body of `body_length` bytes (the caller rejects negative lengths).
// The buffer grows as bytes arrive, never reserved from the declared length,
// so a truncated input costs only what it delivered.
Result<columnar::BufferRef> read_message_body(ByteReader& reader, int64_t body_length);

// Verifies the bytes as an Arrow IPC Message; the view borrows them.
// read_message calls it on every message it returns; nothing else needs to.
Result<columnar::ipc::MessageView> verify_message(std::span<const uint8_t> metadata);

}  // namespace wrapper
