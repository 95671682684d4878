// The npm package against the native bmpvintage, on the same inputs: every
// kind of the formats tables (written by the native tests into
// SORVANE_KINDS), the samples, the fuzz regressions, all 16,777,216 colours,
// a 1 GiB indexed image through the stream in constant memory; then the
// package as people load it (require, import, the Node stream), the inputs
// and errors it takes and gives, and module memory under hostile use.
//   BMPVINTAGE=build/test/bmpvintage SORVANE_KINDS=dir node --test web/test/
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, writeFileSync, rmSync, symlinkSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, basename } from 'node:path';
import { Readable, Writable } from 'node:stream';
import { pipeline } from 'node:stream/promises';
import { test } from 'node:test';
import { setFlagsFromString } from 'node:v8';
import { runInNewContext } from 'node:vm';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = fileURLToPath(new URL('../..', import.meta.url));
const packageDir = process.env.SORVANE_WEB_PACKAGE ?? join(root, 'build/web/package');
const native = process.env.BMPVINTAGE;
assert.ok(native, 'BMPVINTAGE must name the native bmpvintage program');
const core = await import(pathToFileURL(join(packageDir, 'core.js')));
const loadModule = (form) => core.loadEngine(undefined, form);
const forms = { portable: await loadModule('portable'), simd: await loadModule('simd') };

const work = mkdtempSync(join(tmpdir(), 'sorvane-web-'));
test.after(() => rmSync(work, { recursive: true, force: true }));

// Each file through the native program at once: its output bytes, or the
// line it printed ("bmpvintage: FILE: line").
function runNative(files) {
  const out = mkdtempSync(join(work, 'native-'));
  const run = spawnSync(native, ['--output-dir', out, ...files], { encoding: 'utf8' });
  const lines = new Map();
  for (const l of run.stderr.split('\n').filter(Boolean)) {
    const m = /^bmpvintage: (.*): ([^:]*)$/.exec(l);
    assert.ok(m, `unexpected line: ${l}`);
    lines.set(m[1], m[2]);
  }
  return files.map((f) =>
    lines.has(f) ? { line: lines.get(f) } : { bytes: readFileSync(join(out, basename(f))) },
  );
}

// A file of `length` bytes starting with a file header and an info header
// of `info` bytes (width, height, planes 1, bits, compression); the rest 0.
function bmp({ length, offBits = 54, info = 40, width = 1, height = 1, bits = 24, compression = 0 }) {
  const b = new Uint8Array(length);
  const view = new DataView(b.buffer);
  b.set([0x42, 0x4d]);
  view.setUint32(2, length, true);
  view.setUint32(10, offBits, true);
  view.setUint32(14, info, true);
  view.setInt32(18, width, true);
  view.setInt32(22, height, true);
  view.setUint16(26, 1, true);
  view.setUint16(28, bits, true);
  view.setUint32(30, compression, true);
  return b;
}

function whole(form, bytes) {
  try {
    return { bytes: Buffer.from(form.toneBMP(bytes)) };
  } catch (e) {
    return { line: e.message };
  }
}

// The module's own whole-buffer conversion, in place in its memory.
function inPlace({ exports: x, lineOf }, bytes) {
  const at = x.sorvane_alloc(bytes.length) >>> 0;
  new Uint8Array(x.memory.buffer, at, bytes.length).set(bytes);
  const status = x.sorvane_tone_file(at, bytes.length);
  const out = Buffer.from(new Uint8Array(x.memory.buffer, at, bytes.length));
  x.sorvane_free(at);
  return status === 0 ? { bytes: out } : { line: lineOf(status) };
}

// `bytes` through toneBMPStream in chunks of `chunk` bytes.
async function streamed(form, bytes, chunk) {
  const input = new ReadableStream({
    start(c) {
      for (let at = 0; at < bytes.length; at += chunk) c.enqueue(bytes.subarray(at, at + chunk));
      c.close();
    },
  });
  const parts = [];
  try {
    for await (const part of input.pipeThrough(form.toneBMPStream())) parts.push(part);
  } catch (e) {
    return { line: e.message };
  }
  return { bytes: Buffer.concat(parts) };
}

