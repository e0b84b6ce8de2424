#include "digest_hex.h"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "wrapper/hex.h"
#include "wrapper/process_exit.h"

namespace tessolvane_binary {
namespace {

constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
  std::array<std::array<char, 2>, 256> table{};
  for (size_t byte = 0; byte < 256; ++byte) {
    table[byte] = {wrapper::kLowerHexDigits[byte >> 4], wrapper::kLowerHexDigits[byte & 15]};
  }
  return table;
}();

void hex_table(const uint32_t* words, char* out) {
  for (size_t j = 0; j < 8; ++j) {
    const uint32_t word = words[j];
    for (size_t k = 0; k < 4; ++k) {
      std::memcpy(out + 8 * j + 2 * k, kHexPairs[(word >> (24 - 8 * k)) & 0xff].data(), 2);
    }
  }
}

#if defined(__x86_64__) || defined(__i386__)
#define TESS_HEX_X86 1

// Each 32-bit word's bytes reversed: lane byte i takes byte kWordSwap[i].
#define TESS_WORD_SWAP 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12

// Sixteen digest bytes per register: the high and the low nibbles select
// their characters from a 16-entry table (pshufb), and the two results are
// interleaved so that each byte gives its high character first.
__attribute__((target("ssse3"))) void hex_ssse3(const uint32_t* words, char* out) {
  const __m128i swap = _mm_setr_epi8(TESS_WORD_SWAP);
  const __m128i digits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wrapper::kLowerHexDigits));
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
  const __m256i digits =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(wrapper::kLowerHexDigits)));
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
#endif

}  // namespace

std::string digest_to_hex(const std::array<uint8_t, 32>& digest) {
  std::string text;
  text.reserve(2 * digest.size());
  for (const uint8_t byte : digest) {
    text += wrapper::kLowerHexDigits[byte >> 4];
    text += wrapper::kLowerHexDigits[byte & 15];
  }
  return text;
}

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

HexWriter hex_writer(HexPath path) {
  TESS_CHECK(hex_path_supported(path));
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

}  // namespace tessolvane_binary
