// The run command end to end: the stream loop's checks, framing errors, run
// setup (paths and the same-file check), what a named output file holds
// after a failure, successful runs with exact HMAC values, and the chunking,
// finish and row-count rules seen through the test plugin's cores.
#include <sys/stat.h>
#include <unistd.h>

#include "cli_support.h"
#include "columnar/ipc_framing.h"

namespace cli {
namespace {

constexpr const char* kOldOutput = "old output";
const std::string kTextSchema = schema_message({{"text", FieldKind::Utf8}});

// Schema message of a one-column utf8 stream, and one record-batch message.
std::string utf8_schema_bytes(std::string_view name) {
  return encode_stream(utf8_schema({std::string(name)}), {}, false);
}
std::string utf8_batch_bytes(std::string_view name, const OptionalStrings& values) {
  const auto schema = utf8_schema({std::string(name)});
  const std::string with_batch = encode_stream(schema, {batch_of(schema, {utf8_array(values)})}, false);
  return with_batch.substr(utf8_schema_bytes(name).size());
}

class RunCliTest : public CliTest {
 protected:
  std::string input_path() const { return path("in.arrow"); }
  std::string output_path() const { return path("out.arrow"); }
  std::string trace_path() const { return path("trace.txt"); }

  // --config, --input and --output files; the output starts with old bytes.
  Outcome run_files(const char* program, const std::string& config, const std::string& input) {
    const std::string config_path = write_file("config.json", config);
    write_file("in.arrow", input);
    write_file("out.arrow", kOldOutput);
    return run_binary(program, {"run", "--config", config_path, "--input", input_path(), "--output", output_path()});
  }
  Outcome run_hmac(const std::string& input) { return run_files(kTessolvaneBinary, hmac_config(), input); }

  // A test-plugin configuration whose parameters also name the trace file.
  std::string plugin_config(const std::vector<std::string>& inputs, std::string_view operation,
                            std::string_view parameters = "", std::string_view outputs = R"({"result":"r"})") const {
    std::string all = "{\"trace\":" + json_string(trace_path());
    if (!parameters.empty()) all += "," + std::string(parameters);
    all += "}";
    return config_json(inputs, operation, all, outputs);
  }

  std::string output() const { return read_file(output_path()).value_or("<missing>"); }
  std::string trace() const { return read_file(trace_path()).value_or(""); }

  // The output stopped after the schema and `batches` record batches,
  // without an end-of-stream marker.
  void expect_stream_case(const struct StreamCase& c);

