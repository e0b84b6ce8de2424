// The error a plugin's operation returns, and the result type that carries
// it. Kept apart from the contract so that the runtime's error model can map
// it without pulling in the contract's JSON types.
//
//   return OperationError{OperationErrorKind::InvalidInput, std::move(message)};
#pragma once

#include <cstdint>
#include <string>

#include "columnar/result.h"

namespace wrapper {

// In code order.
enum class OperationErrorKind : uint8_t { InvalidConfig = 0, Unsupported = 1, InvalidInput = 2, Internal = 3 };

struct OperationError {
  OperationErrorKind kind;
  std::string message;  // words for the user, no prefix
};

template <typename T>
using OperationResult = columnar::Result<T, OperationError>;

}  // namespace wrapper
