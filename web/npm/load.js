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
  // Streaming compilation needs the server to say the file is wasm.
  const type = response.headers.get('content-type') ?? '';
  if (WebAssembly.compileStreaming && type.startsWith('application/wasm'))
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

  // Feeds `chunk` to the module's stream `s`; `take` gets each final part,
  // a view into the module's memory that the next call may overwrite.
  const feed = (s, chunk, take) => {
    for (let done = 0; done < chunk.length; ) {
      const room = x.sorvane_stream_room(s);
      const n = Math.min(x.sorvane_stream_space(s) >>> 0, chunk.length - done);
      bytesAt(room, n).set(chunk.subarray(done, done + n));
      done += n;
      pass(s, x.sorvane_stream_push(s, n), take);
    }
  };
  // A push or the end gave `result`: final bytes to take, or a refusal.
  const pass = (s, result, take) => {
    if (result < 0) throw new Error(lineOf(-result));
    if (result > 0) take(bytesAt(x.sorvane_stream_output(s), result));
  };

  // Through the module's stream too, so that its memory stays the same
  // whatever the size of the file (a module's memory never shrinks).
  function toneBMP(bytes) {
    checkBytes(bytes, 'toneBMP: the input');
    const out = new Uint8Array(bytes.length);
    let at = 0;
    const take = (part) => {
      out.set(part, at);
      at += part.length;
    };
    const s = x.sorvane_stream_open();
    try {
      feed(s, bytes, take);
      pass(s, x.sorvane_stream_end(s), take);
    } finally {
      x.sorvane_stream_close(s);
    }
    return out;
  }

  function toneBMPStream() {
    let s = 0;
    const close = () => {
      if (s !== 0) x.sorvane_stream_close(s);
      s = 0;
    };
    // Runs one step; a refusal frees the module's stream and errors this one.
    const step = (run) => {
      try {
        run();
      } catch (e) {
        close();
        throw e;
      }
    };
    return new TransformStream({
      start() {
        s = x.sorvane_stream_open();
      },
      transform(chunk, controller) {
        checkBytes(chunk, 'toneBMPStream: each chunk');
        step(() => feed(s, chunk, (part) => controller.enqueue(part.slice())));
      },
      flush(controller) {
        step(() => pass(s, x.sorvane_stream_end(s), (part) => controller.enqueue(part.slice())));
        close();
      },
      // Called by engines that tell a transformer of a cancelled stream.
      cancel() {
        close();
      },
    });
  }

  return {
    toneBMP,
    toneBMPStream,
    form,
    toneForm: cString(x.sorvane_tone_form()),
    lineOf,
    memory: x.memory,
    exports: x,
  };
}