  void expect_partial_output(size_t batches) const {
    const SplitStream split = split_stream(output());
    EXPECT_EQ(split.error, "");
    EXPECT_FALSE(split.end_marker);
    EXPECT_EQ(split.messages.size(), batches + 1);
  }
};

// ---------------------------------------------------------------------------
// The stream loop's checks, with the real executable

// The display text of `depth` Structs nested in an empty one, every child
// named `name`.
std::string nested_struct_text(size_t depth, const std::string& name) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += "Struct(" + name + ": ";
  return text + "Struct()" + std::string(depth, ')');
}

struct StreamCase {
  const char* name;
  std::string input;
  int code;
  std::string message;
  int written_batches;  // -1: the output stream was never opened
};

// The error line of one bad stream, and what the output file holds after it.
void RunCliTest::expect_stream_case(const StreamCase& c) {
  SCOPED_TRACE(c.name);
  expect_error(run_hmac(c.input), c.code, c.message);
  if (c.written_batches < 0) {
    EXPECT_EQ(output(), "");
  } else {
    expect_partial_output(static_cast<size_t>(c.written_batches));
  }
}

TEST_F(RunCliTest, StreamLoopRejectsBadStreams) {
  const std::string schema = utf8_schema_bytes("text");
  const std::string batch = utf8_batch_bytes("text", {"a", "b"});
  const std::string eos = end_of_stream_marker();
  const std::string empty_batch = record_batch_message(0, 0, {{0, 0}, {0, 0}, {0, 0}}, "");
  const StreamCase cases[] = {
      {"zero bytes", "", 5, "input is zero bytes, not an Arrow IPC stream", -1},
      {"only the end-of-stream marker", eos, 5, "input starts with the end-of-stream marker, no schema", -1},
      {"record batch first", empty_batch + eos, 5, "expected a schema as the first message in the stream", -1},
      {"header type absent", message_with_header_type(std::nullopt, false) + eos, 5,
       "expected a schema as the first message in the stream", -1},
      {"Tensor first", tensor_message() + eos, 5, "expected a schema as the first message in the stream", -1},
      // A header type without its header fails verification in the framing
      // reader, before the stream loop could call it a malformed schema.
      {"schema without header", message_with_header_type(1, false) + eos, 5,
       "message metadata is not a valid flatbuffer", -1},
      {"duplicate names", schema_message({{"a", FieldKind::Utf8}, {"b", FieldKind::Utf8}, {"a", FieldKind::Utf8}}) + eos,
       5, R"(input schema has duplicate field names: ["a", "b", "a"])", -1},
      {"duplicate before exact columns", schema_message({{"text", FieldKind::Int32}, {"text", FieldKind::Utf8}}) + eos,
       5, R"(input schema has duplicate field names: ["text", "text"])", -1},
      {"other columns", schema_message({{"c", FieldKind::Utf8}, {"a", FieldKind::Utf8}}) + eos, 5,
       R"(input schema must contain exactly input_columns ["text"], got ["a", "c"])", -1},
      {"one column more", schema_message({{"text", FieldKind::Utf8}, {"b", FieldKind::Utf8}}) + eos, 5,
       R"(input schema must contain exactly input_columns ["text"], got ["b", "text"])", -1},
      {"no fields", schema_message({}) + eos, 5, R"(input schema must contain exactly input_columns ["text"], got [])",
       -1},
      {"LargeUtf8", schema_message({{"text", FieldKind::LargeUtf8}}) + eos, 4,
       "column 'text' has an unsupported type: LargeUtf8", -1},
      {"Int32", schema_message({{"text", FieldKind::Int32}}) + eos, 4, "column 'text' has an unsupported type: Int32",
       -1},
      {"int64 not accepted", schema_message({{"text", FieldKind::Int64}}) + eos, 4,
       "column 'text' has type int64, which this binary does not accept", -1},
      {"boolean not accepted", schema_message({{"text", FieldKind::Boolean}}) + eos, 4,
       "column 'text' has type boolean, which this binary does not accept", -1},
      // Schemas reaching one field or name through many offsets.
      {"nested Structs sharing one name", shared_name_chain_schema(61, "nnn") + eos, 5,
       R"(input schema must contain exactly input_columns ["text"], got ["nnn"])", -1},
      {"nested Structs listing one leaf 300 times", shared_name_chain_schema(60, "nnn", 300) + eos, 5,
       R"(input schema must contain exactly input_columns ["text"], got ["nnn"])", -1},
      {"one field listed three times", repeated_field_schema(3, "text") + eos, 5,
       R"(input schema has duplicate field names: ["text", "text", "text"])", -1},
      {"nested Structs sharing the input column's name", shared_name_chain_schema(61, "text") + eos, 4,
       "column 'text' has an unsupported type: " + nested_struct_text(60, "text"), -1},
      {"missing end-of-stream marker", schema + batch, 5, "input stream is truncated: missing the end-of-stream marker",
       1},
      {"missing marker after the schema", schema, 5, "input stream is truncated: missing the end-of-stream marker", 0},
      {"dictionary batch", schema + dictionary_batch_message() + eos, 5,
       "input contains a dictionary batch, which is not supported", 0},
      {"dictionary batch without header", schema + message_with_header_type(2, false) + eos, 5,
       "message metadata is not a valid flatbuffer", 0},
      {"second schema", schema + batch + schema + eos, 5, "unexpected IPC message type Schema", 1},
      {"header type absent later", schema + message_with_header_type(std::nullopt, false) + eos, 5,
       "unexpected IPC message type NONE", 0},
      {"Tensor later", schema + tensor_message() + eos, 5, "unexpected IPC message type Tensor", 0},
      {"header type 7", schema + message_with_header_type(7, true) + eos, 5,
       "unexpected IPC message type <UNKNOWN 7>", 0},
      {"header type 255", schema + message_with_header_type(255, true) + eos, 5,
       "unexpected IPC message type <UNKNOWN 255>", 0},
      // The header of an unknown type is never looked at, wherever it points.
      {"header type 6 pointing outside", schema + message_with_header_outside(6) + eos, 5,
       "unexpected IPC message type <UNKNOWN 6>", 0},
      {"header type 200 pointing outside", schema + message_with_header_outside(200) + eos, 5,
       "unexpected IPC message type <UNKNOWN 200>", 0},
      {"header type NONE pointing outside", schema + message_with_header_outside(0) + eos, 5,
       "unexpected IPC message type NONE", 0},
      {"schema header pointing outside", schema + message_with_header_outside(1) + eos, 5,
       "message metadata is not a valid flatbuffer", 0},
      // 200,000 offsets to one KeyValue of 300 KB: an apparent size of 60 GB.
      {"metadata reaching one key 200,000 times",
       schema_message_with_shared_metadata({{"text", FieldKind::Utf8}}, 200'000, 300'000) + eos, 5,
       "message metadata is not a valid flatbuffer", -1},
      {"record batch without header", schema + message_with_header_type(3, false) + eos, 5,
       "message metadata is not a valid flatbuffer", 0},
      {"compressed body", schema + compressed_record_batch_message() + eos, 5,
       "input contains a compressed record batch body, which is not supported", 0},
      {"buffer outside the body", schema + record_batch_message(1, 0, {{0, 0}, {0, 8}, {8, 1}}, std::string(8, '\0')) + eos,
       5,
       "malformed record batch data: Ipc error: field 'text': buffer 2 (offset 8, length 1) is outside the body of 8 "
       "bytes",
       0},
      {"trailing byte", schema + batch + eos + "x", 5, "trailing data after the end of the Arrow IPC stream", 1},
      {"second stream after the marker", schema + eos + schema + eos, 5,
       "trailing data after the end of the Arrow IPC stream", 0},
  };
  for (const auto& c : cases) expect_stream_case(c);
}

TEST_F(RunCliTest, FramingErrorsReachTheErrorLine) {
  const std::string schema = utf8_schema_bytes("text");
  const std::string batch = utf8_batch_bytes("text", {"some value", "another"});
  const auto prefix = [](uint32_t length) {
    const auto bytes = columnar::ipc::encode_prefix(static_cast<int32_t>(length));
    return std::string(bytes.begin(), bytes.end());
  };
  const StreamCase cases[] = {
      {"Arrow IPC file", std::string("ARROW1\0\0", 8) + schema, 5, "input is the Arrow IPC file format, not the stream format", -1},
      {"only the file magic", "ARROW1", 5, "input is the Arrow IPC file format, not the stream format", -1},
      {"older framing without the marker", schema.substr(4), 5,
       "message does not start with the IPC continuation marker", -1},
      {"three bytes", "\xFF\xFF\xFF", 5, "input stream is truncated inside a message header", -1},
      {"seven bytes", schema.substr(0, 7), 5, "input stream is truncated inside a message header", -1},
      {"negative metadata length", prefix(0xFFFFFFFF), 5, "negative message metadata length", -1},
      {"metadata length over the cap", prefix(67108865), 5,
       "message metadata length 67108865 exceeds the 67108864 byte cap", -1},
      {"metadata cut short", schema.substr(0, 20), 5, "input stream is truncated inside message metadata", -1},
      {"metadata of three bytes", prefix(3) + "abc", 5, "message metadata is not a valid flatbuffer", -1},
      {"body cut short", schema + batch.substr(0, batch.size() - 10), 5,
       "input stream is truncated inside a message body", 0},
      {"header cut short after the schema", schema + "\xFF\xFF", 5, "input stream is truncated inside a message header",
       0},
  };
  for (const auto& c : cases) expect_stream_case(c);
}

TEST_F(RunCliTest, MetadataReachingOneKeyOftenWithinTheApparentSizeIsAccepted) {
  // 100 offsets to one 4 MiB key: 400 MiB of apparent size, below the limit.
  const std::string input = schema_message_with_shared_metadata({{"text", FieldKind::Utf8}}, 100, 4 << 20) +
                            utf8_batch_bytes("text", {"a"}) + end_of_stream_marker();
  expect_success(run_hmac(input));
  const DecodedStream decoded = decode_stream(output());
  ASSERT_EQ(decoded.error, "");
  ASSERT_EQ(decoded.batches.size(), 1u);
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(0)), OptionalStrings{expected_hmac("a")});
}

