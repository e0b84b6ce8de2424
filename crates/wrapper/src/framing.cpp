#include "wrapper/framing.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "columnar/ipc.h"

namespace wrapper {
namespace {

constexpr size_t PREFIX_SIZE = 8;
// Metadata is read in pieces of at most this size.
constexpr size_t kMetadataReadPiece = 1 << 20;
constexpr std::array<uint8_t, 6> FILE_MAGIC = {'A', 'R', 'R', 'O', 'W', '1'};

PluginError truncated_header_error() { return stream_error("input stream is truncated inside a message header"); }

bool starts_with_file_magic(const std::array<uint8_t, PREFIX_SIZE>& prefix) {
  return std::equal(FILE_MAGIC.begin(), FILE_MAGIC.end(), prefix.begin());
}

bool starts_with_continuation_marker(const std::array<uint8_t, PREFIX_SIZE>& prefix) {
  return prefix[0] == 0xFF && prefix[1] == 0xFF && prefix[2] == 0xFF && prefix[3] == 0xFF;
}

int32_t metadata_length_of(const std::array<uint8_t, PREFIX_SIZE>& prefix) {
  const uint32_t bits = static_cast<uint32_t>(prefix[4]) | static_cast<uint32_t>(prefix[5]) << 8 |
                        static_cast<uint32_t>(prefix[6]) << 16 | static_cast<uint32_t>(prefix[7]) << 24;
  return static_cast<int32_t>(bits);
}

// The prefix checks, in the order that decides which message a short or
// foreign input gets: the file-format magic wins over a truncated header
// even at 6 and 7 bytes, and over the marker test at 8.
std::optional<PluginError> check_prefix(const std::array<uint8_t, PREFIX_SIZE>& prefix, size_t count) {
  if (count <= 5) return truncated_header_error();
  if (starts_with_file_magic(prefix)) {
    return stream_error("input is the Arrow IPC file format, not the stream format");
  }
  if (count < PREFIX_SIZE) return truncated_header_error();
  if (!starts_with_continuation_marker(prefix)) {
    return stream_error("message does not start with the IPC continuation marker");
  }
  return std::nullopt;
}

// The metadata grows with what arrives, as a body does: a length prefix
// alone reserves nothing beyond the first piece.
Result<std::vector<uint8_t>> read_metadata(ByteReader& reader, size_t length) {
  std::vector<uint8_t> metadata;
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

PluginError read_input_error(const columnar::IoError& error) {
  return internal_error(fmt::format("internal error: reading the input failed: {}", error.to_string()));
}

PluginError map_read_error(const columnar::IoError& error, std::string_view what) {
  if (error.kind() == columnar::IoError::Kind::UnexpectedEof) {
    return stream_error(fmt::format("input stream is truncated inside {}", what));
  }
  return read_input_error(error);
}

PluginError stream_error(std::string text) { return PluginError::make(EXIT_INVALID_INPUT, std::move(text)); }

PluginError negative_metadata_length_error() {
  return PluginError::make(EXIT_INVALID_INPUT, "negative message metadata length");
}

PluginError negative_body_length_error() { return PluginError::make(EXIT_INVALID_INPUT, "negative message body length"); }

Result<size_t> read_up_to(ByteReader& reader, uint8_t* buffer, size_t size) {
  size_t count = 0;
  while (count < size) {
    auto got = reader.read(buffer + count, size - count);
    if (!got.ok()) {
      if (got.error().is_interrupted()) continue;
      return read_input_error(got.error());
    }
    if (got.value() == 0) break;
    count += got.value();
  }
  return count;
}

Result<columnar::ipc::MessageView> verify_message(std::span<const uint8_t> metadata) {
  if (columnar::ipc::verify_message_bytes(metadata.data(), metadata.size()) != columnar::ipc::VerifyResult::Ok) {
    // One text for hosts, whichever rule rejected the message.
    return stream_error("message metadata is not a valid flatbuffer");
  }
  return columnar::ipc::MessageView::over_verified(metadata.data());
}

Result<columnar::BufferRef> read_message_body(ByteReader& reader, int64_t body_length) {
  if (body_length == 0) return columnar::Buffer::empty();
  const int64_t piece_limit = std::min(body_length, BODY_READ_CHUNK);
  columnar::MutableBuffer body(piece_limit);
  int64_t remaining = body_length;
  while (remaining > 0) {
    // Room for one more piece only, then read straight into it: the body
    // grows with what arrives and is copied no further.
    const int64_t piece = std::min(piece_limit, remaining);
    body.reserve(piece);
    auto filled = reader.read_exact(body.data() + body.size(), static_cast<size_t>(piece));
    if (!filled.ok()) return map_read_error(filled.error(), "a message body");
    body.set_size_unchecked(body.size() + piece);
    remaining -= piece;
  }
  return std::move(body).freeze();
}

Result<ReadOutcome> read_message(ByteReader& reader) {
  std::array<uint8_t, PREFIX_SIZE> prefix{};
  TESS_ASSIGN_OR_RETURN(const size_t count, read_up_to(reader, prefix.data(), prefix.size()));
  if (count == 0) return ReadOutcome::end_of_input();
  if (auto error = check_prefix(prefix, count)) return std::move(*error);

  const int32_t metadata_length = metadata_length_of(prefix);
  if (metadata_length == 0) return ReadOutcome::end_of_stream();
  if (metadata_length < 0) return negative_metadata_length_error();
  if (metadata_length > METADATA_LENGTH_CAP) {
    return stream_error(fmt::format("message metadata length {} exceeds the {} byte cap", metadata_length,
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
