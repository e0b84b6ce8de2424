// End-to-end benchmark of the binary: hashes 10,000,000 values of 32 bytes
// (batches of 65,536 rows) from a file to a file, and reports throughput, the
// ratio to a bare in-process HMAC loop over the same values, peak resident
// memory for 1x and 10x the input, and start-up time against /bin/true.
//
//   run_bench <path to tessolvane_binary> [work dir]
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "columnar/ipc.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kBatchRows = 65'536;
constexpr int kValueBytes = 32;
const char* kKeyHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

class FileSink final : public columnar::ByteSink {
 public:
  explicit FileSink(FILE* file) : file_(file) {}
  columnar::IoStatus write_all(const uint8_t* data, size_t size) override {
    if (std::fwrite(data, 1, size, file_) != size) return columnar::IoError::other("short write");
    return {};
  }
  columnar::IoStatus flush() override { return {}; }

 private:
  FILE* file_;
};

// One batch of random printable values, reused for every batch of the input.
columnar::RecordBatch make_batch(const columnar::SchemaRef& schema) {
  std::mt19937_64 random(42);
  columnar::MutableBuffer offsets, data;
  offsets.reserve((kBatchRows + 1) * 4);
  data.reserve(kBatchRows * kValueBytes);
  for (int64_t i = 0; i <= kBatchRows; ++i) offsets.push(static_cast<int32_t>(i * kValueBytes));
  for (int64_t i = 0; i < kBatchRows * kValueBytes; ++i) data.push(static_cast<uint8_t>('!' + random() % 94));
  auto array = columnar::Array::make(columnar::DataType::utf8(), kBatchRows, 0, nullptr,
                                     {std::move(offsets).freeze(), std::move(data).freeze()});
  return columnar::RecordBatch::make(schema, {array}).value();
}

void write_input(const std::string& path, int64_t rows, const columnar::RecordBatch& batch) {
  FILE* file = std::fopen(path.c_str(), "wb");
  FileSink sink(file);
  auto writer = columnar::ipc::StreamWriter::open(sink, batch.schema(), {}).value();
  for (int64_t done = 0; done < rows; done += kBatchRows) {
    const int64_t n = std::min(kBatchRows, rows - done);
    if (!writer.write(n == kBatchRows ? batch : batch.slice(0, n)).ok()) std::abort();
  }
  if (!writer.finish().ok()) std::abort();
  std::fclose(file);
}

struct RunResult {
  double seconds;
  long max_rss_kib;
  int status;
};

RunResult run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {std::chrono::duration<double>(Clock::now() - start).count(), usage.ru_maxrss, status};
}

// The floor: the same HMACs with pre-derived keyed states, hex by table.
double bare_loop_seconds(const columnar::RecordBatch& batch, int64_t rows) {
  uint8_t key[64] = {};
  for (int i = 0; i < 32; ++i) std::sscanf(kKeyHex + 2 * i, "%2hhx", &key[i]);
  uint8_t inner_block[64], outer_block[64];
  for (int i = 0; i < 64; ++i) {
    inner_block[i] = key[i] ^ 0x36;
    outer_block[i] = key[i] ^ 0x5c;
  }
  SHA256_CTX inner, outer;
  SHA256_Init(&inner);
  SHA256_Update(&inner, inner_block, 64);
  SHA256_Init(&outer);
  SHA256_Update(&outer, outer_block, 64);
  static const char kHex[] = "0123456789abcdef";
  std::vector<char> out(static_cast<size_t>(kBatchRows) * 64);
  const auto& column = *batch.column(0);
  const auto start = Clock::now();
  for (int64_t done = 0; done < rows; done += kBatchRows) {
    for (int64_t i = 0; i < kBatchRows; ++i) {
      const std::string_view value = column.utf8_value(i);
      SHA256_CTX c = inner;
      uint8_t digest[32];
      SHA256_Update(&c, value.data(), value.size());
      SHA256_Final(digest, &c);
      c = outer;
      SHA256_Update(&c, digest, 32);
      SHA256_Final(digest, &c);
      char* o = out.data() + i * 64;
      for (int k = 0; k < 32; ++k) {
        o[2 * k] = kHex[digest[k] >> 4];
        o[2 * k + 1] = kHex[digest[k] & 15];
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (out[0] == 'x') std::puts("");  // keep the loop's result alive
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: run_bench <tessolvane_binary> [work dir]\n");
    return 2;
  }
  const std::string binary = argv[1];
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  const std::string config = dir + "/bench-config.json";
  FILE* file = std::fopen(config.c_str(), "w");
  std::fprintf(file,
               "{\"input_columns\":[\"text\"],\"operation\":\"hmac_sha256\",\"parameters\":{\"key\":\"%s\"},"
               "\"output_columns\":{\"result\":\"digest\"}}",
               kKeyHex);
  std::fclose(file);

  auto schema = columnar::make_schema({columnar::Field("text", columnar::DataType::utf8())});
  const columnar::RecordBatch batch = make_batch(schema);
  std::printf("%-28s %12s %10s %10s %12s %10s\n", "run", "values", "seconds", "Mvalues/s", "MB/s in", "peak MiB");
  double full_seconds = 0;
  int64_t full_rows = 0;
  for (const int64_t rows : {1'000'000L, 10'000'000L}) {
    const std::string input = dir + "/bench-input-" + std::to_string(rows) + ".arrows";
    const std::string output = dir + "/bench-output.arrows";
    write_input(input, rows, batch);
    RunResult best{1e9, 0, 0};
    for (int attempt = 0; attempt < 3; ++attempt) {
      const RunResult r = run({binary, "run", "--config", config, "--input", input, "--output", output});
      if (r.status != 0) {
        std::fprintf(stderr, "the binary failed with status %d\n", r.status);
        return 1;
      }
      if (r.seconds < best.seconds) best = r;
    }
    const double mb = static_cast<double>(rows) * kValueBytes / 1e6;
    std::printf("%-28s %12lld %10.3f %10.2f %12.1f %10.1f\n", "file to file", static_cast<long long>(rows),
                best.seconds, static_cast<double>(rows) / best.seconds / 1e6, mb / best.seconds,
                static_cast<double>(best.max_rss_kib) / 1024.0);
    full_seconds = best.seconds;
    full_rows = rows;
    std::remove(input.c_str());
    std::remove(output.c_str());
  }
  double bare = 1e9;
  for (int attempt = 0; attempt < 3; ++attempt) bare = std::min(bare, bare_loop_seconds(batch, full_rows));
  std::printf("%-28s %12lld %10.3f %10.2f\n", "bare HMAC loop (in process)", static_cast<long long>(full_rows), bare,
              static_cast<double>(full_rows) / bare / 1e6);
  std::printf("whole run / bare loop: %.2fx\n", full_seconds / bare);

  constexpr int kStarts = 200;
  double version = 0, truth = 0;
  for (int i = 0; i < kStarts; ++i) version += run({binary, "--version"}).seconds;
  for (int i = 0; i < kStarts; ++i) truth += run({"/bin/true"}).seconds;
  std::printf("start-up: --version %.0f us, /bin/true %.0f us (mean of %d)\n", version / kStarts * 1e6,
              truth / kStarts * 1e6, kStarts);
  return 0;
}