TEST_F(RunCliTest, SchemaMessageFillingTheWriteBufferExactlyStaysBufferedAtOpen) {
  // An output name of 8,050 bytes makes the schema message exactly 8,192
  // bytes: it fits the empty buffer, so a full device fails only later.
  const std::string name(8050, 'n');
  const std::string config = write_file("config.json", hmac_config("text", name));
  {
    SCOPED_TRACE("the schema message is 8,192 bytes");
    const Outcome r = run_binary(kTessolvaneBinary, {"run", "--config", config}, with_stdin(Stdin::bytes(utf8_stream("text", {}))));
    expect_success(r);
    const SplitStream split = split_stream(r.out);
    ASSERT_EQ(split.messages.size(), 1u);
    EXPECT_EQ(split.messages[0].end_offset, 8192u);
  }
  const struct {
    const char* name;
    std::vector<OptionalStrings> batches;
    std::string message;
  } cases[] = {
      {"one batch follows", {{"a"}},
       "internal error: writing the output stream failed: Io error: No space left on device (os error 28)"},
      {"no batch follows", {},
       "internal error: closing the output stream failed: Io error: No space left on device (os error 28)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = write_file("in.arrow", utf8_stream("text", c.batches));
    expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input, "--output", "/dev/full"}), 6,
                 c.message);
  }
}

TEST_F(RunCliTest, ClosedStdinIsAnEmptyInput) {
  const std::string config = write_file("config.json", hmac_config());
  expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config}, with_stdin(Stdin::closed())), 5,
               "input is zero bytes, not an Arrow IPC stream");
}

TEST_F(RunCliTest, SchemaChecksWithSeveralColumns) {
  const auto eos = end_of_stream_marker();
  const struct {
    const char* name;
    std::vector<std::string> inputs;
    std::string input;
    std::string message;
  } cases[] = {
      {"sorted lists", {"b", "a"}, schema_message({{"c", FieldKind::Utf8}, {"a", FieldKind::Utf8}}) + eos,
       R"(input schema must contain exactly input_columns ["a", "b"], got ["a", "c"])"},
      {"duplicates whatever input_columns holds", {"b", "a"},
       schema_message({{"a", FieldKind::Utf8}, {"b", FieldKind::Utf8}, {"a", FieldKind::Utf8}}) + eos,
       R"(input schema has duplicate field names: ["a", "b", "a"])"},
      // Fields are judged in schema order, each completely.
      {"not accepted before unsupported", {"a", "b"},
       schema_message({{"a", FieldKind::Float64}, {"b", FieldKind::Int32}}) + eos,
       "column 'a' has type float64, which this binary does not accept"},
      {"unsupported before not accepted", {"a", "b"},
       schema_message({{"b", FieldKind::Int32}, {"a", FieldKind::Float64}}) + eos,
       "column 'b' has an unsupported type: Int32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int code = c.message.starts_with("column") ? 4 : 5;
    expect_error(run_files(kTestPlugin, plugin_config(c.inputs, "echo", "", R"({"out0":"x","out1":"y"})"), c.input),
                 code, c.message);
    EXPECT_EQ(output(), "");
    EXPECT_EQ(trace(), "");
  }
}

// ---------------------------------------------------------------------------
// Run setup

TEST_F(RunCliTest, InputMustBeAReadableRegularFile) {
  const std::string config = write_file("config.json", hmac_config());
  write_file("in.arrow", utf8_stream("text", {{"a"}}));
  ASSERT_EQ(::mkdir(path("directory").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(path("directory").c_str(), path("link-to-directory").c_str()), 0);
  const struct {
    const char* name;
    std::string input;
    std::string message;
  } cases[] = {
      {"missing", path("missing.arrow"), "--input path does not exist: " + path("missing.arrow")},
      {"directory", path("directory"), "--input path does not exist: " + path("directory")},
      {"named pipe", path("fifo"), "--input path does not exist: " + path("fifo")},
      {"link to a directory", path("link-to-directory"), "--input path does not exist: " + path("link-to-directory")},
      {"device", "/dev/null", "--input path does not exist: /dev/null"},
      {"invalid UTF-8 in the path", path("no\xFF"), "--input path does not exist: " + path("no\xEF\xBF\xBD")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file("out.arrow", kOldOutput);
    expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", c.input, "--output", output_path()}),
                 1, c.message);
    EXPECT_EQ(output(), kOldOutput);
  }
}

TEST_F(RunCliTest, UnreadableInputFile) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string input = write_file("in.arrow", utf8_stream("text", {{"a"}}));
  ASSERT_EQ(::chmod(input.c_str(), 0), 0);
  if (read_file(input).has_value()) GTEST_SKIP() << "this user reads files of mode 000 (root)";
  expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input}), 1,
               "--input path is not readable: Permission denied (os error 13)");
}

