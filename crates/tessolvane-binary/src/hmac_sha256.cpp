// OpenSSL 3.0 deprecates the low-level SHA256_* calls in favour of EVP, but an
// EVP digest costs a provider context duplication per message, which is several
// times the work of hashing a short value. The low-level calls run the same
// SHA-NI block function; this file is their only user.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "hmac_sha256.h"

#include <bit>
#include <cstring>
#include <utility>

#include <fmt/format.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "columnar/array.h"
#include "columnar/buffer.h"
#include "digest_hex.h"
#include "wrapper/process_exit.h"

namespace tessolvane_binary {
namespace {

using columnar::Array;
using columnar::ArrayRef;
using columnar::BufferRef;
using columnar::DataType;
using columnar::MutableBuffer;
using columnar::RecordBatch;
using wrapper::OperationError;
using wrapper::OperationErrorKind;

constexpr size_t kBlockBytes = 64;
constexpr size_t kLengthFieldAt = kBlockBytes - 8;
// Value bytes of one output array must stay addressable by int32 offsets.
constexpr int64_t kValueBytesLimit = int64_t{1} << 31;

// One bswap and one store each: the byte-by-byte form gets vectorised by
// GCC into shuffles through the stack that stall store forwarding.
inline void store_be32(uint8_t* out, uint32_t word) {
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
  std::memcpy(out, &word, sizeof word);
}

inline void store_be64(uint8_t* out, uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  std::memcpy(out, &value, sizeof value);
}

// HMAC-SHA256 under one key. The keyed states (SHA-256 after the block
// K0 ^ 0x36, and after K0 ^ 0x5c) are derived once and copied per value; the
// final blocks are padded here and fed to the block function directly, which
// spares SHA256_Final its buffering and wiping.
class Hasher {
 public:
  explicit Hasher(const Key& key) {
    uint8_t block[kBlockBytes] = {};
    // The key is shorter than a block, so K0 is the key followed by zeros.
    std::memcpy(block, key.data(), key.size());
    for (auto& byte : block) byte ^= 0x36;
    SHA256_Init(&inner_);
    SHA256_Update(&inner_, block, kBlockBytes);
    for (auto& byte : block) byte ^= 0x36 ^ 0x5c;
    SHA256_Init(&outer_);
    SHA256_Update(&outer_, block, kBlockBytes);
    OPENSSL_cleanse(block, sizeof block);
    work_ = inner_;

    // The outer message is always the keyed block plus the 32-byte inner
    // digest: its one final block has fixed padding and length.
    std::memset(outer_block_, 0, sizeof outer_block_);
    outer_block_[kDigestBytes] = 0x80;
    store_be64(outer_block_ + kLengthFieldAt, (kBlockBytes + kDigestBytes) * 8);
  }

  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  ~Hasher() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
    OPENSSL_cleanse(&work_, sizeof work_);
    OPENSSL_cleanse(outer_block_, sizeof outer_block_);
  }

  // The digest of one value, as the eight state words of the outer hash
  // (valid until the next call). Only the state words of the keyed hashes
  // are copied in: the final blocks go straight to the block function, and
  // whole blocks of the value go through SHA256_Update, which leaves nothing
  // buffered, so the byte counts and the buffer of work_ are never read.
  const uint32_t* digest(const uint8_t* value, size_t length) {
    std::memcpy(work_.h, inner_.h, sizeof work_.h);
    const size_t whole = length & ~(kBlockBytes - 1);
    if (whole > 0) SHA256_Update(&work_, value, whole);

    // Cleared whole first: a fixed 64-byte clear is a few wide stores, where
    // the clear of only the tail would be a call sized per value.
    uint8_t block[kBlockBytes] = {};
    const size_t held = length - whole;
    if (held > 0) std::memcpy(block, value + whole, held);
    block[held] = 0x80;
    if (held >= kLengthFieldAt) {
      // No room left for the length: it goes in one more block.
      SHA256_Transform(&work_, block);
      std::memset(block, 0, kLengthFieldAt);
    }
    store_be64(block + kLengthFieldAt, (uint64_t{kBlockBytes} + length) * 8);
    SHA256_Transform(&work_, block);

    for (size_t j = 0; j < 8; ++j) store_be32(outer_block_ + 4 * j, work_.h[j]);
    std::memcpy(work_.h, outer_.h, sizeof work_.h);
    SHA256_Transform(&work_, outer_block_);
    return work_.h;
  }

