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
#include <sys/mman.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "columnar/array.h"
#include "columnar/buffer.h"
#include "wrapper/error.h"

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

constexpr size_t BLOCK_BYTES = 64;
constexpr size_t LENGTH_FIELD_AT = BLOCK_BYTES - 8;
// Value bytes of one output array must stay addressable by int32 offsets.
constexpr int64_t VALUE_BYTES_LIMIT = int64_t{1} << 31;

constexpr std::array<std::array<char, 2>, 256> HEX_PAIRS = [] {
  constexpr char digits[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> table{};
  for (size_t byte = 0; byte < 256; ++byte) table[byte] = {digits[byte >> 4], digits[byte & 15]};
  return table;
}();

inline void hex_of(const uint8_t* digest, char* out) {
  for (size_t i = 0; i < DIGEST_BYTES; ++i) std::memcpy(out + 2 * i, HEX_PAIRS[digest[i]].data(), 2);
}

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

inline int32_t load_offset(const uint8_t* offsets, int64_t i) {
  // Offsets of a decoded message may sit at any byte position of its body.
  int32_t value;
  std::memcpy(&value, offsets + i * 4, sizeof value);
  return value;
}

// HMAC-SHA256 under one key. The keyed states (SHA-256 after the block
// K0 ^ 0x36, and after K0 ^ 0x5c) are derived once and copied per value; the
// final blocks are padded here and fed to the block function directly, which
// spares SHA256_Final its buffering and wiping.
class Hasher {
 public:
  explicit Hasher(const Key& key) {
    uint8_t block[BLOCK_BYTES] = {};
    // The key is shorter than a block, so K0 is the key followed by zeros.
    std::memcpy(block, key.data(), key.size());
    for (auto& byte : block) byte ^= 0x36;
    SHA256_Init(&inner_);
    SHA256_Update(&inner_, block, BLOCK_BYTES);
    for (auto& byte : block) byte ^= 0x36 ^ 0x5c;
    SHA256_Init(&outer_);
    SHA256_Update(&outer_, block, BLOCK_BYTES);
    OPENSSL_cleanse(block, sizeof block);

    // The outer message is always the keyed block plus the 32-byte inner
    // digest: its one final block has fixed padding and length.
    std::memset(outer_block_, 0, sizeof outer_block_);
    outer_block_[DIGEST_BYTES] = 0x80;
    store_be64(outer_block_ + LENGTH_FIELD_AT, (BLOCK_BYTES + DIGEST_BYTES) * 8);
  }

  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  ~Hasher() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
    OPENSSL_cleanse(&work_, sizeof work_);
    OPENSSL_cleanse(outer_block_, sizeof outer_block_);
  }

  void digest(const uint8_t* value, size_t length, uint8_t* out) {
    work_ = inner_;
    const size_t whole = length & ~(BLOCK_BYTES - 1);
    // Whole blocks are hashed in place; num stays 0 as only multiples of 64 go in.
    if (whole > 0) SHA256_Update(&work_, value, whole);

    uint8_t block[BLOCK_BYTES];
    const size_t held = length - whole;
    if (held > 0) std::memcpy(block, value + whole, held);
    block[held] = 0x80;
    if (held >= LENGTH_FIELD_AT) {
      // No room left for the length: it goes in one more block.
      std::memset(block + held + 1, 0, BLOCK_BYTES - held - 1);
      SHA256_Transform(&work_, block);
      std::memset(block, 0, LENGTH_FIELD_AT);
    } else {
      std::memset(block + held + 1, 0, LENGTH_FIELD_AT - held - 1);
    }
    store_be64(block + LENGTH_FIELD_AT, (uint64_t{BLOCK_BYTES} + length) * 8);
    SHA256_Transform(&work_, block);

    for (size_t j = 0; j < 8; ++j) store_be32(outer_block_ + 4 * j, work_.h[j]);
    work_ = outer_;
    SHA256_Transform(&work_, outer_block_);
    for (size_t j = 0; j < 8; ++j) store_be32(out + 4 * j, work_.h[j]);
  }

 private:
  SHA256_CTX inner_;
  SHA256_CTX outer_;
  SHA256_CTX work_;
  uint8_t outer_block_[BLOCK_BYTES];
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
void hash_rows(Hasher& hasher, const RowsIn& in, const RowsOut& out) {
  uint8_t digest[DIGEST_BYTES];
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
    const int32_t start = load_offset(in.offsets, i);
    const int32_t stop = load_offset(in.offsets, i + 1);
    hasher.digest(in.values + start, static_cast<size_t>(stop - start), digest);
    hex_of(digest, reinterpret_cast<char*>(out.values) + end);
    end += static_cast<int32_t>(HEX_DIGEST_CHARS);
    out.offsets[i + 1] = end;
  }
}

