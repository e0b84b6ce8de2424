// The stream loop: one input message at a time, checked, projected, cut into
// chunks, driven through the core and written, until the end-of-stream marker.
#include "wrapper/run.h"

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "columnar/ipc.h"
#include "wrapper/framing.h"
#include "wrapper/output.h"
#include "wrapper/process_exit.h"
#include "wrapper/text.h"

namespace wrapper {
namespace {

namespace ipc = columnar::ipc;

PluginError malformed_schema_error() { return invalid_input_error("schema message is malformed"); }
PluginError unsupported_type_error(const columnar::Field& field) {
  // The type's text comes from the input (a timezone, children's names): only
  // what the message can keep of it is built.
  return unsupported_error(fmt::format("column '{}' has an unsupported type: {}", field.name.str(),
                                       field.type.to_string(MESSAGE_LIMIT + 1)));
}
PluginError malformed_batch_message_error() { return invalid_input_error("record batch message is malformed"); }
PluginError compressed_body_error() {
  return invalid_input_error("input contains a compressed record batch body, which is not supported");
}
PluginError malformed_batch_data_error(const columnar::Error& error) {
  return invalid_input_error(fmt::format("malformed record batch data: {}", error.to_string()));
}

// The input schema and how its columns map onto input_columns.
struct InputLayout {
  columnar::SchemaRef schema;
  columnar::SchemaRef chunk_schema;
  std::vector<size_t> projection;
};

Result<columnar::SchemaRef> read_schema(ByteReader& input) {
  TESS_ASSIGN_OR_RETURN(ReadOutcome first, read_message(input));
  switch (first.kind) {
    case ReadOutcome::Kind::EndOfStream:
      return invalid_input_error("input starts with the end-of-stream marker, no schema");
    case ReadOutcome::Kind::EndOfInput: return invalid_input_error("input is zero bytes, not an Arrow IPC stream");
    case ReadOutcome::Kind::Message:
    default: break;
  }
  const ipc::MessageView& view = first.message->view();
  if (view.header_type() != ipc::MessageHeaderType::Schema) {
    return invalid_input_error("expected a schema as the first message in the stream");
  }
  if (!view.has_header()) return malformed_schema_error();
  // Schema and field metadata play no part in a run.
  auto schema = ipc::schema_from_message(view, ipc::SchemaMetadata::Drop);
  // A description the library cannot turn into a schema is bad input too.
  if (!schema.ok()) return malformed_schema_error();
  return std::move(schema).value();
}

Result<InputLayout> check_input_schema(const columnar::SchemaRef& schema, const std::vector<std::string>& input_columns,
                                       const std::vector<ColumnType>& accepted_types) {
  // Views, not copies: a field name can be as long as the input's metadata.
  std::vector<std::string_view> names;
  names.reserve(schema->fields.size());
  for (const auto& field : schema->fields) names.emplace_back(field.name.str());
  std::unordered_set<std::string_view> seen;
  for (const auto& name : names) {
    if (!seen.insert(name).second) {
      return invalid_input_error(fmt::format("input schema has duplicate field names: {}", format_name_list(names)));
    }
  }
  // Byte order: string_view compares through char_traits<char>, as unsigned bytes.
  std::vector<std::string_view> wanted(input_columns.begin(), input_columns.end());
  std::vector<std::string_view> got = names;
  std::sort(wanted.begin(), wanted.end());
  std::sort(got.begin(), got.end());
  if (wanted != got) {
    return invalid_input_error(fmt::format("input schema must contain exactly input_columns {}, got {}",
                                     format_name_list(wanted), format_name_list(got)));
  }
  for (const auto& field : schema->fields) {
    const std::optional<ColumnType> code = column_type_of(field.type);
    if (!code) return unsupported_type_error(field);
    if (std::find(accepted_types.begin(), accepted_types.end(), *code) == accepted_types.end()) {
      return unsupported_error(fmt::format("column '{}' has type {}, which this binary does not accept",
                                           field.name.str(), column_type_name(*code)));
    }
  }
  InputLayout layout{schema, nullptr, {}};
  std::vector<columnar::Field> chunk_fields;
  for (const auto& column : input_columns) {
    const auto index = static_cast<size_t>(std::find(names.begin(), names.end(), column) - names.begin());
    const columnar::Field& field = schema->fields[index];
    layout.projection.push_back(index);
    chunk_fields.emplace_back(field.name, field.type, field.nullable);
  }
  layout.chunk_schema = columnar::make_schema(std::move(chunk_fields));
  return layout;
}

class StreamLoop {
 public:
  StreamLoop(InputLayout layout, PreparedOperation prepared, ByteReader input, OutputStream output)
      : layout_(std::move(layout)), prepared_(std::move(prepared)), input_(std::move(input)), output_(std::move(output)) {}

  Status run() {
    for (;;) {
      TESS_ASSIGN_OR_RETURN(ReadOutcome outcome, read_message(input_));
      switch (outcome.kind) {
        case ReadOutcome::Kind::EndOfStream: return finish();
        case ReadOutcome::Kind::EndOfInput:
          return invalid_input_error("input stream is truncated: missing the end-of-stream marker");
        case ReadOutcome::Kind::Message:
        default: break;
      }
      TESS_TRY(on_message(*outcome.message));
    }
  }

