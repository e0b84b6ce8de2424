#include "wrapper/byte_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fmt/format.h>

namespace wrapper {
namespace {

// read(2) and write(2) take at most SSIZE_MAX bytes per call.
size_t clamp_io_size(size_t size) { return std::min(size, static_cast<size_t>(SSIZE_MAX)); }

}  // namespace

FdSource::~FdSource() {
  if (owned_) ::close(fd_);
}

IoSizeResult FdSource::read(uint8_t* data, size_t size) {
  const ssize_t n = ::read(fd_, data, clamp_io_size(size));
  if (n < 0) return columnar::IoError::from_errno(errno);
  return static_cast<size_t>(n);
}

std::optional<uint64_t> FdSource::remaining_bound() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  // Asks for the position only; the offset is not moved.
  const off_t position = ::lseek(fd_, 0, SEEK_CUR);
  if (position < 0) return std::nullopt;
  return status.st_size > position ? static_cast<uint64_t>(status.st_size - position) : 0;
}

ByteReader::ByteReader(std::unique_ptr<ByteSource> source, size_t buffer_size)
    : source_(std::move(source)), buffer_(buffer_size) {}

ByteReader ByteReader::over_file(int fd) { return buffered(std::make_unique<FdSource>(fd, true)); }

ByteReader ByteReader::over_stdin() { return unbuffered(std::make_unique<FdSource>(STDIN_FILENO, false)); }

ByteReader ByteReader::buffered(std::unique_ptr<ByteSource> source) {
  return ByteReader(std::move(source), kReadBufferSize);
}

ByteReader ByteReader::unbuffered(std::unique_ptr<ByteSource> source) { return ByteReader(std::move(source), 0); }

IoSizeResult ByteReader::read(uint8_t* data, size_t size) {
  if (buffer_.empty()) return source_->read(data, size);
  if (position_ == filled_) {
    // Nothing buffered: a large read would only be copied twice.
    if (size >= buffer_.size()) return source_->read(data, size);
    auto got = source_->read(buffer_.data(), buffer_.size());
    if (!got.ok()) return std::move(got).error();
    position_ = 0;
    filled_ = got.value();
  }
  const size_t n = std::min(size, filled_ - position_);
  if (n > 0) std::memcpy(data, buffer_.data() + position_, n);
  position_ += n;
  return n;
}

std::optional<uint64_t> ByteReader::remaining_bound() const {
  const std::optional<uint64_t> unread = source_->remaining_bound();
  if (!unread) return std::nullopt;
  return *unread + (filled_ - position_);
}

columnar::IoStatus ByteReader::read_exact(uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    auto got = read(data + done, size - done);
    if (!got.ok()) {
      if (got.error().is_interrupted()) continue;
      return std::move(got).error();
    }
    if (got.value() == 0) return columnar::IoError::unexpected_eof();
    done += got.value();
  }
  return {};
}

Result<size_t> ByteReader::read_up_to(uint8_t* data, size_t size) {
  size_t count = 0;
  while (count < size) {
    auto got = read(data + count, size - count);
    if (!got.ok()) {
      if (got.error().is_interrupted()) continue;
      return read_input_error(got.error());
    }
    if (got.value() == 0) break;
    count += got.value();
  }
  return count;
}

PluginError read_input_error(const columnar::IoError& error) {
  return internal_error(fmt::format("internal error: reading the input failed: {}", error.to_string()));
}

columnar::IoStatus write_retrying(OutputSink& sink, const uint8_t* data, size_t size, size_t& taken,
                                  const char* zero_write_text) {
  taken = 0;
  while (taken < size) {
    auto written = sink.write(data + taken, size - taken);
    if (!written.ok()) {
      if (written.error().is_interrupted()) continue;
      return std::move(written).error();
    }
    if (written.value() == 0) return columnar::IoError::write_zero(zero_write_text);
    taken += written.value();
  }
  return {};
}

columnar::IoStatus OutputSink::write_all(const uint8_t* data, size_t size) {
  size_t taken = 0;
  return write_retrying(*this, data, size, taken, "failed to write whole buffer");
}

std::unique_ptr<FdSink> FdSink::over_file(int fd) { return std::make_unique<FdSink>(fd, true); }

std::unique_ptr<FdSink> FdSink::over_stdout() { return std::make_unique<FdSink>(STDOUT_FILENO, false); }

FdSink::~FdSink() {
  if (owned_) ::close(fd_);
}

IoSizeResult FdSink::write(const uint8_t* data, size_t size) {
  const ssize_t n = ::write(fd_, data, clamp_io_size(size));
  if (n < 0) return columnar::IoError::from_errno(errno);
  return static_cast<size_t>(n);
}

}  // namespace wrapper
