// The package's workings: the WebAssembly module, loaded without waiting at
// import, and its C ABI wrapped for JavaScript. index.js gives the public
// names; node.js the Node stream form.
//
// Loading: the SIMD module's bytes are inlined (wasm-simd.js, base64), so an
// import needs no file, no fetch and no top-level await, whatever bundles
// it. The first synchronous call compiles them (new WebAssembly.Module, a
// 22 kB module); ready() compiles asynchronously instead, and takes the
// module from elsewhere when given a source (a URL, a Response, bytes or a
// compiled module). The portable module, for engines without WebAssembly
// SIMD, is imported only by ready() on such an engine.
//
// Memory: a stream takes the module's memory on its first chunk, gives it
// back when it ends, fails or is cancelled, and when it is dropped
// unfinished its JavaScript side's collection gives it back.
import simdBase64 from './wasm-simd.js';

// The smallest module that uses a SIMD instruction (a function returning
// i8x16.splat(0)): an engine that validates it runs the SIMD module.
const simdProbe = new Uint8Array([
  0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, // magic, version
  0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b, // type: () -> v128
  0x03, 0x02, 0x01, 0x00, // one function of that type
  0x0a, 0x08, 0x01, 0x06, 0x00, 0x41, 0x00, 0xfd, 0x0f, 0x0b, // i32.const 0; i8x16.splat; end
]);

// An engine may have no WebAssembly at all (a JIT-less mode): the import
// still works, and each use fails with ERR_BMP_LOAD_FAILED.
const hasWebAssembly = typeof WebAssembly === 'object';

/** Whether this engine runs WebAssembly SIMD. */
export function simdSupported() {
  return hasWebAssembly && WebAssembly.validate(simdProbe);
}

/** The module ready() loads by default on this engine. */
export const wasmForm = simdSupported() ? 'simd' : 'portable';

// The module's statuses, by number, and the code of each: the core
// library's list (module/bmpv.h, whose bmpv_status_name gives these names).
// The line (the message) comes from the module itself.
const statusCodes = {
  1: 'ERR_BMP_NOT_VALID', // "Not a valid BMP file"
  2: 'ERR_BMP_UNSUPPORTED', // "Unsupported BMP file"
  3: 'ERR_BMP_READ_FAILED', // "Error reading input file"
  4: 'ERR_BMP_OPEN_OUTPUT_FAILED', // "Error opening output file"
  5: 'ERR_BMP_WRITE_FAILED', // "Error writing output file"
  6: 'ERR_BMP_OPEN_INPUT_FAILED', // "Error opening input file"
  7: 'ERR_BMP_TRUNCATED', // the input ended before the image its headers describe
  8: 'ERR_BMP_OUTPUT_EXISTS', // the C library's no-clobber output
  9: 'ERR_BMP_INVALID_ARGUMENT',
  10: 'ERR_BMP_STREAM_FINISHED',
  100: 'ERR_BMP_NO_MEMORY', // "Not enough memory"
};
const noMemory = 100;

/** Every failure of the package; `code` tells which, `message` is the line. */
export class BMPVintageError extends Error {
  constructor(message, code, options) {
    super(message, options);
    this.name = 'BMPVintageError';
    this.code = code;
  }
}

function argumentError(what, accepted = 'a Uint8Array, Buffer, other ArrayBuffer view or ArrayBuffer') {
  const error = new TypeError(`${what} must be ${accepted}`);
  error.code = 'ERR_INVALID_ARG_TYPE';
  return error;
}

const isBytes = (value) =>
  ArrayBuffer.isView(value) ||
  value instanceof ArrayBuffer ||
  (typeof SharedArrayBuffer === 'function' && value instanceof SharedArrayBuffer);

/** The bytes of a Uint8Array, Buffer, other ArrayBuffer view or ArrayBuffer, as a Uint8Array. */
export function bytesOf(value, what) {
  if (value instanceof Uint8Array) return value;
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (typeof SharedArrayBuffer === 'function' && value instanceof SharedArrayBuffer)
    return new Uint8Array(value);
  throw argumentError(what);
}

function decodeBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

const wanted = ['memory', '_initialize', 'sorvane_status_line', 'sorvane_tone_form',
  'sorvane_alloc', 'sorvane_tone_rgba',
  'sorvane_stream_open', 'sorvane_stream_room', 'sorvane_stream_space', 'sorvane_stream_push',
  'sorvane_stream_end', 'sorvane_stream_output', 'sorvane_stream_close'];

