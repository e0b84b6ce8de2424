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
// How an Arrow IPC file begins: a stream reader meeting it names the format.
inline constexpr std::array<uint8_t, 6> kFileMagic = {'A', 'R', 'R', 'O', 'W', '1'};

inline constexpr std::array<uint8_t, kMessagePrefixBytes> encode_prefix(int32_t metadata_length) {
  const auto bits = static_cast<uint32_t>(metadata_length);
  std::array<uint8_t, kMessagePrefixBytes> prefix{};
  for (size_t i = 0; i < kContinuationMarker.size(); ++i) prefix[i] = kContinuationMarker[i];
  for (size_t i = 0; i < 4; ++i) prefix[4 + i] = static_cast<uint8_t>(bits >> (8 * i));
  return prefix;
}

// The marker followed by a metadata length of 0.
inline constexpr std::array<uint8_t, kMessagePrefixBytes> kEndOfStream = encode_prefix(0);

// Both read the first kMessagePrefixBytes bytes of `prefix`.
inline constexpr bool has_continuation_marker(const uint8_t* prefix) {
  for (size_t i = 0; i < kContinuationMarker.size(); ++i) {
    if (prefix[i] != kContinuationMarker[i]) return false;
  }
  return true;
}
inline constexpr int32_t decode_metadata_length(const uint8_t* prefix) {
  uint32_t bits = 0;
  for (size_t i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(prefix[4 + i]) << (8 * i);
  return static_cast<int32_t>(bits);
}

}  // namespace columnar::ipc
