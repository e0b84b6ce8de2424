#include "wrapper/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "columnar/ipc_framing.h"
#include "columnar/testing/stream_split.h"
#include "wrapper/framing.h"
#include "wrapper/testing/io_script.h"
#include "wrapper/testing/temp_file.h"

namespace wrapper {
namespace {

using columnar::Array;
using columnar::ArrayRef;
using columnar::Buffer;
using columnar::DataType;
using columnar::Field;
using columnar::RecordBatch;
using columnar::SchemaRef;
using testing::filler;
using testing::ScriptedSink;
using testing::SinkLog;
using testing::WriteReply;
using testing::TempFile;

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// The write buffer

struct SpillCase {
  const char* name;
  std::vector<size_t> writes;       // sizes handed to write_all, in order
  std::vector<size_t> sink_writes;  // sizes the sink was asked to take
  size_t buffered;                  // bytes still in the buffer afterwards
};

TEST(WriteBufferTest, SpillRules) {
  const SpillCase cases[] = {
      {"small writes stay buffered", {100, 200, 300}, {}, 600},
      {"a write that exactly fills the buffer stays", {8000, 192}, {}, 8192},
      {"a write that does not fit sends the buffer first", {8000, 300}, {8000}, 300},
      {"8192 bytes fit an empty buffer exactly and stay", {8192}, {}, 8192},
      {"more than 8192 bytes into an empty buffer go straight through", {8193}, {8193}, 0},
      {"a large write after buffered bytes", {10, 9000}, {10, 9000}, 0},
      {"a write of the buffer's size after buffered bytes", {10, 8192}, {10, 8192}, 0},
      {"a large write into an empty buffer, then a small one", {20000, 5}, {20000}, 5},
  };
  for (const SpillCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<SinkLog>();
    WriteBuffer buffer(std::make_unique<ScriptedSink>(log));
    Bytes expected;
    for (size_t size : c.writes) {
      const Bytes chunk = filler(size);
      ASSERT_TRUE(buffer.write_all(chunk.data(), chunk.size()).ok());
      expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(log->write_sizes, c.sink_writes);
    EXPECT_EQ(log->bytes.size(), expected.size() - c.buffered);
    EXPECT_EQ(log->flushes, 0);
    // The flush sends exactly what stayed, in one write.
    ASSERT_TRUE(buffer.flush().ok());
    EXPECT_EQ(log->bytes, expected);
    EXPECT_EQ(log->flushes, 1);
    std::vector<size_t> all_writes = c.sink_writes;
    if (c.buffered > 0) all_writes.push_back(c.buffered);
    EXPECT_EQ(log->write_sizes, all_writes);
  }
}

TEST(WriteBufferTest, SendingTheBufferRetriesInterruptionsAndShortWrites) {
  auto log = std::make_shared<SinkLog>();
  WriteBuffer buffer(std::make_unique<ScriptedSink>(log, std::vector<WriteReply>{{0, EINTR}, {100, 0}, {0, EINTR}}));
  const Bytes data = filler(300);
  ASSERT_TRUE(buffer.write_all(data.data(), data.size()).ok());
  ASSERT_TRUE(buffer.flush().ok());
  EXPECT_EQ(log->write_sizes, std::vector<size_t>({300, 300, 200, 200}));
  EXPECT_EQ(log->bytes, data);
}

TEST(WriteBufferTest, SinkFailuresWhileSendingTheBuffer) {
  struct Case {
    const char* name;
    std::vector<WriteReply> replies;
    std::string text;
    size_t accepted;  // bytes that left the buffer before the failure
  };
  const Case cases[] = {
      {"sink takes nothing", {{0, 0}}, "failed to write the buffered data", 0},
      {"sink takes some, then nothing", {{120, 0}, {0, 0}}, "failed to write the buffered data", 120},
      {"sink takes some, then fails", {{120, 0}, {0, EIO}}, "Input/output error (os error 5)", 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<SinkLog>();
    WriteBuffer buffer(std::make_unique<ScriptedSink>(log, c.replies));
    const Bytes data = filler(500);
    ASSERT_TRUE(buffer.write_all(data.data(), data.size()).ok());
    auto status = buffer.flush();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().to_string(), c.text);
    EXPECT_EQ(log->flushes, 0);
    EXPECT_EQ(log->bytes.size(), c.accepted);
    // The rest is sent on the next flush, right after what was taken, in one
    // write of what stayed.
    ASSERT_TRUE(buffer.flush().ok());
    EXPECT_EQ(log->bytes, data);
    EXPECT_EQ(log->write_sizes.back(), data.size() - c.accepted);
  }
}

TEST(WriteBufferTest, FailedSpillKeepsTheNewWriteOut) {
  auto log = std::make_shared<SinkLog>();
  WriteBuffer buffer(std::make_unique<ScriptedSink>(log, std::vector<WriteReply>{{0, EIO}}));
  const Bytes first = filler(8000);
  const Bytes second = filler(500);
  ASSERT_TRUE(buffer.write_all(first.data(), first.size()).ok());
  auto status = buffer.write_all(second.data(), second.size());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().to_string(), "Input/output error (os error 5)");
  // The buffer still holds the first write alone: the next flush sends it.
  ASSERT_TRUE(buffer.flush().ok());
  EXPECT_EQ(log->bytes, first);
}

TEST(WriteBufferTest, DirectWriteThatTheSinkRefuses) {
  auto log = std::make_shared<SinkLog>();
  WriteBuffer buffer(std::make_unique<ScriptedSink>(log, std::vector<WriteReply>{{0, 0}}));
  const Bytes data = filler(9000);
  auto status = buffer.write_all(data.data(), data.size());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind(), columnar::IoError::Kind::WriteZero);
  EXPECT_EQ(status.error().to_string(), "failed to write whole buffer");
}

TEST(WriteBufferTest, ReleaseSendsWhatIsBufferedAndIgnoresFailures) {
  auto log = std::make_shared<SinkLog>();
  const Bytes data = filler(700);
  {
    WriteBuffer buffer(std::make_unique<ScriptedSink>(log));
    ASSERT_TRUE(buffer.write_all(data.data(), data.size()).ok());
  }
  EXPECT_EQ(log->bytes, data);
  EXPECT_EQ(log->flushes, 0);

  auto failing_log = std::make_shared<SinkLog>();
  {
    WriteBuffer buffer(std::make_unique<ScriptedSink>(failing_log, std::vector<WriteReply>{{0, EIO}}));
    ASSERT_TRUE(buffer.write_all(data.data(), data.size()).ok());
  }
  EXPECT_EQ(failing_log->write_sizes, std::vector<size_t>({700}));
}

// ---------------------------------------------------------------------------
// The output stream

// Buffer::copy_of of zero bytes would hand memcpy a null pointer.
columnar::BufferRef buffer_of(const void* data, size_t size) {
  if (size == 0) return Buffer::empty();
  return Buffer::copy_of(static_cast<const uint8_t*>(data), static_cast<int64_t>(size));
}

ArrayRef utf8_array(const std::vector<std::string>& values) {
  std::vector<int32_t> offsets = {0};
  std::string data;
  for (const std::string& value : values) {
    data += value;
    offsets.push_back(static_cast<int32_t>(data.size()));
  }
  return Array::make(DataType::utf8(), static_cast<int64_t>(values.size()), 0, nullptr,
                     {buffer_of(offsets.data(), offsets.size() * sizeof(int32_t)), buffer_of(data.data(), data.size())},
                     0);
}

ArrayRef int64_array(const std::vector<int64_t>& values) {
  return Array::make(DataType::int64(), static_cast<int64_t>(values.size()), 0, nullptr,
                     {buffer_of(values.data(), values.size() * sizeof(int64_t))},
                     0);
}

const SchemaRef& output_schema() {
  static const SchemaRef schema = columnar::make_schema({Field("hashed", DataType::utf8(), true)});
  return schema;
}

const std::vector<std::string>& output_names() {
  static const std::vector<std::string> names = {"result"};
  return names;
}

// A batch as a core returns it: its own field names, nullability and metadata.
RecordBatch core_batch(std::vector<Field> fields, std::vector<ArrayRef> columns) {
  auto batch = RecordBatch::make(columnar::make_schema(std::move(fields)), std::move(columns));
  EXPECT_TRUE(batch.ok());
  return std::move(batch).value();
}

RecordBatch result_batch(const std::vector<std::string>& values) {
  return core_batch({Field("result", DataType::utf8(), false, {{"origin", "core"}})}, {utf8_array(values)});
}

std::vector<std::string> words(size_t count, size_t length) {
  std::vector<std::string> values;
  for (size_t i = 0; i < count; ++i) values.push_back(std::string(length, static_cast<char>('a' + i % 26)));
  return values;
}

OutputStream open_over(std::unique_ptr<OutputSink> sink) {
  auto opened = open_output_stream(std::move(sink), output_schema());
  EXPECT_TRUE(opened.ok()) << opened.error().message;
  return std::move(opened).value();
}

struct Framed {
  size_t start;
  int32_t metadata_length;
  columnar::ipc::MessageHeaderType header_type;
  int64_t body_length;
};

// Cuts an output stream into its messages and checks the alignment every
// message must keep.
struct ParsedStream {
  std::vector<Framed> messages;
  bool ends_with_marker = false;
};

ParsedStream parse_stream(const Bytes& bytes) {
  ParsedStream parsed;
  const columnar::ipc::testing::SplitStream split = columnar::ipc::testing::split_stream(bytes.data(), bytes.size());
  EXPECT_EQ(split.error, "");
  EXPECT_EQ(split.trailing_bytes, 0u) << "bytes after the end-of-stream marker";
  parsed.ends_with_marker = split.end_marker;
  for (const columnar::ipc::testing::FramedMessage& message : split.messages) {
    const auto length = static_cast<int32_t>(message.metadata.size());
    const Framed framed{message.start, length, message.view().header_type(), message.view().body_length()};
    EXPECT_EQ(framed.start % 64, 0u);
    EXPECT_EQ((8 + length) % 64, 0);
    EXPECT_EQ(framed.body_length % 64, 0);
    // The zero padding after the flatbuffer is shorter than the alignment.
    if (length >= 64) {
      EXPECT_TRUE(std::any_of(message.metadata.end() - 64, message.metadata.end(), [](uint8_t b) { return b != 0; }));
    }
    parsed.messages.push_back(framed);
  }
  return parsed;
}

constexpr auto kSchema = columnar::ipc::MessageHeaderType::Schema;
constexpr auto kRecordBatch = columnar::ipc::MessageHeaderType::RecordBatch;

std::vector<columnar::ipc::MessageHeaderType> header_types(const ParsedStream& parsed) {
  std::vector<columnar::ipc::MessageHeaderType> types;
  for (const Framed& m : parsed.messages) types.push_back(m.header_type);
  return types;
}

TEST(OutputStreamTest, SchemaWaitsInTheBufferUntilClose) {
  auto log = std::make_shared<SinkLog>();
  OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
  EXPECT_TRUE(log->write_sizes.empty());
  ASSERT_TRUE(close_output_stream(std::move(stream)).ok());

  const ParsedStream parsed = parse_stream(log->bytes);
  EXPECT_EQ(header_types(parsed), std::vector({kSchema}));
  EXPECT_TRUE(parsed.ends_with_marker);
  EXPECT_EQ(log->write_sizes.size(), 1u);
  EXPECT_EQ(log->flushes, 2);
}

TEST(OutputStreamTest, BatchesFollowTheSchemaAndTheMarkerEndsTheStream) {
  auto log = std::make_shared<SinkLog>();
  OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
  auto first = write_output_batch(stream, output_names(), output_schema(), result_batch({"a", "bb", "ccc"}));
  ASSERT_TRUE(first.ok()) << first.error().message;
  EXPECT_EQ(first.value(), 3u);
  // Larger than the buffer: its body goes straight to the sink.
  auto second = write_output_batch(stream, output_names(), output_schema(), result_batch(words(500, 64)));
  ASSERT_TRUE(second.ok()) << second.error().message;
  EXPECT_EQ(second.value(), 500u);
  ASSERT_TRUE(close_output_stream(std::move(stream)).ok());

  const ParsedStream parsed = parse_stream(log->bytes);
  EXPECT_EQ(header_types(parsed), std::vector({kSchema, kRecordBatch, kRecordBatch}));
  EXPECT_TRUE(parsed.ends_with_marker);
  const auto& marker = columnar::ipc::kEndOfStream;
  EXPECT_TRUE(std::equal(marker.begin(), marker.end(), log->bytes.end() - 8));
}

TEST(OutputStreamTest, SchemaComesFromTheOutputSchema) {
  // Whatever the batch's own schema says, the stream carries the output
  // schema: the same schema message as a stream without batches.
  auto plain_log = std::make_shared<SinkLog>();
  ASSERT_TRUE(close_output_stream(open_over(std::make_unique<ScriptedSink>(plain_log))).ok());

  auto log = std::make_shared<SinkLog>();
  OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
  ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch({"x"})).ok());
  ASSERT_TRUE(close_output_stream(std::move(stream)).ok());

  const size_t schema_size = plain_log->bytes.size() - 8;
  ASSERT_GT(log->bytes.size(), schema_size);
  EXPECT_TRUE(std::equal(plain_log->bytes.begin(), plain_log->bytes.begin() + static_cast<ptrdiff_t>(schema_size),
                         log->bytes.begin()));

  const Bytes metadata(plain_log->bytes.begin() + 8, plain_log->bytes.begin() + static_cast<ptrdiff_t>(schema_size));
  auto view = verify_message(metadata);
  ASSERT_TRUE(view.ok());
  auto schema = columnar::ipc::schema_from_message(view.value());
  ASSERT_TRUE(schema.ok()) << schema.error().to_string();
  ASSERT_EQ(schema.value()->fields.size(), 1u);
  EXPECT_EQ(schema.value()->fields[0], output_schema()->fields[0]);
  EXPECT_TRUE(schema.value()->metadata.empty());
}

