// The hex step: a SHA-256 digest as 64 lowercase hexadecimal characters, two
// per byte, high four bits first, from "0123456789abcdef".
//
//   const HexWriter write_hex = hex_writer(best_hex_path());
//   write_hex(state_words, out);   // out[0..64), no terminator
//
// A writer takes the digest as the eight SHA-256 state words in the machine's
// order, as the block function leaves them (the digest's bytes are each word
// most significant byte first): the vector paths fold that byte order into
// their first shuffle, and no byte copy of the digest comes between the hash
// and a wide load.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tessolvane_binary {

// The text of a digest given as its 32 bytes, each byte as two characters of
// "0123456789abcdef", high four bits first. The writers below give the same
// text from the state words, without the bytes.
std::string digest_to_hex(const std::array<uint8_t, 32>& digest);

// The ways of forming the text; every one gives the same 64 characters. The
// table loop runs everywhere and is the fallback.
enum class HexPath { Table, Ssse3, Avx2 };

using HexWriter = void (*)(const uint32_t* words, char* out);

// Whether this processor runs `path`.
bool hex_path_supported(HexPath path);
// The fastest supported path, found once from the processor's features.
HexPath best_hex_path();
// The writer of `path`, which must be supported.
HexWriter hex_writer(HexPath path);

}  // namespace tessolvane_binary
