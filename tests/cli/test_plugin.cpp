// A plugin for the end-to-end tests: the real runtime with test-only cores
// that misbehave on purpose, so that every check the runtime makes on a core
// can be seen from outside the process.
//
// Operations (parameters in the configuration's "parameters" object):
//   echo        outputs out0..out{n-1} (utf8): every chunk column, in chunk order
//   count       output result (int64): each row holds its chunk's row count
//   defer       output result (utf8): nothing from process, every chunk's first
//               column from finish
//   nothing     output result (utf8): nothing from process or finish
//   extra_row   output result (int64): one row more than the chunk has
//   rename      outputs "declared" (list of names, utf8); returns the chunk's
//               first column under each of the "returned" names
//   wrong_type  output result (utf8), but returns an int64 column
//   fail        output result (utf8), echoes the first column until it fails
//               with "kind" and "message" at process call "at" (1-based), or
//               in finish when "at" is "finish", or in build_operation when
//               "at" is "build"
//   declare     output result of the type named by "type"; echoes nothing
// Every operation takes "trace": a file to which each process call appends
// "process {rows} [{column names}]" and the finish call "finish".
//
// TEST_PLUGIN_ID (a compile definition) is the plugin id.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "columnar/array.h"
#include "columnar/buffer.h"
#include "columnar/data_type.h"
#include "columnar/record_batch.h"
#include "wrapper/contract.h"
#include "wrapper/lib.h"

#ifndef TEST_PLUGIN_ID
#define TEST_PLUGIN_ID "test_plugin"
#endif

namespace {

using columnar::ArrayRef;
using columnar::DataType;
using columnar::Field;
using columnar::RecordBatch;
using wrapper::JsonValue;
using wrapper::OperationError;
using wrapper::OperationErrorKind;
using wrapper::OperationResult;

std::string text_parameter(const JsonValue& parameters, const char* key, std::string fallback = {}) {
  const auto found = parameters.find(key);
  if (found == parameters.end() || !found->is_string()) return fallback;
  return found->get<std::string>();
}

std::vector<std::string> names_parameter(const JsonValue& parameters, const char* key) {
  std::vector<std::string> names;
  const auto found = parameters.find(key);
  if (found == parameters.end() || !found->is_array()) return names;
  for (const auto& item : *found) {
    if (item.is_string()) names.push_back(item.get<std::string>());
  }
  return names;
}

// Appends one line to the trace file, if one was named.
class Trace {
 public:
  explicit Trace(std::string path) : path_(std::move(path)) {}

  void line(const std::string& text) const {
    if (path_.empty()) return;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string with_newline = text + "\n";
    (void)!::write(fd, with_newline.data(), with_newline.size());
    ::close(fd);
  }

  void process(const RecordBatch& chunk) const {
    std::string names;
    for (const Field& field : chunk.schema()->fields) names += (names.empty() ? "" : ",") + field.name.str();
    line("process " + std::to_string(chunk.num_rows()) + " [" + names + "]");
  }

 private:
  std::string path_;
};

ArrayRef int64_column(int64_t rows, int64_t value) {
  columnar::MutableBuffer values(rows * 8);
  for (int64_t i = 0; i < rows; ++i) values.push(value);
  return columnar::Array::make(DataType::int64(), rows, 0, nullptr, {std::move(values).freeze()}, 0);
}

std::vector<Field> utf8_fields(const std::vector<std::string>& names) {
  std::vector<Field> fields;
  for (const auto& name : names) fields.emplace_back(name, DataType::utf8());
  return fields;
}

OperationResult<std::optional<RecordBatch>> batch_of(std::vector<Field> fields, std::vector<ArrayRef> columns,
                                                     int64_t rows) {
  auto batch = RecordBatch::make(columnar::make_schema(std::move(fields)), std::move(columns), rows);
  if (!batch.ok()) return OperationError{OperationErrorKind::Internal, "test core: " + batch.error().to_string()};
  return std::optional<RecordBatch>(std::move(batch).value());
}

// The base of every test core: a fixed list of declared outputs and the trace.
class TestCore : public wrapper::Core {
 public:
  TestCore(std::vector<Field> outputs, const JsonValue& parameters)
      : outputs_(std::move(outputs)), trace_(text_parameter(parameters, "trace")) {}

