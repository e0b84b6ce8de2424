// End-to-end benchmark of the binary: hashes 10,000,000 values of 32 bytes
// (batches of 65,536 rows) from a file to /dev/null, to a file and to a pipe,
// beside a bare in-process HMAC loop over the same values in the same run,
// and reports peak resident memory for 1x and 10x the input and start-up
// time against /bin/true. Every figure is the best of 3.
//
//   run_bench <path to tessolvane_binary> [work dir]
//   run_bench --inputs <dir>   only writes the inputs (1m, 10m, nulls, mixed)
//                              and the configuration, for comparing outputs
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// 1,048,576 values of 32 bytes with every third row null.
columnar::RecordBatch make_nulls_batch(const columnar::SchemaRef& schema, const columnar::RecordBatch& batch) {
  constexpr int64_t rows = 1'048'576;
  columnar::MutableBuffer offsets, data, bitmap;
  bitmap.resize((rows + 7) / 8);
  const auto& source = *batch.column(0);
  int32_t end = 0;
  offsets.push(end);
  for (int64_t i = 0; i < rows; ++i) {
    if (i % 3 != 2) {
      columnar::set_bit(bitmap.data(), i);
      const std::string_view value = source.utf8_value(i % kBatchRows);
      data.append(value.data(), static_cast<int64_t>(value.size()));
      end += static_cast<int32_t>(value.size());
    }
    offsets.push(end);
  }
  auto array = columnar::Array::make(columnar::DataType::utf8(), rows, 0, std::move(bitmap).freeze(),
                                     {std::move(offsets).freeze(), std::move(data).freeze()}, rows / 3);
  return columnar::RecordBatch::make(schema, {array}).value();
}

// Values of 0 to 200 bytes, about one in eight null.
columnar::RecordBatch make_mixed_batch(const columnar::SchemaRef& schema, int64_t rows) {
  std::mt19937_64 random(7);
  columnar::MutableBuffer offsets, data, bitmap;
  bitmap.resize((rows + 7) / 8);
  int64_t nulls = 0;
  int32_t end = 0;
  offsets.push(end);
  for (int64_t i = 0; i < rows; ++i) {
    if (random() % 8 == 0) {
      ++nulls;
    } else {
      columnar::set_bit(bitmap.data(), i);
      const auto length = static_cast<int32_t>(random() % 201);
      for (int32_t k = 0; k < length; ++k) data.push(static_cast<uint8_t>('!' + random() % 94));
      end += length;
    }
    offsets.push(end);
  }
  auto array = columnar::Array::make(columnar::DataType::utf8(), rows, 0, std::move(bitmap).freeze(),
                                     {std::move(offsets).freeze(), std::move(data).freeze()}, nulls);
  return columnar::RecordBatch::make(schema, {array}).value();
}

// Slices of `batch` at odd offsets and lengths, so that arrays with a
// non-zero offset reach the binary.
void write_sliced(const std::string& path, const columnar::RecordBatch& batch) {
  FILE* file = std::fopen(path.c_str(), "wb");
  FileSink sink(file);
  auto writer = columnar::ipc::StreamWriter::open(sink, batch.schema(), {}).value();
  int64_t at = 0;
  for (const int64_t length : {0L, 1L, 1000L, 4093L, 17L, 30000L, 64L, 9000L}) {
    if (!writer.write(batch.slice(at, length)).ok()) std::abort();
    at += length + 3;
  }
  if (!writer.finish().ok()) std::abort();
  std::fclose(file);
}

void write_input(const std::string& path, int64_t rows, const columnar::RecordBatch& batch) {
  FILE* file = std::fopen(path.c_str(), "wb");
  FileSink sink(file);
  auto writer = columnar::ipc::StreamWriter::open(sink, batch.schema(), {}).value();
  for (int64_t done = 0; done < rows; done += kBatchRows) {
    const int64_t n = std::min(kBatchRows, rows - done);
    // Windows of kBatchRows rows; the batch holds a whole number of them.
    const int64_t at = done % batch.num_rows();
    if (!writer.write(n == batch.num_rows() ? batch : batch.slice(at, n)).ok()) std::abort();
  }
  if (!writer.finish().ok()) std::abort();
  std::fclose(file);
}

struct RunResult {
  double seconds;
  long max_rss_kib;
  int status;
};

enum class Sink { DevNull, Pipe };