TEST(OutputStreamTest, BatchWithoutRowsIsNeitherCheckedNorWritten) {
  auto plain_log = std::make_shared<SinkLog>();
  ASSERT_TRUE(close_output_stream(open_over(std::make_unique<ScriptedSink>(plain_log))).ok());

  auto log = std::make_shared<SinkLog>();
  OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
  const RecordBatch wrong = core_batch({Field("other", DataType::int64()), Field("more", DataType::int64())},
                                       {int64_array({}), int64_array({})});
  auto written = write_output_batch(stream, output_names(), output_schema(), wrong);
  ASSERT_TRUE(written.ok()) << written.error().message;
  EXPECT_EQ(written.value(), 0u);
  ASSERT_TRUE(close_output_stream(std::move(stream)).ok());
  EXPECT_EQ(log->bytes, plain_log->bytes);
}

TEST(OutputStreamTest, BatchChecks) {
  const std::vector<std::string> two_names = {"a", "b"};
  const SchemaRef two_schema =
      columnar::make_schema({Field("x", DataType::utf8(), true), Field("y", DataType::utf8(), true)});
  struct Case {
    const char* name;
    std::vector<std::string> declared;
    SchemaRef schema;
    RecordBatch batch;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"names in another order", two_names, two_schema,
       core_batch({Field("b", DataType::utf8()), Field("a", DataType::utf8())}, {utf8_array({"1"}), utf8_array({"2"})}),
       R"(internal error: the core returned columns ["b", "a"], expected its declared outputs ["a", "b"])"},
      {"one field more", two_names, two_schema,
       core_batch({Field("a", DataType::utf8()), Field("b", DataType::utf8()), Field("c", DataType::utf8())},
                  {utf8_array({"1"}), utf8_array({"2"}), utf8_array({"3"})}),
       R"(internal error: the core returned columns ["a", "b", "c"], expected its declared outputs ["a", "b"])"},
      {"one field fewer", two_names, two_schema, core_batch({Field("a", DataType::utf8())}, {utf8_array({"1"})}),
       R"(internal error: the core returned columns ["a"], expected its declared outputs ["a", "b"])"},
      {"letter case", output_names(), output_schema(), core_batch({Field("Result", DataType::utf8())}, {utf8_array({"1"})}),
       R"(internal error: the core returned columns ["Result"], expected its declared outputs ["result"])"},
      {"name needing escapes", output_names(), output_schema(),
       core_batch({Field("re\"s\tult", DataType::utf8())}, {utf8_array({"1"})}),
       R"(internal error: the core returned columns ["re\"s\tult"], expected its declared outputs ["result"])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<SinkLog>();
    auto opened = open_output_stream(std::make_unique<ScriptedSink>(log), c.schema);
    ASSERT_TRUE(opened.ok());
    OutputStream stream = std::move(opened).value();
    auto written = write_output_batch(stream, c.declared, c.schema, c.batch);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().code, 6);
    EXPECT_EQ(written.error().message, c.message);
    // Nothing of the batch reached the stream.
    ASSERT_TRUE(close_output_stream(std::move(stream)).ok());
    EXPECT_EQ(header_types(parse_stream(log->bytes)), std::vector({kSchema}));
  }
}

