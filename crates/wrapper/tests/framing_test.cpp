#include "wrapper/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "columnar/ipc_framing.h"
#include "columnar/testing/ipc_fixtures.h"
#include "wrapper/testing/io_script.h"
#include "wrapper/testing/temp_file.h"

namespace wrapper {
namespace {

using testing::buffered_reader;
using testing::bytes_of;
using testing::concat;
using testing::filler;
using testing::pieces_of;
using testing::ReadLog;
using testing::ReadStep;
using testing::unbuffered_reader;

using Bytes = std::vector<uint8_t>;

Bytes le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

Bytes prefix(int32_t metadata_length) {
  const auto bytes = columnar::ipc::encode_prefix(metadata_length);
  return Bytes(bytes.begin(), bytes.end());
}

// An empty RecordBatch Message flatbuffer followed by `padding` zero bytes,
// as the L metadata bytes; bodyLength left out when not given (0, the
// default, is never written).
Bytes metadata_of(std::optional<int64_t> body_length, size_t padding = 0) {
  Bytes metadata = columnar::ipc::testing::record_batch_message(0, {}, {}, body_length.value_or(0));
  metadata.resize(metadata.size() + padding, 0);
  return metadata;
}

Bytes framed(const Bytes& metadata, const Bytes& body = {}) {
  return concat({prefix(static_cast<int32_t>(metadata.size())), metadata, body});
}

// The ways one input can reach the reader; every outcome must be the same.
struct Delivery {
  const char* name;
  ByteReader (*make)(const Bytes& input);
};

const Delivery kDeliveries[] = {
    {"whole", [](const Bytes& in) { return unbuffered_reader({{in, 0}}); }},
    {"byte by byte", [](const Bytes& in) { return unbuffered_reader(pieces_of(in, 1)); }},
    {"interrupted", [](const Bytes& in) { return unbuffered_reader(pieces_of(in, 3, /*interrupt=*/true)); }},
    {"buffered", [](const Bytes& in) { return buffered_reader(pieces_of(in, 5000)); }},
};

struct Expected {
  std::optional<ReadOutcome::Kind> kind;  // else an error
  int32_t code = 0;
  std::string message;
  Bytes rest;  // what read_up_to finds after an outcome
};

Expected outcome(ReadOutcome::Kind kind, Bytes rest = {}) { return {kind, 0, {}, std::move(rest)}; }
Expected error(int32_t code, std::string message) { return {std::nullopt, code, std::move(message), {}}; }

struct FramingCase {
  std::string name;
  Bytes input;
  Expected expected;
};

const char kTruncatedHeader[] = "input stream is truncated inside a message header";
const char kFileFormat[] = "input is the Arrow IPC file format, not the stream format";
const char kNoMarker[] = "message does not start with the IPC continuation marker";
const char kNegativeMetadata[] = "negative message metadata length";
const char kTruncatedMetadata[] = "input stream is truncated inside message metadata";
const char kNotFlatbuffer[] = "message metadata is not a valid flatbuffer";
const char kTruncatedBody[] = "input stream is truncated inside a message body";

std::vector<FramingCase> framing_cases() {
  using Kind = ReadOutcome::Kind;
  std::vector<FramingCase> cases = {
      {"empty input", {}, outcome(Kind::EndOfInput)},
      {"ARROW alone", bytes_of("ARROW"), error(5, kTruncatedHeader)},
      {"six marker bytes", Bytes(6, 0xFF), error(5, kTruncatedHeader)},
      {"seven marker bytes", Bytes(7, 0xFF), error(5, kTruncatedHeader)},
      {"ARROW1 alone", bytes_of("ARROW1"), error(5, kFileFormat)},
      {"ARROW1 and one byte", concat({bytes_of("ARROW1"), {0}}), error(5, kFileFormat)},
      {"ARROW1 file", concat({bytes_of("ARROW1"), {0, 0}, framed(metadata_of(std::nullopt))}), error(5, kFileFormat)},
      {"older framing without marker", concat({le32(16), metadata_of(std::nullopt)}), error(5, kNoMarker)},
      {"zero word and four bytes", {0, 0, 0, 0, 0x10, 0, 0, 0}, error(5, kNoMarker)},
      {"length -1", prefix(-1), error(5, kNegativeMetadata)},
      {"length INT32_MIN", prefix(INT32_MIN), error(5, kNegativeMetadata)},
      {"length above the cap", prefix(67'108'865),
       error(5, "message metadata length 67108865 exceeds the 67108864 byte cap")},
      {"prefix alone", prefix(64), error(5, kTruncatedMetadata)},
      {"metadata cut short", concat({prefix(64), Bytes(40, 0)}), error(5, kTruncatedMetadata)},
      {"metadata not a flatbuffer", framed(Bytes(16, 0xAB)), error(5, kNotFlatbuffer)},
      {"negative body length", framed(metadata_of(-1)), error(5, "negative message body length")},
      {"body cut short", framed(metadata_of(100), filler(50)), error(5, kTruncatedBody)},
      {"end-of-stream marker", concat({prefix(0), bytes_of("Z")}), outcome(Kind::EndOfStream, bytes_of("Z"))},
      {"end-of-stream marker at the end", prefix(0), outcome(Kind::EndOfStream)},
      {"message without body length", concat({framed(metadata_of(std::nullopt)), bytes_of("tail")}),
       outcome(Kind::Message, bytes_of("tail"))},
      {"message with body", concat({framed(metadata_of(100), filler(100)), prefix(0)}),
       outcome(Kind::Message, prefix(0))},
      {"metadata length not a multiple of 8", framed(metadata_of(std::nullopt, 3)), outcome(Kind::Message)},
  };
  for (size_t n = 1; n <= 5; ++n) {
    cases.push_back({std::to_string(n) + " prefix bytes", Bytes(n, 0xFF), error(5, kTruncatedHeader)});
  }
  for (int32_t n = 1; n <= 3; ++n) {
    cases.push_back({"metadata of " + std::to_string(n) + " bytes", concat({prefix(n), Bytes(8, 0)}),
                     error(5, kNotFlatbuffer)});
  }
  return cases;
}

TEST(ReadMessageTest, FramingCases) {
  for (const FramingCase& c : framing_cases()) {
    for (const Delivery& delivery : kDeliveries) {
      SCOPED_TRACE(c.name + " (" + delivery.name + ")");
      ByteReader reader = delivery.make(c.input);
      auto got = read_message(reader);
      if (!c.expected.kind) {
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().code, c.expected.code);
        EXPECT_EQ(got.error().message, c.expected.message);
        continue;
      }
      ASSERT_TRUE(got.ok()) << got.error().message;
      EXPECT_EQ(got.value().kind, *c.expected.kind);
      EXPECT_EQ(got.value().message.has_value(), *c.expected.kind == ReadOutcome::Kind::Message);
      Bytes rest(c.expected.rest.size() + 1);
      auto count = reader.read_up_to(rest.data(), rest.size());
      ASSERT_TRUE(count.ok());
      rest.resize(count.value());
      EXPECT_EQ(rest, c.expected.rest);
    }
  }
}

// Outside the table: the metadata is read in pieces of 1 MiB as it arrives,
// so a prefix at the cap followed by little costs little.
TEST(ReadMessageTest, LengthAtTheCapIsAcceptedAndReadOn) {
  auto log = std::make_shared<ReadLog>();
  ByteReader reader = unbuffered_reader({{concat({prefix(METADATA_LENGTH_CAP), Bytes(10, 0)}), 0}}, log);
  auto got = read_message(reader);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().code, 5);
  EXPECT_EQ(got.error().message, kTruncatedMetadata);
  EXPECT_EQ(*log, ReadLog({8, 1'048'576, 1'048'566}));
}