function sameResult(got, want, what) {
  if (want.line !== undefined) assert.equal(got.line, want.line, what);
  else assert.ok(got.bytes && want.bytes.equals(got.bytes), `${what}: bytes differ`);
}

test('each module imports nothing, and Node runs the SIMD one', async () => {
  for (const form of ['portable', 'simd']) {
    const bytes = readFileSync(join(packageDir, `sorvanebmpvintage-${form}.wasm`));
    assert.deepEqual(WebAssembly.Module.imports(new WebAssembly.Module(bytes)), [], form);
  }
  assert.equal(forms.simd.toneForm, 'wasm-simd128');
  assert.equal(forms.portable.toneForm, 'portable');
  const index = await import(pathToFileURL(join(packageDir, 'index.js')));
  assert.equal(index.wasmForm, 'simd');
});

test('tone_exhaustive in WebAssembly: every colour through the portable and the SIMD form', () => {
  // Node 20's V8 now and then dies of SIGSEGV in its own interpreter during
  // or just after this long run (seen with older builds of the module too,
  // more often on a loaded machine): a run ended by a signal is tried again;
  // a run that finished is judged, whatever it says.
  let run;
  for (let attempt = 0; attempt < 5 && (run === undefined || run.signal !== null); ++attempt) {
    run = runToneExhaustive();
  }
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.match(run.stdout, /checked portable\n(.*\n)*checked wasm-simd128\n/);
});

function runToneExhaustive() {
  return spawnSync(
    process.execPath,
    ['--no-warnings', '--input-type=module', '-e', `
      import { WASI } from 'node:wasi';
      import { readFileSync } from 'node:fs';
      const wasi = new WASI({ version: 'preview1', returnOnExit: true });
      const program = readFileSync(process.argv[1]);
      const { instance } = await WebAssembly.instantiate(program, wasi.getImportObject());
      process.exitCode = wasi.start(instance);`,
      join(packageDir, '../tests/tone_exhaustive.wasm')],
    { encoding: 'utf8' },
  );
}

test('every kind, sample and regression: the same bytes or the same line as the program', async () => {
  const files = [];
  for (const dir of [process.env.SORVANE_KINDS, join(root, 'samples'), join(root, 'fuzz/regressions')])
    if (dir) for (const f of readdirSync(dir)) if (f.endsWith('.bmp')) files.push(join(dir, f));
  // Junk, and a JPEG in a V5 header cut short: "Unsupported BMP file" until
  // the stream learns its real size.
  for (const [name, bytes] of [
    ['junk.bmp', 'not an image at all'],
    ['short-jpeg.bmp', bmp({ length: 100, info: 124, bits: 0, compression: 4 })],
  ]) {
    writeFileSync(join(work, name), bytes);
    files.push(join(work, name));
  }
  assert.ok(files.length > 60, `only ${files.length} inputs: is SORVANE_KINDS set?`);
  const wanted = runNative(files);
  assert.ok(wanted.some((w) => w.line === 'Unsupported BMP file'));
  assert.deepEqual(wanted.slice(-2), Array(2).fill({ line: 'Not a valid BMP file' }));
  for (const [name, form] of Object.entries(forms))
    for (const [i, file] of files.entries()) {
      const bytes = readFileSync(file);
      sameResult(whole(form, bytes), wanted[i], `${name} ${file}`);
      sameResult(inPlace(form, bytes), wanted[i], `${name} ${file} in place`);
      for (const chunk of [1, 5, 4099])
        sameResult(await streamed(form, bytes, chunk), wanted[i], `${name} ${file} by ${chunk}`);
    }
});