TEST(OutputStreamTest, ColumnOfAnotherTypeFailsTheRebuild) {
  auto log = std::make_shared<SinkLog>();
  OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
  const RecordBatch batch = core_batch({Field("result", DataType::int64())}, {int64_array({1, 2})});
  auto expected = RecordBatch::make(output_schema(), batch.columns(), 2);
  ASSERT_FALSE(expected.ok());
  auto written = write_output_batch(stream, output_names(), output_schema(), batch);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().code, 6);
  EXPECT_EQ(written.error().message,
            "internal error: the core's output does not match its declared output schema: " +
                expected.error().to_string());
  EXPECT_TRUE(written.error().message.starts_with(
      "internal error: the core's output does not match its declared output schema: Invalid argument error: "));
}

TEST(OutputStreamTest, LongNameListsAreTruncated) {
  std::vector<Field> fields;
  std::vector<ArrayRef> columns;
  for (int i = 0; i < 100; ++i) {
    fields.emplace_back("a_rather_long_column_name_" + std::to_string(i), DataType::utf8());
    columns.push_back(utf8_array({"v"}));
  }
  auto log = std::make_shared<SinkLog>();
  OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
  auto written = write_output_batch(stream, output_names(), output_schema(), core_batch(fields, columns));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().code, 6);
  EXPECT_EQ(written.error().message.size(), 1024u);
  EXPECT_TRUE(written.error().message.starts_with(R"(internal error: the core returned columns ["a_rather_long)"));
  EXPECT_TRUE(written.error().message.ends_with("...(truncated)"));
}