TEST(ReadMessageTest, MessageHoldsTheMetadataWithItsPaddingAndTheBody) {
  const Bytes metadata = metadata_of(100, 5);
  const Bytes body = filler(100);
  ByteReader reader = unbuffered_reader({{framed(metadata, body), 0}});
  auto got = read_message(reader);
  ASSERT_TRUE(got.ok()) << got.error().message;
  ASSERT_EQ(got.value().kind, ReadOutcome::Kind::Message);
  const IpcMessage& message = *got.value().message;
  EXPECT_EQ(message.metadata(), metadata);
  ASSERT_EQ(message.body()->size(), 100);
  EXPECT_EQ(Bytes(message.body()->data(), message.body()->data() + 100), body);
  // The view that comes with the message is over the message's own bytes.
  EXPECT_EQ(message.view().body_length(), 100);
  EXPECT_EQ(message.view().message(), message.metadata().data() + message.metadata()[0]);
}

TEST(ReadMessageTest, MessageWithoutBodyLengthReadsNoBody) {
  auto log = std::make_shared<ReadLog>();
  const Bytes metadata = metadata_of(std::nullopt);
  ByteReader reader = unbuffered_reader({{concat({framed(metadata), bytes_of("more")}), 0}}, log);
  auto got = read_message(reader);
  ASSERT_TRUE(got.ok()) << got.error().message;
  EXPECT_EQ(got.value().message->body()->size(), 0);
  EXPECT_EQ(*log, ReadLog({8, metadata.size()}));
}

