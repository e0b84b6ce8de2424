#!/usr/bin/env node
// Writes and reads Arrow IPC streams with apache-arrow, an Arrow implementation that shares
// no code with ours, so that the interop tests compare tessolvane_binary against it.
//
//   node arrow-tool.mjs write <description.json|-> <out|->  description -> Arrow IPC stream
//   node arrow-tool.mjs read <in|->                         Arrow IPC stream -> JSON
//   node arrow-tool.mjs show <in|-> [--rows N]              Arrow IPC stream -> readable table
//   node arrow-tool.mjs hmac <hexkey> <description.json|stream|-> [--column NAME]
//                                         JSON array of the column's HMAC-SHA256 hex digests
//
// Column types: utf8, large_utf8, utf8_view, dictionary_utf8 (int32 indices), binary, bool,
// int8, int16, int32, int64, uint8, uint16, uint32, uint64, float32, float64.
//
// Description, explicit form:
//   {"columns": [{"name": "text", "type": "utf8", "nullable": true}],
//    "batches": [{"text": ["a", null, "é"]}, {"text": []}]}
// "batches": [] gives a stream with a schema and no record batch; {"text": []} a 0-row batch.
//
// Description, generated form (one column, default {"name": "text", "type": "utf8"}):
//   {"columns": [...optional...],
//    "generate": {"rows": 1048577, "batch_rows": 1048577, "value": "row-{i}", "null_every": 7, "seed": 1}}
// "value" is a template where {i} is the row number counted over all batches, or "random32" for
// 32 random printable ASCII characters from a PRNG seeded by "seed"; with "null_every": k every
// k-th row (i % k == k - 1) is null.
//
// Both forms take "slice": [offset, length], applied to every batch before it is written.
// apache-arrow's writer rebases a sliced column (its offsets start at 0 again, the value data is
// cut to the slice); with "keep_offsets": true the utf8, large_utf8 and binary columns are
// written as they lie in the unsliced batch instead: offsets that do not start at 0 and the whole
// value data, which the format allows and a reader must handle.
//
// Values in JSON: utf8-like and dictionary_utf8 as strings, binary as hex strings, int64 and
// uint64 as decimal strings (numbers are accepted on input), other integers and floats as numbers
// (non-finite floats as "NaN", "Infinity", "-Infinity"), bool as true/false, null as null.

import { createHmac } from 'node:crypto';
import { readFileSync, realpathSync, writeFileSync } from 'node:fs';
import { pathToFileURL } from 'node:url';
import {
  Binary, Bool, Dictionary, Field, Float32, Float64, Int8, Int16, Int32, Int64, LargeUtf8,
  RecordBatch, RecordBatchReader, RecordBatchStreamWriter, Schema, Struct, Type, Uint8, Uint16,
  Uint32, Uint64, Utf8, Utf8View, makeData, vectorFromArray,
} from 'apache-arrow';
// The reader yields this stand-in for a stream that has a schema and no record batch; it is not
// part of the stream and must not be reported as a batch.
import { _InternalEmptyPlaceholderRecordBatch } from 'apache-arrow/recordbatch';

const EOS_MARKER = Buffer.from('ffffffff00000000', 'hex');

const fromBigIntText = (v) => BigInt(v);
const fromFloatText = (v) => (typeof v === 'string' ? Number(v) : v);
const toFloatJson = (v) => (Number.isFinite(v) ? v : String(v));
const asIs = (v) => v;

// name -> [make the type, JSON value -> arrow value, arrow value -> JSON value]
const TYPES = {
  utf8: [() => new Utf8(), asIs, asIs],
  large_utf8: [() => new LargeUtf8(), asIs, asIs],
  utf8_view: [() => new Utf8View(), asIs, asIs],
  dictionary_utf8: [() => new Dictionary(new Utf8(), new Int32()), asIs, asIs],
  binary: [() => new Binary(), (v) => Uint8Array.from(Buffer.from(v, 'hex')), (v) => Buffer.from(v).toString('hex')],
  bool: [() => new Bool(), asIs, asIs],
  int8: [() => new Int8(), asIs, asIs],
  int16: [() => new Int16(), asIs, asIs],
  int32: [() => new Int32(), asIs, asIs],
  int64: [() => new Int64(), fromBigIntText, String],
  uint8: [() => new Uint8(), asIs, asIs],
  uint16: [() => new Uint16(), asIs, asIs],
  uint32: [() => new Uint32(), asIs, asIs],
  uint64: [() => new Uint64(), fromBigIntText, String],
  float32: [() => new Float32(), fromFloatText, toFloatJson],
  float64: [() => new Float64(), fromFloatText, toFloatJson],
};