TEST(OutputStreamTest, SinkFailures) {
  struct Case {
    const char* name;
    std::vector<WriteReply> replies;
    std::vector<int> flush_errors;
    bool big_batch;  // spills while the batch is written
    std::string message;
  };
  const Case cases[] = {
      {"buffer refused while spilling", {{0, 0}}, {}, true,
       "internal error: writing the output stream failed: Io error: failed to write the buffered data"},
      {"large body refused", {{}, {0, 0}}, {}, true,
       "internal error: writing the output stream failed: Io error: failed to write whole buffer"},
      {"sink fails while spilling", {{0, EIO}}, {}, true,
       "internal error: writing the output stream failed: Io error: Input/output error (os error 5)"},
      {"sink fails at the close", {{0, EIO}}, {}, false,
       "internal error: closing the output stream failed: Io error: Input/output error (os error 5)"},
      {"sink flush fails at the close", {}, {EIO}, false,
       "internal error: closing the output stream failed: Io error: Input/output error (os error 5)"},
      {"second flush fails", {}, {0, EIO}, false, "internal error: flushing the output failed: Input/output error (os error 5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto log = std::make_shared<SinkLog>();
    OutputStream stream = open_over(std::make_unique<ScriptedSink>(log, c.replies, c.flush_errors));
    auto written = write_output_batch(stream, output_names(), output_schema(),
                                      result_batch(c.big_batch ? words(500, 64) : words(3, 4)));
    if (c.big_batch) {
      ASSERT_FALSE(written.ok());
      EXPECT_EQ(written.error().code, 6);
      EXPECT_EQ(written.error().message, c.message);
      continue;
    }
    ASSERT_TRUE(written.ok());
    auto closed = close_output_stream(std::move(stream));
    ASSERT_FALSE(closed.ok());
    EXPECT_EQ(closed.error().code, 6);
    EXPECT_EQ(closed.error().message, c.message);
  }
}

TEST(OutputStreamTest, OpenFailsWhenALargeSchemaMeetsAFailingSink) {
  std::vector<Field> fields;
  for (int i = 0; i < 200; ++i) fields.emplace_back(std::string(60, 'f') + std::to_string(i), DataType::utf8());
  auto log = std::make_shared<SinkLog>();
  auto opened = open_output_stream(std::make_unique<ScriptedSink>(log, std::vector<WriteReply>{{0, EIO}}),
                                   columnar::make_schema(std::move(fields)));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().code, 6);
  EXPECT_EQ(opened.error().message,
            "internal error: opening the output stream failed: Io error: Input/output error (os error 5)");
}