TEST_F(RunCliTest, OutputMustBeCreatable) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string input = write_file("in.arrow", utf8_stream("text", {{"a"}}));
  ASSERT_EQ(::mkdir(path("sub").c_str(), 0755), 0);
  const struct {
    const char* name;
    std::string output;
    std::string message;
  } cases[] = {
      {"directory missing", path("missing/out.arrow"),
       "--output path is not creatable: No such file or directory (os error 2)"},
      {"a directory", path("sub"), "--output path is not creatable: Is a directory (os error 21)"},
      // No plain final component: the same-file check is skipped and the open decides.
      {"ending in ..", path("sub/.."), "--output path is not creatable: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input, "--output", c.output}), 1,
                 c.message);
  }
  EXPECT_FALSE(file_exists(path("missing")));
}

TEST_F(RunCliTest, OutputNamingTheInputFileIsRefused) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string stream = utf8_stream("text", {{"a", "b"}});
  const std::string input = write_file("in.arrow", stream);
  ASSERT_EQ(::mkdir(path("sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(dir().c_str(), path("link").c_str()), 0);
  const struct {
    const char* name;
    std::string input;
    std::string output;
  } cases[] = {
      {"the same path twice", input, input},
      {"leading ./", "in.arrow", "./in.arrow"},
      {"relative and absolute", "in.arrow", input},
      {"doubled separator", input, dir() + "//in.arrow"},
      {"trailing . component", input, dir() + "/./in.arrow"},
      {"detour through ..", input, dir() + "/sub/../in.arrow"},
      {"symbolic link in the directory part", input, dir() + "/link/in.arrow"},
      {"link in the input's directory", dir() + "/link/in.arrow", input},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", c.input, "--output", c.output},
                            in_dir(dir())),
                 1, "--input and --output must not name the same file");
    EXPECT_EQ(read_file(input), stream);
  }
}

TEST_F(RunCliTest, StandardStreamsOnTheInputFileAreRefused) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string stream = utf8_stream("text", {{"a", "b"}});
  const std::string input = write_file("in.arrow", stream);
  SpawnOptions on_stdout;
  on_stdout.stdout_mode = StdoutMode::File;
  on_stdout.stdout_path = input;
  SpawnOptions stdin_and_stdout = on_stdout;
  stdin_and_stdout.input = Stdin::file(input);
  const struct {
    const char* name;
    std::vector<std::string> args;
    SpawnOptions options;
  } cases[] = {
      {"standard input is the --output file", {"--output", input}, with_stdin(Stdin::file(input))},
      {"standard output is the --input file", {"--input", input}, on_stdout},
      {"standard input and output are one file", {}, stdin_and_stdout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"run", "--config", config};
    args.insert(args.end(), c.args.begin(), c.args.end());
    expect_error(run_binary(kTessolvaneBinary, args, c.options), 1, "--input and --output must not name the same file");
    EXPECT_EQ(read_file(input), stream);
  }
  // Another file on standard input or output is no reason to refuse.
  const std::string other = write_file("other.arrow", "");
  on_stdout.stdout_path = other;
  expect_success(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input}, on_stdout));
  expect_success(run_binary(kTessolvaneBinary, {"run", "--config", config, "--output", other}, with_stdin(Stdin::file(input))));
  EXPECT_EQ(read_file(input), stream);
}

// The configuration holds the key: no spelling of its path, no link to it and
// no redirection of standard output onto it lets the run overwrite it.
TEST_F(RunCliTest, OutputNamingTheConfigurationFileIsRefused) {
  const std::string text = hmac_config();
  const std::string config = write_file("config.json", text);
  const std::string input = write_file("in.arrow", utf8_stream("text", {{"a", "b"}}));
  ASSERT_EQ(::symlink(config.c_str(), path("config-link.json").c_str()), 0);
  ASSERT_EQ(::link(config.c_str(), path("config-hard.json").c_str()), 0);
  SpawnOptions on_stdout = in_dir(dir());
  on_stdout.stdout_mode = StdoutMode::File;
  on_stdout.stdout_path = config;
  const struct {
    const char* name;
    std::vector<std::string> args;
    SpawnOptions options;
  } cases[] = {
      {"the same path", {"--config", config, "--output", config}, in_dir(dir())},
      {"relative and absolute", {"--config", "config.json", "--output", config}, in_dir(dir())},
      {"symbolic link", {"--config", config, "--output", path("config-link.json")}, in_dir(dir())},
      {"hard link", {"--config", path("config-hard.json"), "--output", config}, in_dir(dir())},
      {"standard output is the configuration", {"--config", config}, on_stdout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"run"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--input", input});
    expect_error(run_binary(kTessolvaneBinary, args, c.options), 1, "--config and --output must not name the same file");
    EXPECT_EQ(read_file(config), text);
  }
}

TEST_F(RunCliTest, SetupFailuresOfTheCore) {
  const std::string result = R"({"result":"r"})";
  const std::string long_message(1010, 'm');
  const struct {
    const char* name;
    std::string operation;
    std::string parameters;
    std::string outputs;
    int code;
    std::string message;
  } cases[] = {
      {"Float64 output", "declare", R"("type":"float64")", result, 6,
       "internal error: output 'result' has type Float64 outside the vocabulary"},
      {"LargeUtf8 output", "declare", R"("type":"large_utf8")", result, 6,
       "internal error: output 'result' has type LargeUtf8 outside the vocabulary"},
      {"Int32 output", "declare", R"("type":"int32")", result, 6,
       "internal error: output 'result' has type Int32 outside the vocabulary"},
      // The output names are checked before the output types.
      {"unmapped output of a bad type", "declare", R"("type":"float64")", "{}", 1,
       R"(output_columns must map exactly the operation's outputs ["result"], got [])"},
      // The catalogue is asked before build_operation, which has its own words.
      {"operation not in the catalogue", "nope", "", result, 4, "unsupported operation: 'nope'"},
      {"build fails: invalid_config", "fail", R"("at":"build","kind":"invalid_config","message":"no")", result, 1, "no"},
      {"build fails: unsupported", "fail", R"("at":"build","kind":"unsupported","message":"no")", result, 4, "no"},
      {"build fails: invalid_input", "fail", R"("at":"build","kind":"invalid_input","message":"no")", result, 5, "no"},
      {"build fails: internal", "fail", R"("at":"build","kind":"internal","message":"no")", result, 6,
       "internal error: no"},
      // The prefix comes first and survives the cut.
      {"long internal message", "fail", R"("at":"build","kind":"internal","message":")" + long_message + "\"", result,
       6, ("internal error: " + long_message).substr(0, 1010) + "...(truncated)"},
  };
  // All before the input is opened: a missing input is not what is reported.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config = write_file("config.json", plugin_config({"text"}, c.operation, c.parameters, c.outputs));
    write_file("out.arrow", kOldOutput);
    expect_error(run_binary(kTestPlugin, {"run", "--config", config, "--input", path("missing"), "--output",
                                          output_path()}),
                 c.code, c.message);
    EXPECT_EQ(output(), kOldOutput);
  }
}

