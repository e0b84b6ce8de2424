// Byte I/O over file descriptors: the input reader the framing reader pulls
// from, and the output sink the write buffer pushes to. No iostreams.
//
//   ByteReader in = ByteReader::over_file(fd);      // owns fd, 8,192-byte buffer
//   TESS_TRY(in.read_exact(prefix, 8));              // IoError on failure
//   auto out = FdSink::over_stdout();
//   TESS_TRY(out->write_all(bytes, n));
//
// A failed read(2)/write(2) interrupted by a signal comes back from the
// single-call operations (`read`, `write`) as an Os error with EINTR, so that
// every caller decides about the retry; the whole-slice operations
// (`read_exact`, `write_all`) retry it themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "columnar/io.h"
#include "columnar/result.h"
#include "wrapper/error.h"

namespace wrapper {

using IoSizeResult = columnar::Result<size_t, columnar::IoError>;

// Where a ByteReader gets its bytes: one call, possibly short, 0 = end.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual IoSizeResult read(uint8_t* data, size_t size) = 0;
  // The most bytes that can still arrive, where the source knows it (a
  // regular file, read from its current position); a hint, since a file may
  // still grow.
  virtual std::optional<uint64_t> remaining_bound() const { return std::nullopt; }
};

// A descriptor read with read(2); closes it on release when owned.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, bool owned) : fd_(fd), owned_(owned) {}
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;
  ~FdSource() override;

  IoSizeResult read(uint8_t* data, size_t size) override;
  std::optional<uint64_t> remaining_bound() const override;

 private:
  int fd_;
  bool owned_;
};

// The run's input. Owns its source. A buffered reader keeps one 8,192-byte
// buffer in front of the source; a read that finds the buffer empty and asks
// for at least its size goes straight to the source.
class ByteReader {
 public:
  static constexpr size_t kReadBufferSize = 8192;

  // A named input file: takes ownership of `fd` and reads it buffered.
  static ByteReader over_file(int fd);
  // Standard input, unbuffered, never closed.
  static ByteReader over_stdin();
  // Any source, e.g. a scripted one in tests.
  static ByteReader buffered(std::unique_ptr<ByteSource> source);
  static ByteReader unbuffered(std::unique_ptr<ByteSource> source);

  ByteReader(ByteReader&&) noexcept = default;
  ByteReader& operator=(ByteReader&&) noexcept = default;

  // Up to `size` bytes; 0 only at the end of the input (or for size 0).
  IoSizeResult read(uint8_t* data, size_t size);
  // Exactly `size` bytes, repeating short and interrupted reads. If the input
  // ends first: IoError::unexpected_eof; the bytes read so far are consumed.
  columnar::IoStatus read_exact(uint8_t* data, size_t size);
  // The source's bound on what can still arrive, bytes buffered included.
  std::optional<uint64_t> remaining_bound() const;
  // Fills up to `size` bytes, repeating short and interrupted reads; the
  // count is less than `size` only at the end of the input. A failure is
  // read_input_error.
  Result<size_t> read_up_to(uint8_t* data, size_t size);

 private:
  ByteReader(std::unique_ptr<ByteSource> source, size_t buffer_size);

  std::unique_ptr<ByteSource> source_;
  std::vector<uint8_t> buffer_;  // empty for an unbuffered reader
  size_t position_ = 0;          // next unread byte of buffer_
  size_t filled_ = 0;            // bytes of buffer_ holding input
};

// A failure to read the input: "internal error: reading the input failed: {}",
// code 6.
PluginError read_input_error(const columnar::IoError& error);

// A byte sink that can also take part of a slice in one call; the write
// buffer needs that to account for bytes a failing sink already accepted.
class OutputSink : public columnar::ByteSink {
 public:
  // One write: the count accepted (0 means the sink took nothing).
  virtual IoSizeResult write(const uint8_t* data, size_t size) = 0;

  // Repeats `write` until every byte is taken, retrying interrupted writes;
  // a write that takes nothing fails with "failed to write whole buffer".
  columnar::IoStatus write_all(const uint8_t* data, size_t size) override;
  // Nothing of the sink's own is buffered.
  columnar::IoStatus flush() override { return {}; }
};

// Repeats `sink.write` until all `size` bytes are taken, retrying interrupted
// writes; `taken` counts the bytes accepted, also when it fails. A write that
// takes nothing fails with IoError::write_zero(`zero_write_text`).
columnar::IoStatus write_retrying(OutputSink& sink, const uint8_t* data, size_t size, size_t& taken,
                                  const char* zero_write_text);

// A descriptor written with write(2). The output file is owned and closed on
// release; standard output is borrowed.
class FdSink final : public OutputSink {
 public:
  static std::unique_ptr<FdSink> over_file(int fd);
  static std::unique_ptr<FdSink> over_stdout();

  FdSink(int fd, bool owned) : fd_(fd), owned_(owned) {}
  FdSink(const FdSink&) = delete;
  FdSink& operator=(const FdSink&) = delete;
  ~FdSink() override;

  IoSizeResult write(const uint8_t* data, size_t size) override;

 private:
  int fd_;
  bool owned_;
};

}  // namespace wrapper
