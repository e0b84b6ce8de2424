// apache-arrow (an Arrow implementation that shares no code with ours) writes the input streams,
// tessolvane_binary hashes them, apache-arrow reads the result back, and node's own crypto says
// what every value must be. TESS_BINARY names the binary under test; ctest sets it.
//
//   TESS_BINARY=/path/to/tessolvane_binary node --test interop.test.mjs

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { MessageHeader, MessageReader } from 'apache-arrow';
import { endsWithEos, hmacColumn, hmacHex, readStream, showStream, writeStream } from './arrow-tool.mjs';

const HERE = dirname(fileURLToPath(import.meta.url));
const TOOL = join(HERE, 'arrow-tool.mjs');
const BINARY = process.env.TESS_BINARY;
const BATCH_ROW_LIMIT = 1_048_576;
const KEY = '8f1c0b7e4a2d39561e0f7a9c3b5d2e4f60718293a4b5c6d7e8f90a1b2c3d4e5f';

const utf8Column = (name = 'text', nullable = true) => [{ name, type: 'utf8', nullable }];
const oneColumn = (...batches) => ({ columns: utf8Column(), batches: batches.map((text) => ({ text })) });

// The first value of the offsets buffer of the first column of each record batch message: 0 for
// apache-arrow's own writer, the slice's start with keep_offsets.
function firstOffsets(bytes) {
  const reader = new MessageReader(bytes);
  const firsts = [];
  for (let message; (message = reader.readMessage());) {
    const body = Buffer.from(reader.readMessageBody(message.bodyLength));
    if (message.headerType !== MessageHeader.RecordBatch) continue;
    const offsets = message.header().buffers[1];
    firsts.push(offsets.length === 0 ? null : body.readInt32LE(offsets.offset));
  }
  return firsts;
}

// Compares two long lists without printing a million values when they differ.
function assertSameValues(actual, expected, what) {
  assert.equal(actual.length, expected.length, `${what}: number of values`);
  for (let i = 0; i < expected.length; i++) {
    if (actual[i] !== expected[i]) {
      assert.fail(`${what}: row ${i} is ${JSON.stringify(actual[i])}, expected ${JSON.stringify(expected[i])}`);
    }
  }
}

const allValues = (stream, name) => stream.batches.flatMap((b) => b.columns[name]);