// ---------------------------------------------------------------------------
// The output file

TEST_F(RunCliTest, NewOutputFileGetsMode0666LessTheUmask) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string input = write_file("in.arrow", utf8_stream("text", {{"a"}}));
  const std::string output = path("new.arrow");
  const mode_t previous = ::umask(027);
  const Outcome outcome = run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input, "--output", output});
  ::umask(previous);
  expect_success(outcome);
  struct stat status;
  ASSERT_EQ(::stat(output.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST_F(RunCliTest, CoreFailingOnTheSecondBatchLeavesThePartialOutput) {
  const std::string input = utf8_stream("text", {{"first", "batch"}, {"second"}});
  const std::string parameters = R"("at":2,"kind":"invalid_input","message":"bad second batch")";
  expect_error(run_files(kTestPlugin, plugin_config({"text"}, "fail", parameters), input), 5, "bad second batch");
  expect_partial_output(1);
  const std::string bytes = output();
  // split_stream stops without an end marker; decode what is there.
  const DecodedStream decoded = decode_stream(bytes + end_of_stream_marker());
  ASSERT_EQ(decoded.error, "");
  ASSERT_EQ(decoded.batches.size(), 1u);
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(0)), (OptionalStrings{"first", "batch"}));
  EXPECT_EQ(trace(), "process 2 [text]\nprocess 1 [text]\n");
}

TEST_F(RunCliTest, PartialOutputOnStdoutIsDelivered) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string schema = utf8_schema_bytes("text");
  const std::string input = schema + utf8_batch_bytes("text", {"a"});
  const Outcome outcome = run_binary(kTessolvaneBinary, {"run", "--config", config}, with_stdin(Stdin::bytes(input)));
  EXPECT_EQ(outcome.exit_code, 5);
  EXPECT_EQ(outcome.err, error_line(5, "input stream is truncated: missing the end-of-stream marker"));
  const SplitStream split = split_stream(outcome.out);
  EXPECT_EQ(split.error, "");
  EXPECT_FALSE(split.end_marker);
  EXPECT_EQ(split.messages.size(), 2u);
}

// ---------------------------------------------------------------------------
// Successful runs of the real executable

const OptionalStrings kValues = {
    "hello",
    std::nullopt,
    "",
    "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",  // two-, three- and four-byte characters
    std::string(55, 'a'),
    std::string(56, 'b'),
    std::string(64, 'c'),
    std::string(120, 'd'),
    std::nullopt,
    "hello",
};

OptionalStrings hmacs_of(const OptionalStrings& values) {
  OptionalStrings out;
  for (const auto& v : values) out.push_back(v ? std::optional<std::string>(expected_hmac(*v)) : std::nullopt);
  return out;
}

TEST_F(RunCliTest, HashesEveryValueWhereverInputAndOutputAre) {
  const std::string config = write_file("config.json", hmac_config("text", "hashed"));
  const std::string stream = utf8_stream("text", {kValues});
  const std::string input = write_file("in.arrow", stream);
  const struct {
    const char* name;
    bool input_file;
    bool output_file;
  } ways[] = {
      {"file to file", true, true},
      {"file to stdout", true, false},
      {"stdin to file", false, true},
      {"stdin to stdout", false, false},
  };
  std::optional<std::string> first_output;
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    std::vector<std::string> args = {"run", "--config", config};
    if (way.input_file) args.insert(args.end(), {"--input", input});
    if (way.output_file) args.insert(args.end(), {"--output", output_path()});
    const Outcome outcome =
        run_binary(kTessolvaneBinary, args, with_stdin(way.input_file ? Stdin::bytes("") : Stdin::bytes(stream)));
    expect_success(outcome);
    const std::string bytes = way.output_file ? output() : outcome.out;
    if (way.output_file) {
      EXPECT_EQ(outcome.out, "");
    }

    // Schema message, one record-batch message, the marker, nothing after;
    // every message ends on a multiple of 64 bytes.
    const SplitStream split = split_stream(bytes);
    ASSERT_EQ(split.error, "");
    ASSERT_EQ(split.messages.size(), 2u);
    EXPECT_TRUE(split.end_marker);
    EXPECT_EQ(split.trailing_bytes, 0u);
    for (const Frame& frame : split.messages) EXPECT_EQ(frame.end_offset % 64, 0u);
    EXPECT_EQ(bytes.substr(split.messages.back().end_offset), end_of_stream_marker());

    const DecodedStream decoded = decode_stream(bytes);
    ASSERT_EQ(decoded.error, "");
    ASSERT_EQ(decoded.schema->fields.size(), 1u);
    EXPECT_EQ(decoded.schema->fields[0], columnar::Field("hashed", columnar::DataType::utf8(), true));
    EXPECT_TRUE(decoded.schema->metadata.empty());
    ASSERT_EQ(decoded.batches.size(), 1u);
    EXPECT_EQ(utf8_values(*decoded.batches[0].column(0)), hmacs_of(kValues));

    if (!first_output) first_output = bytes;
    EXPECT_EQ(bytes, *first_output);
  }
}

