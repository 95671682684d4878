// Loads one of the package's two WebAssembly modules and wraps its C ABI.
// The module imports nothing and starts no threads: a Worker that calls it
// is the caller's own.

// The smallest module that uses a SIMD instruction (a function returning
// i8x16.splat(0)): an engine that validates it runs the SIMD module.
const simdProbe = new Uint8Array([
  0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, // magic, version
  0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b, // type: () -> v128
  0x03, 0x02, 0x01, 0x00, // one function of that type
  0x0a, 0x08, 0x01, 0x06, 0x00, 0x41, 0x00, 0xfd, 0x0f, 0x0b, // i32.const 0; i8x16.splat; end
]);

/** Whether this engine runs WebAssembly SIMD. */
export function simdSupported() {
  return WebAssembly.validate(simdProbe);
}

const isNode = typeof process === 'object' && typeof process.versions?.node === 'string';

async function compile(url) {
  if (isNode && url.protocol === 'file:') {
    const { readFile } = await import(/* webpackIgnore: true */ 'node:fs/promises');
    return WebAssembly.compile(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: ${response.status}`);
  if (WebAssembly.compileStreaming && response.headers.get('content-type') === 'application/wasm')
    return WebAssembly.compileStreaming(response);
  return WebAssembly.compile(await response.arrayBuffer());
}

/**
 * Loads the module of the given form ('simd' or 'portable'; by default the
 * SIMD one where the engine validates SIMD) and returns its functions.
 */
export async function loadModule(form = simdSupported() ? 'simd' : 'portable') {
  const url = new URL(`./sorvanebmpvintage-${form}.wasm`, import.meta.url);
  const instance = await WebAssembly.instantiate(await compile(url), {});
  const x = instance.exports;
  x._initialize();

  const bytesAt = (pointer, length) => new Uint8Array(x.memory.buffer, pointer >>> 0, length);
  const cString = (pointer) => {
    const memory = new Uint8Array(x.memory.buffer);
    let end = pointer >>> 0;
    while (memory[end] !== 0) end++;
    return new TextDecoder().decode(memory.subarray(pointer >>> 0, end));
  };
  const lineOf = (status) => cString(x.sorvane_status_line(status));
  const checkBytes = (value, what) => {
    if (!(value instanceof Uint8Array)) throw new TypeError(`${what} must be a Uint8Array`);
  };

  function toneBMP(bytes) {
    checkBytes(bytes, 'toneBMP: the input');
    const at = x.sorvane_alloc(bytes.length) >>> 0;
    if (at === 0) throw new RangeError('toneBMP: no room for the image in WebAssembly memory');
    try {
      bytesAt(at, bytes.length).set(bytes);
      const status = x.sorvane_tone_file(at, bytes.length);
      if (status !== 0) throw new Error(lineOf(status));
      return bytesAt(at, bytes.length).slice();
    } finally {
      x.sorvane_free(at);
    }
  }

  function toneBMPStream() {
    let stream = 0;
    const close = () => {
      if (stream !== 0) x.sorvane_stream_close(stream);
      stream = 0;
    };
    // A push or the end gave `result`: final bytes to pass on, or a refusal.
    const pass = (result, controller) => {
      if (result < 0) {
        close();
        throw new Error(lineOf(-result));
      }
      if (result > 0) controller.enqueue(bytesAt(x.sorvane_stream_output(stream), result).slice());
    };
    return new TransformStream({
      start() {
        stream = x.sorvane_stream_open();
      },
      transform(chunk, controller) {
        checkBytes(chunk, 'toneBMPStream: each chunk');
        for (let done = 0; done < chunk.length; ) {
          const room = x.sorvane_stream_room(stream);
          const n = Math.min(x.sorvane_stream_space(stream) >>> 0, chunk.length - done);
          bytesAt(room, n).set(chunk.subarray(done, done + n));
          done += n;
          pass(x.sorvane_stream_push(stream, n), controller);
        }
      },
      flush(controller) {
        try {
          pass(x.sorvane_stream_end(stream), controller);
        } finally {
          close();
        }
      },
    });
  }

  return {
    toneBMP,
    toneBMPStream,
    form,
    toneForm: cString(x.sorvane_tone_form()),
    memory: x.memory,
    exports: x,
  };
}
