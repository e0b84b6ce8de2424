#include "hmac_sha256.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "columnar/array.h"
#include "columnar/buffer.h"

namespace tessolvane_binary {
namespace {

using columnar::Array;
using columnar::ArrayRef;
using columnar::Buffer;
using columnar::BufferRef;
using columnar::DataType;
using columnar::MutableBuffer;
using columnar::RecordBatch;
using columnar::TypeId;
using wrapper::OperationErrorKind;

using Values = std::vector<std::optional<std::string>>;

std::string repeated(int byte, size_t count) { return std::string(count, static_cast<char>(byte)); }

Key key_of(const std::string& bytes) {
  Key key{};  // shorter keys are zero-padded, as HMAC itself pads them
  std::memcpy(key.data(), bytes.data(), bytes.size());
  return key;
}

std::string hex(const unsigned char* bytes, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) out += fmt::format("{:02x}", bytes[i]);
  return out;
}

// The reference: OpenSSL's one-shot HMAC.
std::string reference_hmac(const Key& key, const std::string& value) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(value.data()),
       value.size(), digest, &length);
  return hex(digest, length);
}

// A Utf8 array of `values`. With `bytes_under_nulls` a null row still spans
// its text in the value data, so a reader that ignores validity would see it.
ArrayRef make_utf8(const Values& values, bool bytes_under_nulls = false) {
  MutableBuffer offsets, data, bitmap;
  bitmap.resize((static_cast<int64_t>(values.size()) + 7) / 8);
  bool any_null = false;
  int32_t end = 0;
  offsets.push(end);
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i]) {
      columnar::set_bit(bitmap.data(), static_cast<int64_t>(i));
      // MutableBuffer::append of 0 bytes to a buffer without storage hands
      // memcpy a null pointer.
      if (!values[i]->empty()) data.append(values[i]->data(), static_cast<int64_t>(values[i]->size()));
      end += static_cast<int32_t>(values[i]->size());
    } else {
      any_null = true;
      if (bytes_under_nulls) {
        data.append("garbage", 7);
        end += 7;
      }
    }
    offsets.push(end);
  }
  return Array::make(DataType::utf8(), static_cast<int64_t>(values.size()), 0,
                     any_null ? std::move(bitmap).freeze() : nullptr,
                     {std::move(offsets).freeze(), std::move(data).freeze()});
}

RecordBatch batch_of(std::vector<ArrayRef> columns) {
  std::vector<columnar::Field> fields;
  for (size_t i = 0; i < columns.size(); ++i) fields.emplace_back(fmt::format("c{}", i), columns[i]->type());
  auto batch = RecordBatch::make(columnar::make_schema(std::move(fields)), std::move(columns));
  EXPECT_TRUE(batch.ok());
  return std::move(batch).value();
}

Values texts_of(const Array& array) {
  Values out;
  for (int64_t i = 0; i < array.length(); ++i) {
    if (array.is_valid(i)) {
      out.emplace_back(std::string(array.utf8_value(i)));
    } else {
      out.emplace_back(std::nullopt);
    }
  }
  return out;
}

Values expected_texts(const Key& key, const Values& values) {
  Values out;
  for (const auto& v : values) out.push_back(v ? std::optional(reference_hmac(key, *v)) : std::nullopt);
  return out;
}

// Runs process and checks the parts of the contract every result keeps.
RecordBatch run(HmacSha256& op, const RecordBatch& chunk) {
  auto result = op.process(chunk);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
  if (!result.ok()) return chunk;
  EXPECT_TRUE(result.value().has_value());
  RecordBatch out = std::move(*result.value());
  EXPECT_EQ(out.num_rows(), chunk.num_rows());
  EXPECT_EQ(out.num_columns(), 1);
  EXPECT_EQ(out.schema()->fields, op.output_fields());
  EXPECT_TRUE(out.schema()->metadata.empty());
  EXPECT_EQ(out.column(0)->offset(), 0);
  EXPECT_TRUE(out.column(0)->validate().ok());
  return out;
}

Key random_key() {
  std::mt19937 rng(20240611);
  Key key;
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  return key;
}

struct KnownAnswer {
  const char* name;
  std::string key;
  std::string value;
  const char* hmac;
};

