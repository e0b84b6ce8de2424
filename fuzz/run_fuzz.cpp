// Whole `run` streams under a fixed configuration: the input bytes are the
// fuzzer's, everything after the configuration is the real code path
// (framing, schema checks, decoding, chunking, hashing, writing).
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "wrapper/run.h"
#include "wrapper/testing/io_script.h"

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
                        wrapper::testing::unbuffered_reader({{std::vector<uint8_t>(data, data + size)}}),
                        std::make_unique<wrapper::testing::ScriptedSink>());
  if (!status.ok()) {
    const wrapper::PluginError& error = status.error();
    const bool known_code = error.code == wrapper::EXIT_USAGE || error.code == wrapper::EXIT_UNSUPPORTED ||
                            error.code == wrapper::EXIT_INVALID_INPUT || error.code == wrapper::EXIT_INTERNAL;
    if (!known_code || error.message.size() > wrapper::MESSAGE_LIMIT) std::abort();
    if ((error.code == wrapper::EXIT_INTERNAL) != error.message.starts_with("internal error: ")) std::abort();
  }
  return 0;
}