describe('arrow-tool', () => {
  test('write then read gives back the schema and the batches', () => {
    const description = {
      columns: [
        { name: 'text', type: 'utf8' },
        { name: 'n', type: 'int64', nullable: false },
        { name: 'flag', type: 'bool' },
        { name: 'x', type: 'float64' },
        { name: 'wide', type: 'large_utf8' },
      ],
      batches: [
        { text: ['a', null, 'é', ''], n: [1, '9007199254740993', -3, 0], flag: [true, null, false, true], x: [1.5, 'NaN', null, -0.25], wide: ['中文', null, '', '😀'] },
        { text: [], n: [], flag: [], x: [], wide: [] },
      ],
    };
    assert.deepEqual(readStream(writeStream(description)), {
      schema: [
        { name: 'text', type: 'utf8', nullable: true },
        { name: 'n', type: 'int64', nullable: false },
        { name: 'flag', type: 'bool', nullable: true },
        { name: 'x', type: 'float64', nullable: true },
        { name: 'wide', type: 'large_utf8', nullable: true },
      ],
      batches: [
        { rows: 4, columns: { text: ['a', null, 'é', ''], n: ['1', '9007199254740993', '-3', '0'], flag: [true, null, false, true], x: [1.5, 'NaN', null, -0.25], wide: ['中文', null, '', '😀'] } },
        { rows: 0, columns: { text: [], n: [], flag: [], x: [], wide: [] } },
      ],
    });
  });

  test('a schema without batches is a stream with no record batch', () => {
    const bytes = writeStream(oneColumn());
    assert.ok(endsWithEos(bytes));
    assert.deepEqual(firstOffsets(bytes), []);
    assert.deepEqual(readStream(bytes), { schema: [{ name: 'text', type: 'utf8', nullable: true }], batches: [] });
  });

  test('generate makes numbered rows, every k-th one null, in batches of batch_rows', () => {
    const stream = readStream(writeStream({ generate: { rows: 7, batch_rows: 3, null_every: 3 } }));
    assert.deepEqual(stream.batches.map((b) => b.columns.text), [['row-0', 'row-1', null], ['row-3', 'row-4', null], ['row-6']]);
    const random = readStream(writeStream({ generate: { rows: 2, value: 'random32', seed: 5 } }));
    assert.deepEqual(random, readStream(writeStream({ generate: { rows: 2, value: 'random32', seed: 5 } })));
    assert.ok(allValues(random, 'text').every((v) => v.length === 32));
  });

  // The slice starts at row 13 so that neither the validity bits nor the offsets start on a
  // byte or at zero in the unsliced column.
  const sliced = { generate: { rows: 100, batch_rows: 50, null_every: 3 }, slice: [13, 30] };
  const generated = (row) => (row % 3 === 2 ? null : `row-${row}`);
  const slicedValues = (start) => Array.from({ length: 30 }, (_, k) => generated(start + 13 + k));
  const bytesBefore = (start) => Array.from({ length: 13 }, (_, k) => generated(start + k)?.length ?? 0).reduce((a, b) => a + b);
  for (const [name, keepOffsets, firsts] of [
    ['apache-arrow rebases a sliced column to offset 0', false, [0, 0]],
    ['keep_offsets writes the offsets of the unsliced column', true, [bytesBefore(0), bytesBefore(50)]],
  ]) {
    test(name, () => {
      const bytes = writeStream({ ...sliced, keep_offsets: keepOffsets });
      assert.deepEqual(firstOffsets(bytes), firsts);
      assert.deepEqual(readStream(bytes).batches.map((b) => b.columns.text), [slicedValues(0), slicedValues(50)]);
    });
  }

  test('hmacHex is HMAC-SHA256 under the key bytes (RFC 4231 case 1, key zero-padded to 32 bytes)', () => {
    assert.equal(hmacHex(`${'0b'.repeat(20)}${'00'.repeat(12)}`, 'Hi There'),
      'b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7');
    assert.deepEqual(hmacColumn(KEY, [null]), [null]);
    assert.throws(() => hmacHex('abc', 'x'), /even number of hex digits/);
  });

  test('the command line pipes write into read, show and hmac', () => {
    const description = JSON.stringify(oneColumn(['a', null]));
    const run = (args, input) => {
      const result = spawnSync(process.execPath, [TOOL, ...args], { input, maxBuffer: 1 << 26 });
      assert.equal(result.status, 0, result.stderr.toString());
      return result.stdout;
    };
    const bytes = run(['write', '-', '-'], description);
    assert.deepEqual(bytes, writeStream(JSON.parse(description)));
    assert.deepEqual(JSON.parse(run(['read', '-'], bytes)), readStream(bytes));
    assert.equal(run(['show', '-'], bytes).toString(), showStream(bytes));
    assert.match(showStream(bytes), /^schema: text: utf8\nbatch 0: 2 rows\n[^]*"a"\n  null\n1 batch, 2 rows\n$/);
    assert.deepEqual(JSON.parse(run(['hmac', KEY, '-'], bytes)), [hmacHex(KEY, 'a'), null]);
    assert.deepEqual(JSON.parse(run(['hmac', KEY, '-'], description)), [hmacHex(KEY, 'a'), null]);
  });
});

// Input streams for the binary. Each case may name its columns and key; by default the input
// column is "text", the output "digest".
const BLOCK_EDGES = [0, 1, 31, 32, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1000];
const CASES = [
  { name: 'one batch, a field declared not nullable, repeated values', description: { columns: utf8Column('text', false), batches: [{ text: ['hello', 'world', 'hello'] }] } },
  { name: 'nulls and empty strings', description: oneColumn([null, '', 'a', null, null, ''], [null, null], ['']) },
  { name: 'multi-byte UTF-8', description: oneColumn(['é', '中文', '😀', 'naïve café', '👩‍👩‍👧', 'a\u0000b', '\u{10ffff}']) },
  { name: 'values around the SHA-256 block edges', description: oneColumn(BLOCK_EDGES.map((n) => 'x'.repeat(n)), BLOCK_EDGES.map((n) => 'é'.repeat(n >> 1))) },
  { name: 'several batches with a 0-row batch between them', description: oneColumn(['a', 'b'], [], [null, 'c', 'd'], ['e']) },
  { name: 'only a 0-row batch', description: oneColumn([]) },
  { name: 'a schema and no batches', description: oneColumn() },
  { name: 'sliced batches (rebased by apache-arrow)', description: { generate: { rows: 300, batch_rows: 100, null_every: 3 }, slice: [13, 70] } },
  { name: 'sliced batches with offsets that do not start at 0', description: { generate: { rows: 300, batch_rows: 100, null_every: 3 }, slice: [13, 70], keep_offsets: true } },
  {
    name: 'non-ASCII column names and an upper-case key',
    description: { columns: utf8Column('текст'), batches: [{ текст: ['значение', null] }] },
    config: { input: 'текст', output: '摘要 ✓', key: KEY.toUpperCase() },
  },
  { name: `one batch of ${BATCH_ROW_LIMIT + 1} rows`, description: { generate: { rows: BATCH_ROW_LIMIT + 1, value: 'row-{i}', null_every: 7 } } },
  { name: 'random values in batches of uneven size', description: { generate: { rows: 5000, batch_rows: 1234, value: 'random32', seed: 7 } } },
];

