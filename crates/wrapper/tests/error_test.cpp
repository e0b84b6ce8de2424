// The error model: one constructor per exit code, and the kind of an
// operation's error mapped to its code.
#include "wrapper/error.h"

#include <gtest/gtest.h>

#include <string>

namespace wrapper {
namespace {

const std::string kLong(2000, 'x');
const std::string kCapped = kLong.substr(0, 1010) + "...(truncated)";

TEST(ErrorTest, EachCodeHasOneConstructorThatCapsItsMessage) {
  struct Case {
    PluginError (*make)(std::string);
    int32_t code;
  };
  const Case cases[] = {{usage_error, 1}, {unsupported_error, 4}, {invalid_input_error, 5}, {internal_error, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const PluginError short_error = c.make("some text");
    EXPECT_EQ(short_error.code, c.code);
    EXPECT_EQ(short_error.message, "some text");
    EXPECT_EQ(c.make(kLong).message, kCapped);
  }
}

TEST(ErrorTest, OperationErrorKindsMapToTheirCodesAndOnlyInternalGainsThePrefix) {
  struct Case {
    OperationErrorKind kind;
    int32_t code;
    std::string message;
  };
  const std::string internal = "internal error: " + kLong;
  const Case cases[] = {
      {OperationErrorKind::InvalidConfig, 1, kCapped},
      {OperationErrorKind::Unsupported, 4, kCapped},
      {OperationErrorKind::InvalidInput, 5, kCapped},
      // The prefix comes first, so the cap keeps it.
      {OperationErrorKind::Internal, 6, internal.substr(0, 1010) + "...(truncated)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const PluginError error = to_plugin_error(OperationError{c.kind, kLong});
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.message, c.message);
  }
  EXPECT_EQ(to_plugin_error(OperationError{OperationErrorKind::Internal, "boom"}).message, "internal error: boom");
}

}  // namespace
}  // namespace wrapper