// One instance of the module and its functions.
function createEngine(instance) {
  const x = instance.exports;
  for (const name of wanted)
    if (!(name in x)) throw new Error(`it has no export ${name}: not this package's module`);
  x._initialize();
  const cString = (pointer) => {
    const memory = new Uint8Array(x.memory.buffer);
    const start = pointer >>> 0;
    let end = start;
    while (memory[end] !== 0) end++;
    return new TextDecoder().decode(memory.subarray(start, end));
  };
  const lineOf = (status) => cString(x.sorvane_status_line(status));
  const errorOf = (status) =>
    new BMPVintageError(lineOf(status), statusCodes[status] ?? 'ERR_BMP_READ_FAILED');
  const bytesAt = (pointer, length) => new Uint8Array(x.memory.buffer, pointer >>> 0, length);
  // A stream dropped unfinished: its module stream is closed once the
  // JavaScript object that held it is collected.
  const reclaim =
    typeof FinalizationRegistry === 'function'
      ? new FinalizationRegistry((handle) => x.sorvane_stream_close(handle))
      : null;
  const toneForm = cString(x.sorvane_tone_form());
  const engine = {
    form: toneForm === 'wasm-simd128' ? 'simd' : 'portable',
    toneForm,
    memory: x.memory,
    exports: x,
    lineOf,
    errorOf,
    openStream: () => new ModuleStream(engine),
    toneBMP: (input) => toneWhole(engine, input),
    toneBMPStream: () => webStream(() => engine),
    tonePixels: (image, width, height) => tonePixelsWith(engine, image, width, height),
    pixelBlock: 0,
    // For ModuleStream.
    open() {
      const handle = x.sorvane_stream_open();
      if (handle === 0) throw errorOf(noMemory);
      return handle;
    },
    close: (handle) => x.sorvane_stream_close(handle),
    reclaim,
    // Feeds `bytes` to the module's stream `handle`; `take` gets each final
    // part, a view into the module's memory that the next call may overwrite.
    feed(handle, bytes, take) {
      for (let done = 0; done < bytes.length; ) {
        const room = x.sorvane_stream_room(handle);
        const n = Math.min(x.sorvane_stream_space(handle) >>> 0, bytes.length - done);
        bytesAt(room, n).set(bytes.subarray(done, done + n));
        done += n;
        engine.pass(handle, x.sorvane_stream_push(handle, n), take);
      }
    },
    end: (handle, take) => engine.pass(handle, x.sorvane_stream_end(handle), take),
    // A push or the end gave `result`: final bytes to take, or a refusal.
    pass(handle, result, take) {
      if (result < 0) throw errorOf(-result);
      if (result > 0) take(bytesAt(x.sorvane_stream_output(handle), result));
    },
  };
  return engine;
}

// A file through the module's stream: its memory is taken on the first
// chunk, and given back by a refusal, the end, close(), or the collection
// of this object.
class ModuleStream {
  constructor(engine) {
    this.engine = engine;
    this.handle = 0;
    this.held = 0; // bytes pushed and not yet given out
  }
  // Every failure here, a chunk that is not bytes among them, closes it.
  push(chunk, take) {
    try {
      const bytes = bytesOf(chunk, 'Each chunk');
      this.opened();
      this.held += bytes.length;
      this.engine.feed(this.handle, bytes, this.counted(take));
    } catch (e) {
      this.close();
      throw e;
    }
  }
  end(take) {
    try {
      this.opened();
      this.engine.end(this.handle, this.counted(take));
    } finally {
      this.close();
    }
  }
  counted(take) {
    return (part) => {
      this.held -= part.length;
      take(part);
    };
  }
  // push() and end() as one new array each: every final byte, those held
  // back from earlier chunks (part of a colour cut in two) among them, so
  // that a stream's outputs are as large as its inputs, never a few bytes
  // on their own (on which Node's Writable.toWeb loses its backpressure).
  pushJoined(chunk) {
    if (!isBytes(chunk)) this.push(chunk); // throws, and closes the stream
    return this.joined(this.held + chunk.byteLength, (take) => this.push(chunk, take));
  }
  endJoined() {
    return this.joined(this.held, (take) => this.end(take));
  }
  joined(size, run) {
    const out = new Uint8Array(size);
    let at = 0;
    run((part) => {
      out.set(part, at);
      at += part.length;
    });
    return at === size ? out : out.subarray(0, at);
  }
  close() {
    if (this.handle === 0) return;
    this.engine.reclaim?.unregister(this);
    this.engine.close(this.handle);
    this.handle = 0;
  }
  opened() {
    if (this.handle !== 0) return;
    this.handle = this.engine.open();
    this.engine.reclaim?.register(this, this.handle, this);
  }
}

// Through the module's stream too, so that its memory stays the same
// whatever the size of the file (a module's memory never shrinks).
function toneWhole(engine, input) {
  const bytes = bytesOf(input, 'The input');
  const s = new ModuleStream(engine);
  return s.joined(bytes.length, (take) => {
    s.push(bytes, take);
    s.end(take);
  });
}