TEST_F(RunCliTest, LargeOutputIsTheSameOnStdoutAndInAFile) {
  // Far more than one write buffer, in several batches.
  OptionalStrings values;
  for (int i = 0; i < 20000; ++i) values.push_back(i % 7 == 0 ? std::nullopt : std::optional(std::to_string(i)));
  const std::string stream = utf8_stream("text", {values, {"tail"}, values});
  const std::string config = write_file("config.json", hmac_config());
  const std::string input = write_file("in.arrow", stream);
  const Outcome to_file =
      run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input, "--output", output_path()});
  expect_success(to_file);
  const Outcome to_stdout = run_binary(kTessolvaneBinary, {"run", "--config", config}, with_stdin(Stdin::file(input)));
  expect_success(to_stdout);
  EXPECT_EQ(to_stdout.out, output());
  const DecodedStream decoded = decode_stream(to_stdout.out);
  ASSERT_EQ(decoded.error, "");
  ASSERT_EQ(decoded.batches.size(), 3u);
  EXPECT_EQ(utf8_values(*decoded.batches[2].column(0)), hmacs_of(values));
}

TEST_F(RunCliTest, StdoutPipeWithoutReaderIsAnInternalError) {
  const std::string config = write_file("config.json", hmac_config());
  OptionalStrings many(1000, "v");
  const struct {
    const char* name;
    std::string stream;
    std::string message;
  } cases[] = {
      // Everything fits into the write buffer until the stream is closed.
      {"small output", utf8_stream("text", {{"a"}}),
       "internal error: closing the output stream failed: Io error: Broken pipe (os error 32)"},
      {"output spilling from the buffer", utf8_stream("text", {many}),
       "internal error: writing the output stream failed: Io error: Broken pipe (os error 32)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = write_file("in.arrow", c.stream);
    const Outcome outcome =
        run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input}, with_stdout(StdoutMode::ClosedPipe));
    EXPECT_EQ(outcome.term_signal, 0);
    expect_error(outcome, 6, c.message);
  }
}

TEST_F(RunCliTest, FileSizeLimitIsAWriteError) {
  const std::string config = write_file("config.json", hmac_config());
  const std::string input = write_file("in.arrow", utf8_stream("text", {OptionalStrings(300, "value")}));
  // A limit of one block: the output's first spill of the write buffer
  // passes it.
  const Outcome r = run_binary("/bin/sh", {"-c", "ulimit -f 1 && exec \"$0\" \"$@\"", kTessolvaneBinary, "run",
                                           "--config", config, "--input", input, "--output", path("out.arrow")});
  EXPECT_EQ(r.term_signal, 0);
  expect_error(r, 6, "internal error: writing the output stream failed: Io error: File too large (os error 27)");
}

TEST_F(RunCliTest, InputReadFailureIsAnInternalError) {
  // A regular file that opens but whose first read fails.
  const std::string config = write_file("config.json", hmac_config());
  expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", "/proc/self/mem"}), 6,
               "internal error: reading the input failed: Input/output error (os error 5)");
}

TEST_F(RunCliTest, OneOutputBatchPerNonEmptyInputBatch) {
  const OptionalStrings second = {"x", std::nullopt};
  const std::string input = utf8_stream("text", {{"a"}, {}, second, {}});
  expect_success(run_hmac(input));
  const DecodedStream decoded = decode_stream(output());
  ASSERT_EQ(decoded.error, "");
  EXPECT_TRUE(decoded.end_marker);
  ASSERT_EQ(decoded.batches.size(), 2u);
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(0)), hmacs_of({"a"}));
  EXPECT_EQ(utf8_values(*decoded.batches[1].column(0)), hmacs_of(second));
}

