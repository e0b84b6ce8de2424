// Whole `run` streams under a fixed configuration: the input bytes are the
// fuzzer's, everything after the configuration is the real code path
// (framing, schema checks, decoding, chunking, hashing, writing).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "wrapper/run.h"

namespace {

class MemorySource final : public wrapper::ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  wrapper::IoSizeResult read(uint8_t* out, size_t size) override {
    const size_t n = std::min(size, size_ - position_);
    if (n > 0) std::memcpy(out, data_ + position_, n);
    position_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

class DiscardSink final : public wrapper::OutputSink {
 public:
  wrapper::IoSizeResult write(const uint8_t*, size_t size) override { return size; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const wrapper::JsonValue parameters = {{"key", std::string(64, 'a')}};
  auto core = build_operation("hmac_sha256", parameters, 1);
  if (!core.ok()) std::abort();
  wrapper::PreparedOperation prepared{
      {"result"},
      columnar::make_schema({columnar::Field("digest", columnar::DataType::utf8())}),
      std::move(core).value()};
  const wrapper::Status status =
      wrapper::run_loop({"text"}, plugin_column_types(), std::move(prepared),
                        wrapper::ByteReader::unbuffered(std::make_unique<MemorySource>(data, size)),
                        std::make_unique<DiscardSink>());
  if (!status.ok()) {
    const wrapper::PluginError& error = status.error();
    const bool known_code = error.code == wrapper::EXIT_USAGE || error.code == wrapper::EXIT_UNSUPPORTED ||
                            error.code == wrapper::EXIT_INVALID_INPUT || error.code == wrapper::EXIT_INTERNAL;
    if (!known_code || error.message.size() > wrapper::MESSAGE_LIMIT) std::abort();
    if ((error.code == wrapper::EXIT_INTERNAL) != error.message.starts_with("internal error: ")) std::abort();
  }
  return 0;
}
