#include "wrapper/byte_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>

#include "wrapper/testing/io_script.h"
#include "wrapper/testing/temp_file.h"

namespace wrapper {
namespace {

using testing::buffered_reader;
using testing::bytes_of;
using testing::pieces_of;
using testing::ReadLog;
using testing::ReadStep;
using testing::TempFile;
using testing::unbuffered_reader;

std::vector<uint8_t> counting_bytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

TEST(ByteReaderTest, BufferedReaderServesSmallReadsFromOneSourceRead) {
  auto log = std::make_shared<ReadLog>();
  const auto input = counting_bytes(20000);
  ByteReader reader = buffered_reader({{input, 0}}, log);

  std::vector<uint8_t> got(10);
  for (int i = 0; i < 3; ++i) {
    auto n = reader.read(got.data(), got.size());
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(n.value(), 10u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), input.begin() + i * 10));
  }
  EXPECT_EQ(*log, ReadLog({ByteReader::kReadBufferSize}));
}

TEST(ByteReaderTest, BufferedReaderHandsOutOnlyWhatItHoldsBeforeReadingAgain) {
  auto log = std::make_shared<ReadLog>();
  const auto input = counting_bytes(100);
  ByteReader reader = buffered_reader({{input, 0}}, log);

  std::vector<uint8_t> got(60);
  ASSERT_EQ(reader.read(got.data(), 60).value(), 60u);
  // 40 bytes left in the buffer: a short read, no call to the source.
  ASSERT_EQ(reader.read(got.data(), 60).value(), 40u);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 40, input.begin() + 60));
  EXPECT_EQ(reader.read(got.data(), 60).value(), 0u);
  EXPECT_EQ(*log, ReadLog({ByteReader::kReadBufferSize, ByteReader::kReadBufferSize}));
}

TEST(ByteReaderTest, BufferedReaderPassesLargeReadsStraightThroughWhenEmpty) {
  auto log = std::make_shared<ReadLog>();
  const auto input = counting_bytes(30000);
  ByteReader reader = buffered_reader({{input, 0}}, log);

  std::vector<uint8_t> got(input.size());
  ASSERT_TRUE(reader.read_exact(got.data(), 10000).ok());
  // The buffer is empty again only after a small read has drained it.
  ASSERT_TRUE(reader.read_exact(got.data() + 10000, 100).ok());
  ASSERT_TRUE(reader.read_exact(got.data() + 10100, 19900).ok());
  EXPECT_EQ(got, input);
  EXPECT_EQ(*log, ReadLog({10000, ByteReader::kReadBufferSize, 19900 - (8192 - 100)}));
}

TEST(ByteReaderTest, UnbufferedReaderAsksTheSourceForExactlyWhatIsWanted) {
  auto log = std::make_shared<ReadLog>();
  ByteReader reader = unbuffered_reader({{counting_bytes(50), 0}}, log);
  std::vector<uint8_t> got(50);
  ASSERT_TRUE(reader.read_exact(got.data(), 8).ok());
  ASSERT_TRUE(reader.read_exact(got.data(), 1).ok());
  EXPECT_EQ(*log, ReadLog({8, 1}));
}

TEST(ByteReaderTest, ReadReturnsAnInterruptionToItsCaller) {
  for (bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "buffered" : "unbuffered");
    std::vector<ReadStep> steps = {{{}, EINTR}, {bytes_of("abc"), 0}};
    ByteReader reader = buffered ? buffered_reader(steps) : unbuffered_reader(steps);
    uint8_t got[3];
    auto first = reader.read(got, 3);
    ASSERT_FALSE(first.ok());
    EXPECT_TRUE(first.error().is_interrupted());
    auto second = reader.read(got, 3);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value(), 3u);
  }
}

TEST(ByteReaderTest, ReadExactRepeatsShortAndInterruptedReads) {
  const auto input = counting_bytes(1000);
  for (bool buffered : {false, true}) {
    SCOPED_TRACE(buffered ? "buffered" : "unbuffered");
    auto steps = pieces_of(input, 7, /*interrupt=*/true);
    ByteReader reader = buffered ? buffered_reader(steps) : unbuffered_reader(steps);
    std::vector<uint8_t> got(input.size());
    ASSERT_TRUE(reader.read_exact(got.data(), got.size()).ok());
    EXPECT_EQ(got, input);
  }
}

TEST(ByteReaderTest, ReadExactFailures) {
  struct Case {
    const char* name;
    std::vector<ReadStep> steps;
    columnar::IoError::Kind kind;
    std::string text;
  };
  const Case cases[] = {
      {"end before the bytes", {{bytes_of("abc"), 0}}, columnar::IoError::Kind::UnexpectedEof,
       "failed to fill whole buffer"},
      {"empty input", {}, columnar::IoError::Kind::UnexpectedEof, "failed to fill whole buffer"},
      {"failure after some bytes", {{bytes_of("ab"), 0}, {{}, EIO}}, columnar::IoError::Kind::Os,
       "Input/output error (os error 5)"},
  };
  for (const Case& c : cases) {
    for (bool buffered : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (buffered ? ", buffered" : ", unbuffered"));
      ByteReader reader = buffered ? buffered_reader(c.steps) : unbuffered_reader(c.steps);
      uint8_t got[10];
      auto status = reader.read_exact(got, sizeof got);
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().kind(), c.kind);
      EXPECT_EQ(status.error().to_string(), c.text);
    }
  }
}

