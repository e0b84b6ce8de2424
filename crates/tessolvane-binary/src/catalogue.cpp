#include "catalogue.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "hmac_sha256.h"
#include "wrapper/hex.h"
#include "wrapper/text.h"

namespace {

using tessolvane_binary::kHmacSha256Name;
using tessolvane_binary::Key;
using wrapper::OperationError;
using wrapper::OperationErrorKind;

constexpr const char* kKeyParameter = "key";
constexpr size_t kKeyHexChars = 2 * tessolvane_binary::kKeyBytes;

OperationError invalid_config(std::string message) {
  return OperationError{OperationErrorKind::InvalidConfig, std::move(message)};
}

// Every key other than "key", sorted by bytes.
std::vector<std::string> unknown_parameters(const wrapper::JsonValue& parameters) {
  std::vector<std::string> unknown;
  if (!parameters.is_object()) return unknown;
  for (const auto& item : parameters.items()) {
    if (item.key() != kKeyParameter) unknown.push_back(item.key());
  }
  return wrapper::sorted_by_bytes(std::move(unknown));
}

std::optional<Key> decode_key(const wrapper::JsonValue& parameters) {
  if (!parameters.is_object()) return std::nullopt;
  const auto found = parameters.find(kKeyParameter);
  if (found == parameters.end() || !found->is_string()) return std::nullopt;
  const auto& text = found->get_ref<const std::string&>();
  if (text.size() != kKeyHexChars) return std::nullopt;
  Key key{};
  for (size_t i = 0; i < key.size(); ++i) {
    const int high = wrapper::hex_digit_value(text[2 * i]);
    const int low = wrapper::hex_digit_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    key[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return key;
}

}  // namespace

std::vector<wrapper::OperationDescriptor> operation_catalogue() {
  return {wrapper::OperationDescriptor{kHmacSha256Name, {"result"}}};
}

std::vector<wrapper::ColumnType> plugin_column_types() { return {wrapper::ColumnType::Utf8}; }

wrapper::OperationResult<std::unique_ptr<wrapper::Core>> build_operation(std::string_view operation_name,
                                                                          const wrapper::JsonValue& parameters,
                                                                          uint64_t input_count) {
  if (operation_name != kHmacSha256Name) {
    return OperationError{OperationErrorKind::Unsupported, fmt::format("unsupported operation: '{}'", operation_name)};
  }
  if (input_count != 1) {
    return invalid_config(fmt::format("{} takes exactly one input column, got {}", kHmacSha256Name, input_count));
  }
  if (const auto unknown = unknown_parameters(parameters); !unknown.empty()) {
    return invalid_config(
        fmt::format("unknown {} parameters: {}", kHmacSha256Name, wrapper::format_name_list(unknown)));
  }
  const auto key = decode_key(parameters);
  if (!key) return invalid_config("parameters.key must be a string of 64 hex characters");
  return std::unique_ptr<wrapper::Core>(std::make_unique<tessolvane_binary::HmacSha256>(*key));
}
