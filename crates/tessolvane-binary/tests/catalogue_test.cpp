#include "catalogue.h"

#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hmac_sha256.h"
#include "wrapper/hex.h"

namespace {

using tessolvane_binary::HmacSha256;
using tessolvane_binary::Key;
using wrapper::JsonValue;
using wrapper::OperationErrorKind;

const std::string kValidKey = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const char* kKeyMessage = "parameters.key must be a string of 64 hex characters";

JsonValue params(const std::string& json) { return JsonValue::parse(json); }

std::string with_key(const std::string& key_json) { return R"({"key": )" + key_json + "}"; }

TEST(Catalogue, ListsHmacSha256WithItsOutput) {
  const auto catalogue = operation_catalogue();
  ASSERT_EQ(catalogue.size(), 1u);
  EXPECT_EQ(catalogue[0].name, "hmac_sha256");
  EXPECT_EQ(catalogue[0].outputs, std::vector<std::string>{"result"});
  EXPECT_EQ(plugin_column_types(), std::vector<wrapper::ColumnType>{wrapper::ColumnType::Utf8});
}

TEST(Catalogue, DeclaredOutputsMatchTheBuiltOperation) {
  auto built = build_operation("hmac_sha256", params(with_key('"' + kValidKey + '"')), 1);
  ASSERT_TRUE(built.ok());
  std::vector<std::string> names;
  for (const auto& field : built.value()->output_fields()) names.push_back(field.name.str());
  EXPECT_EQ(names, operation_catalogue()[0].outputs);
}

struct FailureCase {
  const char* name;
  std::string operation;
  std::string parameters;
  uint64_t input_count;
  OperationErrorKind kind;
  std::string message;
};

TEST(BuildOperation, ChecksInOrderWithExactMessages) {
  const std::string valid = with_key('"' + kValidKey + '"');
  const std::vector<FailureCase> cases = {
      // Operation name: exact bytes.
      {"upper case name", "HMAC_SHA256", valid, 1, OperationErrorKind::Unsupported,
       "unsupported operation: 'HMAC_SHA256'"},
      {"trailing blank", "hmac_sha256 ", valid, 1, OperationErrorKind::Unsupported,
       "unsupported operation: 'hmac_sha256 '"},
      {"name before count", "sha256", R"({"x": 1})", 2, OperationErrorKind::Unsupported,
       "unsupported operation: 'sha256'"},
      // Input count, before any parameter is looked at.
      {"two inputs", "hmac_sha256", valid, 2, OperationErrorKind::InvalidConfig,
       "hmac_sha256 takes exactly one input column, got 2"},
      {"no input", "hmac_sha256", valid, 0, OperationErrorKind::InvalidConfig,
       "hmac_sha256 takes exactly one input column, got 0"},
      {"count before parameters", "hmac_sha256", R"({"x": 1})", 3, OperationErrorKind::InvalidConfig,
       "hmac_sha256 takes exactly one input column, got 3"},
      // Unknown parameters: all of them, sorted by bytes, before the key.
      {"two unknown, greater first", "hmac_sha256", R"({"zeta": 1, "key": ")" + kValidKey + R"(", "alpha": 2})", 1,
       OperationErrorKind::InvalidConfig, R"(unknown hmac_sha256 parameters: ["alpha", "zeta"])"},
      {"prefix sorts first", "hmac_sha256", R"({"ab": 1, "a": 2, "B": 3})", 1, OperationErrorKind::InvalidConfig,
       R"(unknown hmac_sha256 parameters: ["B", "a", "ab"])"},
      {"non-ASCII after ASCII", "hmac_sha256", "{\"\xc3\xa9\": 1, \"z\": 2}", 1, OperationErrorKind::InvalidConfig,
       "unknown hmac_sha256 parameters: [\"z\", \"\xc3\xa9\"]"},
      {"key name is case-sensitive", "hmac_sha256", R"({"Key": ")" + kValidKey + R"("})", 1,
       OperationErrorKind::InvalidConfig, R"(unknown hmac_sha256 parameters: ["Key"])"},
      {"unknown without key", "hmac_sha256", R"({"other": true})", 1, OperationErrorKind::InvalidConfig,
       R"(unknown hmac_sha256 parameters: ["other"])"},
      {"unknown before bad key", "hmac_sha256", R"({"key": 5, "x": null})", 1, OperationErrorKind::InvalidConfig,
       R"(unknown hmac_sha256 parameters: ["x"])"},
      {"names are escaped", "hmac_sha256", R"({"a\"b": 1})", 1, OperationErrorKind::InvalidConfig,
       R"(unknown hmac_sha256 parameters: ["a\"b"])"},
      // The key.
      {"empty parameters", "hmac_sha256", "{}", 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"number", "hmac_sha256", with_key("1234"), 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"boolean", "hmac_sha256", with_key("true"), 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"null", "hmac_sha256", with_key("null"), 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"array", "hmac_sha256", with_key("[\"" + kValidKey + "\"]"), 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"object", "hmac_sha256", with_key("{}"), 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"empty string", "hmac_sha256", with_key(R"("")"), 1, OperationErrorKind::InvalidConfig, kKeyMessage},
      {"63 digits", "hmac_sha256", with_key('"' + kValidKey.substr(1) + '"'), 1, OperationErrorKind::InvalidConfig,
       kKeyMessage},
      {"65 digits", "hmac_sha256", with_key('"' + kValidKey + "0\""), 1, OperationErrorKind::InvalidConfig,
       kKeyMessage},
      {"0x prefix", "hmac_sha256", with_key("\"0x" + kValidKey.substr(2) + '"'), 1, OperationErrorKind::InvalidConfig,
       kKeyMessage},
      {"letter g", "hmac_sha256", with_key("\"g" + kValidKey.substr(1) + '"'), 1, OperationErrorKind::InvalidConfig,
       kKeyMessage},
      {"blank inside", "hmac_sha256", with_key('"' + kValidKey.substr(0, 31) + " " + kValidKey.substr(32) + '"'), 1,
       OperationErrorKind::InvalidConfig, kKeyMessage},
      // 62 digits and a two-byte character: 64 bytes, 63 characters.
      {"non-ASCII", "hmac_sha256", with_key('"' + kValidKey.substr(2) + "\xc3\xa9\""), 1,
       OperationErrorKind::InvalidConfig, kKeyMessage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = build_operation(c.operation, params(c.parameters), c.input_count);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(result.error().message, c.message);
  }
}

