// End-to-end benchmark of the binary: hashes 10,000,000 values of 32 bytes
// (batches of 65,536 rows) from a file to /dev/null, to a file and to a pipe,
// beside a bare in-process HMAC loop over the same values in the same run,
// and reports peak resident memory for 1x and 10x the input and start-up
// time against /bin/true. Every figure is the best of 3.
//
//   run_bench <path to tessolvane_binary> [work dir]
//   run_bench --inputs <dir>   only writes the inputs (1m, 10m, nulls, mixed,
//                              and those of --batches) and the configuration,
//                              for comparing outputs
//   run_bench --batches <dir> <binary>...
//                              the same values in batches of 65,536 and
//                              1,048,576 rows, 4,194,304 rows and one batch,
//                              16,777,216 empty strings in one batch, and
//                              500,000 values of 1,024 bytes; each from a
//                              named file and from a pipe, to /dev/null, with
//                              user and system time and page faults; the
//                              binaries take turns on every input, so that
//                              two builds are compared in one run
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
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

// `rows` random printable values of `value_bytes` each.
columnar::RecordBatch make_values_batch(const columnar::SchemaRef& schema, int64_t rows, int64_t value_bytes) {
  std::mt19937_64 random(42);
  columnar::MutableBuffer offsets, data;
  offsets.reserve((rows + 1) * 4);
  data.reserve(rows * value_bytes);
  for (int64_t i = 0; i <= rows; ++i) offsets.push(static_cast<int32_t>(i * value_bytes));
  for (int64_t i = 0; i < rows * value_bytes; ++i) data.push(static_cast<uint8_t>('!' + random() % 94));
  auto array = columnar::Array::make(columnar::DataType::utf8(), rows, 0, nullptr,
                                     {std::move(offsets).freeze(), std::move(data).freeze()});
  return columnar::RecordBatch::make(schema, {array}).value();
}

// One batch of random printable values, reused for every batch of the input.
columnar::RecordBatch make_batch(const columnar::SchemaRef& schema) {
  return make_values_batch(schema, kBatchRows, kValueBytes);
}

// `rows` rows that repeat the rows of `batch` (fixed-width values) in order,
// so that an input cut into larger batches holds the same values.
columnar::RecordBatch repeat_batch(const columnar::RecordBatch& batch, int64_t rows) {
  const auto& column = *batch.column(0);
  const int64_t width = static_cast<int64_t>(column.utf8_value(0).size());
  const int64_t period = batch.num_rows();
  columnar::MutableBuffer offsets, data;
  offsets.reserve((rows + 1) * 4);
  data.reserve(rows * width);
  for (int64_t i = 0; i <= rows; ++i) offsets.push(static_cast<int32_t>(i * width));
  const uint8_t* values = column.buffers()[1]->data();
  for (int64_t done = 0; done < rows; done += period) {
    data.append(values, std::min(period, rows - done) * width);
  }
  auto array = columnar::Array::make(columnar::DataType::utf8(), rows, 0, nullptr,
                                     {std::move(offsets).freeze(), std::move(data).freeze()});
  return columnar::RecordBatch::make(batch.schema(), {array}).value();
}

