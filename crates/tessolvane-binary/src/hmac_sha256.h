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
#include <vector>

#include "columnar/data_type.h"
#include "columnar/record_batch.h"
#include "wrapper/contract.h"

namespace tessolvane_binary {

inline constexpr const char* kHmacSha256Name = "hmac_sha256";
inline constexpr size_t kKeyBytes = 32;
inline constexpr size_t kDigestBytes = 32;
inline constexpr size_t kHexDigestChars = 64;

using Key = std::array<uint8_t, kKeyBytes>;

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

}  // namespace tessolvane_binary