function typeName(type) {
  for (const [name, [make]] of Object.entries(TYPES)) {
    const probe = make();
    if (probe.typeId === type.typeId && String(probe) === String(type)) return name;
  }
  return String(type);
}

function typeEntry(name) {
  const entry = TYPES[name];
  if (!entry) throw new Error(`unknown column type "${name}"; known: ${Object.keys(TYPES).join(', ')}`);
  return entry;
}

function describedColumns(description) {
  const columns = description.columns ?? (description.generate ? [{ name: 'text', type: 'utf8' }] : null);
  if (!Array.isArray(columns)) throw new Error('description needs "columns" (a list) or "generate"');
  return columns.map((c) => ({ name: c.name, type: c.type ?? 'utf8', nullable: c.nullable ?? true }));
}

// Small, seeded, and the same in every run, so a generated input can be made again.
function mulberry32(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function generatedBatches(gen) {
  const rows = gen.rows ?? 0;
  const batchRows = gen.batch_rows ?? rows;
  if (!Number.isInteger(rows) || rows < 0) throw new Error('generate.rows must be a whole number >= 0');
  if (rows > 0 && (!Number.isInteger(batchRows) || batchRows < 1)) throw new Error('generate.batch_rows must be >= 1');
  const template = gen.value ?? 'row-{i}';
  const nullEvery = gen.null_every ?? 0;
  const random = mulberry32(gen.seed ?? 1);
  const valueAt = template === 'random32'
    ? () => { let s = ''; for (let k = 0; k < 32; k++) s += String.fromCharCode(32 + Math.floor(random() * 95)); return s; }
    : (i) => template.replaceAll('{i}', String(i));
  const batches = [];
  for (let start = 0; start < rows; start += batchRows) {
    const end = Math.min(rows, start + batchRows);
    const values = new Array(end - start);
    for (let i = start; i < end; i++) {
      values[i - start] = nullEvery > 0 && i % nullEvery === nullEvery - 1 ? null : valueAt(i);
    }
    batches.push(values);
  }
  return batches;
}

/** The described schema and batches as apache-arrow RecordBatches, sliced if asked. */
export function buildBatches(description) {
  const columns = describedColumns(description);
  const fields = columns.map((c) => new Field(c.name, typeEntry(c.type)[0](), c.nullable));
  const schema = new Schema(fields);
  let rawBatches;
  if (description.generate) {
    if (columns.length !== 1) throw new Error('"generate" makes exactly one column');
    rawBatches = generatedBatches(description.generate).map((values) => ({ [columns[0].name]: values }));
  } else {
    if (!Array.isArray(description.batches)) throw new Error('description needs "batches" (a list) or "generate"');
    rawBatches = description.batches;
  }
  const batches = rawBatches.map((raw, b) => {
    const lengths = new Set(columns.map((c) => raw[c.name]?.length));
    if (lengths.size !== 1 || lengths.has(undefined)) {
      throw new Error(`batch ${b} must hold every column as a list, all of one length`);
    }
    const [length] = lengths;
    const children = columns.map((c, i) => {
      const [, fromJson] = typeEntry(c.type);
      const values = raw[c.name].map((v) => (v === null ? null : fromJson(v)));
      return vectorFromArray(values, fields[i].type).data[0];
    });
    return new RecordBatch(schema, makeData({ type: new Struct(fields), length, nullCount: 0, children }));
  });
  if (!description.slice) return { schema, batches };
  const [offset, length] = description.slice;
  return { schema, batches: batches.map((batch) => batch.slice(offset, offset + length)) };
}

// apache-arrow's stream writer, except that offset-based columns keep the offsets and value data
// of the unsliced column. Buffers per column follow the IPC order (validity, then the type's own).
// _assembleRecordBatch is the writer's own hook, not public API: package-lock.json pins the
// version this is written against.
class KeepOffsetsStreamWriter extends RecordBatchStreamWriter {
  _assembleRecordBatch(batch) {
    const assembled = super._assembleRecordBatch(batch);
    const buffers = [...assembled.buffers];
    let index = 0;
    for (const data of batch.data.children) {
      switch (data.type.typeId) {
        case Type.Utf8:
        case Type.LargeUtf8:
        case Type.Binary:
          buffers[index + 1] = data.valueOffsets;
          buffers[index + 2] = data.values;
          index += 3;
          break;
        case Type.Bool:
        case Type.Int:
        case Type.Float:
        case Type.Dictionary:
          index += 2;
          break;
        default:
          throw new Error(`keep_offsets does not handle a column of type ${data.type}`);
      }
    }
    const Region = assembled.bufferRegions[0].constructor;
    const bufferRegions = [];
    let byteLength = 0;
    for (const buffer of buffers) {
      // The writer pads every body buffer to 8 bytes; the regions must say the same.
      bufferRegions.push(new Region(byteLength, buffer.byteLength));
      byteLength += (buffer.byteLength + 7) & ~7;
    }
    return { ...assembled, buffers, bufferRegions, byteLength };
  }
}

/** An Arrow IPC stream (schema, the batches, end-of-stream marker) for the description, as bytes. */
export function writeStream(description) {
  const { schema, batches } = buildBatches(description);
  const writer = description.keep_offsets ? new KeepOffsetsStreamWriter() : new RecordBatchStreamWriter();
  writer.reset(undefined, schema);
  for (const batch of batches) writer.write(batch);
  writer.close();
  return Buffer.from(writer.toUint8Array(true));
}

function columnValues(vector, toJson) {
  const values = new Array(vector.length);
  for (let i = 0; i < vector.length; i++) {
    const v = vector.get(i);
    values[i] = v === null || v === undefined ? null : toJson(v);
  }
  return values;
}

function metadataObject(map) {
  return map && map.size > 0 ? Object.fromEntries(map) : null;
}

/**
 * Reads Arrow IPC stream bytes: {schema: [{name, type, nullable}], batches: [{rows, columns}]}.
 * "metadata" keys appear only where the stream carries metadata. Throws unless the bytes are a
 * stream (the file format is refused).
 */
export function readStream(bytes) {
  const reader = RecordBatchReader.from(bytes);
  reader.open({ autoDestroy: false });
  if (!reader.isStream()) throw new Error('not an Arrow IPC stream');
  const { schema } = reader;
  if (!schema) throw new Error('the stream has no schema');
  const result = {
    schema: schema.fields.map((f) => {
      const field = { name: f.name, type: typeName(f.type), nullable: f.nullable };
      const metadata = metadataObject(f.metadata);
      if (metadata) field.metadata = metadata;
      return field;
    }),
    batches: [],
  };
  const schemaMetadata = metadataObject(schema.metadata);
  if (schemaMetadata) result.metadata = schemaMetadata;
  for (const batch of reader) {
    if (batch instanceof _InternalEmptyPlaceholderRecordBatch) continue;
    const columns = {};
    schema.fields.forEach((f, i) => {
      const toJson = TYPES[typeName(f.type)]?.[2] ?? String;
      columns[f.name] = columnValues(batch.getChildAt(i), toJson);
    });
    result.batches.push({ rows: batch.numRows, columns });
  }
  reader.cancel();
  return result;
}

/** True when the bytes end with the Arrow IPC end-of-stream marker. */
export function endsWithEos(bytes) {
  return bytes.length >= EOS_MARKER.length && EOS_MARKER.equals(bytes.subarray(bytes.length - EOS_MARKER.length));
}

/** HMAC-SHA256 of the value's UTF-8 bytes under the hex key, as 64 lowercase hex characters. */
export function hmacHex(hexKey, value) {
  if (!/^(?:[0-9a-fA-F]{2})+$/.test(hexKey)) throw new Error('the key must be an even number of hex digits');
  return createHmac('sha256', Buffer.from(hexKey, 'hex')).update(value, 'utf8').digest('hex');
}

/** HMAC-SHA256 of every value of one column over all batches; null stays null. */
export function hmacColumn(hexKey, values) {
  return values.map((v) => (v === null ? null : hmacHex(hexKey, v)));
}

function formatCell(v) {
  const text = v === null ? 'null' : typeof v === 'string' ? JSON.stringify(v) : String(v);
  return text.length > 72 ? `${text.slice(0, 71)}…` : text;
}

/** The stream as text: its schema, then per batch its row count and its first rows. */
export function showStream(bytes, maxRows = 5) {
  const { schema, batches } = readStream(bytes);
  const lines = [`schema: ${schema.map((f) => `${f.name}: ${f.type}${f.nullable ? '' : ' not null'}`).join(', ') || '(no fields)'}`];
  const names = schema.map((f) => f.name);
  batches.forEach((batch, b) => {
    lines.push(`batch ${b}: ${batch.rows} row${batch.rows === 1 ? '' : 's'}`);
    const shown = Math.min(batch.rows, maxRows);
    if (shown === 0) return;
    const table = [names, ...Array.from({ length: shown }, (_, r) => names.map((n) => formatCell(batch.columns[n][r])))];
    const widths = names.map((_, c) => Math.max(...table.map((row) => [...row[c]].length)));
    const render = (row) => `  ${row.map((cell, c) => cell.padEnd(widths[c] + cell.length - [...cell].length)).join('  ')}`.trimEnd();
    lines.push(render(table[0]), `  ${widths.map((w) => '-'.repeat(w)).join('  ')}`, ...table.slice(1).map(render));
    if (batch.rows > shown) lines.push(`  … ${batch.rows - shown} more row${batch.rows - shown === 1 ? '' : 's'}`);
  });
  lines.push(`${batches.length} batch${batches.length === 1 ? '' : 'es'}, ${batches.reduce((n, b) => n + b.rows, 0)} rows`);
  return `${lines.join('\n')}\n`;
}

async function readInput(path) {
  if (path !== '-') return readFileSync(path);
  const chunks = [];
  for await (const chunk of process.stdin) chunks.push(chunk);
  return Buffer.concat(chunks);
}

function looksLikeStream(bytes) {
  return bytes.length >= 4 && bytes.readInt32LE(0) === -1;
}

function optionValue(args, name, fallback) {
  const at = args.indexOf(name);
  if (at < 0) return fallback;
  if (at + 1 >= args.length) throw new Error(`${name} needs a value`);
  const [value] = args.splice(at, 2).slice(1);
  return value;
}

const USAGE = `usage: arrow-tool.mjs write <description.json|-> <out|->
       arrow-tool.mjs read <in|->
       arrow-tool.mjs show <in|-> [--rows N]
       arrow-tool.mjs hmac <hexkey> <description.json|stream|-> [--column NAME]`;

async function main(argv) {
  const [command, ...args] = argv;
  switch (command) {
    case 'write': {
      if (args.length !== 2) throw new Error(USAGE);
      const bytes = writeStream(JSON.parse((await readInput(args[0])).toString('utf8')));
      if (args[1] === '-') process.stdout.write(bytes);
      else writeFileSync(args[1], bytes);
      return;
    }
    case 'read': {
      if (args.length !== 1) throw new Error(USAGE);
      process.stdout.write(`${JSON.stringify(readStream(await readInput(args[0])))}\n`);
      return;
    }
    case 'show': {
      const rows = Number(optionValue(args, '--rows', '5'));
      if (args.length !== 1 || !Number.isInteger(rows) || rows < 0) throw new Error(USAGE);
      process.stdout.write(showStream(await readInput(args[0]), rows));
      return;
    }
    case 'hmac': {
      const column = optionValue(args, '--column', null);
      if (args.length !== 2) throw new Error(USAGE);
      const bytes = await readInput(args[1]);
      const { schema, batches } = looksLikeStream(bytes)
        ? readStream(bytes)
        : (() => {
          const parsed = JSON.parse(bytes.toString('utf8'));
          // The same round trip as a written stream, so slices and generators are honoured.
          return readStream(writeStream(parsed));
        })();
      const name = column ?? schema[0]?.name;
      if (!schema.some((f) => f.name === name)) throw new Error(`no column "${name}"`);
      const values = batches.flatMap((b) => b.columns[name]);
      process.stdout.write(`${JSON.stringify(hmacColumn(args[0], values))}\n`);
      return;
    }
    default:
      throw new Error(USAGE);
  }
}

if (process.argv[1] && import.meta.url === pathToFileURL(realpathSync(process.argv[1])).href) {
  main(process.argv.slice(2)).catch((error) => {
    process.stderr.write(`arrow-tool: ${error.message}\n`);
    process.exitCode = 2;
  });
}
