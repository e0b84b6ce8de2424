#include "columnar/error.h"

namespace columnar {

std::string Error::to_string() const {
  const char* prefix = "";
  switch (kind_) {
    case ErrorKind::InvalidArgument: prefix = "Invalid argument error: "; break;
    case ErrorKind::Io: prefix = "Io error: "; break;
    case ErrorKind::Ipc: prefix = "Ipc error: "; break;
    case ErrorKind::NotYetImplemented: prefix = "Not yet implemented: "; break;
    default: prefix = "Error: "; break;
  }
  return prefix + message_;
}

}  // namespace columnar