TEST_F(RunCliTest, InputsWithoutRowsGiveTheSchemaAndTheMarker) {
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"one batch of 0 rows", utf8_stream("text", {{}})},
      {"schema then marker", utf8_stream("text", {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_success(run_hmac(c.input));
    const std::string bytes = output();
    const SplitStream split = split_stream(bytes);
    ASSERT_EQ(split.error, "");
    ASSERT_EQ(split.messages.size(), 1u);
    EXPECT_TRUE(split.end_marker);
    EXPECT_EQ(split.trailing_bytes, 0u);
    EXPECT_EQ(split.messages[0].end_offset % 64, 0u);
    EXPECT_EQ(bytes.size(), split.messages[0].end_offset + 8);
  }
}

TEST_F(RunCliTest, WrittenNamesComeFromTheConfiguration) {
  const auto schema = schema_of({columnar::Field("in", columnar::DataType::utf8(), false)});
  const std::string input = encode_stream(schema, {batch_of(schema, {utf8_array({"v"})})});
  const struct {
    const char* name;
    std::string output_columns;
    std::string written;
  } cases[] = {
      {"plain", R"({"result":"digest"})", "digest"},
      {"repeated key: the last value", R"({"result":"first","result":"second"})", "second"},
      {"the output name itself", R"({"result":"result"})", "result"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config =
        config_json({"in"}, "hmac_sha256", "{\"key\":" + json_string(kKeyHex) + "}", c.output_columns);
    expect_success(run_files(kTessolvaneBinary, config, input));
    const DecodedStream decoded = decode_stream(output());
    ASSERT_EQ(decoded.error, "");
    // Nullable whatever the input field said.
    EXPECT_EQ(decoded.schema->fields.at(0), columnar::Field(c.written, columnar::DataType::utf8(), true));
  }
}

// ---------------------------------------------------------------------------
// Chunks, finish and row counts, through the test plugin

std::string one_column_stream(const std::vector<int64_t>& batch_rows) {
  const auto schema = utf8_schema({"text"});
  std::vector<columnar::RecordBatch> batches;
  for (const int64_t rows : batch_rows) batches.push_back(batch_of(schema, {repeated_utf8(rows, "")}));
  return encode_stream(schema, batches);
}

TEST_F(RunCliTest, BatchesAreCutIntoChunksOfAtMost1048576Rows) {
  const struct {
    const char* name;
    std::vector<int64_t> batches;
    std::vector<int64_t> chunks;
  } cases[] = {
      {"exactly the limit", {1048576}, {1048576}},
      {"one row over", {1048577}, {1048576, 1}},
      {"three million", {3000000}, {1048576, 1048576, 902848}},
      {"several small batches", {3, 1, 2}, {3, 1, 2}},
      {"a batch of 0 rows", {0}, {0}},
      {"no batch", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(trace_path().c_str());
    expect_success(run_files(kTestPlugin, plugin_config({"text"}, "count"), one_column_stream(c.batches)));
    std::string expected_trace;
    for (const int64_t rows : c.chunks) expected_trace += "process " + std::to_string(rows) + " [text]\n";
    EXPECT_EQ(trace(), expected_trace + "finish\n");

    const DecodedStream decoded = decode_stream(output());
    ASSERT_EQ(decoded.error, "");
    EXPECT_TRUE(decoded.end_marker);
    std::vector<int64_t> written;
    for (const int64_t rows : c.chunks) {
      if (rows > 0) written.push_back(rows);  // batches without rows are not written
    }
    ASSERT_EQ(decoded.batches.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i) {
      EXPECT_EQ(int64_values(*decoded.batches[i].column(0)), std::vector<int64_t>(static_cast<size_t>(written[i]), written[i]));
    }
  }
}

TEST_F(RunCliTest, ChunksCarryTheColumnsInInputColumnsOrder) {
  const auto schema = utf8_schema({"a", "c", "b"});
  const auto batch = batch_of(schema, {utf8_array({"a1", "a2"}), utf8_array({"c1", "c2"}), utf8_array({"b1", "b2"})});
  const std::string config = plugin_config({"b", "a", "c"}, "echo", "", R"({"out0":"x","out1":"y","out2":"z"})");
  expect_success(run_files(kTestPlugin, config, encode_stream(schema, {batch})));
  EXPECT_EQ(trace(), "process 2 [b,a,c]\nfinish\n");
  const DecodedStream decoded = decode_stream(output());
  ASSERT_EQ(decoded.error, "");
  ASSERT_EQ(decoded.batches.size(), 1u);
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(0)), (OptionalStrings{"b1", "b2"}));
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(1)), (OptionalStrings{"a1", "a2"}));
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(2)), (OptionalStrings{"c1", "c2"}));
}

TEST_F(RunCliTest, AcceptedColumnTypesOtherThanUtf8) {
  const auto schema = schema_of({columnar::Field("flag", columnar::DataType::boolean()),
                                 columnar::Field("n", columnar::DataType::int64()),
                                 columnar::Field("s", columnar::DataType::utf8())});
  const auto batch = batch_of(schema, {bool_array({true, false, true}), int64_array({1, 2, 3}), utf8_array({"x", "y", "z"})});
  expect_success(run_files(kTestPlugin, plugin_config({"s", "n", "flag"}, "count"), encode_stream(schema, {batch})));
  EXPECT_EQ(trace(), "process 3 [s,n,flag]\nfinish\n");
}

TEST_F(RunCliTest, RowsMayComeFromFinish) {
  const std::string input = utf8_stream("text", {{"a", "b"}, {}, {"c"}});
  expect_success(run_files(kTestPlugin, plugin_config({"text"}, "defer"), input));
  EXPECT_EQ(trace(), "process 2 [text]\nprocess 0 [text]\nprocess 1 [text]\nfinish\n");
  const DecodedStream decoded = decode_stream(output());
  ASSERT_EQ(decoded.error, "");
  EXPECT_TRUE(decoded.end_marker);
  ASSERT_EQ(decoded.batches.size(), 2u);
  EXPECT_EQ(utf8_values(*decoded.batches[0].column(0)), (OptionalStrings{"a", "b"}));
  EXPECT_EQ(utf8_values(*decoded.batches[1].column(0)), (OptionalStrings{"c"}));
}

struct CoreCase {
  const char* name;
  std::string operation;
  std::string parameters;
  std::string outputs;
  std::vector<OptionalStrings> batches;
  int code;
  std::string message;
  size_t written_batches;
  std::string trace;
};

