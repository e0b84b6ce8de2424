#include "cli_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "columnar/buffer.h"
#include "columnar/io.h"
#include "columnar/ipc.h"
#include "columnar/ipc_framing.h"
#include "columnar/testing/ipc_fixtures.h"
#include "wrapper/hex.h"
#include "wrapper/json_text.h"

extern char** environ;

namespace cli {

const char* const kTessolvaneBinary = TESSOLVANE_BINARY_PATH;
const char* const kTestPlugin = TEST_PLUGIN_PATH;
const char* const kKeyHex = "00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0";

namespace {

namespace fb = columnar::ipc::fb;
namespace fixtures = columnar::ipc::testing;

void fail_hard(const std::string& what) {
  ADD_FAILURE() << what << ": " << std::strerror(errno);
}

// The test process must survive a child that exits before reading all of
// its standard input.
void ignore_sigpipe_once() {
  static const bool done = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is available; false once the descriptor reached its end.
bool drain(int fd, std::string& into) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::chmod(path, 0700);
  return ::remove(path);
}

class StringSink final : public columnar::ByteSink {
 public:
  columnar::IoStatus write_all(const uint8_t* data, size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return {};
  }
  columnar::IoStatus flush() override { return {}; }
  std::string bytes;
};

columnar::BufferRef buffer_from(const columnar::MutableBuffer& source) {
  // copy_of would hand memcpy the null storage of a never-grown buffer.
  if (source.size() == 0) return columnar::Buffer::empty();
  return columnar::Buffer::copy_of(source.data(), source.size());
}

// Continuation marker, metadata length (the flatbuffer padded to 8), the
// flatbuffer, zeros, then the body.
std::string frame(const std::vector<uint8_t>& flatbuffer, std::string_view body = {}) {
  const size_t padded = (flatbuffer.size() + 7) / 8 * 8;
  const auto prefix = columnar::ipc::encode_prefix(static_cast<int32_t>(padded));
  std::string out(prefix.begin(), prefix.end());
  out.append(flatbuffer.begin(), flatbuffer.end());
  out.append(padded - flatbuffer.size(), '\0');
  out.append(body);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Processes

Outcome run_binary(const std::string& program, const std::vector<std::string>& args, const SpawnOptions& options) {
  ignore_sigpipe_once();
  Outcome outcome;
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  if (options.input.kind == Stdin::Kind::Bytes && ::pipe2(in_pipe, O_CLOEXEC) != 0) fail_hard("pipe");
  const bool stdout_pipe = options.stdout_mode != StdoutMode::Closed && options.stdout_mode != StdoutMode::File;
  if (stdout_pipe && ::pipe2(out_pipe, O_CLOEXEC) != 0) fail_hard("pipe");
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) fail_hard("pipe");
  if (options.stdout_mode == StdoutMode::ClosedPipe) {
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  switch (options.input.kind) {
    case Stdin::Kind::Bytes: posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0); break;
    case Stdin::Kind::File: posix_spawn_file_actions_addopen(&actions, 0, options.input.data.c_str(), O_RDONLY, 0); break;
    case Stdin::Kind::Closed:
    default: posix_spawn_file_actions_addclose(&actions, 0); break;
  }
  if (options.stdout_mode == StdoutMode::Closed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (options.stdout_mode == StdoutMode::File) {
    posix_spawn_file_actions_addopen(&actions, 1, options.stdout_path.c_str(), O_RDWR, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int fd : {in_pipe[0], out_pipe[1], err_pipe[1]}) {
    if (fd >= 0) ::close(fd);
  }
  if (spawned != 0) {
    ADD_FAILURE() << "cannot spawn " << program << ": " << std::strerror(spawned);
    for (int fd : {in_pipe[1], out_pipe[0], err_pipe[0]}) {
      if (fd >= 0) ::close(fd);
    }
    return outcome;
  }

  int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
  size_t written = 0;
  const std::string& input = options.input.data;
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) set_nonblocking(fd);
  }
  if (in_fd >= 0 && input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
    std::vector<pollfd> fds;
    if (in_fd >= 0) fds.push_back({in_fd, POLLOUT, 0});
    if (out_fd >= 0) fds.push_back({out_fd, POLLIN, 0});
    if (err_fd >= 0) fds.push_back({err_fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      fail_hard("poll");
      break;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in_fd) {
        const ssize_t n = ::write(in_fd, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          ::close(in_fd);  // EPIPE: the child stopped reading, which is its right
          in_fd = -1;
        }
      } else if (p.fd == out_fd) {
        if (!drain(out_fd, outcome.out)) {
          ::close(out_fd);
          out_fd = -1;
        }
      } else if (p.fd == err_fd) {
        if (!drain(err_fd, outcome.err)) {
          ::close(err_fd);
          err_fd = -1;
        }
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.term_signal = WTERMSIG(status);
  return outcome;
}

std::string error_line(int code, std::string_view message) {
  std::string line = "{\"code\":" + std::to_string(code) + ",\"message\":";
  wrapper::append_json_string(line, message);
  line += "}\n";
  return line;
}

void expect_error(const Outcome& outcome, int code, std::string_view message) {
  EXPECT_EQ(outcome.exit_code, code);
  EXPECT_EQ(outcome.err, error_line(code, message));
  EXPECT_EQ(outcome.out, "");
}

void expect_success(const Outcome& outcome) {
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.err, "");
}

// ---------------------------------------------------------------------------
// Files

void CliTest::SetUp() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cli_test.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail_hard("mkdtemp");
  // Canonical, so that the tests can compare paths the binary resolved.
  char resolved[PATH_MAX];
  dir_ = ::realpath(pattern.c_str(), resolved) != nullptr ? resolved : pattern;
}

void CliTest::TearDown() {
  if (!dir_.empty()) ::nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string CliTest::write_file(std::string_view name, std::string_view bytes) const {
  std::string full = path(name);
  write_file_at(full, bytes);
  return full;
}

void write_file_at(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail_hard("open " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      fail_hard("write " + path);
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

std::optional<std::string> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

bool file_exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

// ---------------------------------------------------------------------------
// Configurations

std::string key_bytes() {
  std::string bytes;
  for (size_t i = 0; i < 64; i += 2) {
    bytes += static_cast<char>(wrapper::hex_digit_value(kKeyHex[i]) * 16 + wrapper::hex_digit_value(kKeyHex[i + 1]));
  }
  return bytes;
}

std::string json_string(std::string_view text) {
  std::string out;
  wrapper::append_json_string(out, text);
  return out;
}

std::string config_json(const std::vector<std::string>& input_columns, std::string_view operation,
                        std::string_view parameters_json, std::string_view output_columns_json) {
  std::string out = "{\"input_columns\":[";
  for (size_t i = 0; i < input_columns.size(); ++i) out += (i > 0 ? "," : "") + json_string(input_columns[i]);
  out += "],\"operation\":" + json_string(operation);
  out += ",\"parameters\":" + std::string(parameters_json);
  out += ",\"output_columns\":" + std::string(output_columns_json) + "}";
  return out;
}

std::string hmac_config(std::string_view input, std::string_view output) {
  return config_json({std::string(input)}, "hmac_sha256", "{\"key\":" + json_string(kKeyHex) + "}",
                     "{\"result\":" + json_string(output) + "}");
}

std::string expected_hmac(std::string_view value) {
  const std::string key = key_bytes();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(value.data()),
       value.size(), digest, &length);
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += wrapper::kLowerHexDigits[digest[i] >> 4];
    out += wrapper::kLowerHexDigits[digest[i] & 15];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Building input streams

columnar::ArrayRef utf8_array(const OptionalStrings& values) {
  const auto rows = static_cast<int64_t>(values.size());
  columnar::MutableBuffer offsets((rows + 1) * 4), data, validity;
  int64_t nulls = 0;
  for (const auto& value : values) nulls += value.has_value() ? 0 : 1;
  if (nulls > 0) validity.resize((rows + 7) / 8);
  int32_t end = 0;
  offsets.push(end);
  for (int64_t i = 0; i < rows; ++i) {
    const auto& value = values[static_cast<size_t>(i)];
    if (value) {
      // An empty buffer has no storage yet: append nothing to it.
      if (!value->empty()) data.append(value->data(), static_cast<int64_t>(value->size()));
      end += static_cast<int32_t>(value->size());
      if (nulls > 0) columnar::set_bit(validity.data(), i);
    }
    offsets.push(end);
  }
  return columnar::Array::make(columnar::DataType::utf8(), rows, 0, nulls > 0 ? buffer_from(validity) : nullptr,
                               {buffer_from(offsets), buffer_from(data)}, nulls);
}

columnar::ArrayRef repeated_utf8(int64_t rows, std::string_view value) {
  const auto width = static_cast<int32_t>(value.size());
  columnar::MutableBuffer offsets((rows + 1) * 4), data(rows * width);
  auto* o = reinterpret_cast<int32_t*>(offsets.data());
  for (int64_t i = 0; i <= rows; ++i) o[i] = static_cast<int32_t>(i) * width;
  offsets.set_size_unchecked((rows + 1) * 4);
  if (width > 0) {
    for (int64_t i = 0; i < rows; ++i) std::memcpy(data.data() + i * width, value.data(), value.size());
  }
  data.set_size_unchecked(rows * width);
  return columnar::Array::make(columnar::DataType::utf8(), rows, 0, nullptr,
                               {std::move(offsets).freeze(), std::move(data).freeze()}, 0);
}

columnar::ArrayRef int64_array(const std::vector<int64_t>& values) {
  columnar::MutableBuffer buffer(static_cast<int64_t>(values.size()) * 8);
  for (const int64_t v : values) buffer.push(v);
  return columnar::Array::make(columnar::DataType::int64(), static_cast<int64_t>(values.size()), 0, nullptr,
                               {std::move(buffer).freeze()}, 0);
}

columnar::ArrayRef bool_array(const std::vector<bool>& values) {
  const auto rows = static_cast<int64_t>(values.size());
  columnar::MutableBuffer bits;
  bits.resize((rows + 7) / 8);
  for (int64_t i = 0; i < rows; ++i) {
    if (values[static_cast<size_t>(i)]) columnar::set_bit(bits.data(), i);
  }
  return columnar::Array::make(columnar::DataType::boolean(), rows, 0, nullptr, {std::move(bits).freeze()}, 0);
}

columnar::SchemaRef schema_of(std::vector<columnar::Field> fields) { return columnar::make_schema(std::move(fields)); }

columnar::SchemaRef utf8_schema(const std::vector<std::string>& names) {
  std::vector<columnar::Field> fields;
  for (const auto& name : names) fields.emplace_back(name, columnar::DataType::utf8());
  return schema_of(std::move(fields));
}

columnar::RecordBatch batch_of(const columnar::SchemaRef& schema, std::vector<columnar::ArrayRef> columns) {
  auto batch = columnar::RecordBatch::make(schema, std::move(columns));
  if (!batch.ok()) {
    ADD_FAILURE() << "bad test batch: " << batch.error().to_string();
    std::abort();
  }
  return std::move(batch).value();
}

std::string encode_stream(const columnar::SchemaRef& schema, const std::vector<columnar::RecordBatch>& batches,
                          bool end_marker) {
  StringSink sink;
  auto writer = columnar::ipc::StreamWriter::open(sink, schema, columnar::ipc::WriteOptions{});
  if (!writer.ok()) {
    ADD_FAILURE() << "cannot open the test stream: " << writer.error().to_string();
    return {};
  }
  for (const auto& batch : batches) {
    auto written = writer.value().write(batch);
    if (!written.ok()) ADD_FAILURE() << "cannot write a test batch: " << written.error().to_string();
  }
  if (end_marker) {
    auto finished = writer.value().finish();
    if (!finished.ok()) ADD_FAILURE() << "cannot finish the test stream: " << finished.error().to_string();
  }
  return sink.bytes;
}

std::string utf8_stream(std::string_view name, const std::vector<OptionalStrings>& batches) {
  const auto schema = utf8_schema({std::string(name)});
  std::vector<columnar::RecordBatch> encoded;
  for (const auto& values : batches) encoded.push_back(batch_of(schema, {utf8_array(values)}));
  return encode_stream(schema, encoded);
}

// ---------------------------------------------------------------------------
// Crafted messages

std::string end_of_stream_marker() {
  return std::string(columnar::ipc::kEndOfStream.begin(), columnar::ipc::kEndOfStream.end());
}

std::string schema_message(const std::vector<FieldDescription>& fields) {
  return frame(fixtures::schema_message(fields));
}

std::string schema_message_with_shared_metadata(const std::vector<FieldDescription>& fields, size_t count,
                                                size_t key_bytes) {
  return frame(fixtures::shared_key_value_message(count, key_bytes, fields));
}

std::string shared_name_chain_schema(size_t depth, const std::string& name, size_t leaves) {
  return frame(fixtures::shared_name_chain_message(depth, name, leaves));
}

std::string repeated_field_schema(size_t count, const std::string& name) {
  return frame(fixtures::repeated_field_message(count, name));
}

std::string distinct_fields_schema(size_t count) { return frame(fixtures::distinct_fields_message(count)); }

std::string message_with_header_outside(uint8_t header_type) {
  return frame(fixtures::message_with_header_outside(header_type));
}

std::string message_with_header_type(std::optional<uint8_t> header_type, bool with_header) {
  return frame(fixtures::message_with_header_type(header_type, with_header));
}

std::string dictionary_batch_message() { return frame(fixtures::dictionary_batch_message()); }

std::string tensor_message() { return frame(fixtures::tensor_message()); }

std::string compressed_record_batch_message() {
  const auto none = fixtures::Body::none();
  return frame(fixtures::record_batch_message(0, {{0, 0}}, {none, none, none}, 0, /*compressed=*/true));
}

std::string record_batch_message(int64_t length, int64_t null_count,
                                 const std::vector<std::pair<int64_t, int64_t>>& buffers, std::string_view body) {
  std::vector<fb::Buffer> locations;
  for (const auto& [offset, size] : buffers) locations.emplace_back(offset, size);
  return frame(fixtures::record_batch_message(length, {{length, null_count}}, locations,
                                              static_cast<int64_t>(body.size())),
               body);
}

// ---------------------------------------------------------------------------
// Reading output streams

DecodedStream decode_stream(std::string_view bytes) {
  DecodedStream decoded;
  SplitStream split = split_stream(bytes);
  decoded.end_marker = split.end_marker;
  if (!split.error.empty()) {
    decoded.error = split.error;
    return decoded;
  }
  if (split.trailing_bytes != 0) {
    decoded.error = std::to_string(split.trailing_bytes) + " bytes after the end-of-stream marker";
    return decoded;
  }
  for (size_t i = 0; i < split.messages.size(); ++i) {
    const auto view = split.messages[i].view();
    const auto type = view.header_type();
    if (i == 0) {
      if (type != columnar::ipc::MessageHeaderType::Schema) {
        decoded.error = "first message is not a schema";
        return decoded;
      }
      auto schema = columnar::ipc::schema_from_message(view);
      if (!schema.ok()) {
        decoded.error = "schema: " + schema.error().to_string();
        return decoded;
      }
      decoded.schema = std::move(schema).value();
      continue;
    }
    if (type != columnar::ipc::MessageHeaderType::RecordBatch) {
      decoded.error = "message " + std::to_string(i) + " is not a record batch";
      return decoded;
    }
    const auto& body = split.messages[i].body;
    const columnar::BufferRef body_buffer =
        body.empty() ? columnar::Buffer::empty() : columnar::Buffer::copy_of(body.data(), static_cast<int64_t>(body.size()));
    auto batch = columnar::ipc::decode_record_batch(view, body_buffer, decoded.schema);
    if (!batch.ok()) {
      decoded.error = "batch " + std::to_string(i) + ": " + batch.error().to_string();
      return decoded;
    }
    decoded.batches.push_back(std::move(batch).value());
  }
  if (split.messages.empty()) decoded.error = "no schema message";
  return decoded;
}

OptionalStrings utf8_values(const columnar::Array& array) {
  OptionalStrings values;
  for (int64_t i = 0; i < array.length(); ++i) {
    if (array.is_null(i)) {
      values.emplace_back(std::nullopt);
    } else {
      values.emplace_back(std::string(array.utf8_value(i)));
    }
  }
  return values;
}

std::vector<int64_t> int64_values(const columnar::Array& array) {
  return std::vector<int64_t>(array.int64_values(), array.int64_values() + array.length());
}

}  // namespace cli
