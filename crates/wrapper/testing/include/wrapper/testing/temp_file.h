// A temporary file for the GoogleTest tests of the runtime's byte I/O.
//
//   TempFile file;  // created empty, removed when `file` goes
//   file.write({1, 2, 3});
//   EXPECT_EQ(file.content().size(), 3u);
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wrapper/byte_io.h"

namespace wrapper::testing {

// A file of its own under /tmp, removed when the test ends.
class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/wrapper_test_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    ::close(fd);
    path_ = name;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

  // Replaces the content with `bytes`.
  void write(const std::vector<uint8_t>& bytes) const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
    EXPECT_GE(fd, 0);
    FdSink sink(fd, true);
    EXPECT_TRUE(sink.write_all(bytes.data(), bytes.size()).ok());
  }

  // A descriptor open for reading; the caller owns it.
  int open_for_reading() const {
    const int fd = ::open(path_.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    return fd;
  }

  std::vector<uint8_t> content() const {
    ByteReader reader = ByteReader::over_file(open_for_reading());
    std::vector<uint8_t> all;
    uint8_t chunk[4096];
    for (;;) {
      auto n = reader.read(chunk, sizeof chunk);
      EXPECT_TRUE(n.ok());
      if (!n.ok() || n.value() == 0) return all;
      all.insert(all.end(), chunk, chunk + n.value());
    }
  }

 private:
  std::string path_;
};

}  // namespace wrapper::testing