test('all 16,777,216 colours, whole, streamed and as RGBA pixels', async () => {
  const side = 4096;
  const image = bmp({ length: 54 + side * side * 3, width: side, height: side });
  for (let c = 0; c < side * side; c++) image.set([c & 255, (c >> 8) & 255, c >> 16], 54 + 3 * c);
  const file = join(work, 'all-colours.bmp');
  writeFileSync(file, image);
  const [want] = runNative([file]);
  assert.ok(want.bytes);
  // The same colours as RGBA pixels, each with an alpha of its own that
  // tonePixels keeps: as an ImageData's fields, and as bytes with their size.
  const rgba = new Uint8ClampedArray(side * side * 4);
  for (let c = 0; c < side * side; c++) rgba.set([c >> 16, (c >> 8) & 255, c & 255, (c * 7) & 255], 4 * c);
  const wantRGBA = rgba.map((v, i) => (i % 4 === 3 ? v : want.bytes[54 + 3 * (i >> 2) + 2 - (i % 4)]));
  for (const [name, form] of Object.entries(forms)) {
    sameResult(whole(form, image), want, `${name}, whole`);
    const pixels = name === 'simd' ? { data: rgba.slice(), width: side, height: side } : new Uint8Array(rgba);
    const data = form.tonePixels(pixels, side, side).data ?? pixels;
    assert.ok(Buffer.from(data).equals(Buffer.from(wantRGBA)), `${name}: tonePixels differs`);
    assert.ok(form.memory.buffer.byteLength < 8 << 20, `${name}: toneBMP or tonePixels grew the module`);
  }
  // The size must be the pixels' (a row more, or less, is refused), and the
  // pixels RGBA bytes.
  for (const [args, error] of [[[new Uint8Array(8), 2, 1]], [[new Uint8Array(8), 1, 1], RangeError],
    [[new Uint8Array(8), 2, 2], RangeError], [[{ data: new Uint8Array(4), width: 1, height: 2 }], RangeError],
    [[new Uint16Array(4), 1, 1], TypeError], [[{ data: [1, 2, 3, 4], width: 1, height: 1 }], TypeError]])
    if (error) assert.throws(() => forms.simd.tonePixels(...args), error);
    else assert.equal(forms.simd.tonePixels(...args), args[0]);
  // Chunks larger than the stream's own part, of an odd size.
  sameResult(await streamed(forms.simd, image, 1000003), want, 'simd, streamed');
});

test('a 1 GiB indexed image streams in constant memory', async () => {
  const width = 32768, height = 32768, offBits = 14 + 40 + 256 * 4;
  const head = (w, h) => {
    const b = bmp({ length: offBits, offBits, width: w, height: h, bits: 8 });
    for (let i = 0; i < 256; i++) b.set([i, 255 - i, (i * 37) & 255, i ^ 0x5a], 54 + 4 * i);
    return b;
  };
  // The program's bytes for the same table, on a small image.
  const small = join(work, 'small-indexed.bmp');
  writeFileSync(small, Buffer.concat([head(4, 4), Buffer.alloc(16)]));
  const [want] = runNative([small]);
  const big = head(width, height);
  const zeros = new Uint8Array(1 << 20);
  const form = await loadModule('simd');
  let pulled = 0;
  const input = new ReadableStream({
    pull(c) {
      if (pulled > (width * height) / zeros.length) return c.close();
      c.enqueue(pulled++ === 0 ? big : zeros);
    },
  });
  let total = 0;
  const first = [];
  for await (const part of input.pipeThrough(form.toneBMPStream())) {
    const pixels = part.subarray(Math.max(0, offBits - total));
    if (total < offBits) first.push(part.subarray(0, part.length - pixels.length));
    assert.ok(Buffer.from(zeros.buffer, 0, pixels.length).equals(pixels), 'pixel bytes changed');
    total += part.length;
  }
  assert.equal(total, offBits + width * height);
  const toned = Buffer.concat(first);
  assert.ok(toned.subarray(54).equals(want.bytes.subarray(54, offBits)), 'colour table differs');
  assert.ok(toned.subarray(0, 54).equals(Buffer.from(big.subarray(0, 54))), 'header changed');
  assert.ok(form.memory.buffer.byteLength < 8 << 20, `${form.memory.buffer.byteLength} bytes`);
});