 private:
  Status on_message(const IpcMessage& message) {
    const ipc::MessageView& view = message.view();
    const ipc::MessageHeaderType type = view.header_type();
    if (type == ipc::MessageHeaderType::DictionaryBatch) {
      return invalid_input_error("input contains a dictionary batch, which is not supported");
    }
    if (type != ipc::MessageHeaderType::RecordBatch) {
      return invalid_input_error(fmt::format("unexpected IPC message type {}", ipc::header_type_name(type)));
    }
    if (!view.has_header()) return malformed_batch_message_error();
    if (view.record_batch_has_compression()) return compressed_body_error();
    auto decoded = ipc::decode_record_batch(view, message.body(), layout_.schema);
    if (!decoded.ok()) return malformed_batch_data_error(decoded.error());
    const columnar::RecordBatch& batch = decoded.value();

    std::vector<columnar::ArrayRef> columns;
    columns.reserve(layout_.projection.size());
    for (const size_t index : layout_.projection) columns.push_back(batch.column(static_cast<int>(index)));
    auto projected = columnar::RecordBatch::make(layout_.chunk_schema, std::move(columns), batch.num_rows());
    if (!projected.ok()) {
      return internal_error(
          fmt::format("internal error: projecting the input batch failed: {}", projected.error().to_string()));
    }
    const int64_t rows = batch.num_rows();
    input_rows_ += static_cast<uint64_t>(rows);
    // A batch of 0 rows still goes to the core once, as one empty chunk.
    int64_t start = 0;
    do {
      const int64_t length = std::min(rows - start, BATCH_ROW_LIMIT);
      TESS_TRY(process_chunk(projected.value().slice(start, length)));
      start += length;
    } while (start < rows);
    return {};
  }

  Status process_chunk(const columnar::RecordBatch& chunk) {
    auto processed = prepared_.core->process(chunk);
    if (!processed.ok()) return to_plugin_error(std::move(processed).error());
    std::optional<columnar::RecordBatch> result = std::move(processed).value();
    if (!result) return {};
    if (result->num_rows() != chunk.num_rows()) {
      return internal_error(fmt::format("internal error: the core returned {} rows for a batch of {}",
                                        result->num_rows(), chunk.num_rows()));
    }
    return write(*result);
  }

  Status write(const columnar::RecordBatch& batch) {
    TESS_ASSIGN_OR_RETURN(const uint64_t written,
                          write_output_batch(output_, prepared_.output_names, prepared_.output_schema, batch));
    output_rows_ += written;
    return {};
  }

  Status finish() {
    uint8_t probe = 0;
    TESS_ASSIGN_OR_RETURN(const size_t trailing, input_.read_up_to(&probe, 1));
    if (trailing == 1) return invalid_input_error("trailing data after the end of the Arrow IPC stream");
    auto finished = prepared_.core->finish();
    if (!finished.ok()) return to_plugin_error(std::move(finished).error());
    for (const auto& batch : finished.value()) TESS_TRY(write(batch));
    if (output_rows_ != input_rows_) {
      return internal_error(fmt::format("internal error: the core returned {} rows for {} input rows", output_rows_,
                                        input_rows_));
    }
    return close_output_stream(std::move(output_));
  }

  InputLayout layout_;
  PreparedOperation prepared_;
  ByteReader input_;
  OutputStream output_;
  uint64_t input_rows_ = 0;
  uint64_t output_rows_ = 0;
};

}  // namespace

Result<columnar::Field> build_output_field(const columnar::Field& declared, const std::vector<ColumnType>& accepted_types,
                                           const std::vector<OutputColumn>& output_columns) {
  const std::optional<ColumnType> code = column_type_of(declared.type);
  if (!code || std::find(accepted_types.begin(), accepted_types.end(), *code) == accepted_types.end()) {
    return internal_error(fmt::format("internal error: output '{}' has type {} outside the vocabulary", declared.name.str(),
                                      declared.type.to_string()));
  }
  const auto column = std::find_if(output_columns.begin(), output_columns.end(),
                                   [&](const OutputColumn& c) { return c.output_name == declared.name; });
  TESS_CHECK(column != output_columns.end());
  return columnar::Field(column->written_name, data_type_of(*code), true);
}

Status run_loop(const std::vector<std::string>& input_columns, const std::vector<ColumnType>& accepted_types,
                PreparedOperation prepared, ByteReader input, std::unique_ptr<OutputSink> output) {
  TESS_ASSIGN_OR_RETURN(columnar::SchemaRef schema, read_schema(input));
  TESS_ASSIGN_OR_RETURN(InputLayout layout, check_input_schema(schema, input_columns, accepted_types));
  TESS_ASSIGN_OR_RETURN(OutputStream stream, open_output_stream(std::move(output), prepared.output_schema));
  StreamLoop loop(std::move(layout), std::move(prepared), std::move(input), std::move(stream));
  return loop.run();
}

}  // namespace wrapper
