#include "wrapper/output.h"

#include <fmt/format.h>

#include <cstring>
#include <utility>

#include "wrapper/process_exit.h"
#include "wrapper/text.h"

namespace wrapper {
namespace {

// Given explicitly so that a change of the library's defaults cannot change
// the bytes hosts compare. The writer's framing is fixed: metadata version
// V5, the continuation marker before every message, no compression.
columnar::ipc::WriteOptions output_write_options() {
  columnar::ipc::WriteOptions options;
  options.alignment = 64;
  return options;
}

bool names_match(const columnar::Schema& schema, const std::vector<std::string>& output_names) {
  if (schema.fields.size() != output_names.size()) return false;
  for (size_t i = 0; i < output_names.size(); ++i) {
    if (schema.fields[i].name != output_names[i]) return false;
  }
  return true;
}

PluginError output_names_error(const columnar::Schema& schema, const std::vector<std::string>& output_names) {
  std::vector<std::string> returned;
  returned.reserve(schema.fields.size());
  for (const columnar::Field& field : schema.fields) returned.push_back(field.name.str());
  return internal_error(fmt::format("internal error: the core returned columns {}, expected its declared outputs {}",
                                    format_name_list(returned), format_name_list(output_names)));
}

}  // namespace

WriteBuffer::WriteBuffer(std::unique_ptr<OutputSink> sink)
    : sink_(std::move(sink)), buffer_(std::make_unique<uint8_t[]>(OUTPUT_BUFFER_SIZE)) {}

WriteBuffer::~WriteBuffer() {
  // A release cannot report anything; the error that caused it is the one
  // the run reports. Nothing may escape a destructor either.
  try {
    (void)send_buffered();
  } catch (...) {  // NOLINT(bugprone-empty-catch): dropped like the failure itself
  }
}

columnar::IoStatus WriteBuffer::write_all(const uint8_t* data, size_t size) {
  if (size > OUTPUT_BUFFER_SIZE - size_) {
    TESS_TRY(send_buffered());
    // The buffer is empty now; only a write of its whole size or more would
    // gain nothing from a copy.
    if (size >= OUTPUT_BUFFER_SIZE) return sink_->write_all(data, size);
  }
  if (size > 0) std::memcpy(buffer_.get() + size_, data, size);
  size_ += size;
  return {};
}

columnar::IoStatus WriteBuffer::flush() {
  TESS_TRY(send_buffered());
  return sink_->flush();
}

columnar::IoStatus WriteBuffer::send_buffered() {
  size_t sent = 0;
  columnar::IoStatus status = write_retrying(*sink_, buffer_.get(), size_, sent, "failed to write the buffered data");
  if (sent > 0) {
    std::memmove(buffer_.get(), buffer_.get() + sent, size_ - sent);
    size_ -= sent;
  }
  return status;
}

OutputStream::OutputStream(std::unique_ptr<WriteBuffer> buffer, columnar::ipc::StreamWriter writer)
    : buffer_(std::move(buffer)), writer_(std::in_place, std::move(writer)) {}

OutputStream::OutputStream(OutputStream&& other) noexcept
    : buffer_(std::move(other.buffer_)), writer_(std::move(other.writer_)) {
  other.writer_.reset();
}

OutputStream& OutputStream::operator=(OutputStream&& other) noexcept {
  if (this != &other) {
    release();
    buffer_ = std::move(other.buffer_);
    writer_ = std::move(other.writer_);
    other.writer_.reset();
  }
  return *this;
}

OutputStream::~OutputStream() { release(); }

void OutputStream::release() {
  writer_.reset();
  buffer_.reset();
}

Result<OutputStream> open_output_stream(std::unique_ptr<OutputSink> sink, const columnar::SchemaRef& output_schema) {
  auto buffer = std::make_unique<WriteBuffer>(std::move(sink));
  auto writer = columnar::ipc::StreamWriter::open(*buffer, output_schema, output_write_options());
  if (!writer.ok()) {
    buffer.reset();
    return internal_error(
        fmt::format("internal error: opening the output stream failed: {}", writer.error().to_string()));
  }
  return OutputStream(std::move(buffer), std::move(writer).value());
}

Result<uint64_t> write_output_batch(OutputStream& stream, const std::vector<std::string>& output_names,
                                    const columnar::SchemaRef& output_schema, const columnar::RecordBatch& batch) {
  TESS_CHECK(stream.writer_.has_value());
  const int64_t rows = batch.num_rows();
  if (rows == 0) return uint64_t{0};
  if (!names_match(*batch.schema(), output_names)) return output_names_error(*batch.schema(), output_names);

  // Same arrays, new schema: the written batch carries the written column
  // names and nullable fields whatever the core's own schema said.
  auto rebuilt = columnar::RecordBatch::make(output_schema, batch.columns(), rows);
  if (!rebuilt.ok()) {
    return internal_error(fmt::format("internal error: the core's output does not match its declared output schema: {}",
                                      rebuilt.error().to_string()));
  }
  auto written = stream.writer_->write(rebuilt.value());
  if (!written.ok()) {
    return internal_error(
        fmt::format("internal error: writing the output stream failed: {}", written.error().to_string()));
  }
  return static_cast<uint64_t>(rows);
}

Status close_output_stream(OutputStream stream) {
  TESS_CHECK(stream.writer_.has_value());
  auto finished = stream.writer_->finish();
  if (!finished.ok()) {
    PluginError error = close_output_error(finished.error());
    stream.release();
    return error;
  }
  // The writer is finished, so dropping it writes no second marker.
  stream.writer_.reset();
  auto flushed = stream.buffer_->flush();
  stream.release();
  if (!flushed.ok()) return flush_output_error(flushed.error());
  return {};
}

PluginError close_output_error(const columnar::Error& error) {
  return internal_error(fmt::format("internal error: closing the output stream failed: {}", error.to_string()));
}

PluginError flush_output_error(const columnar::IoError& error) {
  return internal_error(fmt::format("internal error: flushing the output failed: {}", error.to_string()));
}

}  // namespace wrapper