  std::vector<Field> output_fields() const override { return outputs_; }

  OperationResult<std::optional<RecordBatch>> process(const RecordBatch& chunk) override {
    trace_.process(chunk);
    ++calls_;
    return on_chunk(chunk);
  }

  OperationResult<std::vector<RecordBatch>> finish() override {
    trace_.line("finish");
    return on_finish();
  }

 protected:
  virtual OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) = 0;
  virtual OperationResult<std::vector<RecordBatch>> on_finish() { return std::vector<RecordBatch>{}; }

  int calls() const { return calls_; }

  // The chunk's first column under the declared output names.
  OperationResult<std::optional<RecordBatch>> echo_first(const RecordBatch& chunk) {
    std::vector<ArrayRef> columns(outputs_.size(), chunk.column(0));
    return batch_of(outputs_, std::move(columns), chunk.num_rows());
  }

  std::vector<Field> outputs_;

 private:
  Trace trace_;
  int calls_ = 0;
};

class Echo final : public TestCore {
 public:
  Echo(uint64_t inputs, const JsonValue& parameters) : TestCore(names(inputs), parameters) {}

 private:
  static std::vector<Field> names(uint64_t inputs) {
    std::vector<std::string> out;
    for (uint64_t i = 0; i < inputs; ++i) out.push_back("out" + std::to_string(i));
    return utf8_fields(out);
  }
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    return batch_of(outputs_, chunk.columns(), chunk.num_rows());
  }
};

class Count final : public TestCore {
 public:
  explicit Count(const JsonValue& parameters) : TestCore({Field("result", DataType::int64())}, parameters) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    return batch_of(outputs_, {int64_column(chunk.num_rows(), chunk.num_rows())}, chunk.num_rows());
  }
};

class Defer final : public TestCore {
 public:
  explicit Defer(const JsonValue& parameters) : TestCore(utf8_fields({"result"}), parameters) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    kept_.push_back(chunk.column(0));
    return std::optional<RecordBatch>();
  }
  OperationResult<std::vector<RecordBatch>> on_finish() override {
    std::vector<RecordBatch> batches;
    for (const ArrayRef& column : kept_) {
      auto batch = batch_of(outputs_, {column}, column->length());
      if (!batch.ok()) return std::move(batch).error();
      batches.push_back(std::move(*std::move(batch).value()));
    }
    return batches;
  }
  std::vector<ArrayRef> kept_;
};

class Nothing final : public TestCore {
 public:
  explicit Nothing(const JsonValue& parameters) : TestCore(utf8_fields({"result"}), parameters) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch&) override {
    return std::optional<RecordBatch>();
  }
};

class ExtraRow final : public TestCore {
 public:
  explicit ExtraRow(const JsonValue& parameters) : TestCore({Field("result", DataType::int64())}, parameters) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    const int64_t rows = chunk.num_rows() + 1;
    return batch_of(outputs_, {int64_column(rows, 0)}, rows);
  }
};

class Rename final : public TestCore {
 public:
  explicit Rename(const JsonValue& parameters)
      : TestCore(utf8_fields(names_parameter(parameters, "declared")), parameters),
        returned_(utf8_fields(names_parameter(parameters, "returned"))) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    std::vector<ArrayRef> columns(returned_.size(), chunk.column(0));
    return batch_of(returned_, std::move(columns), chunk.num_rows());
  }
  std::vector<Field> returned_;
};

class WrongType final : public TestCore {
 public:
  explicit WrongType(const JsonValue& parameters) : TestCore(utf8_fields({"result"}), parameters) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    return batch_of({Field("result", DataType::int64())}, {int64_column(chunk.num_rows(), 7)}, chunk.num_rows());
  }
};

std::optional<OperationErrorKind> kind_named(const std::string& name) {
  if (name == "invalid_config") return OperationErrorKind::InvalidConfig;
  if (name == "unsupported") return OperationErrorKind::Unsupported;
  if (name == "invalid_input") return OperationErrorKind::InvalidInput;
  if (name == "internal") return OperationErrorKind::Internal;
  return std::nullopt;
}

