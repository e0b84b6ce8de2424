// Cost of schemas that reach one table or string through many offsets: each
// input is one schema message and the end-of-stream marker, run through the
// binary (best of 3 for CPU, worst of 3 for peak memory), beside the bound
// the run must keep: 32 MB + 10 x the input's bytes. Prints the error line,
// so that two builds can be compared for identical messages.
//
//   schema_bench <path to tessolvane_binary> [--dir D] [--runs N] [--quick]
//   --quick leaves out the inputs over 10 MB; every run stops after 60 s of
//   CPU (reported as killed by signal 24) and has 8 GiB of address space, so
//   an old build can be compared
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "columnar/ipc_framing.h"
#include "columnar/testing/ipc_fixtures.h"

namespace {

namespace testing = columnar::ipc::testing;

// The message and the end-of-stream marker.
std::vector<uint8_t> framed(const std::vector<uint8_t>& metadata) {
  const auto prefix = columnar::ipc::encode_prefix(static_cast<int32_t>(metadata.size()));
  std::vector<uint8_t> out;
  out.reserve(prefix.size() + metadata.size() + columnar::ipc::kEndOfStream.size());
  out.insert(out.end(), prefix.begin(), prefix.end());
  out.insert(out.end(), metadata.begin(), metadata.end());
  out.insert(out.end(), columnar::ipc::kEndOfStream.begin(), columnar::ipc::kEndOfStream.end());
  return out;
}

std::string letters(size_t count) { return std::string(count, 'n'); }

struct Shape {
  const char* name;
  std::function<std::vector<uint8_t>()> input;
};

struct RunResult {
  double cpu_seconds;
  long max_rss_kib;
  std::string error_line;
};

RunResult run(const std::string& binary, const std::string& config, const std::string& input) {
  int err[2];
  if (pipe(err) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit cpu{60, 60};
    const rlimit address_space{8ul << 30, 8ul << 30};
    setrlimit(RLIMIT_CPU, &cpu);
    setrlimit(RLIMIT_AS, &address_space);
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(err[0]);
    execl(binary.c_str(), binary.c_str(), "run", "--config", config.c_str(), "--input", input.c_str(), nullptr);
    _exit(127);
  }
  close(err[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(err[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  if (WIFSIGNALED(status)) text = "killed by signal " + std::to_string(WTERMSIG(status)) + ": " + text;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss, text};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: schema_bench <tessolvane_binary> [--dir D] [--runs N] [--quick]\n");
    return 2;
  }
  const std::string binary = argv[1];
  std::string dir = "/tmp";
  int runs = 3;
  bool quick = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
      return 2;
    }
  }
  const std::string config = dir + "/schema-bench-config.json";
  if (FILE* file = std::fopen(config.c_str(), "w")) {
    std::fputs("{\"input_columns\":[\"text\"],\"operation\":\"hmac_sha256\",\"parameters\":{\"key\":\""
               "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\"},"
               "\"output_columns\":{\"result\":\"digest\"}}",
               file);
    std::fclose(file);
  }
  const std::vector<Shape> shapes = {
      {"61 nested Structs, one 1 MB name", [] { return framed(testing::shared_name_chain_message(61, letters(1'000'000))); }},
      {"61 nested Structs, one 3 MB name", [] { return framed(testing::shared_name_chain_message(61, letters(3'000'000))); }},
      {"61 nested Structs, one 35 MB name", [] { return framed(testing::shared_name_chain_message(61, letters(35'000'000))); }},
      {"60 levels of a 1 MB name, 300 leaves",
       [] { return framed(testing::shared_name_chain_message(60, letters(1'000'000), 300)); }},
      {"60 levels of a 1 MB name, 499,900 leaves",
       [] { return framed(testing::shared_name_chain_message(60, letters(1'000'000), 499'900)); }},
      {"one 92 KB name listed 23,000 times", [] { return framed(testing::repeated_field_message(23'000, letters(92'000))); }},
      {"499,000 distinct fields", [] { return framed(testing::distinct_fields_message(499'000)); }},
      {"prefix announcing 64 MiB, nothing after",
       [] {
         const auto prefix = columnar::ipc::encode_prefix(64 << 20);
         return std::vector<uint8_t>(prefix.begin(), prefix.end());
       }},
  };
  std::printf("%-42s %10s %8s %10s %10s  %s\n", "input", "bytes", "CPU s", "peak MB", "bound MB", "error line");
  const std::string input = dir + "/schema-bench-input.arrows";
  for (const Shape& shape : shapes) {
    // A child writes the input: a forked run's peak counts the memory of the
    // process it was forked from, which must not hold the input itself.
    const pid_t writer = fork();
    if (writer == 0) {
      const std::vector<uint8_t> bytes = shape.input();
      if (quick && bytes.size() > 10'000'000) _exit(3);
      FILE* file = std::fopen(input.c_str(), "wb");
      const bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
      _exit(written && std::fclose(file) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) continue;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "writing the input of \"%s\" failed\n", shape.name);
      return 1;
    }
    struct stat written {};
    stat(input.c_str(), &written);
    const auto input_bytes = static_cast<size_t>(written.st_size);
    RunResult best{1e9, 0, {}};
    for (int attempt = 0; attempt < runs; ++attempt) {
      const RunResult r = run(binary, config, input);
      best.cpu_seconds = std::min(best.cpu_seconds, r.cpu_seconds);
      best.max_rss_kib = std::max(best.max_rss_kib, r.max_rss_kib);
      best.error_line = r.error_line;
    }
    std::remove(input.c_str());
    const double bound_mb = 32.0 + 10.0 * static_cast<double>(input_bytes) / 1e6;
    std::printf("%-42s %10zu %8.3f %10.1f %10.1f  %.160s\n", shape.name, input_bytes, best.cpu_seconds,
                static_cast<double>(best.max_rss_kib) * 1024 / 1e6, bound_mb, best.error_line.c_str());
  }
  std::remove(config.c_str());
  return 0;
}
