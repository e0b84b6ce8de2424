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
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "columnar/array.h"
#include "columnar/buffer.h"
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

// The hex writers take the digest as the eight SHA-256 state words, in the
// machine's order, as the block function leaves them: the vector paths fold
// the big-endian byte order into their first shuffle, and nothing goes
// through a byte copy of the digest that a wide load would have to wait for.
using HexWriter = void (*)(const uint32_t* words, char* out);

void hex_table(const uint32_t* words, char* out) {
  for (size_t j = 0; j < 8; ++j) {
    const uint32_t word = words[j];
    for (size_t k = 0; k < 4; ++k) {
      std::memcpy(out + 8 * j + 2 * k, HEX_PAIRS[(word >> (24 - 8 * k)) & 0xff].data(), 2);
    }
  }
}

#if defined(__x86_64__) || defined(__i386__)
#define TESS_HEX_X86 1

// Each 32-bit word's bytes reversed: lane byte i takes byte kWordSwap[i].
#define TESS_WORD_SWAP 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12
#define TESS_HEX_DIGITS '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'

// Sixteen digest bytes per register: the high and the low nibbles select
// their characters from a 16-entry table (pshufb), and the two results are
// interleaved so that each byte gives its high character first.
__attribute__((target("ssse3"))) void hex_ssse3(const uint32_t* words, char* out) {
  const __m128i swap = _mm_setr_epi8(TESS_WORD_SWAP);
  const __m128i digits = _mm_setr_epi8(TESS_HEX_DIGITS);
  const __m128i nibble = _mm_set1_epi8(0x0f);
  for (size_t half = 0; half < 2; ++half) {
    const __m128i bytes =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 4 * half)), swap);
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
    const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(bytes, nibble));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * half + 16), _mm_unpackhi_epi8(high, low));
  }
}

// The same on all 32 bytes at once. pshufb and the interleave work within
// each 128-bit lane, so the halves are put back in order at the end.
__attribute__((target("avx2"))) void hex_avx2(const uint32_t* words, char* out) {
  const __m256i swap = _mm256_setr_epi8(TESS_WORD_SWAP, TESS_WORD_SWAP);
  const __m256i digits = _mm256_setr_epi8(TESS_HEX_DIGITS, TESS_HEX_DIGITS);
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i bytes = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words)), swap);
  const __m256i high = _mm256_shuffle_epi8(digits, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
  const __m256i low = _mm256_shuffle_epi8(digits, _mm256_and_si256(bytes, nibble));
  const __m256i first = _mm256_unpacklo_epi8(high, low);   // bytes 0-7 | 16-23
  const __m256i second = _mm256_unpackhi_epi8(high, low);  // bytes 8-15 | 24-31
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(first, second, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(first, second, 0x31));
}

#undef TESS_WORD_SWAP
#undef TESS_HEX_DIGITS
#endif

HexWriter hex_writer(HexPath path) {
  switch (path) {
#ifdef TESS_HEX_X86
    case HexPath::Avx2:
      return hex_avx2;
    case HexPath::Ssse3:
      return hex_ssse3;
#endif
    default:
      return hex_table;
  }
}