 private:
  SHA256_CTX inner_;
  SHA256_CTX outer_;
  SHA256_CTX work_;
  uint8_t outer_block_[kBlockBytes];
};

struct RowsIn {
  const uint8_t* offsets;   // raw int32 offsets of row 0 onwards
  const uint8_t* values;
  const uint8_t* validity;  // null when no row is null
  int64_t validity_offset;
  int64_t rows;
};

struct RowsOut {
  int32_t* offsets;  // rows + 1 entries
  uint8_t* values;   // 64 bytes per non-null row
  uint8_t* validity; // zeroed, or null when no row is null
};

template <bool kHasNulls>
void hash_rows(Hasher& hasher, const RowsIn& in, const RowsOut& out, HexWriter write_hex) {
  int32_t end = 0;
  out.offsets[0] = 0;
  for (int64_t i = 0; i < in.rows; ++i) {
    if constexpr (kHasNulls) {
      if (!columnar::get_bit(in.validity, in.validity_offset + i)) {
        out.offsets[i + 1] = end;
        continue;
      }
      columnar::set_bit(out.validity, i);
    }
    const int32_t start = columnar::load_offset(in.offsets, i);
    const int32_t stop = columnar::load_offset(in.offsets, i + 1);
    write_hex(hasher.digest(in.values + start, static_cast<size_t>(stop - start)),
         reinterpret_cast<char*>(out.values) + end);
    end += static_cast<int32_t>(kHexDigestChars);
    out.offsets[i + 1] = end;
  }
}

OperationError internal(std::string message) { return OperationError{OperationErrorKind::Internal, std::move(message)}; }

}  // namespace

std::vector<columnar::Field> HmacSha256::output_fields() const {
  return {columnar::Field("result", DataType::utf8(), true)};
}

wrapper::OperationResult<std::optional<RecordBatch>> HmacSha256::process(const RecordBatch& chunk) {
  if (chunk.num_columns() == 0 || chunk.column(0)->type().id() != columnar::TypeId::Utf8) {
    return OperationError{OperationErrorKind::Unsupported, fmt::format("{} accepts one utf8 column", kHmacSha256Name)};
  }
  const Array& column = *chunk.column(0);
  const int64_t rows = column.length();

  const uint8_t* validity = column.validity() && column.null_count() > 0 ? column.validity()->data() : nullptr;
  // Counted from the bits rather than trusted from null_count(): the value
  // storage below is sized from it and written without further checks.
  const int64_t null_rows = validity ? rows - columnar::count_set_bits(validity, column.offset(), rows) : 0;
  const int64_t value_bytes = (rows - null_rows) * static_cast<int64_t>(kHexDigestChars);
  if (value_bytes >= kValueBytesLimit) {
    return internal(fmt::format("{} output of {} non-null rows needs {} bytes, beyond the reach of 32-bit offsets",
                                kHmacSha256Name, rows - null_rows, value_bytes));
  }

  const int64_t offsets_bytes = (rows + 1) * static_cast<int64_t>(sizeof(int32_t));
  MutableBuffer offsets(offsets_bytes);
  offsets.set_size_unchecked(offsets_bytes);
  // Every text is 64 bytes, so the final size is known: reserving it once
  // spares the regrowth copies and lets the loop write in place.
  MutableBuffer values(value_bytes);
  values.set_size_unchecked(value_bytes);
  MutableBuffer bitmap;
  if (null_rows > 0) bitmap.resize(columnar::bitmap_bytes(rows));

  if (rows > 0) {
    TESS_CHECK(column.buffers().size() >= 2 && column.buffers()[0] && column.buffers()[1]);
    const RowsIn in{column.buffers()[0]->data() + column.offset() * 4, column.buffers()[1]->data(),
                    null_rows > 0 ? validity : nullptr, column.offset(), rows};
    const RowsOut out{reinterpret_cast<int32_t*>(offsets.data()), values.data(),
                      null_rows > 0 ? bitmap.data() : nullptr};
    Hasher hasher(key_);
    const HexWriter write_hex = hex_writer(best_hex_path());
    null_rows > 0 ? hash_rows<true>(hasher, in, out, write_hex) : hash_rows<false>(hasher, in, out, write_hex);
  } else {
    reinterpret_cast<int32_t*>(offsets.data())[0] = 0;
  }

  BufferRef validity_out = null_rows > 0 ? std::move(bitmap).freeze() : nullptr;
  ArrayRef result = Array::make(DataType::utf8(), rows, 0, std::move(validity_out),
                                {std::move(offsets).freeze(), std::move(values).freeze()}, null_rows);
  auto batch = RecordBatch::make(columnar::make_schema(output_fields()), {std::move(result)});
  if (!batch.ok()) {
    return internal(fmt::format("building the {} output batch failed: {}", kHmacSha256Name, batch.error().to_string()));
  }
  return std::optional<RecordBatch>(std::move(batch).value());
}

wrapper::OperationResult<std::vector<RecordBatch>> HmacSha256::finish() { return std::vector<RecordBatch>{}; }

}  // namespace tessolvane_binary