TEST(HmacSha256, MatchesRfc4231KnownAnswers) {
  std::string key4;
  for (int b = 1; b <= 25; ++b) key4.push_back(static_cast<char>(b));
  const KnownAnswer cases[] = {
      {"case 1", repeated(0x0b, 20), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"case 2", "Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"case 3", repeated(0xaa, 20), repeated(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"case 4", key4, repeated(0xcd, 50), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HmacSha256 op(key_of(c.key));
    RecordBatch out = run(op, batch_of({make_utf8({c.value})}));
    EXPECT_EQ(texts_of(*out.column(0)), Values{std::string(c.hmac)});
  }
}

// Every length from 0 to 200 bytes: all held-byte counts at the inner finish
// (55/56 and 63/64 are the padding boundaries) and up to three whole blocks.
TEST(HmacSha256, MatchesOneShotHmacForEveryLength) {
  const Key key = random_key();
  std::mt19937 rng(7);
  Values values;
  for (size_t length = 0; length <= 200; ++length) {
    std::string v(length, '\0');
    for (auto& c : v) c = static_cast<char>(rng());  // arbitrary bytes: no UTF-8 check happens
    values.emplace_back(v);
  }
  values.emplace_back("gr\xc3\xbc\xc3\x9f dich \xe2\x82\xac");
  values.emplace_back(std::string(1000, 'x'));
  HmacSha256 op(key);
  RecordBatch out = run(op, batch_of({make_utf8(values)}));
  EXPECT_EQ(texts_of(*out.column(0)), expected_texts(key, values));
  EXPECT_EQ(out.column(0)->validity(), nullptr);
  EXPECT_EQ(out.column(0)->null_count(), 0);
}

TEST(HmacSha256, NullRowsStayNullAndHoldNoBytes) {
  const Key key = random_key();
  const Values values = {std::nullopt, "a", "", std::nullopt, std::nullopt, "a", std::nullopt, "bc", "", "d"};
  HmacSha256 op(key);
  RecordBatch out = run(op, batch_of({make_utf8(values, /*bytes_under_nulls=*/true)}));
  const Array& result = *out.column(0);

  EXPECT_EQ(texts_of(result), expected_texts(key, values));
  EXPECT_EQ(result.null_count(), 4);
  ASSERT_NE(result.validity(), nullptr);
  // Own bitmap from bit 0: valid rows 1, 2, 5, 7, 8, 9.
  EXPECT_EQ(result.validity()->data()[0], 0b1010'0110);
  EXPECT_EQ(result.validity()->data()[1], 0b0000'0011);
  std::vector<int32_t> offsets(result.utf8_offsets(), result.utf8_offsets() + values.size() + 1);
  EXPECT_EQ(offsets, (std::vector<int32_t>{0, 0, 64, 128, 128, 128, 192, 192, 256, 320, 384}));
  EXPECT_EQ(result.buffers()[1]->size(), 6 * 64);
  // An empty value is hashed, not taken for null.
  EXPECT_EQ(texts_of(result)[2], reference_hmac(key, ""));
}

TEST(HmacSha256, SlicedColumnReadsItsOwnWindow) {
  const Key key = random_key();
  Values all;
  for (int i = 0; i < 40; ++i) {
    if (i % 3 == 1) {
      all.emplace_back(std::nullopt);
    } else {
      all.emplace_back(fmt::format("value {} {}", i, std::string(static_cast<size_t>(i), 'z')));
    }
  }
  const ArrayRef whole = make_utf8(all, /*bytes_under_nulls=*/true);
  struct Window {
    int64_t offset, length;
  };
  // Offsets 5 and 13 put the bitmap window off byte boundaries; row 6 alone
  // is valid although the parent's bitmap has nulls: no output bitmap then.
  for (const Window w : {Window{5, 30}, Window{13, 27}, Window{9, 3}, Window{6, 1}}) {
    SCOPED_TRACE(fmt::format("slice({}, {})", w.offset, w.length));
    const ArrayRef slice = whole->slice(w.offset, w.length);
    const Values window(all.begin() + w.offset, all.begin() + w.offset + w.length);
    HmacSha256 op(key);
    RecordBatch out = run(op, batch_of({slice}));
    EXPECT_EQ(texts_of(*out.column(0)), expected_texts(key, window));
    const bool any_null = slice->null_count() > 0;
    EXPECT_EQ(out.column(0)->validity() != nullptr, any_null);
  }
}

TEST(HmacSha256, ZeroRowChunkGivesZeroRowBatch) {
  struct Case {
    const char* name;
    ArrayRef column;
  };
  const Case cases[] = {
      {"offsets [0]", make_utf8({})},
      // A writer may send an empty array without any offsets at all.
      {"no buffer bytes", Array::make(DataType::utf8(), 0, 0, nullptr, {Buffer::empty(), Buffer::empty()})},
      {"empty slice", make_utf8({"a", std::nullopt, "b"})->slice(1, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HmacSha256 op(random_key());
    RecordBatch out = run(op, batch_of({c.column}));
    EXPECT_EQ(out.num_rows(), 0);
    EXPECT_EQ(out.schema()->fields[0].name, "result");
    EXPECT_EQ(out.column(0)->length(), 0);
    EXPECT_EQ(out.column(0)->validity(), nullptr);
  }
}

TEST(HmacSha256, SecondColumnIsIgnored) {
  const Key key = random_key();
  const Values values = {"x", std::nullopt, "y"};
  const ArrayRef other = Array::make(DataType::plain(TypeId::LargeUtf8), 3, 0, nullptr, {});
  HmacSha256 op(key);
  RecordBatch out = run(op, batch_of({make_utf8(values), other}));
  EXPECT_EQ(texts_of(*out.column(0)), expected_texts(key, values));
}

TEST(HmacSha256, RejectsAFirstColumnThatIsNotUtf8) {
  // The type is looked at before any buffer, so the buffers are dummies.
  const auto array_of = [](DataType type) { return Array::make(std::move(type), 1, 0, nullptr, {}); };
  struct Case {
    const char* name;
    std::vector<ArrayRef> columns;
  };
  const std::vector<Case> cases = {
      {"no column", {}},
      {"LargeUtf8", {array_of(DataType::plain(TypeId::LargeUtf8))}},
      {"Utf8View", {array_of(DataType::plain(TypeId::Utf8View))}},
      {"Binary", {array_of(DataType::plain(TypeId::Binary))}},
      {"dictionary of strings", {array_of(DataType::dictionary(DataType::int_type(32, true), DataType::utf8(), false))}},
      {"Utf8 only second", {array_of(DataType::int64()), make_utf8({"a"})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HmacSha256 op(random_key());
    auto result = op.process(batch_of(c.columns));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, OperationErrorKind::Unsupported);
    EXPECT_EQ(result.error().message, "hmac_sha256 accepts one utf8 column");
  }
}

TEST(HmacSha256, RefusesOutputBeyondThirtyTwoBitOffsets) {
  // 2^25 non-null rows would need exactly 2^31 bytes of text.
  constexpr int64_t rows = int64_t{1} << 25;
  // All-zero offsets (every value empty) from calloc: the pages are never
  // touched, so the 128 MiB cost nothing.
  const int64_t offsets_bytes = (rows + 1) * 4;
  const std::shared_ptr<void> zeros(std::calloc(static_cast<size_t>(offsets_bytes), 1), std::free);
  ASSERT_NE(zeros, nullptr);
  const auto offsets = std::make_shared<const Buffer>(static_cast<const uint8_t*>(zeros.get()), offsets_bytes,
                                                      offsets_bytes, zeros);
  const ArrayRef column = Array::make(DataType::utf8(), rows, 0, nullptr, {offsets, Buffer::empty()});
  HmacSha256 op(random_key());
  auto result = op.process(batch_of({column}));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, OperationErrorKind::Internal);
  EXPECT_EQ(result.error().message,
            "hmac_sha256 output of 33554432 non-null rows needs 2147483648 bytes, beyond the reach of 32-bit offsets");
}

TEST(HmacSha256, DeclaresOneNullableUtf8Result) {
  HmacSha256 op(random_key());
  const auto fields = op.output_fields();
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].name, "result");
  EXPECT_EQ(fields[0].type, DataType::utf8());
  EXPECT_TRUE(fields[0].nullable);
  EXPECT_TRUE(fields[0].metadata.empty());
}

TEST(HmacSha256, FinishReturnsNothing) {
  HmacSha256 op(random_key());
  auto before = op.finish();
  ASSERT_TRUE(before.ok());
  EXPECT_TRUE(before.value().empty());
  (void)run(op, batch_of({make_utf8({"a", "b"})}));
  (void)run(op, batch_of({make_utf8({std::nullopt})}));
  auto after = op.finish();
  ASSERT_TRUE(after.ok());
  EXPECT_TRUE(after.value().empty());
}

}  // namespace
}  // namespace tessolvane_binary