std::unique_ptr<FdSink> file_sink(const TempFile& file) {
  const int fd = ::open(file.path().c_str(), O_WRONLY | O_TRUNC);
  EXPECT_GE(fd, 0);
  return FdSink::over_file(fd);
}

TEST(OutputStreamTest, ReleaseLeavesSchemaAndWrittenBatchesWithoutMarker) {
  // The same batches through a stream that closes, for the expected bytes.
  auto log = std::make_shared<SinkLog>();
  {
    OutputStream stream = open_over(std::make_unique<ScriptedSink>(log));
    ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch({"one"})).ok());
    ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch({"two", "three"})).ok());
    ASSERT_TRUE(close_output_stream(std::move(stream)).ok());
  }

  TempFile file;
  {
    OutputStream stream = open_over(file_sink(file));
    ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch({"one"})).ok());
    ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch({"two", "three"})).ok());
    // A failing batch does not change what stays.
    ASSERT_FALSE(write_output_batch(stream, output_names(), output_schema(),
                                    core_batch({Field("wrong", DataType::utf8())}, {utf8_array({"x"})}))
                     .ok());
  }
  const Bytes kept = file.content();
  EXPECT_EQ(kept, Bytes(log->bytes.begin(), log->bytes.end() - 8));
  const ParsedStream parsed = parse_stream(kept);
  EXPECT_EQ(header_types(parsed), std::vector({kSchema, kRecordBatch, kRecordBatch}));
  EXPECT_FALSE(parsed.ends_with_marker);
}

