// The entry through the real executables: --version, --capabilities, the
// usage and run-argument errors, the --config path check, a standard output
// that cannot be written, and the plugin-id check.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "cli_support.h"

namespace cli {
namespace {

const std::string kUsage =
    "usage: --version | --capabilities | run --config <path> [--input <path>] [--output <path>]";
const std::string kCapabilities =
    R"({"contract":1,"plugin_id":"tessolvane_binary","operations":["hmac_sha256"],"column_types":["utf8"]})";

struct OutputCase {
  const char* name;
  const char* program;
  std::vector<std::string> args;
  std::string stdout_bytes;
};

TEST(EntryTest, VersionAndCapabilitiesPrintOneLine) {
  const OutputCase cases[] = {
      {"version", kTessolvaneBinary, {"--version"}, "tessolvane_binary " TESSOLVANE_VERSION "\n"},
      {"capabilities", kTessolvaneBinary, {"--capabilities"}, kCapabilities + "\n"},
      {"test plugin version", kTestPlugin, {"--version"}, "test_plugin 9.9.9\n"},
      // utf8 is listed twice by the test plugin and comes out once, sorted.
      {"test plugin capabilities",
       kTestPlugin,
       {"--capabilities"},
       R"({"contract":1,"plugin_id":"test_plugin","operations":["echo","count","defer","nothing","extra_row",)"
       R"("rename","wrong_type","fail","declare"],"column_types":["boolean","int64","utf8"]})"
       "\n"},
      {"one-letter id", ONE_LETTER_ID_PLUGIN_PATH, {"--version"}, "a 9.9.9\n"},
      {"id with underscore and digit", UNDERSCORE_ID_PLUGIN_PATH, {"--version"}, "a_1 9.9.9\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = run_binary(c.program, c.args);
    expect_success(outcome);
    EXPECT_EQ(outcome.out, c.stdout_bytes);
  }
}

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;
  std::string message;
};

TEST(EntryTest, CommandLinesOutsideTheThreeCommandsGetTheUsageError) {
  const ErrorCase cases[] = {
      {"no arguments", {}, kUsage},
      {"other case", {"--VERSION"}, kUsage},
      {"without dashes", {"version"}, kUsage},
      {"extra argument after --version", {"--version", "x"}, kUsage},
      {"two commands", {"--capabilities", "--version"}, kUsage},
      {"joined with =", {"--version=1"}, kUsage},
      {"abbreviation", {"--vers"}, kUsage},
      {"empty argument", {""}, kUsage},
      {"Run capitalised", {"Run", "--config", "a"}, kUsage},
      {"first argument not UTF-8", {"\xFF"}, kUsage},
      {"truncated UTF-8 before run", {"run\xC3", "--config", "a"}, kUsage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(run_binary(kTessolvaneBinary, c.args), 1, c.message);
  }
}

TEST(EntryTest, RunArgumentsAreCheckedLeftToRight) {
  const ErrorCase cases[] = {
      {"run alone", {"run"}, "run requires --config <path>"},
      {"only --input", {"run", "--input", "a"}, "run requires --config <path>"},
      {"only --output", {"run", "--output", "a"}, "run requires --config <path>"},
      {"--config last", {"run", "--config"}, "--config requires a path"},
      {"repeated --config last", {"run", "--config", "a", "--config"}, "--config requires a path"},
      {"--input last", {"run", "--input"}, "--input requires a path"},
      {"--config twice", {"run", "--config", "a", "--config", "b"}, "--config given more than once"},
      {"--output twice", {"run", "--output", "a", "--config", "c", "--output", "b"}, "--output given more than once"},
      {"joined with =", {"run", "--config=a"}, "unrecognized run argument: '--config=a'"},
      {"first bad argument decides", {"run", "x", "--config", "a"}, "unrecognized run argument: 'x'"},
      {"unknown option after a valid one", {"run", "--config", "a", "--bogus"}, "unrecognized run argument: '--bogus'"},
      {"unknown option with a value", {"run", "--bogus", "v", "--config"}, "unrecognized run argument: '--bogus'"},
      {"other case", {"run", "--CONFIG", "a"}, "unrecognized run argument: '--CONFIG'"},
      {"empty option", {"run", "", "a"}, "unrecognized run argument: ''"},
      {"control characters escaped in the line", {"run", "a\tb\n\x01\"\\"}, "unrecognized run argument: 'a\tb\n\x01\"\\'"},
      {"option taken as a path", {"run", "--input", "--config"}, "run requires --config <path>"},
      {"invalid UTF-8 shown as U+FFFD", {"run", "--in\xFFput", "a"}, "unrecognized run argument: '--in\xEF\xBF\xBDput'"},
      {"missing config file", {"run", "--config", "no-such-file"},
       "--config path does not exist or is not readable: no-such-file"},
      {"empty config path", {"run", "--config", ""}, "--config path does not exist or is not readable: "},
      {"config path with invalid UTF-8", {"run", "--config", "no\xC3"},
       "--config path does not exist or is not readable: no\xEF\xBF\xBD"},
      // The walk ends before the path is looked at.
      {"bad argument before the path check", {"run", "--config", "no-such-file", "x"},
       "unrecognized run argument: 'x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(run_binary(kTessolvaneBinary, c.args), 1, c.message);
  }
}

TEST(EntryTest, LongRunArgumentIsCutInTheMessage) {
  const std::string prefix = "unrecognized run argument: '";
  const struct {
    const char* name;
    std::string argument;
    size_t kept;
  } cases[] = {
      {"ASCII", std::string(2000, 'x'), 1010},
      // A two-byte character starts at byte 1009: the cut moves down to it.
      {"two-byte characters", "x" + [] {
         std::string s;
         for (int i = 0; i < 1000; ++i) s += "\xC3\xA9";
         return s;
       }(),
       1009},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string full = prefix + c.argument + "'";
    expect_error(run_binary(kTessolvaneBinary, {"run", c.argument}), 1, full.substr(0, c.kept) + "...(truncated)");
  }
}

class ConfigPathTest : public CliTest {};

TEST_F(ConfigPathTest, ConfigMustNameARegularReadableFile) {
  const std::string config = write_file("config.json", "{}");
  ASSERT_EQ(::mkdir(path("directory").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(path("directory").c_str(), path("link-to-directory").c_str()), 0);
  ASSERT_EQ(::symlink(path("gone").c_str(), path("dangling").c_str()), 0);
  const std::string missing_keys =
      R"(missing config keys: ["input_columns", "operation", "parameters", "output_columns"])";
  ASSERT_EQ(::symlink(config.c_str(), path("link-to-config").c_str()), 0);

  const struct {
    const char* name;
    std::string config_path;
    std::string message;
  } cases[] = {
      {"directory", path("directory"), "--config path does not exist or is not readable: " + path("directory")},
      {"missing", path("missing.json"), "--config path does not exist or is not readable: " + path("missing.json")},
      {"named pipe", path("fifo"), "--config path does not exist or is not readable: " + path("fifo")},
      {"link to a directory", path("link-to-directory"),
       "--config path does not exist or is not readable: " + path("link-to-directory")},
      {"dangling link", path("dangling"), "--config path does not exist or is not readable: " + path("dangling")},
      // Past the path check, the file's content decides.
      {"link to a readable file", path("link-to-config"), missing_keys},
      {"relative to the working directory", "config.json", missing_keys},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_error(run_binary(kTessolvaneBinary, {"run", "--config", c.config_path}, in_dir(dir())), 1, c.message);
  }
}

TEST_F(ConfigPathTest, UnreadableConfigFileFailsThePathCheck) {
  const std::string config = write_file("config.json", "{}");
  ASSERT_EQ(::chmod(config.c_str(), 0), 0);
  if (read_file(config).has_value()) GTEST_SKIP() << "this user reads files of mode 000 (root)";
  expect_error(run_binary(kTessolvaneBinary, {"run", "--config", config}), 1,
               "--config path does not exist or is not readable: " + config);
}

TEST(EntryTest, StdoutClosedPipeIsAnInternalError) {
  for (const char* command : {"--version", "--capabilities"}) {
    SCOPED_TRACE(command);
    const Outcome outcome = run_binary(kTessolvaneBinary, {command}, with_stdout(StdoutMode::ClosedPipe));
    EXPECT_EQ(outcome.term_signal, 0);
    expect_error(outcome, 6, "internal error: writing to stdout failed: Broken pipe (os error 32)");
  }
}

TEST(EntryTest, ClosedStdoutIsReopenedOnDevNull) {
  const Outcome outcome = run_binary(kTessolvaneBinary, {"--version"}, with_stdout(StdoutMode::Closed));
  expect_success(outcome);
}

TEST(EntryTest, InvalidPluginIdPanicsWhateverTheArguments) {
  const struct {
    const char* name;
    const char* program;
  } programs[] = {
      {"capital letter", BAD_ID_PLUGIN_PATH},
      {"empty", EMPTY_ID_PLUGIN_PATH},
      {"dash", DASH_ID_PLUGIN_PATH},
      {"leading digit", DIGIT_ID_PLUGIN_PATH},
  };
  const std::vector<std::vector<std::string>> argument_lists = {{"--version"}, {"--capabilities"}, {}, {"run"}};
  const std::regex panic_line("panic at [^\n]+:[0-9]+\n");
  for (const auto& p : programs) {
    for (const auto& args : argument_lists) {
      SCOPED_TRACE(std::string(p.name) + " with " + std::to_string(args.size()) + " arguments");
      const Outcome outcome = run_binary(p.program, args);
      EXPECT_EQ(outcome.exit_code, 6);
      EXPECT_EQ(outcome.out, "");
      const std::string last_line = R"({"code":6,"message":"internal error: panic"})"
                                    "\n";
      ASSERT_GT(outcome.err.size(), last_line.size());
      const std::string first_line = outcome.err.substr(0, outcome.err.size() - last_line.size());
      EXPECT_TRUE(std::regex_match(first_line, panic_line)) << first_line;
      EXPECT_EQ(outcome.err.substr(first_line.size()), last_line);
    }
  }
}


// The error line written out byte for byte, not rebuilt with the tests' own
// escaper: a path reaches the message as it is, and a configuration key
// passes through the name-list escapes before the JSON ones.
class ErrorLineTest : public CliTest {};

TEST_F(ErrorLineTest, EscapesAreExactlyTheseBytes) {
  const std::string prefix = R"({"code":1,"message":"--config path does not exist or is not readable: no-such-)";
  const struct {
    const char* name;
    std::string config_path;
    std::string err;
  } cases[] = {
      {"C0 controls in lowercase hex", "no-such-\x01\x1b\x1f", prefix + R"(\u0001\u001b\u001f"})" "\n"},
      {"short escapes", "no-such-\b\f\t\n\r", prefix + R"(\b\f\t\n\r"})" "\n"},
      {"quote and backslash; slash unchanged", "no-such-\"\\/", prefix + R"(\"\\/"})" "\n"},
      {"DEL unchanged", "no-such-\x7f", prefix + "\x7f" R"("})" "\n"},
      {"non-ASCII unchanged", "no-such-\xC3\xA9\xE5\x88\x97\xF0\x9F\x98\x80",
       prefix + "\xC3\xA9\xE5\x88\x97\xF0\x9F\x98\x80" R"("})" "\n"},
      {"U+2028 and U+2029 unchanged", "no-such-\xE2\x80\xA8\xE2\x80\xA9", prefix + "\xE2\x80\xA8\xE2\x80\xA9" R"("})" "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run_binary(kTessolvaneBinary, {"run", "--config", c.config_path});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(ErrorLineTest, NameListEscapesInsideTheErrorLine) {
  const std::string config = write_file("config.json", R"({"\u0001\u001b\"\\\u007f\u2028":1,"é":2})");
  const Outcome r = run_binary(kTessolvaneBinary, {"run", "--config", config});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, R"({"code":1,"message":"unknown config keys: [\"\\u{1}\\u{1b}\\\"\\\\\\u{7f}\\u{2028}\", \"é\"]"})" "\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace cli
