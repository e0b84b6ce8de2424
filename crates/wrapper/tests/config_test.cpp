#include "wrapper/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "wrapper/json_parse.h"

namespace wrapper {
namespace {

// One top-level member of a fixture, its value as raw JSON text.
struct Member {
  std::string key;
  std::string value;
};

std::vector<Member> valid_members() {
  return {{"input_columns", R"(["text", "id"])"},
          {"operation", R"("hmac_sha256")"},
          {"parameters", R"({"key": "00ff", "extra": [1, {"b": 2, "a": 3}]})"},
          {"output_columns", R"({"result": "digest"})"}};
}

std::string object_of(const std::vector<Member>& members) {
  std::string text = "{";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i > 0) text += ", ";
    text += "\"" + members[i].key + "\": " + members[i].value;
  }
  return text + "}";
}

std::string valid_config() { return object_of(valid_members()); }


// The valid configuration with one member's value replaced.
std::string config_with(const std::string& key, const std::string& value) {
  std::vector<Member> members = valid_members();
  for (Member& member : members) {
    if (member.key == key) member.value = value;
  }
  return object_of(members);
}

// The top-level object, the parameters object and `arrays` lists inside one
// another: arrays + 2 levels.
std::string config_nested(int arrays) {
  return config_with("parameters", "{\"key\": " + std::string(arrays, '[') + std::string(arrays, ']') + "}");
}

// 1-based column of the innermost opening bracket of config_nested.
size_t innermost_bracket_column(int arrays) {
  return config_nested(arrays).find(std::string(arrays, '[')) + arrays;
}

std::string config_without(const std::vector<std::string>& keys) {
  std::vector<Member> members;
  for (const Member& member : valid_members()) {
    if (std::find(keys.begin(), keys.end(), member.key) == keys.end()) members.push_back(member);
  }
  return object_of(members);
}

std::string config_plus(const std::vector<Member>& extra, const std::vector<std::string>& dropped = {}) {
  std::vector<Member> members;
  for (const Member& member : valid_members()) {
    if (std::find(dropped.begin(), dropped.end(), member.key) == dropped.end()) members.push_back(member);
  }
  members.insert(members.end(), extra.begin(), extra.end());
  return object_of(members);
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "config_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& content) {
    const std::string path = (dir_ / ("config" + std::to_string(files_++) + ".json")).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  Result<RunConfig> load(const std::string& content) { return load_run_config(write(content)); }

  std::filesystem::path dir_;
  int files_ = 0;
};

struct FailureCase {
  const char* name;
  std::string content;
  std::string message;
};

