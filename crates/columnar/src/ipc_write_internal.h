// Framing arithmetic of the stream writer, shared with its tests.
#pragma once

#include <cstdint>

#include "columnar/ipc_framing.h"

namespace columnar::ipc {

// The metadata length L written after the prefix for a Message flatbuffer of
// `flatbuffer_bytes`: the smallest L >= flatbuffer_bytes with prefix + L a
// multiple of `alignment` (a power of two), so the body that follows starts
// aligned. With alignment 64: 56 -> 56, 57 -> 120, 100 -> 120.
constexpr int64_t padded_metadata_length(int64_t flatbuffer_bytes, int64_t alignment) {
  constexpr auto prefix = static_cast<int64_t>(kMessagePrefixBytes);
  const int64_t framed = prefix + flatbuffer_bytes + alignment - 1;
  return (framed & ~(alignment - 1)) - prefix;
}

}  // namespace columnar::ipc
