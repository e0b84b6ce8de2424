// The output side of a run: the Arrow IPC stream writer over an 8,192-byte
// write buffer over the output sink.
//
//   TESS_ASSIGN_OR_RETURN(OutputStream out, open_output_stream(std::move(sink), schema));
//   TESS_ASSIGN_OR_RETURN(uint64_t rows, write_output_batch(out, names, schema, std::move(batch)));
//   TESS_TRY(close_output_stream(std::move(out)));
//
// An OutputStream dropped without close_output_stream sends what its buffer
// holds (failures ignored) and leaves the stream without the end-of-stream
// marker: the partial output a failed run leaves behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "columnar/error.h"
#include "columnar/io.h"
#include "columnar/ipc.h"
#include "columnar/record_batch.h"
#include "wrapper/byte_io.h"
#include "wrapper/error.h"

namespace wrapper {

inline constexpr size_t OUTPUT_BUFFER_SIZE = 8192;

// Gathers small writes in front of a sink. A write that fits the free space
// is copied in, an exact fit included. A write that does not fit first sends
// the buffered bytes; then, if it is OUTPUT_BUFFER_SIZE bytes or more, it goes
// straight to the sink. Nothing else moves bytes to the sink until flush() or
// release. Owns the sink.
class WriteBuffer final : public columnar::ByteSink {
 public:
  explicit WriteBuffer(std::unique_ptr<OutputSink> sink);
  WriteBuffer(const WriteBuffer&) = delete;
  WriteBuffer& operator=(const WriteBuffer&) = delete;
  // Release: sends the buffered bytes, ignoring a failure, then releases the sink.
  ~WriteBuffer() override;

  columnar::IoStatus write_all(const uint8_t* data, size_t size) override;
  // Sends the buffered bytes, then flushes the sink.
  columnar::IoStatus flush() override;

 private:
  // Writes the buffered bytes with the sink's single write until all are
  // taken; bytes taken before a failure leave the buffer.
  columnar::IoStatus send_buffered();

  std::unique_ptr<OutputSink> sink_;
  std::unique_ptr<uint8_t[]> buffer_;  // OUTPUT_BUFFER_SIZE bytes
  size_t size_ = 0;                    // bytes held
};

class OutputStream {
 public:
  OutputStream(OutputStream&& other) noexcept;
  OutputStream& operator=(OutputStream&& other) noexcept;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  // Release without closing: the writer is dropped (no end-of-stream marker),
  // then the buffer sends what it holds and releases the sink.
  ~OutputStream();

 private:
  friend Result<OutputStream> open_output_stream(std::unique_ptr<OutputSink> sink,
                                                 const columnar::SchemaRef& output_schema);
  friend Result<uint64_t> write_output_batch(OutputStream& stream, const std::vector<std::string>& output_names,
                                             const columnar::SchemaRef& output_schema, const columnar::RecordBatch& batch);
  friend Status close_output_stream(OutputStream stream);

  OutputStream(std::unique_ptr<WriteBuffer> buffer, columnar::ipc::StreamWriter writer);
  void release();

  // The writer points at *buffer_, so the buffer lives on the heap and the
  // writer is always dropped first.
  std::unique_ptr<WriteBuffer> buffer_;
  std::optional<columnar::ipc::StreamWriter> writer_;
};

// Creates the write buffer over `sink` (ownership passes) and writes the
// schema message into it. Code 6 on failure, the sink released.
Result<OutputStream> open_output_stream(std::unique_ptr<OutputSink> sink, const columnar::SchemaRef& output_schema);

// Checks one batch that the core returned against the declared output names,
// rebuilds it on the output schema and writes it. Returns its row count; a
// batch without rows is neither checked nor written and returns 0.
Result<uint64_t> write_output_batch(OutputStream& stream, const std::vector<std::string>& output_names,
                                    const columnar::SchemaRef& output_schema, const columnar::RecordBatch& batch);

// Writes the end-of-stream marker and flushes; consumes the stream.
Status close_output_stream(OutputStream stream);

// "internal error: closing the output stream failed: {}", code 6.
PluginError close_output_error(const columnar::Error& error);
// "internal error: flushing the output failed: {}", code 6.
PluginError flush_output_error(const columnar::IoError& error);

}  // namespace wrapper