TEST_F(RunCliTest, MisbehavingCoresAreInternalErrors) {
  const std::string result = R"({"result":"r"})";
  const OptionalStrings ten(10, "v");
  const OptionalStrings four(4, "v");
  const CoreCase cases[] = {
      {"no rows at all", "nothing", "", result, {ten}, 6, "internal error: the core returned 0 rows for 10 input rows",
       0, "process 10 [text]\nfinish\n"},
      {"a row too many", "extra_row", "", result, {four}, 6, "internal error: the core returned 5 rows for a batch of 4",
       0, "process 4 [text]\n"},
      {"name in another case", "rename", R"("declared":["result"],"returned":["Result"])", result, {four}, 6,
       R"(internal error: the core returned columns ["Result"], expected its declared outputs ["result"])", 0,
       "process 4 [text]\n"},
      {"names in another order", "rename", R"("declared":["a","b"],"returned":["b","a"])", R"({"a":"x","b":"y"})",
       {four}, 6, R"(internal error: the core returned columns ["b", "a"], expected its declared outputs ["a", "b"])",
       0, "process 4 [text]\n"},
      {"a column more", "rename", R"("declared":["result"],"returned":["result","extra"])", result, {four}, 6,
       R"(internal error: the core returned columns ["result", "extra"], expected its declared outputs ["result"])", 0,
       "process 4 [text]\n"},
      {"no column", "rename", R"("declared":["result"],"returned":[])", result, {four}, 6,
       R"(internal error: the core returned columns [], expected its declared outputs ["result"])", 0,
       "process 4 [text]\n"},
      {"wrong type", "wrong_type", "", result, {four}, 6,
       "internal error: the core's output does not match its declared output schema: Invalid argument error: column "
       "types must match schema types, expected Utf8 but found Int64 at column index 0",
       0, "process 4 [text]\n"},
      // A batch without rows is neither checked nor written.
      {"wrong names without rows pass", "rename", R"("declared":["result"],"returned":["other"])", result, {{}}, 0, "",
       0, "process 0 [text]\nfinish\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(trace_path().c_str());
    const Outcome outcome =
        run_files(kTestPlugin, plugin_config({"text"}, c.operation, c.parameters, c.outputs), utf8_stream("text", c.batches));
    EXPECT_EQ(trace(), c.trace);
    if (c.code == 0) {
      expect_success(outcome);
      EXPECT_TRUE(split_stream(output()).end_marker);
      continue;
    }
    expect_error(outcome, c.code, c.message);
    expect_partial_output(c.written_batches);
  }
}

TEST_F(RunCliTest, OperationErrorsFromProcessAndFinish) {
  const struct {
    const char* kind;
    int code;
    std::string message;
  } kinds[] = {
      {"invalid_config", 1, "went wrong"},
      {"unsupported", 4, "went wrong"},
      {"invalid_input", 5, "went wrong"},
      {"internal", 6, "internal error: went wrong"},
  };
  const std::string input = utf8_stream("text", {{"a", "b"}});
  for (const auto& k : kinds) {
    for (const std::string at : {"1", "\"finish\""}) {
      SCOPED_TRACE(std::string(k.kind) + " at " + at);
      ::unlink(trace_path().c_str());
      const std::string parameters = "\"at\":" + at + ",\"message\":\"went wrong\",\"kind\":" + json_string(k.kind);
      expect_error(run_files(kTestPlugin, plugin_config({"text"}, "fail", parameters), input), k.code, k.message);
      const bool in_finish = at != "1";
      EXPECT_EQ(trace(), in_finish ? "process 2 [text]\nfinish\n" : "process 2 [text]\n");
      expect_partial_output(in_finish ? 1 : 0);
    }
  }
}

TEST_F(RunCliTest, TrailingDataStopsTheRunBeforeFinish) {
  const std::string input = utf8_stream("text", {{"a"}}) + std::string(1, '\0');
  expect_error(run_files(kTestPlugin, plugin_config({"text"}, "count"), input), 5,
               "trailing data after the end of the Arrow IPC stream");
  EXPECT_EQ(trace(), "process 1 [text]\n");
  expect_partial_output(1);
}

// A sanitizer's shadow memory alone exceeds any address-space limit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

// The binary's run on `input` with at most `limit_bytes` of address space.
Outcome run_with_address_limit(size_t limit_bytes, const std::string& config, const std::string& input) {
  // `ulimit -v` counts KiB; exec keeps the limit for the binary itself.
  const std::string limit = "ulimit -v " + std::to_string(limit_bytes / 1024) + " && exec \"$0\" \"$@\"";
  return run_binary("/bin/sh", {"-c", limit, kTessolvaneBinary, "run", "--config", config, "--input", input});
}

// A field name as long as the metadata allows, made of control characters,
// each escaped into five bytes: the message must cost what it keeps, so the
// run still ends with its code-5 line under a 1 GiB address-space limit.
TEST_F(RunCliTest, HugeFieldNameMessageFitsUnderAnAddressSpaceLimit) {
  if (kUnderSanitizer) GTEST_SKIP() << "a sanitizer's shadow memory alone exceeds the address-space limit";
  const std::string name(60u << 20, '\x01');
  const std::string config_path = write_file("config.json", hmac_config());
  write_file("in.arrow", schema_message({{name, FieldKind::Utf8}}) + end_of_stream_marker());
  std::string escaped;
  while (escaped.size() < 1010) escaped += "\\u{1}";
  const std::string message = R"(input schema must contain exactly input_columns ["text"], got [")" + escaped;
  expect_error(run_with_address_limit(1'073'741'824, config_path, input_path()), 5,
               message.substr(0, 1010) + "...(truncated)");
}

// Schemas that reach one name or field through many offsets cost what their
// bytes hold: each run ends with its error line within 32 MB + 10 x the
// input's bytes of address space. Followed through every offset, the first
// two would take gigabytes.
TEST_F(RunCliTest, SharedSchemaPartsFitUnderAnAddressSpaceLimit) {
  if (kUnderSanitizer) GTEST_SKIP() << "a sanitizer's shadow memory alone exceeds the address-space limit";
  // Both messages name the huge name and are cut at 1010 bytes.
  const auto cut = [](std::string head) { return (head + std::string(1010, 'n')).substr(0, 1010) + "...(truncated)"; };
  const std::string other_columns = cut(R"(input schema must contain exactly input_columns ["text"], got [")");
  const std::string duplicates = cut(R"(input schema has duplicate field names: [")");
  const std::string eos = end_of_stream_marker();
  const struct {
    const char* name;
    std::string input;
    std::string message;
  } cases[] = {
      {"61 nested Structs sharing one 3 MB name", shared_name_chain_schema(61, std::string(3'000'000, 'n')) + eos,
       other_columns},
      {"60 levels of a 1 MB name, the deepest listing one leaf 499,900 times",
       shared_name_chain_schema(60, std::string(1'000'000, 'n'), 499'900) + eos, other_columns},
      {"one 92 KB name listed 23,000 times", repeated_field_schema(23'000, std::string(92'000, 'n')) + eos,
       duplicates},
      {"a prefix announcing 64 MiB of metadata, then nothing", [] {
         const auto prefix = columnar::ipc::encode_prefix(64 << 20);
         return std::string(prefix.begin(), prefix.end());
       }(), "input stream is truncated inside message metadata"},
  };
  const std::string config_path = write_file("config.json", hmac_config());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file("in.arrow", c.input);
    expect_error(run_with_address_limit(32'000'000 + 10 * c.input.size(), config_path, input_path()), 5, c.message);
  }
}

}  // namespace
}  // namespace cli