// Runs argv with standard output on /dev/null, or on a pipe that this
// process drains.
RunResult run(const std::vector<std::string>& argv, Sink sink = Sink::DevNull) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  if (sink == Sink::Pipe && pipe(pipe_fds) != 0) std::abort();
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int out_fd = sink == Sink::Pipe ? pipe_fds[1] : open("/dev/null", O_WRONLY);
    dup2(out_fd, STDOUT_FILENO);
    if (sink == Sink::Pipe) close(pipe_fds[0]);
    execv(args[0], args.data());
    _exit(127);
  }
  if (sink == Sink::Pipe) {
    close(pipe_fds[1]);
    static std::vector<char> drain(1 << 20);
    while (read(pipe_fds[0], drain.data(), drain.size()) > 0) {
    }
    close(pipe_fds[0]);
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

std::string write_config(const std::string& dir) {
  const std::string config = dir + "/bench-config.json";
  FILE* file = std::fopen(config.c_str(), "w");
  std::fprintf(file,
               "{\"input_columns\":[\"text\"],\"operation\":\"hmac_sha256\",\"parameters\":{\"key\":\"%s\"},"
               "\"output_columns\":{\"result\":\"digest\"}}",
               kKeyHex);
  std::fclose(file);
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: run_bench <tessolvane_binary> [work dir] | run_bench --inputs <dir>\n");
    return 2;
  }
  auto schema = columnar::make_schema({columnar::Field("text", columnar::DataType::utf8())});
  const columnar::RecordBatch batch = make_batch(schema);
  if (std::string(argv[1]) == "--inputs") {
    if (argc < 3) return 2;
    const std::string dir = argv[2];
    write_config(dir);
    write_input(dir + "/1m.arrows", 1'048'576, batch);
    write_input(dir + "/10m.arrows", 10'000'000, batch);
    const columnar::RecordBatch nulls = make_nulls_batch(schema, batch);
    write_input(dir + "/nulls.arrows", nulls.num_rows(), nulls);
    write_sliced(dir + "/mixed.arrows", make_mixed_batch(schema, 50'000));
    return 0;
  }
  const std::string binary = argv[1];
  const std::string dir = argc > 2 ? argv[2] : "/tmp";
  const std::string config = write_config(dir);

  std::printf("%-28s %12s %10s %10s %12s %10s\n", "run", "values", "seconds", "Mvalues/s", "MB/s in", "peak MiB");
  const auto report = [](const char* what, int64_t rows, const RunResult& r) {
    const double mb = static_cast<double>(rows) * kValueBytes / 1e6;
    std::printf("%-28s %12lld %10.3f %10.2f %12.1f %10.1f\n", what, static_cast<long long>(rows), r.seconds,
                static_cast<double>(rows) / r.seconds / 1e6, mb / r.seconds,
                static_cast<double>(r.max_rss_kib) / 1024.0);
  };
  double null_seconds = 0;
  int64_t full_rows = 0;
  for (const int64_t rows : {1'048'576L, 10'000'000L}) {
    const std::string input = dir + "/bench-input-" + std::to_string(rows) + ".arrows";
    const std::string output = dir + "/bench-output.arrows";
    write_input(input, rows, batch);
    struct Mode {
      const char* name;
      std::vector<std::string> argv;
      Sink sink;
    };
    const std::vector<Mode> modes = {
        {"file to /dev/null", {binary, "run", "--config", config, "--input", input, "--output", "/dev/null"},
         Sink::DevNull},
        {"file to file", {binary, "run", "--config", config, "--input", input, "--output", output}, Sink::DevNull},
        {"file to pipe", {binary, "run", "--config", config, "--input", input}, Sink::Pipe},
    };
    for (const Mode& mode : modes) {
      RunResult best{1e9, 0, 0};
      long peak = 0;
      for (int attempt = 0; attempt < 3; ++attempt) {
        const RunResult r = run(mode.argv, mode.sink);
        if (r.status != 0) {
          std::fprintf(stderr, "the binary failed with status %d\n", r.status);
          return 1;
        }
        peak = std::max(peak, r.max_rss_kib);
        if (r.seconds < best.seconds) best = r;
      }
      best.max_rss_kib = peak;  // the worst of the three
      report(mode.name, rows, best);
      if (mode.sink == Sink::DevNull && mode.argv.back() == "/dev/null") null_seconds = best.seconds;
    }
    full_rows = rows;
    std::remove(input.c_str());
    std::remove(output.c_str());
  }
  double bare = 1e9;
  for (int attempt = 0; attempt < 3; ++attempt) bare = std::min(bare, bare_loop_seconds(batch, full_rows));
  std::printf("%-28s %12lld %10.3f %10.2f\n", "bare HMAC loop (in process)", static_cast<long long>(full_rows), bare,
              static_cast<double>(full_rows) / bare / 1e6);
  std::printf("whole run to /dev/null / bare loop: %.2fx\n", null_seconds / bare);

  constexpr int kStarts = 200;
  double version = 0, truth = 0;
  for (int i = 0; i < kStarts; ++i) version += run({binary, "--version"}).seconds;
  for (int i = 0; i < kStarts; ++i) truth += run({"/bin/true"}).seconds;
  std::printf("start-up: --version %.0f us, /bin/true %.0f us (mean of %d)\n", version / kStarts * 1e6,
              truth / kStarts * 1e6, kStarts);
  return 0;
}
