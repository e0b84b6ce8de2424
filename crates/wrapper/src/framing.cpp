#include "wrapper/framing.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "columnar/ipc.h"
#include "columnar/ipc_framing.h"

namespace wrapper {
namespace {

namespace ipc = columnar::ipc;

using Prefix = std::array<uint8_t, ipc::kMessagePrefixBytes>;

// Metadata is read in pieces of at most this size.
constexpr size_t kMetadataReadPiece = 1 << 20;

// An unexpected end of input: "input stream is truncated inside {what}",
// code 5; any other failure: read_input_error.
PluginError map_read_error(const columnar::IoError& error, std::string_view what) {
  if (error.kind() == columnar::IoError::Kind::UnexpectedEof) {
    return invalid_input_error(fmt::format("input stream is truncated inside {}", what));
  }
  return read_input_error(error);
}

PluginError truncated_header_error() {
  return invalid_input_error("input stream is truncated inside a message header");
}

PluginError negative_metadata_length_error() { return invalid_input_error("negative message metadata length"); }

PluginError negative_body_length_error() { return invalid_input_error("negative message body length"); }

bool starts_with_file_magic(const Prefix& prefix) {
  return std::equal(ipc::kFileMagic.begin(), ipc::kFileMagic.end(), prefix.begin());
}

// The prefix checks, in the order that decides which message a short or
// foreign input gets: the file-format magic wins over a truncated header
// even at 6 and 7 bytes, and over the marker test at 8.
std::optional<PluginError> check_prefix(const Prefix& prefix, size_t count) {
  if (count < ipc::kFileMagic.size()) return truncated_header_error();
  if (starts_with_file_magic(prefix)) {
    return invalid_input_error("input is the Arrow IPC file format, not the stream format");
  }
  if (count < prefix.size()) return truncated_header_error();
  if (!ipc::has_continuation_marker(prefix.data())) {
    return invalid_input_error("message does not start with the IPC continuation marker");
  }
  return std::nullopt;
}

// How much of `declared` bytes can still arrive, where the input bounds it (a
// regular file). A declared length alone is never trusted with memory.
std::optional<uint64_t> arriving_at_most(const ByteReader& reader, uint64_t declared) {
  const std::optional<uint64_t> bound = reader.remaining_bound();
  if (!bound) return std::nullopt;
  return std::min(*bound, declared);
}

// The metadata grows with what arrives, as a body does: a length prefix
// alone reserves nothing beyond the first piece, and where a regular file
// bounds what can still arrive, the metadata is sized once.
Result<std::vector<uint8_t>> read_metadata(ByteReader& reader, size_t length) {
  std::vector<uint8_t> metadata;
  if (const std::optional<uint64_t> size = arriving_at_most(reader, length)) {
    metadata.reserve(static_cast<size_t>(*size));
  }
  while (metadata.size() < length) {
    const size_t at = metadata.size();
    const size_t piece = std::min(length - at, kMetadataReadPiece);
    metadata.resize(at + piece);
    auto filled = reader.read_exact(metadata.data() + at, piece);
    if (!filled.ok()) return map_read_error(filled.error(), "message metadata");
  }
  return metadata;
}

}  // namespace

Result<columnar::ipc::MessageView> verify_message(std::span<const uint8_t> metadata) {
  if (columnar::ipc::verify_message_bytes(metadata.data(), metadata.size()) != columnar::ipc::VerifyResult::Ok) {
    // One text for hosts, whichever rule rejected the message.
    return invalid_input_error("message metadata is not a valid flatbuffer");
  }
  return columnar::ipc::MessageView::over_verified(metadata.data());
}

Result<columnar::BufferRef> read_message_body(ByteReader& reader, int64_t body_length) {
  if (body_length == 0) return columnar::Buffer::empty();
  // bodyLength alone is never trusted. A regular file bounds what can still
  // arrive, so a body that fits in it is sized once; any other body starts
  // at one piece and grows as bytes arrive (large storage grows without a
  // copy, see MutableBuffer).
  const int64_t first_piece = std::min(body_length, BODY_READ_CHUNK);
  const std::optional<uint64_t> size = arriving_at_most(reader, static_cast<uint64_t>(body_length));
  columnar::MutableBuffer body = size ? columnar::MutableBuffer(std::max(first_piece, static_cast<int64_t>(*size)))
                                      : columnar::MutableBuffer::growing(first_piece);
  int64_t remaining = body_length;
  while (remaining > 0) {
    // Room for one more piece only, then read straight into it: the body
    // grows with what arrives and is copied no further.
    const int64_t piece = std::min(BODY_READ_CHUNK, remaining);
    body.reserve(piece);
    auto filled = reader.read_exact(body.data() + body.size(), static_cast<size_t>(piece));
    if (!filled.ok()) return map_read_error(filled.error(), "a message body");
    body.set_size_unchecked(body.size() + piece);
    remaining -= piece;
  }
  return std::move(body).freeze();
}

Result<ReadOutcome> read_message(ByteReader& reader) {
  Prefix prefix{};
  TESS_ASSIGN_OR_RETURN(const size_t count, reader.read_up_to(prefix.data(), prefix.size()));
  if (count == 0) return ReadOutcome::end_of_input();
  if (auto error = check_prefix(prefix, count)) return std::move(*error);

  const int32_t metadata_length = ipc::decode_metadata_length(prefix.data());
  if (metadata_length == 0) return ReadOutcome::end_of_stream();
  if (metadata_length < 0) return negative_metadata_length_error();
  if (metadata_length > METADATA_LENGTH_CAP) {
    return invalid_input_error(fmt::format("message metadata length {} exceeds the {} byte cap", metadata_length,
                                           METADATA_LENGTH_CAP));
  }

  TESS_ASSIGN_OR_RETURN(std::vector<uint8_t> metadata, read_metadata(reader, static_cast<size_t>(metadata_length)));

  TESS_ASSIGN_OR_RETURN(const columnar::ipc::MessageView view, verify_message(metadata));
  const int64_t body_length = view.body_length();
  if (body_length < 0) return negative_body_length_error();
  TESS_ASSIGN_OR_RETURN(columnar::BufferRef body, read_message_body(reader, body_length));
  return ReadOutcome::of_message(IpcMessage(std::move(metadata), view, std::move(body)));
}

}  // namespace wrapper
