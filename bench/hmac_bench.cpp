// ns per value for 1,000,000 values of 32 bytes:
//   BM_Process     HmacSha256::process on one chunk of 1,000,000 rows
//   BM_BareLoop    keyed SHA256_CTX copies + SHA256_Update/Final + hex table,
//                  into a preallocated buffer: the floor process is held to
//   BM_OneShotHmac OpenSSL's HMAC() per value, for scale
// and ns per digest for the hex step alone, over 4,096 random digests:
//   BM_Hex/Table, BM_Hex/Ssse3, BM_Hex/Avx2
#define OPENSSL_SUPPRESS_DEPRECATED

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "columnar/array.h"
#include "columnar/buffer.h"
#include "columnar/record_batch.h"
#include "digest_hex.h"
#include "hmac_sha256.h"

namespace {

using tessolvane_binary::HmacSha256;
using tessolvane_binary::Key;

constexpr int64_t VALUES = 1'000'000;
constexpr int64_t VALUE_BYTES = 32;

Key bench_key() {
  Key key;
  std::mt19937 rng(1);
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  return key;
}

// 1,000,000 distinct printable values of 32 bytes, laid out as one Utf8 column.
struct Input {
  std::vector<uint8_t> bytes;
  columnar::RecordBatch batch;

  static Input make() {
    std::mt19937 rng(2);
    columnar::MutableBuffer offsets, data;
    std::vector<uint8_t> bytes(static_cast<size_t>(VALUES * VALUE_BYTES));
    for (auto& b : bytes) b = static_cast<uint8_t>('a' + rng() % 26);
    data.append(bytes.data(), static_cast<int64_t>(bytes.size()));
    for (int64_t i = 0; i <= VALUES; ++i) offsets.push(static_cast<int32_t>(i * VALUE_BYTES));
    auto column = columnar::Array::make(columnar::DataType::utf8(), VALUES, 0, nullptr,
                                        {std::move(offsets).freeze(), std::move(data).freeze()});
    auto batch = columnar::RecordBatch::make(
        columnar::make_schema({columnar::Field("value", columnar::DataType::utf8())}), {column});
    return Input{std::move(bytes), std::move(batch).value()};
  }
};

const Input& input() {
  static const Input instance = Input::make();
  return instance;
}

// Items per second and nanoseconds per value, over VALUES values an iteration.
void report_per_value(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * VALUES);
  state.counters["ns_per_value"] =
      benchmark::Counter(static_cast<double>(state.iterations() * VALUES), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}

void BM_Process(benchmark::State& state) {
  const auto& batch = input().batch;
  HmacSha256 op(bench_key());
  for (auto _ : state) {
    auto out = op.process(batch);
    benchmark::DoNotOptimize(out);
  }
  report_per_value(state);
}

constexpr std::array<std::array<char, 2>, 256> HEX_PAIRS = [] {
  constexpr char digits[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> table{};
  for (size_t b = 0; b < 256; ++b) table[b] = {digits[b >> 4], digits[b & 15]};
  return table;
}();

void hex_by_table(const uint8_t* digest, char* text) {
  for (size_t j = 0; j < 32; ++j) std::memcpy(text + 2 * j, HEX_PAIRS[digest[j]].data(), 2);
}

void BM_BareLoop(benchmark::State& state) {
  const Key key = bench_key();
  uint8_t block[64] = {};
  std::memcpy(block, key.data(), key.size());
  SHA256_CTX inner, outer;
  for (auto& b : block) b ^= 0x36;
  SHA256_Init(&inner);
  SHA256_Update(&inner, block, 64);
  for (auto& b : block) b ^= 0x36 ^ 0x5c;
  SHA256_Init(&outer);
  SHA256_Update(&outer, block, 64);

  const uint8_t* values = input().bytes.data();
  std::vector<char> out(static_cast<size_t>(VALUES * 64));
  for (auto _ : state) {
    char* text = out.data();
    for (int64_t i = 0; i < VALUES; ++i) {
      uint8_t digest[32];
      SHA256_CTX ctx = inner;
      SHA256_Update(&ctx, values + i * VALUE_BYTES, VALUE_BYTES);
      SHA256_Final(digest, &ctx);
      ctx = outer;
      SHA256_Update(&ctx, digest, 32);
      SHA256_Final(digest, &ctx);
      hex_by_table(digest, text);
      text += 64;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  report_per_value(state);
}

void BM_OneShotHmac(benchmark::State& state) {
  const Key key = bench_key();
  const uint8_t* values = input().bytes.data();
  std::vector<char> out(static_cast<size_t>(VALUES * 64));
  for (auto _ : state) {
    char* text = out.data();
    for (int64_t i = 0; i < VALUES; ++i) {
      uint8_t digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), values + i * VALUE_BYTES, VALUE_BYTES, digest,
           &length);
      hex_by_table(digest, text);
      text += 64;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  report_per_value(state);
}

void BM_Hex(benchmark::State& state, tessolvane_binary::HexPath path) {
  if (!tessolvane_binary::hex_path_supported(path)) {
    state.SkipWithError("not run by this processor");
    return;
  }
  constexpr size_t DIGESTS = 4'096;
  // Digests as the eight state words the hex writers take.
  std::vector<std::array<uint32_t, 8>> digests(DIGESTS);
  std::mt19937 rng(3);
  for (auto& digest : digests) {
    for (auto& word : digest) word = static_cast<uint32_t>(rng());
  }
  std::vector<char> out(DIGESTS * 64);
  const tessolvane_binary::HexWriter write_hex = tessolvane_binary::hex_writer(path);
  for (auto _ : state) {
    for (size_t i = 0; i < DIGESTS; ++i) write_hex(digests[i].data(), out.data() + 64 * i);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["ns_per_digest"] = benchmark::Counter(static_cast<double>(state.iterations() * DIGESTS),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Hex, Table, tessolvane_binary::HexPath::Table);
BENCHMARK_CAPTURE(BM_Hex, Ssse3, tessolvane_binary::HexPath::Ssse3);
BENCHMARK_CAPTURE(BM_Hex, Avx2, tessolvane_binary::HexPath::Avx2);
BENCHMARK(BM_Process)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OneShotHmac)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
