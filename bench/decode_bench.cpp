// Decoding a 64 MiB Utf8 record batch from an aligned body shares the body's
// buffers; the figure to compare is a plain copy of the same body.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "columnar/array.h"
#include "columnar/ipc.h"
#include "columnar/utf8.h"

namespace {

class MemorySink final : public columnar::ByteSink {
 public:
  columnar::IoStatus write_all(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return {};
  }
  columnar::IoStatus flush() override { return {}; }
  std::vector<uint8_t> bytes;
};

struct EncodedBatch {
  columnar::SchemaRef schema;
  std::vector<uint8_t> metadata;
  columnar::BufferRef body;
};

// One stream of one batch of 2 Mi values of 32 bytes: 64 MiB of value data.
EncodedBatch encode() {
  constexpr int64_t rows = 2 * 1024 * 1024;
  columnar::MutableBuffer offsets, data;
  for (int64_t i = 0; i <= rows; ++i) offsets.push(static_cast<int32_t>(i * 32));
  data.resize(rows * 32);
  std::memset(data.data(), 'x', static_cast<size_t>(rows * 32));
  auto schema = columnar::make_schema({columnar::Field("text", columnar::DataType::utf8())});
  auto array = columnar::Array::make(columnar::DataType::utf8(), rows, 0, nullptr,
                                     {std::move(offsets).freeze(), std::move(data).freeze()});
  MemorySink sink;
  auto writer = columnar::ipc::StreamWriter::open(sink, schema, {}).value();
  const size_t schema_end = sink.bytes.size();
  if (!writer.write(columnar::RecordBatch::make(schema, {array}).value()).ok()) std::abort();
  // Skip the schema message, then split the batch message into metadata and body.
  const uint8_t* message = sink.bytes.data() + schema_end;
  int32_t length;
  std::memcpy(&length, message + 4, 4);
  EncodedBatch out{schema, std::vector<uint8_t>(message + 8, message + 8 + length), nullptr};
  const uint8_t* body = message + 8 + length;
  const size_t body_size = sink.bytes.size() - schema_end - 8 - static_cast<size_t>(length);
  out.body = columnar::Buffer::copy_of(body, static_cast<int64_t>(body_size));
  return out;
}

const EncodedBatch& fixture() {
  static const EncodedBatch batch = encode();
  return batch;
}

void BM_DecodeUtf8Batch64MiB(benchmark::State& state) {
  const EncodedBatch& batch = fixture();
  for (auto _ : state) {
    auto view = columnar::ipc::MessageView::over_verified(batch.metadata.data());
    auto decoded = columnar::ipc::decode_record_batch(view, batch.body, batch.schema);
    if (!decoded.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(state.iterations() * batch.body->size());
}

void BM_CopyBody64MiB(benchmark::State& state) {
  const EncodedBatch& batch = fixture();
  std::vector<uint8_t> copy(static_cast<size_t>(batch.body->size()));
  for (auto _ : state) {
    std::memcpy(copy.data(), batch.body->data(), copy.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * batch.body->size());
}

// The validator past its ASCII fast path: 64 MiB of text where two bytes in
// three belong to multi-byte characters.
void BM_ValidateMixedUtf8_64MiB(benchmark::State& state) {
  static const std::string text = [] {
    const std::string piece = "h\xC3\xA9llo w\xC3\xB6rld \xE5\x88\x97\xE5\x88\x97 \xF0\x9F\x98\x80 ";
    std::string out;
    while (out.size() < (64u << 20)) out += piece;
    return out;
  }();
  for (auto _ : state) {
    const bool valid = columnar::is_valid_utf8(text);
    if (!valid) state.SkipWithError("not valid");
    benchmark::DoNotOptimize(valid);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

BENCHMARK(BM_DecodeUtf8Batch64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValidateMixedUtf8_64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyBody64MiB)->Unit(benchmark::kMillisecond);

}  // namespace
