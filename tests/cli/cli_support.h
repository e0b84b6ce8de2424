// Support for the end-to-end tests: spawning the built executables, a
// temporary directory per test, input streams built with the columnar
// writer or crafted message by message, and reading output streams back.
//
//   CliTest fixture:  dir() is a fresh directory, removed after the test.
//   Outcome r = run_binary(kTessolvaneBinary, {"run", "--config", cfg}, {.input = Stdin::bytes(s)});
//   expect_error(r, 5, "input is zero bytes, not an Arrow IPC stream");
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "columnar/array.h"
#include "columnar/data_type.h"
#include "columnar/record_batch.h"
#include "columnar/testing/ipc_fixtures.h"
#include "columnar/testing/stream_split.h"

namespace cli {

// The executables under test, from the build.
extern const char* const kTessolvaneBinary;
extern const char* const kTestPlugin;

// ---------------------------------------------------------------------------
// Processes

// Where the child's standard input comes from.
struct Stdin {
  enum class Kind { Bytes, File, Closed };
  Kind kind = Kind::Bytes;
  std::string data;  // the bytes, or the file's path

  static Stdin bytes(std::string b) { return {Kind::Bytes, std::move(b)}; }
  static Stdin file(std::string path) { return {Kind::File, std::move(path)}; }
  static Stdin closed() { return {Kind::Closed, {}}; }
};

enum class StdoutMode {
  Capture,     // a pipe the test reads
  ClosedPipe,  // a pipe whose read end is closed before the child starts
  Closed,      // descriptor 1 closed
  File,        // `stdout_path` opened for reading and writing, not emptied (sh's 1<>)
};

struct SpawnOptions {
  Stdin input = Stdin::bytes("");
  StdoutMode stdout_mode = StdoutMode::Capture;
  std::string stdout_path;  // for StdoutMode::File
  std::string cwd;  // empty: the test's own working directory
};

inline SpawnOptions with_stdin(Stdin input) {
  SpawnOptions options;
  options.input = std::move(input);
  return options;
}
inline SpawnOptions with_stdout(StdoutMode mode) {
  SpawnOptions options;
  options.stdout_mode = mode;
  return options;
}
inline SpawnOptions in_dir(std::string cwd) {
  SpawnOptions options;
  options.cwd = std::move(cwd);
  return options;
}

struct Outcome {
  int exit_code = -1;  // -1 when a signal ended the child
  int term_signal = 0;
  std::string out;
  std::string err;
};

// Runs `program` with `args` (raw bytes, passed unchanged) and SIGPIPE at its
// default; collects standard output and standard error to the end.
Outcome run_binary(const std::string& program, const std::vector<std::string>& args, const SpawnOptions& options = {});

// The error line the runtime prints: {"code":N,"message":"..."} and "\n".
std::string error_line(int code, std::string_view message);

// Exit code `code`, exactly the error line on standard error and nothing on
// standard output.
void expect_error(const Outcome& outcome, int code, std::string_view message);

// Exit code 0 and an empty standard error.
void expect_success(const Outcome& outcome);

// ---------------------------------------------------------------------------
// Files

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& dir() const { return dir_; }
  std::string path(std::string_view name) const { return dir_ + "/" + std::string(name); }
  // Writes `bytes` to dir()/name and returns the path.
  std::string write_file(std::string_view name, std::string_view bytes) const;

 private:
  std::string dir_;
};

void write_file_at(const std::string& path, std::string_view bytes);
// The whole file; nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
bool file_exists(const std::string& path);

// ---------------------------------------------------------------------------
// Configurations

// A 64-hex-digit key and its 32 bytes.
extern const char* const kKeyHex;
std::string key_bytes();

// A JSON string literal for `text`.
std::string json_string(std::string_view text);

// {"input_columns":[...],"operation":...,"parameters":...,"output_columns":...}
// with the parameters and output columns given as JSON text.
std::string config_json(const std::vector<std::string>& input_columns, std::string_view operation,
                        std::string_view parameters_json, std::string_view output_columns_json);