TEST_F(ConfigTest, RejectsEachBadConfigurationWithItsMessage) {
  const std::string valid = valid_config();
  const std::vector<FailureCase> cases = {
      // Encoding and syntax.
      {"empty file", "", "--config is not valid JSON: EOF while parsing a value at line 1 column 0"},
      {"blanks only", " \n\t", "--config is not valid JSON: EOF while parsing a value at line 2 column 1"},
      {"byte order mark", "\xEF\xBB\xBF" + valid, "--config is not valid JSON: expected value at line 1 column 1"},
      {"trailing letter", valid + " x",
       "--config is not valid JSON: trailing characters at line 1 column " + std::to_string(valid.size() + 2)},
      {"second object", valid + "\n{}", "--config is not valid JSON: trailing characters at line 2 column 1"},
      {"cut short", valid.substr(0, valid.size() - 1),
       "--config is not valid JSON: EOF while parsing an object at line 1 column " +
           std::to_string(valid.size() - 1)},
      {"0xFF in an unknown key's value", config_plus({{"note", "\"\xFF\""}}), "--config is not valid UTF-8"},
      {"0xFF outside any string", valid + "\xFF", "--config is not valid UTF-8"},
      {"encoded surrogate", config_with("operation", "\"\xED\xA0\x80\""), "--config is not valid UTF-8"},
      {"128 levels", config_nested(126),
       "--config is not valid JSON: recursion limit exceeded at line 1 column " +
           std::to_string(innermost_bracket_column(126))},
      // Top level.
      {"array", "[]", "--config must be a JSON object"},
      {"string", R"("config")", "--config must be a JSON object"},
      {"number", "1", "--config must be a JSON object"},
      {"boolean", "true", "--config must be a JSON object"},
      {"null", "null", "--config must be a JSON object"},
      // Keys.
      {"empty object", "{}",
       R"(missing config keys: ["input_columns", "operation", "parameters", "output_columns"])"},
      {"two missing", config_without({"output_columns", "operation"}),
       R"(missing config keys: ["operation", "output_columns"])"},
      {"unknown keys sorted", config_plus({{"b", "1"}, {"a", "2"}}), R"(unknown config keys: ["a", "b"])"},
      {"unknown before missing", config_plus({{"b", "1"}, {"a", "2"}}, {"operation"}),
       R"(unknown config keys: ["a", "b"])"},
      {"case counts", config_plus({{"Operation", R"("x")"}}, {"operation"}), R"(unknown config keys: ["Operation"])"},
      {"unknown keys by bytes", config_plus({{"\xC3\xA9", "1"}, {"ab", "1"}, {"a", "1"}, {"Z", "1"}, {"", "1"}}),
       "unknown config keys: [\"\", \"Z\", \"a\", \"ab\", \"\xC3\xA9\"]"},
      {"unknown key escaped in the list", config_plus({{"tab\\there", "1"}}), R"(unknown config keys: ["tab\there"])"},
      // input_columns.
      {"input_columns a string", config_with("input_columns", R"("text")"), "input_columns must be a list of strings"},
      {"input_columns an object", config_with("input_columns", R"({"text": "x"})"),
       "input_columns must be a list of strings"},
      {"input_columns holding a number", config_with("input_columns", R"(["text", 1])"),
       "input_columns must be a list of strings"},
      {"input_columns empty", config_with("input_columns", "[]"), "input_columns must name at least one column"},
      {"input_columns repeated", config_with("input_columns", R"(["a", "b", "a"])"),
       "input_columns must not contain duplicates"},
      {"first failure wins", object_of({{"input_columns", "[]"}, {"operation", "5"}, {"parameters", "[]"},
                                        {"output_columns", "[]"}}),
       "input_columns must name at least one column"},
      // operation, parameters.
      {"operation null", config_with("operation", "null"), "operation must be a string"},
      {"operation a number", config_with("operation", "7"), "operation must be a string"},
      {"operation a list", config_with("operation", R"(["hmac_sha256"])"), "operation must be a string"},
      {"parameters a list", config_with("parameters", "[]"), "parameters must be an object"},
      {"parameters null", config_with("parameters", "null"), "parameters must be an object"},
      // output_columns.
      {"output_columns a list", config_with("output_columns", R"(["digest"])"),
       "output_columns must be an object of string to string"},
      {"output_columns value a number", config_with("output_columns", R"({"result": 1})"),
       "output_columns must be an object of string to string"},
      {"output_columns later value null", config_with("output_columns", R"({"result": "d", "other": null})"),
       "output_columns must be an object of string to string"},
      {"written names repeated", config_with("output_columns", R"({"result": "d", "other": "d"})"),
       "output_columns written names must be unique"},
      {"written name an input", config_with("output_columns", R"({"result": "id"})"),
       "output_columns written names must not collide with input_columns"},
      {"unique before collision", config_with("output_columns", R"({"a": "text", "b": "x", "c": "x"})"),
       "output_columns written names must be unique"},
  };
  for (const FailureCase& c : cases) {
    const auto result = load(c.content);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error().code, 1) << c.name;
    EXPECT_EQ(result.error().message, c.message) << c.name;
  }
}

TEST_F(ConfigTest, ReadsAValidConfiguration) {
  const auto result = load(valid_config());
  ASSERT_TRUE(result.ok()) << result.error().message;
  const RunConfig& config = result.value();
  EXPECT_EQ(config.input_columns, (std::vector<std::string>{"text", "id"}));
  EXPECT_EQ(config.operation, "hmac_sha256");
  EXPECT_EQ(config.parameters.dump(), R"({"key":"00ff","extra":[1,{"b":2,"a":3}]})");
  ASSERT_EQ(config.output_columns.size(), 1u);
  EXPECT_EQ(config.output_columns[0].output_name, "result");
  EXPECT_EQ(config.output_columns[0].written_name, "digest");
}

