// The configuration file and the hmac_sha256 parameters through the real
// executable. Every case runs with a missing --input and an --output file
// that already holds bytes: the configuration is judged first, so a bad one
// is reported whatever the input, and the output file is left alone. A
// configuration that passes reaches the input check instead.
#include "cli_support.h"

namespace cli {
namespace {

const std::string kKey = json_string(kKeyHex);
const std::string kParameters = "{\"key\":" + kKey + "}";
const std::string kOutputs = R"({"result":"hashed"})";
const std::string kAllMissing =
    R"(missing config keys: ["input_columns", "operation", "parameters", "output_columns"])";

std::string hmac_with(std::string_view parameters, std::string_view outputs = kOutputs) {
  return config_json({"text"}, "hmac_sha256", parameters, outputs);
}

struct ConfigCase {
  const char* name;
  std::string config;
  int code;
  std::string message;  // "" = the configuration passes: the missing input is reported
};

class ConfigCliTest : public CliTest {
 protected:
  void check(const ConfigCase& c) {
    SCOPED_TRACE(c.name);
    const std::string config = write_file("config.json", c.config);
    const std::string input = path("missing-input.arrow");
    const std::string output = write_file("output.arrow", "keep me");
    const Outcome outcome =
        run_binary(kTessolvaneBinary, {"run", "--config", config, "--input", input, "--output", output});
    if (c.message.empty()) {
      expect_error(outcome, 1, "--input path does not exist: " + input);
    } else {
      expect_error(outcome, c.code, c.message);
    }
    EXPECT_EQ(read_file(output), "keep me");
  }
};

TEST_F(ConfigCliTest, FileTextAndJsonSyntax) {
  const std::string valid = hmac_config();
  const ConfigCase cases[] = {
      {"empty file", "", 1, "--config is not valid JSON: EOF while parsing a value at line 1 column 0"},
      {"white space only", " \t\r\n  ", 1, "--config is not valid JSON: EOF while parsing a value at line 2 column 2"},
      {"unterminated object", "{\"input_columns\":", 1,
       "--config is not valid JSON: EOF while parsing a value at line 1 column 17"},
      {"invalid UTF-8", "\xFF", 1, "--config is not valid UTF-8"},
      // UTF-8 is judged before JSON and before the keys.
      {"invalid UTF-8 in an unknown key's value", R"({"junk":")" "\xC3\x28" R"("})", 1,
       "--config is not valid UTF-8"},
      {"a blank and a letter after the object", valid + " x", 1,
       "--config is not valid JSON: trailing characters at line 1 column " + std::to_string(valid.size() + 2)},
      {"trailing characters on a later line", valid + "\n\n  }", 1,
       "--config is not valid JSON: trailing characters at line 3 column 3"},
      {"trailing white space", valid + "\n\t \r\n ", 0, ""},
      {"array", "[]", 1, "--config must be a JSON object"},
      {"string", "\"x\"", 1, "--config must be a JSON object"},
      {"number", "12", 1, "--config must be a JSON object"},
      {"boolean", "true", 1, "--config must be a JSON object"},
      {"null", "null", 1, "--config must be a JSON object"},
  };
  for (const auto& c : cases) check(c);
}

TEST_F(ConfigCliTest, ByteOrderMarkAndDeepNestingAreJsonErrors) {
  // The descriptions and positions of these two are the JSON library's; the
  // message form and the code are ours.
  const std::string deep_parameters = "{\"key\":" + kKey + ",\"deep\":" + std::string(126, '[') + std::string(126, ']') + "}";
  const std::string within_limit = "{\"key\":" + kKey + ",\"deep\":" + std::string(125, '[') + std::string(125, ']') + "}";
  const struct {
    const char* name;
    std::string config;
    std::string message_start;
  } cases[] = {
      {"byte-order mark", "\xEF\xBB\xBF" + hmac_config(), "--config is not valid JSON: "},
      {"128 levels", hmac_with(deep_parameters), "--config is not valid JSON: recursion limit exceeded at line 1 column "},
      // 127 levels parse: the parameters check sees the extra key.
      {"127 levels", hmac_with(within_limit), R"(unknown hmac_sha256 parameters: ["deep"])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config = write_file("config.json", c.config);
    const Outcome outcome = run_binary(kTessolvaneBinary, {"run", "--config", config});
    EXPECT_EQ(outcome.exit_code, 1);
    // The error line up to the end of the expected start of its message.
    const std::string line = error_line(1, c.message_start);
    const std::string head = line.substr(0, line.size() - 3);
    EXPECT_TRUE(outcome.err.starts_with(head)) << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with("\"}\n")) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
}

TEST_F(ConfigCliTest, KeysOfTheTopLevelObject) {
  const std::string input = R"("input_columns":["text"])";
  const std::string operation = R"("operation":"hmac_sha256")";
  const std::string parameters = "\"parameters\":" + kParameters;
  const std::string outputs = "\"output_columns\":" + kOutputs;
  const ConfigCase cases[] = {
      {"empty object", "{}", 1, kAllMissing},
      {"two missing", "{" + input + "," + parameters + "}", 1, R"(missing config keys: ["operation", "output_columns"])"},
      {"unknown keys sorted by bytes",
       "{\"b\":1," + input + "," + operation + ",\"a\":2," + parameters + "," + outputs + "}", 1,
       R"(unknown config keys: ["a", "b"])"},
      {"unknown keys win over missing ones", "{\"b\":1," + input + ",\"a\":2," + parameters + "," + outputs + "}", 1,
       R"(unknown config keys: ["a", "b"])"},
      {"key in another case", "{" + input + ",\"Operation\":\"hmac_sha256\"," + parameters + "," + outputs + "}", 1,
       R"(unknown config keys: ["Operation"])"},
      {"non-ASCII and prefix keys", "{\"\xC3\xA9\":0,\"ab\":0,\"a\":0,\"B\":0}", 1,
       "unknown config keys: [\"B\", \"a\", \"ab\", \"\xC3\xA9\"]"},
      {"control and combining characters", R"({"\u0007":0,"e\u0301":0})", 1,
       R"(unknown config keys: ["\u{7}", "e\u{301}"])"},
      {"key needing escapes", "{\"q\\\"\\\\\\t\":0}", 1, R"(unknown config keys: ["q\"\\\t"])"},
      {"repeated key: the last value counts",
       "{" + input + ",\"operation\":5," + parameters + "," + outputs + "," + operation + "}", 0, ""},
  };
  for (const auto& c : cases) check(c);
}

TEST_F(ConfigCliTest, LongUnknownKeyIsCut) {
  const std::string key(2000, 'k');
  const std::string full = "unknown config keys: [\"" + key + "\"]";
  check({"2,000-byte key", "{\"" + key + "\":1}", 1, full.substr(0, 1010) + "...(truncated)"});
}

TEST_F(ConfigCliTest, ValuesOfTheFourKeys) {
  const auto with = [](std::string_view input, std::string_view operation, std::string_view parameters,
                       std::string_view outputs) {
    return "{\"input_columns\":" + std::string(input) + ",\"operation\":" + std::string(operation) +
           ",\"parameters\":" + std::string(parameters) + ",\"output_columns\":" + std::string(outputs) + "}";
  };
  const std::string text = R"(["text"])";
  const std::string op = R"("hmac_sha256")";
  const ConfigCase cases[] = {
      {"input_columns a string", with("\"text\"", op, kParameters, kOutputs), 1, "input_columns must be a list of strings"},
      {"input_columns an object", with("{}", op, kParameters, kOutputs), 1, "input_columns must be a list of strings"},
      {"input_columns holding a number", with(R"(["a",1])", op, kParameters, kOutputs), 1,
       "input_columns must be a list of strings"},
      {"input_columns empty", with("[]", op, kParameters, kOutputs), 1, "input_columns must name at least one column"},
      {"input_columns empty, operation a number", with("[]", "5", kParameters, kOutputs), 1,
       "input_columns must name at least one column"},
      {"input_columns repeated", with(R"(["a","b","a"])", op, kParameters, kOutputs), 1,
       "input_columns must not contain duplicates"},
      {"input_columns differing in case", with(R"(["a","A"])", op, kParameters, kOutputs), 1,
       "hmac_sha256 takes exactly one input column, got 2"},
      {"operation null", with(text, "null", kParameters, kOutputs), 1, "operation must be a string"},
      {"operation a list", with(text, R"(["hmac_sha256"])", kParameters, kOutputs), 1, "operation must be a string"},
      {"parameters a list", with(text, op, "[]", kOutputs), 1, "parameters must be an object"},
      {"parameters null", with(text, op, "null", kOutputs), 1, "parameters must be an object"},
      {"output_columns a list", with(text, op, kParameters, R"(["result"])"), 1,
       "output_columns must be an object of string to string"},
      {"output_columns value a number", with(text, op, kParameters, R"({"result":1})"), 1,
       "output_columns must be an object of string to string"},
      {"output_columns second value null", with(text, op, kParameters, R"({"result":"x","y":null})"), 1,
       "output_columns must be an object of string to string"},
      {"written names repeated", with(text, op, kParameters, R"({"result":"x","other":"x"})"), 1,
       "output_columns written names must be unique"},
      {"written name is an input column", with(text, op, kParameters, R"({"result":"text"})"), 1,
       "output_columns written names must not collide with input_columns"},
      {"output name equal to an input column", with(R"(["result"])", op, kParameters, kOutputs), 0, ""},
      {"empty names", with(R"([""])", op, kParameters, R"({"result":"x"})"), 0, ""},
  };
  for (const auto& c : cases) check(c);
}

TEST_F(ConfigCliTest, OperationAndItsParameters) {
  const std::string kFail = "parameters.key must be a string of 64 hex characters";
  const std::string hex63 = std::string(kKeyHex).substr(0, 63);
  const ConfigCase cases[] = {
      {"operation in another case", config_json({"text"}, "HMAC_SHA256", kParameters, kOutputs), 4,
       "unsupported operation: 'HMAC_SHA256'"},
      {"operation with a blank", config_json({"text"}, "hmac_sha256 ", kParameters, kOutputs), 4,
       "unsupported operation: 'hmac_sha256 '"},
      {"two input columns", config_json({"a", "b"}, "hmac_sha256", kParameters, kOutputs), 1,
       "hmac_sha256 takes exactly one input column, got 2"},
      {"two input columns and bad parameters", config_json({"a", "b"}, "hmac_sha256", "{}", kOutputs), 1,
       "hmac_sha256 takes exactly one input column, got 2"},
      {"unknown parameters sorted", hmac_with("{\"zeta\":1,\"key\":" + kKey + ",\"alpha\":true}"), 1,
       R"(unknown hmac_sha256 parameters: ["alpha", "zeta"])"},
      {"unknown parameter without a key", hmac_with(R"({"Key":"x"})"), 1, R"(unknown hmac_sha256 parameters: ["Key"])"},
      {"empty parameters", hmac_with("{}"), 1, kFail},
      {"key a number", hmac_with(R"({"key":1234})"), 1, kFail},
      {"key null", hmac_with(R"({"key":null})"), 1, kFail},
      {"63 digits", hmac_with("{\"key\":\"" + hex63 + "\"}"), 1, kFail},
      {"65 digits", hmac_with("{\"key\":\"" + std::string(kKeyHex) + "0\"}"), 1, kFail},
      {"0x prefix", hmac_with("{\"key\":\"0x" + hex63.substr(0, 62) + "\"}"), 1, kFail},
      {"non-hex letter", hmac_with("{\"key\":\"" + hex63 + "g\"}"), 1, kFail},
      {"blank inside", hmac_with("{\"key\":\"" + hex63 + " \"}"), 1, kFail},
      {"mixed-case digits", hmac_with("{\"key\":\"" + std::string(63, 'a') + "F\"}"), 0, ""},
      {"escaped digit", hmac_with("{\"key\":\"" + hex63 + "\\u0030\"}"), 0, ""},
      {"no outputs mapped", hmac_with(kParameters, "{}"), 1,
       R"(output_columns must map exactly the operation's outputs ["result"], got [])"},
      {"an extra output after result", hmac_with(kParameters, R"({"result":"h","extra":"e"})"), 1,
       R"(output_columns must map exactly the operation's outputs ["result"], got ["extra", "result"])"},
      {"an extra output before result", hmac_with(kParameters, R"({"extra":"e","result":"h"})"), 1,
       R"(output_columns must map exactly the operation's outputs ["result"], got ["extra", "result"])"},
      {"output name in another case", hmac_with(kParameters, R"({"Result":"h"})"), 1,
       R"(output_columns must map exactly the operation's outputs ["result"], got ["Result"])"},
  };
  for (const auto& c : cases) check(c);
}

TEST_F(ConfigCliTest, ConfigFileThatCannotBeReadAfterThePathCheck) {
  // A regular file that opens but whose first read fails.
  const Outcome outcome = run_binary(kTessolvaneBinary, {"run", "--config", "/proc/self/mem"});
  expect_error(outcome, 1, "--config not readable: Input/output error (os error 5)");
}

TEST_F(ConfigCliTest, FailedConfigurationCreatesNoOutputFile) {
  const std::string config = write_file("config.json", "{}");
  const std::string output = path("new-output.arrow");
  const Outcome outcome = run_binary(kTessolvaneBinary, {"run", "--config", config, "--output", output},
                                     with_stdin(Stdin::bytes(utf8_stream("text", {{"a"}}))));
  expect_error(outcome, 1, kAllMissing);
  EXPECT_FALSE(file_exists(output));
}

}  // namespace
}  // namespace cli