// The usual hmac_sha256 configuration: input column `input`, written as `output`.
std::string hmac_config(std::string_view input = "text", std::string_view output = "hashed");

// HMAC-SHA256 of `value` under the test key, as 64 lowercase hex digits.
std::string expected_hmac(std::string_view value);

// ---------------------------------------------------------------------------
// Building input streams

using OptionalStrings = std::vector<std::optional<std::string>>;

columnar::ArrayRef utf8_array(const OptionalStrings& values);
// `rows` copies of `value` without a per-row allocation.
columnar::ArrayRef repeated_utf8(int64_t rows, std::string_view value);
columnar::ArrayRef int64_array(const std::vector<int64_t>& values);
columnar::ArrayRef bool_array(const std::vector<bool>& values);

columnar::SchemaRef schema_of(std::vector<columnar::Field> fields);
columnar::SchemaRef utf8_schema(const std::vector<std::string>& names);
columnar::RecordBatch batch_of(const columnar::SchemaRef& schema, std::vector<columnar::ArrayRef> columns);

// Schema message, one message per batch, and the end-of-stream marker when
// `end_marker`.
std::string encode_stream(const columnar::SchemaRef& schema, const std::vector<columnar::RecordBatch>& batches,
                          bool end_marker = true);
// One utf8 column `name`, one batch per entry.
std::string utf8_stream(std::string_view name, const std::vector<OptionalStrings>& batches);

// ---------------------------------------------------------------------------
// Crafted messages: those of ipc_fixtures.h, framed (continuation marker,
// length, flatbuffer padded to 8, body)

std::string end_of_stream_marker();

using columnar::ipc::testing::FieldDescription;
using columnar::ipc::testing::FieldKind;
std::string schema_message(const std::vector<FieldDescription>& fields);

// Schema messages that reach one table or string through many offsets, as
// ipc_fixtures.h builds them: `depth` nested Structs all named `name`, the
// deepest listing one leaf `leaves` times; one field listed `count` times;
// `count` distinct fields.
std::string shared_name_chain_schema(size_t depth, const std::string& name, size_t leaves = 0);
std::string repeated_field_schema(size_t count, const std::string& name);
std::string distinct_fields_schema(size_t count);

// A schema message for `fields` whose custom metadata holds `count` offsets
// to one KeyValue with a key of `key_bytes` letters.
std::string schema_message_with_shared_metadata(const std::vector<FieldDescription>& fields, size_t count,
                                                size_t key_bytes);
// A message of `header_type` whose header offset points past the metadata.
std::string message_with_header_outside(uint8_t header_type);
// A message whose header_type is `header_type` (absent when nullopt; stored
// even when 0) and whose header, when `with_header`, is an empty Schema table.
std::string message_with_header_type(std::optional<uint8_t> header_type, bool with_header);

std::string dictionary_batch_message();
std::string tensor_message();
// A record batch of one utf8 column and 0 rows carrying a compression field.
std::string compressed_record_batch_message();
// A record batch of `length` rows for one utf8 column whose three buffers
// are given as (offset, length) pairs over `body`.
std::string record_batch_message(int64_t length, int64_t null_count,
                                 const std::vector<std::pair<int64_t, int64_t>>& buffers, std::string_view body);

// ---------------------------------------------------------------------------
// Reading output streams

using Frame = columnar::ipc::testing::FramedMessage;
using columnar::ipc::testing::SplitStream;

// Cuts `bytes` into framed messages; stops at the end-of-stream marker.
inline SplitStream split_stream(std::string_view bytes) {
  return columnar::ipc::testing::split_stream(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

struct DecodedStream {
  columnar::SchemaRef schema;
  std::vector<columnar::RecordBatch> batches;
  bool end_marker = false;
  std::string error;  // empty when every message verified and decoded
};

// Verifies and decodes an output stream (schema first, then record batches).
DecodedStream decode_stream(std::string_view bytes);

OptionalStrings utf8_values(const columnar::Array& array);
std::vector<int64_t> int64_values(const columnar::Array& array);

}  // namespace cli
