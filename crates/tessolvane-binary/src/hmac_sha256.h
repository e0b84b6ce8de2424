// The hmac_sha256 operation: one utf8 column in, one utf8 column "result"
// out, holding HMAC-SHA256(key, value) as 64 lowercase hex characters for
// every non-null value; null stays null.
//
//   HmacSha256 op(key);
//   auto batch = op.process(chunk);   // column "result", chunk's row count
//
// The object is a plain 32-byte key; each process() call is self-contained
// (the keyed hash states are derived at the start of the call and dropped at
// its end), so calls are independent of each other and of their order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "columnar/data_type.h"
#include "columnar/record_batch.h"
#include "wrapper/contract.h"

namespace tessolvane_binary {

inline constexpr const char* HMAC_SHA256_NAME = "hmac_sha256";
inline constexpr size_t KEY_BYTES = 32;
inline constexpr size_t DIGEST_BYTES = 32;
inline constexpr size_t HEX_DIGEST_CHARS = 64;

using Key = std::array<uint8_t, KEY_BYTES>;
// SHA-256 output order: each state word most significant byte first.
using Digest = std::array<uint8_t, DIGEST_BYTES>;

class HmacSha256 final : public wrapper::Core {
 public:
  explicit HmacSha256(const Key& key) : key_(key) {}

  // Always the one field "result": Utf8, nullable, no metadata.
  std::vector<columnar::Field> output_fields() const override;
  // Hashes the chunk's first column, which must be Utf8; further columns are
  // ignored. The returned array starts at offset 0 and shares no storage with
  // the chunk; it carries a validity bitmap only when some row is null.
  wrapper::OperationResult<std::optional<columnar::RecordBatch>> process(const columnar::RecordBatch& chunk) override;
  // Every row is answered by the call that received it: always empty.
  wrapper::OperationResult<std::vector<columnar::RecordBatch>> finish() override;

  const Key& key() const { return key_; }

 private:
  Key key_;
};

// Two characters of "0123456789abcdef" per byte, high four bits first.
std::string digest_to_hex(const Digest& digest);
// The same 64 characters written to `out` (no terminator).
void write_digest_hex(const Digest& digest, char* out);

// The ways of forming the text; every one gives the same 64 characters. The
// table loop runs everywhere and is the reference for the vector ones.
enum class HexPath { Table, Ssse3, Avx2 };
// Whether this processor runs `path`.
bool hex_path_supported(HexPath path);
// The fastest supported path, found once from the processor's features.
HexPath best_hex_path();
// write_digest_hex by the given path, which must be supported.
void write_digest_hex(const Digest& digest, char* out, HexPath path);

}  // namespace tessolvane_binary