void words_of(const Digest& digest, uint32_t* words) {
  for (size_t j = 0; j < 8; ++j) {
    words[j] = uint32_t{digest[4 * j]} << 24 | uint32_t{digest[4 * j + 1]} << 16 |
               uint32_t{digest[4 * j + 2]} << 8 | uint32_t{digest[4 * j + 3]};
  }
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
    work_ = inner_;

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

  // The digest of one value, as the eight state words of the outer hash
  // (valid until the next call). Only the state words of the keyed hashes
  // are copied in: the final blocks go straight to the block function, and
  // whole blocks of the value go through SHA256_Update, which leaves nothing
  // buffered, so the byte counts and the buffer of work_ are never read.
  const uint32_t* digest(const uint8_t* value, size_t length) {
    std::memcpy(work_.h, inner_.h, sizeof work_.h);
    const size_t whole = length & ~(BLOCK_BYTES - 1);
    if (whole > 0) SHA256_Update(&work_, value, whole);

    // Cleared whole first: a fixed 64-byte clear is a few wide stores, where
    // the clear of only the tail would be a call sized per value.
    uint8_t block[BLOCK_BYTES] = {};
    const size_t held = length - whole;
    if (held > 0) std::memcpy(block, value + whole, held);
    block[held] = 0x80;
    if (held >= LENGTH_FIELD_AT) {
      // No room left for the length: it goes in one more block.
      SHA256_Transform(&work_, block);
      std::memset(block, 0, LENGTH_FIELD_AT);
    }
    store_be64(block + LENGTH_FIELD_AT, (uint64_t{BLOCK_BYTES} + length) * 8);
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

template <bool kHasNulls, HexWriter kHex>
void hash_rows(Hasher& hasher, const RowsIn& in, const RowsOut& out) {
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
    kHex(hasher.digest(in.values + start, static_cast<size_t>(stop - start)),
         reinterpret_cast<char*>(out.values) + end);
    end += static_cast<int32_t>(HEX_DIGEST_CHARS);
    out.offsets[i + 1] = end;
  }
}

OperationError internal(std::string message) { return OperationError{OperationErrorKind::Internal, std::move(message)}; }

}  // namespace

bool hex_path_supported(HexPath path) {
  switch (path) {
    case HexPath::Table:
      return true;
#ifdef TESS_HEX_X86
    case HexPath::Ssse3:
      return __builtin_cpu_supports("ssse3");
    case HexPath::Avx2:
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

HexPath best_hex_path() {
  // SSSE3 first: on one digest the AVX2 form pays a lane permute and
  // measured slower (bench/hmac_bench, BM_Hex).
  static const HexPath best = [] {
    for (const HexPath path : {HexPath::Ssse3, HexPath::Avx2}) {
      if (hex_path_supported(path)) return path;
    }
    return HexPath::Table;
  }();
  return best;
}

void write_digest_hex(const Digest& digest, char* out, HexPath path) {
  TESS_CHECK(hex_path_supported(path));
  uint32_t words[8];
  words_of(digest, words);
  hex_writer(path)(words, out);
}

void write_digest_hex(const Digest& digest, char* out) { write_digest_hex(digest, out, best_hex_path()); }

std::string digest_to_hex(const Digest& digest) {
  std::string text(HEX_DIGEST_CHARS, '\0');
  write_digest_hex(digest, text.data());
  return text;
}

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
  MutableBuffer bitmap;
  if (null_rows > 0) bitmap.resize(columnar::bitmap_bytes(rows));

  if (rows > 0) {
    TESS_CHECK(column.buffers().size() >= 2 && column.buffers()[0] && column.buffers()[1]);
    const RowsIn in{column.buffers()[0]->data() + column.offset() * 4, column.buffers()[1]->data(),
                    null_rows > 0 ? validity : nullptr, column.offset(), rows};
    const RowsOut out{reinterpret_cast<int32_t*>(offsets.data()), values.data(),
                      null_rows > 0 ? bitmap.data() : nullptr};
    Hasher hasher(key_);
    const bool has_nulls = null_rows > 0;
    switch (best_hex_path()) {
#ifdef TESS_HEX_X86
      case HexPath::Avx2:
        has_nulls ? hash_rows<true, hex_avx2>(hasher, in, out) : hash_rows<false, hex_avx2>(hasher, in, out);
        break;
      case HexPath::Ssse3:
        has_nulls ? hash_rows<true, hex_ssse3>(hasher, in, out) : hash_rows<false, hex_ssse3>(hasher, in, out);
        break;
#endif
      default:
        has_nulls ? hash_rows<true, hex_table>(hasher, in, out) : hash_rows<false, hex_table>(hasher, in, out);
        break;
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
