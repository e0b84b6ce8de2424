#include "digest_hex.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tessolvane_binary {
namespace {

using Digest = std::array<uint8_t, 32>;

// The digest as the writers take it: eight state words, each holding four
// digest bytes most significant first.
std::array<uint32_t, 8> words_of(const Digest& digest) {
  std::array<uint32_t, 8> words{};
  for (size_t j = 0; j < 8; ++j) {
    words[j] = uint32_t{digest[4 * j]} << 24 | uint32_t{digest[4 * j + 1]} << 16 |
               uint32_t{digest[4 * j + 2]} << 8 | uint32_t{digest[4 * j + 3]};
  }
  return words;
}

std::string text_of(const Digest& digest, HexPath path) {
  std::string text(64, '\0');
  hex_writer(path)(words_of(digest).data(), text.data());
  return text;
}

TEST(DigestHex, WritesLowercasePairsHighNibbleFirst) {
  Digest ascending;
  for (size_t i = 0; i < ascending.size(); ++i) ascending[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(digest_to_hex(ascending), "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  EXPECT_EQ(digest_to_hex(Digest{0x0f, 0xf0, 0xab, 0xff}).substr(0, 8), "0ff0abff");
  EXPECT_EQ(text_of(ascending, best_hex_path()), "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  EXPECT_EQ(text_of(Digest{0x0f, 0xf0, 0xab, 0xff}, best_hex_path()).substr(0, 8), "0ff0abff");
}

// Every hex path against an independent formatting, called by name so that
// each one runs (and runs under the sanitizers) whichever the processor would
// pick.
class HexPathTest : public ::testing::TestWithParam<HexPath> {};

TEST_P(HexPathTest, MatchesTheReference) {
  const HexPath path = GetParam();
  if (!hex_path_supported(path)) GTEST_SKIP() << "not run by this processor";

  std::vector<Digest> digests;
  for (const uint8_t edge : std::array<uint8_t, 4>{0x00, 0x0f, 0xf0, 0xff}) {
    Digest same;
    same.fill(edge);
    digests.push_back(same);
  }
  // Each edge byte at every position, and every byte value somewhere.
  for (size_t shift = 0; shift < 4; ++shift) {
    Digest cycling;
    for (size_t i = 0; i < cycling.size(); ++i) cycling[i] = std::array<uint8_t, 4>{0x00, 0x0f, 0xf0, 0xff}[(i + shift) % 4];
    digests.push_back(cycling);
  }
  for (size_t start = 0; start < 256; start += 32) {
    Digest run;
    for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(start + i);
    digests.push_back(run);
  }
  std::mt19937 rng(4);
  for (int i = 0; i < 10'000; ++i) {
    Digest random;
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    digests.push_back(random);
  }

  const HexWriter write_hex = hex_writer(path);
  for (const Digest& digest : digests) {
    const std::array<uint32_t, 8> words = words_of(digest);
    // Guard bytes around the text show a write outside its 64 characters.
    char out[66];
    std::memset(out, '#', sizeof out);
    write_hex(words.data(), out + 1);
    ASSERT_EQ(std::string(out, 66), "#" + digest_to_hex(digest) + "#") << digest_to_hex(digest);
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, HexPathTest, ::testing::Values(HexPath::Table, HexPath::Ssse3, HexPath::Avx2),
                         [](const ::testing::TestParamInfo<HexPath>& param) {
                           switch (param.param) {
                             case HexPath::Table: return std::string("Table");
                             case HexPath::Ssse3: return std::string("Ssse3");
                             case HexPath::Avx2: return std::string("Avx2");
                           }
                           return std::string("Unknown");
                         });

}  // namespace
}  // namespace tessolvane_binary