// Where the binary reads and writes: a named file or a pipe.
const IO_MODES = [
  { name: 'file to file', stdin: false, stdout: false },
  { name: 'file to stdout', stdin: false, stdout: true },
  { name: 'stdin to file', stdin: true, stdout: false },
  { name: 'stdin to stdout', stdin: true, stdout: true },
];

// The binary writes one output batch per chunk of at most BATCH_ROW_LIMIT rows of an input batch
// and leaves out the empty ones.
function expectedBatchRows(inputBatchRows) {
  return inputBatchRows.flatMap((n) => Array.from({ length: Math.ceil(n / BATCH_ROW_LIMIT) },
    (_, k) => Math.min(BATCH_ROW_LIMIT, n - k * BATCH_ROW_LIMIT)));
}

function runBinary(args, stdinBytes) {
  return new Promise((resolve, reject) => {
    const child = spawn(BINARY, args, { stdio: [stdinBytes ? 'pipe' : 'ignore', 'pipe', 'pipe'] });
    const stdout = [];
    const stderr = [];
    child.stdout.on('data', (chunk) => stdout.push(chunk));
    child.stderr.on('data', (chunk) => stderr.push(chunk));
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({
      status, signal, stdout: Buffer.concat(stdout), stderr: Buffer.concat(stderr).toString('utf8'),
    }));
    if (stdinBytes) {
      // A binary that stops reading early is reported by its exit status, not by a broken pipe here.
      child.stdin.on('error', () => {});
      child.stdin.end(stdinBytes);
    }
  });
}

// Without a binary these cases fail rather than skip: a skipped case would pass unseen.
describe('tessolvane_binary hashes streams written by apache-arrow', () => {
  let workDir;
  before(() => {
    assert.ok(BINARY, 'TESS_BINARY is not set: point it at a built tessolvane_binary (ctest does)');
    assert.ok(existsSync(BINARY), `TESS_BINARY=${BINARY} does not exist`);
    workDir = mkdtempSync(join(tmpdir(), 'tess-interop-'));
  });
  after(() => {
    if (workDir) rmSync(workDir, { recursive: true, force: true });
  });

  CASES.forEach((c, index) => {
    const names = { input: 'text', output: 'digest', key: KEY, ...c.config };
    // Made once per case, on first use: the input stream, what apache-arrow reads back from it
    // and the digests node computes for it.
    let prepared;
    const prepare = () => {
      if (prepared) return prepared;
      const dir = join(workDir, `case-${index}`);
      rmSync(dir, { recursive: true, force: true });
      mkdirSync(dir, { recursive: true });
      const input = writeStream(c.description);
      const inputPath = join(dir, 'input.arrows');
      writeFileSync(inputPath, input);
      const configPath = join(dir, 'config.json');
      writeFileSync(configPath, JSON.stringify({
        input_columns: [names.input],
        operation: 'hmac_sha256',
        parameters: { key: names.key },
        output_columns: { result: names.output },
      }));
      const written = readStream(input);
      const expectedRows = written.batches.map((b) => b.rows);
      prepared = {
        dir, input, inputPath, configPath,
        expectedRows,
        expectedBatchRows: expectedBatchRows(expectedRows),
        expected: hmacColumn(names.key, allValues(written, names.input)),
      };
      return prepared;
    };

    for (const io of IO_MODES) {
      test(`${c.name} (${io.name})`, async () => {
        const p = prepare();
        const outputPath = join(p.dir, `output-${io.stdin ? 'stdin' : 'file'}-${io.stdout ? 'stdout' : 'file'}.arrows`);
        rmSync(outputPath, { force: true });
        const args = ['run', '--config', p.configPath];
        if (!io.stdin) args.push('--input', p.inputPath);
        if (!io.stdout) args.push('--output', outputPath);

        const result = await runBinary(args, io.stdin ? p.input : null);
        assert.equal(result.signal, null, `ended by a signal; standard error: ${result.stderr}`);
        assert.equal(result.status, 0, `exit status; standard error: ${result.stderr}`);
        assert.equal(result.stderr, '', 'nothing on standard error');
        if (!io.stdout) assert.equal(result.stdout.length, 0, 'nothing on standard output when --output is given');
        const output = io.stdout ? result.stdout : readFileSync(outputPath);
        rmSync(outputPath, { force: true });

        assert.ok(endsWithEos(output), 'the output ends with the end-of-stream marker');
        const stream = readStream(output);
        assert.deepEqual(stream.schema, [{ name: names.output, type: 'utf8', nullable: true }]);
        assert.equal(stream.metadata, undefined, 'no schema metadata');
        assert.deepEqual(stream.batches.map((b) => b.rows), p.expectedBatchRows);
        assert.equal(stream.batches.reduce((n, b) => n + b.rows, 0), p.expectedRows.reduce((n, r) => n + r, 0));
        assertSameValues(allValues(stream, names.output), p.expected, c.name);
      });
    }
  });
});