TEST(ReadMessageTest, EndOfStreamMarkerConsumesExactlyEightBytes) {
  auto log = std::make_shared<ReadLog>();
  ByteReader reader = unbuffered_reader({{concat({prefix(0), bytes_of("xy")}), 0}}, log);
  auto got = read_message(reader);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value().kind, ReadOutcome::Kind::EndOfStream);
  EXPECT_EQ(*log, ReadLog({8}));
  uint8_t probe = 0;
  auto count = reader.read_up_to(&probe, 1);
  ASSERT_TRUE(count.ok());
  EXPECT_EQ(count.value(), 1u);
  EXPECT_EQ(probe, 'x');
}

// Pieces asked of the source after the prefix and the metadata, and the
// capacity the body buffer ends with.
TEST(ReadMessageBodyTest, BodyArrivesInPiecesIntoADoublingBuffer) {
  struct Case {
    int64_t body_length;
    std::vector<size_t> pieces;
    int64_t capacity;
  };
  const Case cases[] = {
      {100, {100}, 128},
      {1'048'576, {1'048'576}, 1'048'576},
      {1'048'577, {1'048'576, 1}, 2'097'152},
      {3'000'000, {1'048'576, 1'048'576, 902'848}, 4'194'304},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body_length);
    const Bytes body = filler(static_cast<size_t>(c.body_length));
    auto log = std::make_shared<ReadLog>();
    ByteReader reader = unbuffered_reader({{body, 0}}, log);
    auto got = read_message_body(reader, c.body_length);
    ASSERT_TRUE(got.ok()) << got.error().message;
    const columnar::BufferRef& buffer = got.value();
    EXPECT_EQ(*log, ReadLog(c.pieces));
    EXPECT_EQ(buffer->size(), c.body_length);
    EXPECT_EQ(buffer->capacity(), c.capacity);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->data()) % 128, 0u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), buffer->data()));
  }
}

// A regular file bounds what can still arrive: a body that it holds is sized
// once, and a declared length beyond its end costs no more than the file.
TEST(ReadMessageBodyTest, BodyFromARegularFileIsSizedByWhatTheFileHolds) {
  struct Case {
    const char* name;
    size_t file_bytes;       // after the 5 bytes read before the body
    int64_t declared;
    int64_t capacity;        // 0: the read fails as truncated
  };
  const Case cases[] = {
      {"the body and more", 3'000'010, 3'000'000, 3'000'000},
      {"exactly the body", 2'500'003, 2'500'003, 2'500'032},
      {"a small body", 100, 100, 128},
      {"shorter than declared", 2'000'000, 3'000'000, 0},
      {"far shorter than a huge declared length", 16, int64_t{1} << 62, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFile file;
    const Bytes content = filler(5 + c.file_bytes);
    file.write(content);
    ByteReader reader = ByteReader::over_file(file.open_for_reading());
    // A few bytes first, so that the bound counts what the reader buffered.
    uint8_t head[5];
    ASSERT_TRUE(reader.read_exact(head, sizeof head).ok());
    ASSERT_EQ(reader.remaining_bound(), std::optional<uint64_t>(c.file_bytes));
    auto got = read_message_body(reader, c.declared);
    if (c.capacity == 0) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().message, kTruncatedBody);
      continue;
    }
    ASSERT_TRUE(got.ok()) << got.error().message;
    const columnar::BufferRef& body = got.value();
    EXPECT_EQ(body->size(), c.declared);
    EXPECT_EQ(body->capacity(), c.capacity);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(body->data()) % 128, 0u);
    EXPECT_TRUE(std::equal(body->data(), body->data() + body->size(), content.begin() + 5));
  }
}

