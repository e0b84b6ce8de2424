// Scripted byte sources and sinks for the I/O tests and the fuzz targets:
// they replay short reads, interruptions, refusals and failures on demand and
// log every call. Free of GoogleTest, so that fuzz targets can use them.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/io.h"
#include "wrapper/byte_io.h"

namespace wrapper::testing {

inline std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// `n` bytes of a pattern that repeats only every 256 bytes.
inline std::vector<uint8_t> filler(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 1);
  return bytes;
}

inline std::vector<uint8_t> concat(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// One result of ByteSource::read: bytes handed out at most `size` at a time
// (the step ends when they are used up), or a failure with errno `os_error`.
struct ReadStep {
  std::vector<uint8_t> bytes;
  int os_error = 0;
};

// The whole input in pieces of at most `piece` bytes, optionally with an
// EINTR before every piece.
inline std::vector<ReadStep> pieces_of(const std::vector<uint8_t>& input, size_t piece, bool interrupt = false) {
  std::vector<ReadStep> steps;
  for (size_t at = 0; at < input.size(); at += piece) {
    if (interrupt) steps.push_back({{}, EINTR});
    const size_t n = std::min(piece, input.size() - at);
    steps.push_back({std::vector<uint8_t>(input.begin() + static_cast<ptrdiff_t>(at),
                                          input.begin() + static_cast<ptrdiff_t>(at + n)),
                     0});
  }
  if (interrupt) steps.push_back({{}, EINTR});
  return steps;
}

// The sizes asked of the source, in call order.
using ReadLog = std::vector<size_t>;

class ScriptedSource final : public ByteSource {
 public:
  ScriptedSource(std::vector<ReadStep> steps, std::shared_ptr<ReadLog> log)
      : steps_(std::move(steps)), log_(std::move(log)) {}

  IoSizeResult read(uint8_t* data, size_t size) override {
    if (log_) log_->push_back(size);
    if (next_ == steps_.size()) return size_t{0};
    ReadStep& step = steps_[next_];
    if (step.os_error != 0) {
      ++next_;
      return columnar::IoError::from_errno(step.os_error);
    }
    const size_t n = std::min(size, step.bytes.size() - offset_);
    std::copy_n(step.bytes.begin() + static_cast<ptrdiff_t>(offset_), n, data);
    offset_ += n;
    if (offset_ == step.bytes.size()) {
      ++next_;
      offset_ = 0;
    }
    return n;
  }

 private:
  std::vector<ReadStep> steps_;
  std::shared_ptr<ReadLog> log_;
  size_t next_ = 0;
  size_t offset_ = 0;
};

inline ByteReader unbuffered_reader(std::vector<ReadStep> steps, std::shared_ptr<ReadLog> log = nullptr) {
  return ByteReader::unbuffered(std::make_unique<ScriptedSource>(std::move(steps), std::move(log)));
}

inline ByteReader buffered_reader(std::vector<ReadStep> steps, std::shared_ptr<ReadLog> log = nullptr) {
  return ByteReader::buffered(std::make_unique<ScriptedSource>(std::move(steps), std::move(log)));
}

// One reply of OutputSink::write: take at most `accept` bytes, or fail with
// errno `os_error`. Writes beyond the script take everything.
struct WriteReply {
  size_t accept = std::numeric_limits<size_t>::max();
  int os_error = 0;
};

struct SinkLog {
  std::vector<uint8_t> bytes;      // everything accepted, in order
  std::vector<size_t> write_sizes;  // size of every write call
  int flushes = 0;
};

// Without a log, what the sink accepts is dropped.
class ScriptedSink final : public OutputSink {
 public:
  explicit ScriptedSink(std::shared_ptr<SinkLog> log = nullptr, std::vector<WriteReply> replies = {},
                        std::vector<int> flush_errors = {})
      : log_(std::move(log)), replies_(std::move(replies)), flush_errors_(std::move(flush_errors)) {}

  IoSizeResult write(const uint8_t* data, size_t size) override {
    if (log_) log_->write_sizes.push_back(size);
    const WriteReply reply = next_reply_ < replies_.size() ? replies_[next_reply_++] : WriteReply{};
    if (reply.os_error != 0) return columnar::IoError::from_errno(reply.os_error);
    const size_t n = std::min(size, reply.accept);
    if (log_) log_->bytes.insert(log_->bytes.end(), data, data + n);
    return n;
  }

  columnar::IoStatus flush() override {
    const int error = next_flush_ < flush_errors_.size() ? flush_errors_[next_flush_++] : 0;
    if (log_) ++log_->flushes;
    if (error != 0) return columnar::IoError::from_errno(error);
    return {};
  }

 private:
  std::shared_ptr<SinkLog> log_;
  std::vector<WriteReply> replies_;
  std::vector<int> flush_errors_;
  size_t next_reply_ = 0;
  size_t next_flush_ = 0;
};

}  // namespace wrapper::testing
