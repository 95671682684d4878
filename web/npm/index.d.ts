// These types check with any TypeScript setup from 5.7 on (for
// Uint8Array<ArrayBuffer>): with the DOM library or without it (lib es2022
// alone, a Node project), with or without @types/node. The few Web names
// they use are declared below as empty interfaces, which merge with the
// DOM's or Node's where those are loaded and stand alone where not.
declare global {
  interface Blob {}
  interface Response {}
  interface URL {}
  interface ReadableStream<R = any> {}
  interface TransformStream<I = any, O = any> {}
  namespace WebAssembly {
    interface Module {}
  }
}

/** Bytes the package takes: a Uint8Array (a Node Buffer too), any other ArrayBuffer view (a DataView, ...) or an ArrayBuffer. */
export type BMPInput = ArrayBufferView | ArrayBuffer | SharedArrayBuffer;

/** A compiled module, or where to get one, for `ready()`. */
export type ModuleSource =
  | string
  | URL
  | Response
  | PromiseLike<Response>
  | BMPInput
  | WebAssembly.Module;

/**
 * The `code` of a BMPVintageError, one per line:
 * - ERR_BMP_NOT_VALID: "Not a valid BMP file"
 * - ERR_BMP_UNSUPPORTED: "Unsupported BMP file"
 * - ERR_BMP_READ_FAILED: "Error reading input file" (an input that ended
 *   inside its headers, or a Blob or stream that could not be read)
 * - ERR_BMP_OPEN_OUTPUT_FAILED: "Error opening output file" (the native
 *   program's line; the module writes no files)
 * - ERR_BMP_WRITE_FAILED: "Error writing output file" (likewise)
 * - ERR_BMP_OPEN_INPUT_FAILED, ERR_BMP_OUTPUT_EXISTS, ERR_BMP_INVALID_ARGUMENT,
 *   ERR_BMP_STREAM_FINISHED: the C library's statuses, which the package
 *   does not meet (one list with the C library's bmpv_status_name)
 * - ERR_BMP_TRUNCATED: the input ended before the image its headers describe
 * - ERR_BMP_NO_MEMORY: "Not enough memory" (the module's memory is full)
 * - ERR_BMP_NOT_READY: a synchronous call where the module cannot be compiled
 *   synchronously (no WebAssembly SIMD, or the host refuses): await ready() first
 * - ERR_BMP_LOAD_FAILED: ready() could not load the module, or the engine
 *   has no WebAssembly at all, or the page's Content-Security-Policy refused
 *   to compile it (the message says so: allow 'wasm-unsafe-eval')
 */
export type BMPVintageErrorCode =
  | 'ERR_BMP_NOT_VALID'
  | 'ERR_BMP_UNSUPPORTED'
  | 'ERR_BMP_READ_FAILED'
  | 'ERR_BMP_OPEN_OUTPUT_FAILED'
  | 'ERR_BMP_WRITE_FAILED'
  | 'ERR_BMP_OPEN_INPUT_FAILED'
  | 'ERR_BMP_TRUNCATED'
  | 'ERR_BMP_OUTPUT_EXISTS'
  | 'ERR_BMP_INVALID_ARGUMENT'
  | 'ERR_BMP_STREAM_FINISHED'
  | 'ERR_BMP_NO_MEMORY'
  | 'ERR_BMP_NOT_READY'
  | 'ERR_BMP_LOAD_FAILED';

/**
 * Every refusal and failure of the package. `message` is the module's line,
 * exactly (for a refused file the same line as the native bmpvintage);
 * `code` is stable. An argument of the wrong type is a TypeError instead,
 * with `code` "ERR_INVALID_ARG_TYPE".
 */
export class BMPVintageError extends Error {
  constructor(message: string, code: BMPVintageErrorCode, options?: { cause?: unknown });
  readonly code: BMPVintageErrorCode;
}

/**
 * Loads the module, once, and resolves to the form in use. Optional: the
 * synchronous functions load it themselves on first use. Await it where a
 * synchronous compile is refused (an engine without WebAssembly SIMD), or to
 * take the module from elsewhere than the inlined bytes (your own hosting):
 * a URL of sorvanebmpvintage-simd.wasm or -portable.wasm, a Response, its
 * bytes or a compiled WebAssembly.Module. Once a module is loaded, later
 * calls resolve to it and ignore their source. Fails with
 * ERR_BMP_LOAD_FAILED. A page with a Content-Security-Policy must allow
 * WebAssembly, whatever the source: script-src 'self' 'wasm-unsafe-eval'.
 */
export function ready(source?: ModuleSource): Promise<'simd' | 'portable'>;

/**
 * Tones a whole BMP file and returns the toned copy, of the same length.
 * Every colour is toned; every other byte is kept. A refused file throws a
 * BMPVintageError whose message is the module's line.
 */
export function toneBMP(input: BMPInput): Uint8Array<ArrayBuffer>;

/**
 * toneBMP for a Blob or File, a Response, a ReadableStream of bytes, or
 * bytes; loads the module first (ready()). A Blob or stream that cannot be
 * read fails with ERR_BMP_READ_FAILED. A Node stream is not taken: pass
 * Readable.toWeb(stream), or use sorvanebmpvintage/node.
 */
export function toneBMPAsync(
  input: Blob | Response | ReadableStream<BMPInput> | BMPInput,
): Promise<Uint8Array<ArrayBuffer>>;

/**
 * A stream that tones a BMP file arriving in chunks of any size and gives the
 * same bytes as toneBMP, in constant module memory, taken on the first chunk
 * (which awaits ready() first where needed, so no call to it is needed).
 * A refused input, or a chunk that is not bytes, errors the stream and gives
 * the memory back.
 */
export function toneBMPStream(): TransformStream<BMPInput, Uint8Array<ArrayBuffer>>;

/** A canvas's pixels: an ImageData, or any object with the same fields. */
export interface ImageDataLike {
  readonly data: Uint8ClampedArray | Uint8Array;
  readonly width: number;
  readonly height: number;
}

/**
 * Tones RGBA pixels in place, with the same colours as toneBMP gives a BMP
 * of the same pixels; alpha is kept. Takes an ImageData (from a canvas's
 * getImageData), or a Uint8ClampedArray or Uint8Array of width * height * 4
 * bytes with its width and height; returns what it was given. Another size
 * is a RangeError, other pixels a TypeError.
 */
export function tonePixels<T extends ImageDataLike>(image: T): T;
export function tonePixels<T extends Uint8ClampedArray | Uint8Array>(pixels: T, width: number, height: number): T;

/** The module ready() loads by default on this engine: "simd" where it has WebAssembly SIMD, else "portable". */
export const wasmForm: 'simd' | 'portable';

/** Bytes of WebAssembly memory the package's module holds (0 before it is loaded). */
export function moduleMemoryBytes(): number;