TEST(ReadMessageBodyTest, ZeroLengthReadsNothing) {
  auto log = std::make_shared<ReadLog>();
  ByteReader reader = unbuffered_reader({{bytes_of("abc"), 0}}, log);
  auto got = read_message_body(reader, 0);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value()->size(), 0);
  EXPECT_TRUE(log->empty());
}

TEST(ReadMessageBodyTest, TruncationInALaterPiece) {
  // A huge declared length costs only what arrives.
  for (int64_t declared : {int64_t{3'000'000}, int64_t{1} << 50}) {
    SCOPED_TRACE(declared);
    ByteReader reader = unbuffered_reader({{filler(2'000'000), 0}});
    auto got = read_message_body(reader, declared);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().code, 5);
    EXPECT_EQ(got.error().message, kTruncatedBody);
  }
}

TEST(ReadMessageTest, ReadFailuresAreInternalErrorsWhereverTheyHappen) {
  const char kEio[] = "internal error: reading the input failed: Input/output error (os error 5)";
  const Bytes metadata = metadata_of(100);
  struct Case {
    const char* name;
    std::vector<ReadStep> steps;
  };
  const Case cases[] = {
      {"before any byte", {{{}, EIO}}},
      {"after some prefix bytes", {{Bytes(3, 0xFF), 0}, {{}, EIO}}},
      {"after the whole prefix but one", {{Bytes(7, 0xFF), 0}, {{}, EIO}}},
      {"inside the metadata", {{concat({prefix(static_cast<int32_t>(metadata.size())), Bytes(4, 0)}), 0}, {{}, EIO}}},
      {"inside the body", {{concat({framed(metadata), filler(10)}), 0}, {{}, EIO}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader reader = unbuffered_reader(c.steps);
    auto got = read_message(reader);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().code, 6);
    EXPECT_EQ(got.error().message, kEio);
  }
}

TEST(VerifyMessageTest, AcceptsAMessageAndRefusesShortOrBrokenBytes) {
  const Bytes good = metadata_of(64);
  auto view = verify_message(good);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(view.value().body_length(), 64);
  EXPECT_EQ(view.value().header_type(), columnar::ipc::MessageHeaderType::RecordBatch);

  const Bytes cases[] = {{}, {0}, {4, 0}, {4, 0, 0}, Bytes(16, 0xAB), Bytes(good.begin(), good.begin() + 12)};
  for (const Bytes& bytes : cases) {
    SCOPED_TRACE(bytes.size());
    auto refused = verify_message(bytes);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, 5);
    EXPECT_EQ(refused.error().message, kNotFlatbuffer);
  }
}

// Hands out its bytes, then fails with an error that carries its own text.
class FailingSource final : public ByteSource {
 public:
  FailingSource(Bytes bytes, std::string text) : bytes_(std::move(bytes)), text_(std::move(text)) {}

  IoSizeResult read(uint8_t* data, size_t size) override {
    if (at_ == bytes_.size()) return columnar::IoError::other(text_);
    const size_t n = std::min(size, bytes_.size() - at_);
    std::copy_n(bytes_.begin() + static_cast<ptrdiff_t>(at_), n, data);
    at_ += n;
    return n;
  }

 private:
  Bytes bytes_;
  std::string text_;
  size_t at_ = 0;
};

// A failure other than the end of input shows the I/O error's own text,
// capped as a whole with its prefix.
TEST(ReadMessageTest, ReadFailureShowsTheErrorsTextCapped) {
  const std::string head = "internal error: reading the input failed: ";
  const std::string long_text(2000, 'x');
  const Bytes metadata = metadata_of(100);
  struct Case {
    const char* name;
    Bytes before;
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"inside the metadata", concat({prefix(static_cast<int32_t>(metadata.size())), Bytes(4, 0)}), "device gone",
       head + "device gone"},
      {"inside the body", concat({framed(metadata), filler(10)}), "device gone", head + "device gone"},
      {"long text", {}, long_text, (head + long_text).substr(0, 1010) + "...(truncated)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader reader = ByteReader::unbuffered(std::make_unique<FailingSource>(c.before, c.text));
    auto got = read_message(reader);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().code, 6);
    EXPECT_EQ(got.error().message, c.message);
  }
}

}  // namespace
}  // namespace wrapper