struct KeyCase {
  const char* name;
  std::string key_json;  // the JSON value of "key"
  std::vector<uint8_t> expected_prefix;
};

TEST(BuildOperation, DecodesTheKeyHighNibbleFirst) {
  Key ascending{};
  std::string ascending_hex;
  for (size_t i = 0; i < ascending.size(); ++i) {
    ascending[i] = static_cast<uint8_t>(i * 7 + 3);
    ascending_hex += wrapper::kLowerHexDigits[ascending[i] >> 4];
    ascending_hex += wrapper::kLowerHexDigits[ascending[i] & 15];
  }
  std::string mixed_case = ascending_hex;
  for (size_t i = 0; i < mixed_case.size(); i += 3) mixed_case[i] = static_cast<char>(std::toupper(mixed_case[i]));
  std::string upper = ascending_hex;
  for (auto& ch : upper) ch = static_cast<char>(std::toupper(ch));

  const std::vector<KeyCase> cases = {
      {"0f first", "\"0f" + kValidKey.substr(2) + '"', {15, 0x11, 0x22}},
      {"f0 first", "\"f0" + kValidKey.substr(2) + '"', {240, 0x11, 0x22}},
      {"JSON escapes resolved first", "\"\\u0030\\u0046" + kValidKey.substr(2) + '"', {15, 0x11}},
      {"lower case", '"' + ascending_hex + '"', std::vector<uint8_t>(ascending.begin(), ascending.end())},
      {"mixed case", '"' + mixed_case + '"', std::vector<uint8_t>(ascending.begin(), ascending.end())},
      {"upper case", '"' + upper + '"', std::vector<uint8_t>(ascending.begin(), ascending.end())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = build_operation("hmac_sha256", params(with_key(c.key_json)), 1);
    ASSERT_TRUE(result.ok()) << result.error().message;
    const auto* op = dynamic_cast<const HmacSha256*>(result.value().get());
    ASSERT_NE(op, nullptr);
    const std::vector<uint8_t> prefix(op->key().begin(), op->key().begin() + c.expected_prefix.size());
    EXPECT_EQ(prefix, c.expected_prefix);
  }
}

}  // namespace