// `getEngine` may give a promise: the stream waits for it on its first chunk.
function webStream(getEngine) {
  let s = null;
  const send = (controller, part) => {
    if (part.length > 0) controller.enqueue(part);
  };
  return new TransformStream({
    async transform(chunk, controller) {
      s ??= new ModuleStream(await getEngine());
      send(controller, s.pushJoined(chunk));
    },
    async flush(controller) {
      s ??= new ModuleStream(await getEngine());
      send(controller, s.endJoined());
    },
    // Called by engines that tell a transformer of a cancelled stream.
    cancel() {
      s?.close();
    },
  });
}

// A canvas's pixels: an ImageData (or any { data, width, height }), or RGBA
// bytes with their width and height, toned in place through one block of
// the module's memory, kept by the engine so that its memory stays the same.
const pixelBlockBytes = 64 << 10;
function tonePixelsWith(engine, image, width, height) {
  const data = pixelsOf(image, width, height);
  const x = engine.exports;
  if (engine.pixelBlock === 0) {
    engine.pixelBlock = x.sorvane_alloc(pixelBlockBytes) >>> 0;
    if (engine.pixelBlock === 0) throw engine.errorOf(noMemory);
  }
  for (let at = 0; at < data.length; at += pixelBlockBytes) {
    const part = data.subarray(at, at + pixelBlockBytes);
    const block = new Uint8Array(x.memory.buffer, engine.pixelBlock, part.length);
    block.set(part);
    x.sorvane_tone_rgba(engine.pixelBlock, part.length);
    part.set(block);
  }
  return image;
}

function pixelsOf(image, width, height) {
  const rgba = (v) => v instanceof Uint8ClampedArray || v instanceof Uint8Array;
  let data = image;
  if (!rgba(image) && typeof image === 'object' && image !== null && rgba(image.data))
    ({ data, width, height } = image);
  else if (!rgba(image))
    throw argumentError('The pixels', 'an ImageData, or a Uint8ClampedArray or Uint8Array of RGBA with its width and height');
  const size = (n) => Number.isSafeInteger(n) && n >= 0;
  if (!size(width) || !size(height) || width * height * 4 !== data.length) {
    const error = new RangeError(
      `The pixels are ${data.length} bytes, not ${width} x ${height} RGBA pixels (4 bytes each)`,
    );
    error.code = 'ERR_OUT_OF_RANGE';
    throw error;
  }
  return data;
}

// The package's own instance: made by ready(), or by the first synchronous
// call from the inlined SIMD module.
let current = null;
let loading = null;

// A page's Content-Security-Policy without 'wasm-unsafe-eval' refuses every
// compile, whatever the module's source: Chromium throws a CompileError
// naming the directive ("... 'wasm-eval' is not an allowed source of script
// in the following Content Security Policy directive: ..."), Safari an
// EvalError, Firefox a CompileError "blocked by CSP".
const cspRefusal = /Content.Security.Policy|\bCSP\b|unsafe-eval|wasm-eval|script-src/i;
const refusedByCSP = (cause) =>
  (cause?.name === 'CompileError' || cause?.name === 'EvalError') && cspRefusal.test(cause.message);
const cspError = (cause) =>
  new BMPVintageError(
    "The WebAssembly module could not be loaded: this page's Content-Security-Policy refuses to compile " +
      "WebAssembly; allow it with 'wasm-unsafe-eval' (script-src 'self' 'wasm-unsafe-eval'). " +
      `The browser said: ${cause.message}`,
    'ERR_BMP_LOAD_FAILED',
    { cause },
  );

const noWebAssembly = () =>
  new BMPVintageError(
    'The WebAssembly module could not be loaded: this engine has no WebAssembly',
    'ERR_BMP_LOAD_FAILED',
  );

function engineNow() {
  if (current) return current;
  if (!hasWebAssembly) throw noWebAssembly();
  if (wasmForm !== 'simd')
    throw new BMPVintageError(
      'This engine has no WebAssembly SIMD: await ready() first, to load the portable module',
      'ERR_BMP_NOT_READY',
    );
  let instance;
  try {
    instance = new WebAssembly.Instance(new WebAssembly.Module(decodeBase64(simdBase64)), {});
  } catch (cause) {
    if (refusedByCSP(cause)) throw cspError(cause);
    throw new BMPVintageError(
      `The WebAssembly module cannot be compiled synchronously here (${cause.message}): await ready() first`,
      'ERR_BMP_NOT_READY',
      { cause },
    );
  }
  current = createEngine(instance);
  return current;
}

async function compileResponse(response) {
  if (!response.ok) throw new Error(`${response.url || 'the response'}: HTTP ${response.status}`);
  // Streaming compilation needs the server to say the file is wasm.
  const type = response.headers.get('content-type') ?? '';
  if (typeof WebAssembly.compileStreaming === 'function' && type.startsWith('application/wasm'))
    return WebAssembly.compileStreaming(response);
  return WebAssembly.compile(await response.arrayBuffer());
}