TEST(ByteReaderTest, ReadUpToFillsAcrossShortAndInterruptedReadsAndStopsOnlyAtTheEnd) {
  const auto input = counting_bytes(10);
  ByteReader reader = unbuffered_reader(pieces_of(input, 3, /*interrupt=*/true));
  std::vector<uint8_t> got(8);
  auto first = reader.read_up_to(got.data(), 8);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.value(), 8u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), input.begin()));
  auto second = reader.read_up_to(got.data(), 8);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second.value(), 2u);
  auto third = reader.read_up_to(got.data(), 1);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(third.value(), 0u);
}

TEST(ByteReaderTest, ReadUpToFailureIsAReadInputError) {
  ByteReader reader = unbuffered_reader({{bytes_of("a"), 0}, {{}, EIO}});
  uint8_t got[4];
  auto count = reader.read_up_to(got, sizeof got);
  ASSERT_FALSE(count.ok());
  EXPECT_EQ(count.error().code, 6);
  EXPECT_EQ(count.error().message, "internal error: reading the input failed: Input/output error (os error 5)");
}

bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(ByteReaderTest, OverFileReadsTheFileAndClosesItOnRelease) {
  TempFile file;
  const auto content = counting_bytes(20000);
  file.write(content);
  const int fd = file.open_for_reading();
  {
    ByteReader reader = ByteReader::over_file(fd);
    std::vector<uint8_t> got(content.size());
    ASSERT_TRUE(reader.read_exact(got.data(), got.size()).ok());
    EXPECT_EQ(got, content);
    uint8_t extra;
    EXPECT_EQ(reader.read(&extra, 1).value(), 0u);
  }
  EXPECT_FALSE(fd_is_open(fd));
}

TEST(ByteReaderTest, ReadFailureOfADescriptorCarriesItsErrno) {
  // A descriptor open for writing only cannot be read.
  TempFile file;
  const int fd = ::open(file.path().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ByteReader reader = ByteReader::over_file(fd);
  uint8_t got[4];
  auto n = reader.read(got, sizeof got);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().to_string(), "Bad file descriptor (os error 9)");
}

TEST(FdSinkTest, WriteAllDeliversEveryByteThroughAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const auto content = counting_bytes(1000);
  {
    FdSink sink(fds[1], true);
    ASSERT_TRUE(sink.write_all(content.data(), content.size()).ok());
    ASSERT_TRUE(sink.flush().ok());
  }
  EXPECT_FALSE(fd_is_open(fds[1]));
  ByteReader reader = ByteReader::over_file(fds[0]);
  std::vector<uint8_t> got(content.size());
  ASSERT_TRUE(reader.read_exact(got.data(), got.size()).ok());
  EXPECT_EQ(got, content);
  uint8_t extra;
  EXPECT_EQ(reader.read(&extra, 1).value(), 0u);
}

TEST(FdSinkTest, StdoutSinkLeavesTheDescriptorOpen) {
  { auto sink = FdSink::over_stdout(); }
  EXPECT_TRUE(fd_is_open(STDOUT_FILENO));
}

TEST(FdSinkTest, WriteIntoAClosedPipeIsBrokenPipe) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  FdSink sink(fds[1], true);
  const uint8_t byte = 1;
  auto status = sink.write_all(&byte, 1);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().to_string(), "Broken pipe (os error 32)");
}

TEST(OutputSinkTest, WriteAllRetriesInterruptionsAndShortWritesAndRefusesAZeroWrite) {
  using testing::ScriptedSink;
  using testing::SinkLog;
  using testing::WriteReply;
  const auto content = counting_bytes(100);

  auto log = std::make_shared<SinkLog>();
  ScriptedSink sink(log, {{30, 0}, {0, EINTR}, {30, 0}});
  ASSERT_TRUE(sink.write_all(content.data(), content.size()).ok());
  EXPECT_EQ(log->bytes, content);
  EXPECT_EQ(log->write_sizes, std::vector<size_t>({100, 70, 70, 40}));

  auto refused_log = std::make_shared<SinkLog>();
  ScriptedSink refusing(refused_log, {{10, 0}, {0, 0}});
  auto status = refusing.write_all(content.data(), content.size());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), columnar::IoError::Kind::WriteZero);
  EXPECT_EQ(status.error().to_string(), "failed to write whole buffer");
}

}  // namespace
}  // namespace wrapper