test('a refused head errors the stream before the input ends', { timeout: 20000 }, async () => {
  for (const [head, line] of [
    [new TextEncoder().encode('x'.repeat(100)), 'Not a valid BMP file'],
    [bmp({ length: 200, offBits: 138, info: 124, bits: 64 }), 'Unsupported BMP file'],
  ]) {
    const { readable, writable } = forms.portable.toneBMPStream();
    writable.getWriter().write(head).catch(() => {});
    await assert.rejects(readable.getReader().read(), { message: line });
  }
});

const sample = readFileSync(join(root, 'samples/sample.bmp'));
const wantSample = () => runNative([join(root, 'samples/sample.bmp')])[0].bytes;

test('require() and import by the package name, with no waiting at import', () => {
  mkdirSync(join(work, 'node_modules'));
  symlinkSync(packageDir, join(work, 'node_modules/sorvanebmpvintage'), 'dir');
  // A .cjs file: the CommonJS form by name, and the ES form through Node's
  // require(esm), which refuses a module with top-level await.
  writeFileSync(join(work, 'use.cjs'), `
    const { toneBMP } = require('sorvanebmpvintage');
    const { toneBMPNodeStream } = require('sorvanebmpvintage/node');
    const esm = require(${JSON.stringify(join(packageDir, 'index.js'))});
    const { Readable } = require('node:stream');
    const bytes = require('node:fs').readFileSync(process.argv[2]);
    const parts = [];
    Readable.from([bytes]).pipe(toneBMPNodeStream()).on('data', (p) => parts.push(p)).on('end', () =>
      process.stdout.write(JSON.stringify([toneBMP(bytes), esm.toneBMP(bytes), Buffer.concat(parts)]
        .map((b) => Buffer.from(b).toString('base64')).concat(Object.keys(require.cache)))));`);
  const run = spawnSync(process.execPath, [join(work, 'use.cjs'), join(root, 'samples/sample.bmp')],
    { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  const [cjs, esm, nodeStream, ...loaded] = JSON.parse(run.stdout);
  const want = wantSample().toString('base64');
  assert.deepEqual([cjs, esm, nodeStream], [want, want, want]);
  assert.ok(loaded.some((f) => f.endsWith('index.cjs')) && loaded.some((f) => f.endsWith('node.cjs')));
  // An engine without SIMD, then one without WebAssembly: the import works,
  // a synchronous call asks for ready(), a stream loads the portable module.
  writeFileSync(join(work, 'portable.cjs'), `
    if (typeof WebAssembly === 'object') WebAssembly.validate = () => false;
    const p = require('sorvanebmpvintage');
    const bytes = require('node:fs').readFileSync(process.argv[2]);
    const code = (f) => { try { return f(); } catch (e) { return e.code; } };
    const first = code(() => p.toneBMP(bytes));
    new Response(new Blob([bytes]).stream().pipeThrough(p.toneBMPStream())).arrayBuffer()
      .then(async (b) => [await p.ready(), Buffer.from(b).toString('base64')], (e) => [e.code])
      .then((r) => process.stdout.write(JSON.stringify([first, ...r])));`);
  for (const [flags, result] of [[[], ['ERR_BMP_NOT_READY', 'portable', want]],
    [['--jitless'], ['ERR_BMP_LOAD_FAILED', 'ERR_BMP_LOAD_FAILED']]]) {
    const portable = spawnSync(process.execPath, [...flags, join(work, 'portable.cjs'),
      join(root, 'samples/sample.bmp')], { encoding: 'utf8' });
    assert.deepEqual(JSON.parse(portable.stdout || '[]'), result, portable.stderr);
  }
});

test('every input type, and the errors with their codes', async () => {
  const want = wantSample();
  const index = await import(pathToFileURL(join(packageDir, 'index.js')));
  const padded = new Uint8Array(sample.length + 8);
  padded.set(sample, 3);
  const exact = sample.buffer.slice(sample.byteOffset, sample.byteOffset + sample.length);
  const shared = new Uint8Array(new SharedArrayBuffer(sample.length));
  shared.set(sample);
  for (const input of [new Uint8Array(sample), sample, exact, new DataView(padded.buffer, 3, sample.length),
    shared, shared.buffer])
    assert.ok(want.equals(index.toneBMP(input)), input.constructor.name);
  class Liar extends Blob {
    constructor(parts, real) { super(parts); this.real = real; }
    stream() { return new Blob([this.real]).stream(); }
  }
  const broken = new ReadableStream({ pull: (c) => c.error(new Error('gone')) });
  for (const [input, code] of [
    [new Blob([sample]), null], [new File([sample], 'a.bmp'), null], [new Response(sample), null],
    [new Blob([sample]).stream(), null], [sample, null],
    [new Liar([sample.subarray(0, -1)], sample), 'ERR_BMP_READ_FAILED'], // grew while read
    [new Liar([sample], sample.subarray(0, -1)), 'ERR_BMP_READ_FAILED'], // shrank
    [broken, 'ERR_BMP_READ_FAILED'],
    [new Blob(['not a bitmap']), 'ERR_BMP_NOT_VALID'],
    [new Blob([bmp({ length: 200, offBits: 138, info: 124, bits: 64 })]), 'ERR_BMP_UNSUPPORTED'],
  ]) {
    const got = index.toneBMPAsync(input);
    if (code) await assert.rejects(got, { name: 'BMPVintageError', code });
    else assert.ok(want.equals(await got));
  }
  const fileStream = (await import('node:fs')).createReadStream(join(root, 'samples/sample.bmp'));
  test.after(() => fileStream.destroy());
  for (const wrong of ['BM', 7, null, [66, 77], fileStream]) {
    assert.throws(() => index.toneBMP(wrong), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE' });
    await assert.rejects(index.toneBMPAsync(wrong), { name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE',
      message: /Blob.*Response.*ReadableStream.*Uint8Array.*Readable\.toWeb.*'sorvanebmpvintage\/node'/ });
    const { readable, writable } = index.toneBMPStream();
    readable.getReader().read().catch(() => {});
    await assert.rejects(writable.getWriter().write(wrong), { code: 'ERR_INVALID_ARG_TYPE' });
  }
  const lines = { 1: 'ERR_BMP_NOT_VALID', 2: 'ERR_BMP_UNSUPPORTED', 3: 'ERR_BMP_READ_FAILED',
    4: 'ERR_BMP_OPEN_OUTPUT_FAILED', 5: 'ERR_BMP_WRITE_FAILED', 6: 'ERR_BMP_OPEN_INPUT_FAILED',
    7: 'ERR_BMP_TRUNCATED', 8: 'ERR_BMP_OUTPUT_EXISTS', 9: 'ERR_BMP_INVALID_ARGUMENT',
    10: 'ERR_BMP_STREAM_FINISHED', 100: 'ERR_BMP_NO_MEMORY' };
  // The core library's list of statuses is the same: every BMPV_E_NAME = n
  // of module/bmpv.h has a code here that holds its NAME, and no other.
  const header = [...readFileSync(join(root, 'module/bmpv.h'), 'utf8').matchAll(/\bBMPV_E_(\w+) = (\d+)/g)];
  assert.deepEqual(header.map((m) => m[2]), Object.keys(lines));
  for (const [, name, status] of header) assert.ok(lines[status].includes(name), `${status}: ${name}`);
  for (const [status, code] of Object.entries(lines)) {
    const e = forms.simd.errorOf(Number(status));
    assert.ok(e instanceof core.BMPVintageError && e.code === code, code);
    assert.equal(e.message, forms.simd.lineOf(Number(status)));
  }
  assert.equal(forms.simd.lineOf(100), 'Not enough memory');
  const { toneBMPNodeStream } = await import(pathToFileURL(join(packageDir, 'node.js')));
  await assert.rejects(pipeline(Readable.from([Buffer.from('junk')]), toneBMPNodeStream(),
    new Writable({ write: (c, e, cb) => cb() })), { code: 'ERR_BMP_NOT_VALID' });
  // 64 KiB chunks: one output each (the held-back bytes joined), and one at the end.
  const big = bmp({ length: 54 + 3 * 512 * 512, width: 512, height: 512 }).map((v, i) => (i < 54 ? v : i % 251));
  const chunks = [];
  for (let at = 0; at < big.length; at += 65536) chunks.push(Buffer.from(big.subarray(at, at + 65536)));
  const outputs = [];
  await pipeline(Readable.from(chunks), toneBMPNodeStream().on('data', (p) => outputs.push(p)));
  assert.ok(outputs.length <= chunks.length + 1, `${outputs.length} outputs for ${chunks.length} chunks`);
  assert.ok(Buffer.concat(outputs).equals(index.toneBMP(big)));

  for (const source of [new Uint8Array([1, 2, 3]), new Uint8Array([0, 0x61, 0x73, 0x6d, 1, 0, 0, 0])])
    await assert.rejects(core.loadEngine(source), { code: 'ERR_BMP_LOAD_FAILED' });
  const wasm = readFileSync(join(packageDir, 'sorvanebmpvintage-portable.wasm'));
  for (const source of [wasm, new WebAssembly.Module(wasm), new Response(wasm, { headers: { 'content-type': 'application/wasm' } })])
    assert.ok(want.equals((await core.loadEngine(source)).toneBMP(sample)));
});

test('a compile refused by a Content-Security-Policy names the fix; ready() after a failed one loads', async () => {
  const chromium = "WebAssembly.Module(): Refused to compile or instantiate WebAssembly module because 'wasm-eval' " +
    'is not an allowed source of script in the following Content Security Policy directive: "script-src \'self\'"';
  const { Module, compile } = WebAssembly;
  let fresh = 0;
  for (const [refusal, csp] of [[new WebAssembly.CompileError(chromium), true],
    [new EvalError("Refused to create a WebAssembly object because 'unsafe-eval' is not allowed"), true],
    [new WebAssembly.CompileError('WebAssembly.Module(): expected magic word'), false]]) {
    // A new instance of the package, whose every compile is refused.
    const p = await import(`${pathToFileURL(join(packageDir, 'core.js'))}?${fresh++}`);
    WebAssembly.Module = function () { throw refusal; };
    WebAssembly.compile = () => Promise.reject(refusal);
    try {
      const advice = csp ? /script-src 'self' 'wasm-unsafe-eval'/ : /^(?!.*wasm-unsafe-eval)/;
      assert.throws(() => p.toneBMP(sample), { code: csp ? 'ERR_BMP_LOAD_FAILED' : 'ERR_BMP_NOT_READY', message: advice });
      await assert.rejects(p.ready(), { code: 'ERR_BMP_LOAD_FAILED', message: advice });
    } finally {
      Object.assign(WebAssembly, { Module, compile });
    }
    assert.equal(await p.ready(), 'simd');
  }
});

test('a 600 MiB stream through Node\'s pipeline and Web stream adapters stays in constant memory', () => {
  // Made as it is read (never stored), in 64 KiB chunks, to a sink slower
  // than its source, as a disk can be, in the README's two forms: pipeline(),
  // and Writable.toWeb of a sink with a small highWaterMark (the adapter
  // counts chunks against it). The outputs are as many as the inputs, none a
  // few held-back bytes on its own.
  const head = bmp({ length: 54, width: 16384, height: 12800 });
  new DataView(head.buffer).setUint32(2, 54 + 16384 * 3 * 12800, true);
  const run = spawnSync(process.execPath, ['--input-type=module', '-e', `
    import { Readable, Writable } from 'node:stream';
    import { pipeline } from 'node:stream/promises';
    const { toneBMPStream } = await import(process.argv[1]);
    const head = Buffer.from(process.argv[2], 'base64'), size = head.readUInt32LE(2);
    const runs = [];
    for (const form of ['pipeline', 'toWeb']) {
      let left = size, inputs = 0, outputs = 0, written = 0;
      const input = new Readable({ read() { setImmediate(() => {
        const part = Buffer.alloc(Math.min(left, 65536), 0x7b);
        if (left === size) head.copy(part);
        inputs++, this.push(part);
        if ((left -= part.length) === 0) this.push(null);
      }); } });
      const sink = new Writable({ highWaterMark: 4, write(c, e, done) {
        outputs++, written += c.length, (outputs % 4 ? setImmediate : setTimeout)(done);
      } });
      if (form === 'pipeline') await pipeline(input, toneBMPStream(), sink);
      else await Readable.toWeb(input).pipeThrough(toneBMPStream()).pipeTo(Writable.toWeb(sink));
      runs.push([form, size, written, inputs, outputs]);
    }
    console.log(JSON.stringify([runs, process.resourceUsage().maxRSS]));`,
  pathToFileURL(join(packageDir, 'index.js')).href, Buffer.from(head).toString('base64')], { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  const [runs, maxRSS] = JSON.parse(run.stdout);
  for (const [form, size, written, inputs, outputs] of runs) {
    assert.ok(size > 600 << 20 && written === size, `${form}: ${written} of ${size} bytes`);
    assert.ok(outputs <= inputs, `${form}: ${outputs} outputs for ${inputs} inputs`);
  }
  assert.ok(maxRSS < 150 << 10, `the process peaked at ${maxRSS >> 10} MiB`);
  console.log(`600 MiB through the Web stream, twice: the process peaked at ${maxRSS >> 10} MiB`);
});

test('the types check with or without the DOM library and Node\'s types; /node asks for Node\'s', () => {
  const core = `import { toneBMP, toneBMPAsync, toneBMPStream, tonePixels, ready } from 'sorvanebmpvintage';
    const toned: Uint8Array<ArrayBuffer> = toneBMP(new Uint8Array(54)), pixels = new Uint8ClampedArray(4);
    export const all = [tonePixels(pixels, 1, 1) satisfies Uint8ClampedArray, tonePixels({ data: pixels,
      width: 1, height: 1 }).width, ready(new Uint8Array(8)), toneBMPAsync(toned), toneBMPStream()];`;
  const node = `import { Readable } from 'node:stream'; import { toneBMPStream } from 'sorvanebmpvintage';
    import { toneBMPNodeStream } from 'sorvanebmpvintage/node';
    export const web = Readable.toWeb(Readable.from([])).pipeThrough(toneBMPStream()), node = toneBMPNodeStream();`;
  const dom = `import { toneBMPAsync, toneBMPStream, tonePixels } from 'sorvanebmpvintage';
    declare const file: File, context: CanvasRenderingContext2D;
    export const all = [toneBMPAsync(file) satisfies Promise<Uint8Array<ArrayBuffer>>, tonePixels(context.getImageData(
      0, 0, 1, 1)) satisfies ImageData, file.stream().pipeThrough(toneBMPStream()) satisfies ReadableStream<Uint8Array>];`;
  const nodenext = { module: 'nodenext', moduleResolution: 'nodenext', lib: ['es2022'] };
  for (const [name, files, options, refused] of [
    ['lib es2022 alone', { 'core.mts': core }, { ...nodenext, types: [] }],
    ['lib es2022 and @types/node', { 'core.mts': core, 'node.mts': node }, { ...nodenext, types: ['node'] }],
    ['the DOM library, bundler', { 'core.ts': core, 'dom.ts': dom },
      { module: 'esnext', moduleResolution: 'bundler', lib: ['es2022', 'dom'], types: [] }],
    ['/node without @types/node', { 'node.mts': `export * from 'sorvanebmpvintage/node';` }, { ...nodenext, types: [] },
      /node\.d\.ts.*Cannot find type definition file for 'node'/],
  ]) {
    const dir = mkdtempSync(join(work, 'types-'));
    mkdirSync(join(dir, 'node_modules/@types'), { recursive: true });
    symlinkSync(packageDir, join(dir, 'node_modules/sorvanebmpvintage'), 'dir');
    if (options.types.length) symlinkSync(join(root, 'web/node_modules/@types/node'), join(dir, 'node_modules/@types/node'));
    for (const [file, text] of Object.entries(files)) writeFileSync(join(dir, file), text);
    writeFileSync(join(dir, 'tsconfig.json'), JSON.stringify({
      compilerOptions: { strict: true, noEmit: true, skipLibCheck: false, target: 'es2022', ...options } }));
    const run = spawnSync(process.execPath, [join(root, 'web/node_modules/typescript/bin/tsc'), '-p', dir], { encoding: 'utf8' });
    if (refused) assert.match(run.stdout, refused, name);
    else assert.equal(run.status, 0, `${name}: ${run.stdout}${run.stderr}`);
  }
});

test('thousands of bad, unused and dropped streams leave module memory as it was', async () => {
  setFlagsFromString('--expose-gc');
  const gc = runInNewContext('gc');
  const index = await import(pathToFileURL(join(packageDir, 'index.js')));
  index.toneBMP(sample);
  const before = index.moduleMemoryBytes();
  // A stream's first chunk (a head too short to give output) takes memory.
  const started = () => {
    const { readable, writable } = index.toneBMPStream();
    readable.getReader().read().catch(() => {});
    const writer = writable.getWriter();
    return [writer, writer.write(sample.subarray(0, 10))];
  };
  const { toneBMPNodeStream } = await import(pathToFileURL(join(packageDir, 'node.js')));
  for (let i = 0; i < 3000; i++) {
    const [bad] = started();
    await bad.write({ length: 4 }).catch(() => {});
    index.toneBMPStream();
    const destroyed = toneBMPNodeStream();
    destroyed.write(sample.subarray(0, 10));
    destroyed.destroy();
  }
  assert.equal(index.moduleMemoryBytes(), before);
  // Unfinished streams, dropped: given back once collected.
  for (let i = 0; i < 3000; i++) {
    await started()[1];
    if (i % 50 === 49) {
      gc();
      await new Promise((resolve) => setImmediate(resolve));
    }
  }
  assert.ok(index.moduleMemoryBytes() - before < 16 << 20, `${index.moduleMemoryBytes()} bytes`);
  console.log(`module memory: ${before} bytes, then ${index.moduleMemoryBytes()} after the streams`);
});

test('a module whose memory runs out refuses cleanly and overwrites nothing', async () => {
  const small = await core.loadEngine(readFileSync(join(packageDir, '../tests/sorvanebmpvintage-small-memory.wasm')));
  const x = small.exports;
  const file = x.sorvane_alloc(sample.length) >>> 0;
  new Uint8Array(x.memory.buffer, file, sample.length).set(sample);
  const streams = [];
  for (;;) {
    const s = small.openStream();
    s.parts = [];
    s.take = (p) => s.parts.push(Buffer.from(p));
    try {
      s.push(sample.subarray(0, 100), s.take);
    } catch (e) {
      assert.equal(e.code, 'ERR_BMP_NO_MEMORY');
      break;
    }
    streams.push(s);
  }
  assert.ok(streams.length >= 3, `${streams.length} streams`);
  assert.throws(() => small.tonePixels(new Uint8Array(4), 1, 1), { code: 'ERR_BMP_NO_MEMORY' });
  assert.equal(new Set(streams.map((s) => s.handle)).size, streams.length);
  assert.equal(x.sorvane_tone_file(file, sample.length), 100);
  assert.equal(small.lineOf(1), 'Not a valid BMP file');
  const want = wantSample();
  for (const s of streams) {
    s.push(sample.subarray(100), s.take);
    s.end(s.take);
    assert.ok(Buffer.concat(s.parts).equals(want));
  }
  assert.ok(want.equals(small.toneBMP(sample)));
  // The shipped module stops at 2 GiB, short of wasi-libc's wrap at 4 GiB.
  const pages = (memory) => memory.buffer.byteLength / 65536;
  const fresh = await loadModule('simd');
  fresh.memory.grow(32768 - pages(fresh.memory));
  assert.throws(() => fresh.memory.grow(1), RangeError);
});