/**
 * Loads a module into an engine of its own: with no source, the inlined one
 * of `form` ('simd' or 'portable', by default the one this engine runs);
 * else from a URL, a Response (or a promise of one), bytes or a compiled
 * WebAssembly.Module.
 */
export async function loadEngine(source, form = wasmForm) {
  if (!hasWebAssembly) throw noWebAssembly();
  try {
    source = await source;
    let module;
    if (source === undefined || source === null) {
      const base64 = form === 'simd' ? simdBase64 : (await import('./wasm-portable.js')).default;
      module = await WebAssembly.compile(decodeBase64(base64));
    } else if (source instanceof WebAssembly.Module) {
      module = source;
    } else if (typeof source === 'string' || source instanceof URL) {
      module = await compileResponse(await fetch(source));
    } else if (typeof Response === 'function' && source instanceof Response) {
      module = await compileResponse(source);
    } else {
      module = await WebAssembly.compile(bytesOf(source, 'The source'));
    }
    return createEngine(await WebAssembly.instantiate(module, {}));
  } catch (cause) {
    if (cause?.code === 'ERR_INVALID_ARG_TYPE') throw cause;
    if (refusedByCSP(cause)) throw cspError(cause);
    throw new BMPVintageError(
      `The WebAssembly module could not be loaded: ${cause?.message ?? cause}`,
      'ERR_BMP_LOAD_FAILED',
      { cause },
    );
  }
}

export function ready(source) {
  if (current) return Promise.resolve(current.form);
  loading ??= loadEngine(source).then(
    (engine) => {
      current ??= engine;
      return current.form;
    },
    (error) => {
      loading = null;
      throw error;
    },
  );
  return loading;
}

export function toneBMP(input) {
  return toneWhole(engineNow(), input);
}

export function tonePixels(image, width, height) {
  return tonePixelsWith(engineNow(), image, width, height);
}

// Loaded by ready() when needed, so that the stream works on any engine.
export function toneBMPStream() {
  return webStream(async () => current ?? (await ready(), current));
}

/** A module stream of the package's instance, for the Node stream form. */
export function openModuleStream() {
  return new ModuleStream(engineNow());
}

// Reads a ReadableStream of bytes through a module stream, into one array:
// of `size` bytes when the size is known (a Blob's), else grown as it comes.
// A Blob that gives other than its size changed while it was read.
async function toneReadable(readable, size) {
  const s = openModuleStream();
  const parts = [];
  let out = size === undefined ? null : new Uint8Array(size);
  let read = 0;
  let at = 0;
  const take = (part) => {
    if (out === null) parts.push(part.slice());
    else out.set(part, at);
    at += part.length;
  };
  const readFailed = (cause) =>
    new BMPVintageError(engineNow().lineOf(3), 'ERR_BMP_READ_FAILED', { cause });
  const reader = readable.getReader();
  try {
    for (;;) {
      let next;
      try {
        next = await reader.read();
      } catch (cause) {
        throw readFailed(cause);
      }
      if (next.done) break;
      const bytes = bytesOf(next.value, 'Each chunk');
      read += bytes.length;
      if (out !== null && read > size) throw readFailed();
      s.push(bytes, take);
    }
    if (out !== null && read !== size) throw readFailed();
    s.end(take);
  } catch (e) {
    s.close();
    reader.cancel(e).catch(() => {});
    throw e;
  }
  if (out === null) {
    out = new Uint8Array(at);
    at = 0;
    for (const part of parts) {
      out.set(part, at);
      at += part.length;
    }
  }
  return out;
}

export async function toneBMPAsync(input) {
  const blob = typeof Blob === 'function' && input instanceof Blob;
  const response = typeof Response === 'function' && input instanceof Response;
  const readable = typeof ReadableStream === 'function' && input instanceof ReadableStream;
  if (!blob && !response && !readable && !isBytes(input))
    throw argumentError(
      'The input',
      'a Blob or File, a Response, a ReadableStream of bytes, or bytes (a Uint8Array, Buffer, ' +
        'other ArrayBuffer view or ArrayBuffer). A path is not opened: pass await fs.openAsBlob(path). ' +
        "A Node stream: pass Readable.toWeb(stream), or pipe it through toneBMPNodeStream() of 'sorvanebmpvintage/node'",
    );
  await ready();
  if (blob) return toneReadable(input.stream(), input.size);
  if (response) return input.body ? toneReadable(input.body) : toneBMP(new Uint8Array(0));
  if (readable) return toneReadable(input);
  return toneBMP(input);
}

export function moduleMemoryBytes() {
  return current ? current.memory.buffer.byteLength : 0;
}
