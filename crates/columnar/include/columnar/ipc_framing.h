// The Arrow IPC stream framing, shared by the writer, the runtime's framing
// reader and every test that builds or cuts a stream.
//
// Each message is the continuation marker FF FF FF FF, its metadata length L
// (signed 32-bit little-endian), L bytes of metadata, then its body; the
// stream ends with the marker and a length of 0.
//
//   const auto prefix = ipc::encode_prefix(static_cast<int32_t>(metadata.size()));
//   if (ipc::has_continuation_marker(bytes)) length = ipc::decode_metadata_length(bytes);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace columnar::ipc {

inline constexpr std::array<uint8_t, 4> kContinuationMarker = {0xFF, 0xFF, 0xFF, 0xFF};
// The marker and the metadata length.
inline constexpr size_t kMessagePrefixBytes = 8;
inline constexpr std::array<uint8_t, kMessagePrefixBytes> kEndOfStream = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
// How an Arrow IPC file begins: a stream reader meeting it names the format.
inline constexpr std::array<uint8_t, 6> kFileMagic = {'A', 'R', 'R', 'O', 'W', '1'};

inline constexpr std::array<uint8_t, kMessagePrefixBytes> encode_prefix(int32_t metadata_length) {
  const auto bits = static_cast<uint32_t>(metadata_length);
  return {0xFF, 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
          static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
}

// Both read the first kMessagePrefixBytes bytes of `prefix`.
inline constexpr bool has_continuation_marker(const uint8_t* prefix) {
  return prefix[0] == 0xFF && prefix[1] == 0xFF && prefix[2] == 0xFF && prefix[3] == 0xFF;
}
inline constexpr int32_t decode_metadata_length(const uint8_t* prefix) {
  const uint32_t bits = static_cast<uint32_t>(prefix[4]) | static_cast<uint32_t>(prefix[5]) << 8 |
                        static_cast<uint32_t>(prefix[6]) << 16 | static_cast<uint32_t>(prefix[7]) << 24;
  return static_cast<int32_t>(bits);
}

}  // namespace columnar::ipc