// `rows` empty strings: offsets only, all zero.
columnar::RecordBatch make_empty_strings_batch(const columnar::SchemaRef& schema, int64_t rows) {
  columnar::MutableBuffer offsets;
  offsets.resize((rows + 1) * 4);
  auto array = columnar::Array::make(columnar::DataType::utf8(), rows, 0, nullptr,
                                     {std::move(offsets).freeze(), columnar::Buffer::empty()});
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

// `rows` rows in batches of `batch_rows`, each the first rows of a window of
// `batch`, which holds a whole number of batches (or all rows).
void write_input(const std::string& path, int64_t rows, const columnar::RecordBatch& batch,
                 int64_t batch_rows = kBatchRows) {
  FILE* file = std::fopen(path.c_str(), "wb");
  FileSink sink(file);
  auto writer = columnar::ipc::StreamWriter::open(sink, batch.schema(), {}).value();
  for (int64_t done = 0; done < rows; done += batch_rows) {
    const int64_t n = std::min(batch_rows, rows - done);
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
  double user_seconds = 0;
  double system_seconds = 0;
  long page_faults = 0;  // minor and major
};

enum class Sink { DevNull, Pipe };

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs argv with standard output on /dev/null, or on a pipe that this
// process drains; with `stdin_from`, standard input is a pipe that this
// process fills with that file's bytes.
RunResult run(const std::vector<std::string>& argv, Sink sink = Sink::DevNull, const std::string& stdin_from = "") {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  int in_fds[2] = {-1, -1};
  if (sink == Sink::Pipe && pipe(pipe_fds) != 0) std::abort();
  if (!stdin_from.empty() && pipe(in_fds) != 0) std::abort();
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    (void)std::signal(SIGPIPE, SIG_DFL);  // as a host would start it
    const int out_fd = sink == Sink::Pipe ? pipe_fds[1] : open("/dev/null", O_WRONLY);
    dup2(out_fd, STDOUT_FILENO);
    if (sink == Sink::Pipe) close(pipe_fds[0]);
    if (!stdin_from.empty()) {
      dup2(in_fds[0], STDIN_FILENO);
      close(in_fds[0]);
      close(in_fds[1]);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  static std::vector<char> chunk(1 << 20);
  if (!stdin_from.empty()) {
    close(in_fds[0]);
    const int in = open(stdin_from.c_str(), O_RDONLY);
    ssize_t n = 0;
    while ((n = read(in, chunk.data(), chunk.size())) > 0) {
      if (write(in_fds[1], chunk.data(), static_cast<size_t>(n)) != n) break;  // the binary stopped reading
    }
    close(in);
    close(in_fds[1]);
  }
  if (sink == Sink::Pipe) {
    close(pipe_fds[1]);
    while (read(pipe_fds[0], chunk.data(), chunk.size()) > 0) {
    }
    close(pipe_fds[0]);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {std::chrono::duration<double>(Clock::now() - start).count(),
          usage.ru_maxrss,
          status,
          seconds_of(usage.ru_utime),
          seconds_of(usage.ru_stime),
          usage.ru_minflt + usage.ru_majflt};
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
  const int64_t batch_rows = batch.num_rows();
  std::vector<char> out(static_cast<size_t>(batch_rows) * 64);
  const auto& column = *batch.column(0);
  const auto start = Clock::now();
  for (int64_t done = 0; done < rows; done += batch_rows) {
    const int64_t n = std::min(batch_rows, rows - done);
    for (int64_t i = 0; i < n; ++i) {
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

// The inputs of --batches: the same 10,000,000 values in ever larger
// batches, and two shapes whose bodies are large at small row counts.
struct BatchInput {
  const char* name;
  const char* file;
  int64_t rows;
  int64_t batch_rows;
  enum class Values { Short, Empty, Kilo } values;
};

constexpr int64_t kKiloRows = 500'000;
constexpr int64_t kKiloBytes = 1'024;

const BatchInput kBatchInputs[] = {
    {"65,536-row batches", "b65k.arrows", 10'000'000, kBatchRows, BatchInput::Values::Short},
    {"1,048,576-row batches", "b1m.arrows", 10'000'000, 1'048'576, BatchInput::Values::Short},
    {"4,194,304-row batches", "b4m.arrows", 10'000'000, 4'194'304, BatchInput::Values::Short},
    {"one batch of 10,000,000", "b10m.arrows", 10'000'000, 10'000'000, BatchInput::Values::Short},
    {"16,777,216 empty, one batch", "empty16m.arrows", 16'777'216, 16'777'216, BatchInput::Values::Empty},
    {"500,000 x 1,024 B, 65,536-row", "kilo.arrows", kKiloRows, kBatchRows, BatchInput::Values::Kilo},
};

columnar::RecordBatch kilo_batch(const columnar::SchemaRef& schema) {
  return make_values_batch(schema, kBatchRows, kKiloBytes);
}

void write_batch_input(const std::string& path, const BatchInput& input, const columnar::RecordBatch& short_batch) {
  switch (input.values) {
    case BatchInput::Values::Short:
      write_input(path, input.rows,
                  input.batch_rows == kBatchRows ? short_batch
                                                 : repeat_batch(short_batch, std::min(input.batch_rows, input.rows)),
                  input.batch_rows);
      break;
    case BatchInput::Values::Empty:
      write_input(path, input.rows, make_empty_strings_batch(short_batch.schema(), input.batch_rows), input.batch_rows);
      break;
    case BatchInput::Values::Kilo:
      write_input(path, input.rows, kilo_batch(short_batch.schema()), input.batch_rows);
      break;
  }
}

// Written by a child process: a forked child's peak RSS starts from its
// parent's, so the parent never holds the large batches of these inputs.
void write_batch_input_apart(const std::string& path, const BatchInput& input, const columnar::RecordBatch& batch) {
  const pid_t pid = fork();
  if (pid == 0) {
    write_batch_input(path, input, batch);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (status != 0) std::abort();
}

// Every binary on every input, from the file and from a pipe, to /dev/null:
// wall time best of 3 (with the user and system time and page faults of
// that run), peak RSS worst of 3. The binaries take turns on each input;
// the 3 runs of one binary and mode follow each other, as a host's repeated
// runs do: on this VM, memory that no process has touched for a few seconds
// is handed back to the hypervisor and costs about 2 ms per MB to touch
// again (bench/README.md).
int run_batches(const std::string& dir, const std::vector<std::string>& binaries, const columnar::RecordBatch& batch) {
  const std::string config = write_config(dir);
  std::printf("%-30s %-6s %-5s %8s %7s %7s %9s %9s %7s\n", "input", "binary", "in", "wall s", "user s", "sys s",
              "peak MiB", "faults", "x 65k");
  // Per binary, [file, pipe]: the 65,536-row run, and the 1,024-byte values for the bare loop.
  std::vector<std::array<double, 2>> base_seconds(binaries.size()), kilo_seconds(binaries.size());
  for (const BatchInput& input : kBatchInputs) {
    const std::string path = dir + "/bench-" + input.file;
    write_batch_input_apart(path, input, batch);
    struct Best {
      RunResult run{1e9, 0, 0};
      long peak = 0;
    };
    std::vector<std::array<Best, 2>> best(binaries.size());
    for (size_t b = 0; b < binaries.size(); ++b) {
      for (int piped = 0; piped < 2; ++piped) {
        for (int attempt = 0; attempt < 3; ++attempt) {
          std::vector<std::string> argv = {binaries[b], "run", "--config", config, "--output", "/dev/null"};
          if (!piped) argv.insert(argv.end(), {"--input", path});
          const RunResult r = run(argv, Sink::DevNull, piped ? path : "");
          if (r.status != 0) {
            std::fprintf(stderr, "%s failed with status %d on %s\n", binaries[b].c_str(), r.status, path.c_str());
            return 1;
          }
          Best& slot = best[b][static_cast<size_t>(piped)];
          slot.peak = std::max(slot.peak, r.max_rss_kib);
          if (r.seconds < slot.run.seconds) slot.run = r;
        }
      }
    }
    for (size_t b = 0; b < binaries.size(); ++b) {
      for (int piped = 0; piped < 2; ++piped) {
        const Best& slot = best[b][static_cast<size_t>(piped)];
        if (input.batch_rows == kBatchRows && input.values == BatchInput::Values::Short) {
          base_seconds[b][static_cast<size_t>(piped)] = slot.run.seconds;
        }
        if (input.values == BatchInput::Values::Kilo) kilo_seconds[b][static_cast<size_t>(piped)] = slot.run.seconds;
        // Only the 32-byte values compare with the 65,536-row run; the others say "-".
        char ratio[16] = "-";
        if (input.values == BatchInput::Values::Short) {
          std::snprintf(ratio, sizeof ratio, "%.2f", slot.run.seconds / base_seconds[b][static_cast<size_t>(piped)]);
        }
        std::printf("%-30s %-6zu %-5s %8.3f %7.3f %7.3f %9.1f %9ld %7s\n", input.name, b + 1, piped ? "pipe" : "file",
                    slot.run.seconds, slot.run.user_seconds, slot.run.system_seconds,
                    static_cast<double>(slot.peak) / 1024.0, slot.run.page_faults, ratio);
      }
    }
    std::fflush(stdout);
    std::remove(path.c_str());
  }
  const columnar::RecordBatch kilo = kilo_batch(batch.schema());
  double bare = 1e9;
  for (int attempt = 0; attempt < 3; ++attempt) bare = std::min(bare, bare_loop_seconds(kilo, kKiloRows));
  std::printf("bare HMAC loop (in process), 500,000 x 1,024 B: %.3f s\n", bare);
  for (size_t b = 0; b < binaries.size(); ++b) {
    std::printf("binary %zu: %s; 1,024-byte values %.2fx the bare loop from a file, %.2fx from a pipe\n", b + 1,
                binaries[b].c_str(), kilo_seconds[b][0] / bare, kilo_seconds[b][1] / bare);
  }
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: run_bench <tessolvane_binary> [work dir] | run_bench --inputs <dir>\n"
                 "       | run_bench --batches <dir> <tessolvane_binary>...\n");
    return 2;
  }
  // A binary that stops reading its piped input early must be reported by its
  // status, not end this process through SIGPIPE on the feeding write.
  (void)std::signal(SIGPIPE, SIG_IGN);
  auto schema = columnar::make_schema({columnar::Field("text", columnar::DataType::utf8())});
  const columnar::RecordBatch batch = make_batch(schema);
  if (std::string(argv[1]) == "--batches") {
    if (argc < 4) return 2;
    return run_batches(argv[2], std::vector<std::string>(argv + 3, argv + argc), batch);
  }
  if (std::string(argv[1]) == "--inputs") {
    if (argc < 3) return 2;
    const std::string dir = argv[2];
    write_config(dir);
    write_input(dir + "/1m.arrows", 1'048'576, batch);
    write_input(dir + "/10m.arrows", 10'000'000, batch);
    const columnar::RecordBatch nulls = make_nulls_batch(schema, batch);
    write_input(dir + "/nulls.arrows", nulls.num_rows(), nulls);
    write_sliced(dir + "/mixed.arrows", make_mixed_batch(schema, 50'000));
    for (const BatchInput& input : kBatchInputs) write_batch_input(dir + "/" + input.file, input, batch);
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