// Fresh output storage of a whole chunk is tens of MiB that the loop touches
// once, page by page; with 4 KiB pages the faults cost more than the hashing.
// Asking for transparent huge pages (a hint the kernel may ignore) makes them
// a few dozen faults instead of thousands.
void advise_huge_pages(uint8_t* data, int64_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t huge_page = uintptr_t{2} << 20;
  if (bytes < static_cast<int64_t>(2 * huge_page)) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge_page - 1) & ~(huge_page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + static_cast<uintptr_t>(bytes)) & ~(huge_page - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

OperationError internal(std::string message) { return OperationError{OperationErrorKind::Internal, std::move(message)}; }

}  // namespace

std::string digest_to_hex(const Digest& digest) {
  std::string text(HEX_DIGEST_CHARS, '\0');
  hex_of(digest.data(), text.data());
  return text;
}

void write_digest_hex(const Digest& digest, char* out) { hex_of(digest.data(), out); }

std::vector<columnar::Field> HmacSha256::output_fields() const {
  return {columnar::Field("result", DataType::utf8(), true)};
}

wrapper::OperationResult<std::optional<RecordBatch>> HmacSha256::process(const RecordBatch& chunk) {
  if (chunk.num_columns() == 0 || chunk.column(0)->type().id() != columnar::TypeId::Utf8) {
    return OperationError{OperationErrorKind::Unsupported, fmt::format("{} accepts one utf8 column", HMAC_SHA256_NAME)};
  }
  const Array& column = *chunk.column(0);
  const int64_t rows = column.length();

  const uint8_t* validity = column.validity() && column.null_count() > 0 ? column.validity()->data() : nullptr;
  // Counted from the bits rather than trusted from null_count(): the value
  // storage below is sized from it and written without further checks.
  const int64_t null_rows = validity ? rows - columnar::count_set_bits(validity, column.offset(), rows) : 0;
  const int64_t value_bytes = (rows - null_rows) * static_cast<int64_t>(HEX_DIGEST_CHARS);
  if (value_bytes >= VALUE_BYTES_LIMIT) {
    return internal(fmt::format("{} output of {} non-null rows needs {} bytes, beyond the reach of 32-bit offsets",
                                HMAC_SHA256_NAME, rows - null_rows, value_bytes));
  }

  const int64_t offsets_bytes = (rows + 1) * static_cast<int64_t>(sizeof(int32_t));
  MutableBuffer offsets(offsets_bytes);
  offsets.set_size_unchecked(offsets_bytes);
  // Every text is 64 bytes, so the final size is known: reserving it once
  // spares the regrowth copies and lets the loop write in place.
  MutableBuffer values(value_bytes);
  values.set_size_unchecked(value_bytes);
  advise_huge_pages(offsets.data(), offsets_bytes);
  advise_huge_pages(values.data(), value_bytes);
  MutableBuffer bitmap;
  if (null_rows > 0) bitmap.resize((rows + 7) / 8);

  if (rows > 0) {
    TESS_CHECK(column.buffers().size() >= 2 && column.buffers()[0] && column.buffers()[1]);
    const RowsIn in{column.buffers()[0]->data() + column.offset() * 4, column.buffers()[1]->data(),
                    null_rows > 0 ? validity : nullptr, column.offset(), rows};
    const RowsOut out{reinterpret_cast<int32_t*>(offsets.data()), values.data(),
                      null_rows > 0 ? bitmap.data() : nullptr};
    Hasher hasher(key_);
    if (null_rows > 0) {
      hash_rows<true>(hasher, in, out);
    } else {
      hash_rows<false>(hasher, in, out);
    }
  } else {
    reinterpret_cast<int32_t*>(offsets.data())[0] = 0;
  }

  BufferRef validity_out = null_rows > 0 ? std::move(bitmap).freeze() : nullptr;
  ArrayRef result = Array::make(DataType::utf8(), rows, 0, std::move(validity_out),
                                {std::move(offsets).freeze(), std::move(values).freeze()}, null_rows);
  auto batch = RecordBatch::make(columnar::make_schema(output_fields()), {std::move(result)});
  if (!batch.ok()) {
    return internal(fmt::format("building the {} output batch failed: {}", HMAC_SHA256_NAME, batch.error().to_string()));
  }
  return std::optional<RecordBatch>(std::move(batch).value());
}

wrapper::OperationResult<std::vector<RecordBatch>> HmacSha256::finish() { return std::vector<RecordBatch>{}; }

}  // namespace tessolvane_binary