OperationError configured_error(const JsonValue& parameters) {
  const auto kind = kind_named(text_parameter(parameters, "kind", "internal"));
  return OperationError{kind.value_or(OperationErrorKind::Internal), text_parameter(parameters, "message", "failed")};
}

class Fail final : public TestCore {
 public:
  explicit Fail(const JsonValue& parameters)
      : TestCore(utf8_fields({"result"}), parameters), error_(configured_error(parameters)) {
    const auto at = parameters.find("at");
    if (at != parameters.end() && at->is_number_integer()) fail_at_call_ = at->get<int>();
    fail_in_finish_ = text_parameter(parameters, "at") == "finish";
  }

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch& chunk) override {
    if (calls() == fail_at_call_) return error_;
    return echo_first(chunk);
  }
  OperationResult<std::vector<RecordBatch>> on_finish() override {
    if (fail_in_finish_) return error_;
    return std::vector<RecordBatch>{};
  }
  OperationError error_;
  int fail_at_call_ = 0;
  bool fail_in_finish_ = false;
};

std::optional<DataType> type_named(const std::string& name) {
  if (name == "utf8") return DataType::utf8();
  if (name == "int64") return DataType::int64();
  if (name == "boolean") return DataType::boolean();
  if (name == "float64") return DataType::float64();
  if (name == "large_utf8") return DataType::plain(columnar::TypeId::LargeUtf8);
  if (name == "int32") return DataType::int_type(32, true);
  return std::nullopt;
}

class Declare final : public TestCore {
 public:
  Declare(DataType type, const JsonValue& parameters) : TestCore({Field("result", std::move(type))}, parameters) {}

 private:
  OperationResult<std::optional<RecordBatch>> on_chunk(const RecordBatch&) override {
    return std::optional<RecordBatch>();
  }
};

OperationError unsupported(std::string_view name) {
  return OperationError{OperationErrorKind::Unsupported, "test plugin has no operation '" + std::string(name) + "'"};
}

}  // namespace

std::vector<wrapper::OperationDescriptor> operation_catalogue() {
  return {{"echo", {}},      {"count", {"result"}},      {"defer", {"result"}}, {"nothing", {"result"}},
          {"extra_row", {"result"}}, {"rename", {}}, {"wrong_type", {"result"}}, {"fail", {"result"}},
          {"declare", {"result"}}};
}

// utf8 twice: the capabilities line lists each type once, sorted.
std::vector<wrapper::ColumnType> plugin_column_types() {
  return {wrapper::ColumnType::Utf8, wrapper::ColumnType::Int64, wrapper::ColumnType::Boolean,
          wrapper::ColumnType::Utf8};
}

wrapper::OperationResult<std::unique_ptr<wrapper::Core>> build_operation(std::string_view name,
                                                                          const wrapper::JsonValue& parameters,
                                                                          uint64_t input_count) {
  std::unique_ptr<wrapper::Core> core;
  if (name == "echo") core = std::make_unique<Echo>(input_count, parameters);
  if (name == "count") core = std::make_unique<Count>(parameters);
  if (name == "defer") core = std::make_unique<Defer>(parameters);
  if (name == "nothing") core = std::make_unique<Nothing>(parameters);
  if (name == "extra_row") core = std::make_unique<ExtraRow>(parameters);
  if (name == "rename") core = std::make_unique<Rename>(parameters);
  if (name == "wrong_type") core = std::make_unique<WrongType>(parameters);
  if (name == "fail") {
    if (text_parameter(parameters, "at") == "build") return configured_error(parameters);
    core = std::make_unique<Fail>(parameters);
  }
  if (name == "declare") {
    const auto type = type_named(text_parameter(parameters, "type"));
    if (!type) return OperationError{OperationErrorKind::InvalidConfig, "declare needs a known type"};
    core = std::make_unique<Declare>(*type, parameters);
  }
  if (!core) return unsupported(name);
  return core;
}

int main() {
  // The same start-up as the real executable.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) == -1) break;
  }
  std::signal(SIGPIPE, SIG_IGN);
  static constexpr wrapper::PluginDescription description{TEST_PLUGIN_ID, "9.9.9"};
  wrapper::run_plugin(description);
}
