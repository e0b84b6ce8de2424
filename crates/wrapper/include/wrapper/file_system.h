// The file operations of a run, in one place so that one policy serves every
// open: close-on-exec, and an open interrupted by a signal is repeated.
// Paths are raw bytes, exactly as passed on the command line.
//
//   auto fd = open_for_reading(path);             // IoError on failure
//   if (!fd.ok()) return usage_error(... fd.error().to_string() ...);
//   ByteReader input = ByteReader::over_file(fd.value());
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "columnar/io.h"
#include "columnar/result.h"

namespace wrapper {

using FdResult = columnar::Result<int, columnar::IoError>;

// Read-only. The caller owns the descriptor.
FdResult open_for_reading(const std::string& path);
// True when `path` opens for reading; the file is closed again at once,
// unread.
bool opens_for_reading(const std::string& path);
// Write-only, created with permissions 0666 before the umask when missing,
// emptied when present. The caller owns the descriptor.
FdResult create_for_writing(const std::string& path);

// The whole file in memory, with no size limit of the program's own.
columnar::Result<std::string, columnar::IoError> read_whole_file(const std::string& path);

// True when `path` names a regular file, following symbolic links; false
// also when its status cannot be read.
bool is_regular_file(const std::string& path);

// A file's identity: two names or descriptors of one file share it.
struct FileId {
  dev_t device;
  ino_t inode;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// The file `path` names, of any kind, following symbolic links.
std::optional<FileId> file_identity(const std::string& path);
// The file behind `fd`, only when it is a regular file.
std::optional<FileId> regular_file_identity(int fd);

// The canonical absolute form (symbolic links, "." and ".." resolved), or
// nothing when it does not resolve.
std::optional<std::string> canonical_path(const std::string& path);

}  // namespace wrapper