TEST_F(ConfigTest, AcceptsTheEdgesOfTheRules) {
  struct Accepted {
    const char* name;
    std::string content;
  };
  const std::vector<Accepted> cases = {
      {"white space after the object", valid_config() + "\n\t\r \n"},
      {"white space before the object", " \r\n\t" + valid_config()},
      {"multi-line file", "{\n  \"input_columns\": [\"a\"],\n  \"operation\": \"op\",\n  \"parameters\": {},\n"
                          "  \"output_columns\": {}\n}\n"},
      {"127 levels", config_nested(125)},
      {"names differing in case", config_with("input_columns", R"(["a", "A"])")},
      {"empty names", object_of({{"input_columns", R"([""])"}, {"operation", R"("")"}, {"parameters", "{}"},
                                 {"output_columns", R"({"": "x"})"}})},
      {"output name equal to an input", config_with("output_columns", R"({"text": "digest"})")},
      {"empty output_columns", config_with("output_columns", "{}")},
  };
  for (const Accepted& c : cases) {
    const auto result = load(c.content);
    EXPECT_TRUE(result.ok()) << c.name << ": " << (result.ok() ? "" : result.error().message);
  }
}

TEST_F(ConfigTest, RepeatedKeysKeepFirstPlaceAndLastValue) {
  const auto result = load(R"({"operation": 5, "input_columns": ["a"], "parameters": {"k": 1, "j": 2, "k": 3},
    "output_columns": {"result": "first", "other": "o", "result": "second"}, "operation": "op"})");
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value().operation, "op");
  EXPECT_EQ(result.value().parameters.dump(), R"({"k":3,"j":2})");
  ASSERT_EQ(result.value().output_columns.size(), 2u);
  EXPECT_EQ(result.value().output_columns[0].output_name, "result");
  EXPECT_EQ(result.value().output_columns[0].written_name, "second");
  EXPECT_EQ(result.value().output_columns[1].output_name, "other");
}

TEST_F(ConfigTest, CutsALongUnknownKeysMessage) {
  const std::string key(2000, 'k');
  const auto result = load(config_plus({{key, "1"}}));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, 1);
  const std::string head = "unknown config keys: [\"";
  EXPECT_EQ(result.error().message, head + std::string(1010 - head.size(), 'k') + "...(truncated)");
}

TEST_F(ConfigTest, ReportsAFileThatCannotBeRead) {
  const std::string gone = write(valid_config());
  ASSERT_EQ(::unlink(gone.c_str()), 0);
  const struct {
    const char* name;
    std::string path;
    std::string message;
  } cases[] = {
      {"file gone", gone, "--config not readable: No such file or directory (os error 2)"},
      {"a directory", dir_.string(), "--config not readable: Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    const auto result = load_run_config(c.path);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error().code, 1) << c.name;
    EXPECT_EQ(result.error().message, c.message) << c.name;
  }
}

TEST(OutputColumnsTest, CollectsMembersInKeyOrder) {
  auto collected = collect_output_columns(parse_json(R"({"z": "1", "a": "2"})").value());
  ASSERT_TRUE(collected.ok());
  ASSERT_EQ(collected.value().size(), 2u);
  EXPECT_EQ(collected.value()[0].output_name, "z");
  EXPECT_EQ(collected.value()[1].written_name, "2");

  const auto not_an_object = collect_output_columns(JsonValue::array());
  ASSERT_FALSE(not_an_object.ok());
  EXPECT_EQ(not_an_object.error().message, "output_columns must be an object of string to string");
}

TEST(OutputColumnsTest, ComparesWrittenNamesByExactBytes) {
  const std::vector<OutputColumn> columns = {{"a", "x"}, {"b", "X"}, {"c", "x "}};
  EXPECT_TRUE(written_names_unique(columns));
  EXPECT_FALSE(written_names_unique({{"a", ""}, {"b", ""}}));
  EXPECT_FALSE(written_name_collides(columns, {"a", "b", "xx"}));
  EXPECT_TRUE(written_name_collides(columns, {"a", "X"}));
  // Output names are never compared with the inputs.
  EXPECT_FALSE(written_name_collides(columns, {"c"}));
}

}  // namespace
}  // namespace wrapper