TEST(OutputStreamTest, ClosedFileStreamEndsWithTheMarker) {
  TempFile file;
  OutputStream stream = open_over(file_sink(file));
  ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch(words(300, 40))).ok());
  ASSERT_TRUE(close_output_stream(std::move(stream)).ok());
  const ParsedStream parsed = parse_stream(file.content());
  EXPECT_EQ(header_types(parsed), std::vector({kSchema, kRecordBatch}));
  EXPECT_TRUE(parsed.ends_with_marker);
}

TEST(OutputStreamTest, StreamOpenedButNeverWrittenLeavesTheSchema) {
  TempFile file;
  { OutputStream stream = open_over(file_sink(file)); }
  const ParsedStream parsed = parse_stream(file.content());
  EXPECT_EQ(header_types(parsed), std::vector({kSchema}));
  EXPECT_FALSE(parsed.ends_with_marker);
}

std::unique_ptr<FdSink> closed_pipe_sink() {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  return FdSink::over_file(fds[1]);
}

TEST(OutputStreamTest, ClosedPipeFailsOnceTheBufferSpills) {
  OutputStream stream = open_over(closed_pipe_sink());
  auto small = write_output_batch(stream, output_names(), output_schema(), result_batch({"fits"}));
  ASSERT_TRUE(small.ok()) << small.error().message;
  auto big = write_output_batch(stream, output_names(), output_schema(), result_batch(words(500, 64)));
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().code, 6);
  EXPECT_EQ(big.error().message, "internal error: writing the output stream failed: Io error: Broken pipe (os error 32)");
}

TEST(OutputStreamTest, ClosedPipeFailsAtTheCloseWhenNothingSpilled) {
  OutputStream stream = open_over(closed_pipe_sink());
  ASSERT_TRUE(write_output_batch(stream, output_names(), output_schema(), result_batch({"fits"})).ok());
  auto closed = close_output_stream(std::move(stream));
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().code, 6);
  EXPECT_EQ(closed.error().message, "internal error: closing the output stream failed: Io error: Broken pipe (os error 32)");
}

TEST(OutputStreamTest, MovedStreamReleasesOnce) {
  auto log = std::make_shared<SinkLog>();
  OutputStream first = open_over(std::make_unique<ScriptedSink>(log));
  OutputStream second = std::move(first);
  ASSERT_TRUE(write_output_batch(second, output_names(), output_schema(), result_batch({"x"})).ok());
  ASSERT_TRUE(close_output_stream(std::move(second)).ok());
  const ParsedStream parsed = parse_stream(log->bytes);
  EXPECT_EQ(header_types(parsed), std::vector({kSchema, kRecordBatch}));
  EXPECT_TRUE(parsed.ends_with_marker);
}

}  // namespace
}  // namespace wrapper
