#include "wrapper/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace wrapper {
namespace {

FdResult open_retrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return columnar::IoError::from_errno(errno);
  return fd;
}

std::optional<FileId> id_of(const struct stat& status) { return FileId{status.st_dev, status.st_ino}; }

}  // namespace

FdResult open_for_reading(const std::string& path) { return open_retrying(path, O_RDONLY); }

bool opens_for_reading(const std::string& path) {
  const FdResult fd = open_for_reading(path);
  if (!fd.ok()) return false;
  ::close(fd.value());
  return true;
}

FdResult create_for_writing(const std::string& path) {
  return open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

columnar::Result<std::string, columnar::IoError> read_whole_file(const std::string& path) {
  const FdResult opened = open_for_reading(path);
  if (!opened.ok()) return opened.error();
  const int fd = opened.value();

  std::string bytes;
  constexpr size_t kChunk = size_t{64} * 1024;
  while (true) {
    const size_t used = bytes.size();
    bytes.resize(used + kChunk);
    const ssize_t n = ::read(fd, bytes.data() + used, kChunk);
    if (n < 0) {
      const int error = errno;
      bytes.resize(used);
      if (error == EINTR) continue;
      ::close(fd);
      return columnar::IoError::from_errno(error);
    }
    bytes.resize(used + static_cast<size_t>(n));
    if (n == 0) break;
  }
  ::close(fd);
  return bytes;
}

bool is_regular_file(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<FileId> file_identity(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return id_of(status);
}

std::optional<FileId> regular_file_identity(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return id_of(status);
}

std::optional<std::string> canonical_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

}  // namespace wrapper
