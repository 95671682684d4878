/**
 * Tones a whole BMP file and returns the toned copy, of the same length.
 * Every colour is toned; every other byte is kept. On a refusal it throws an
 * Error whose message is one of the module's lines, exactly:
 * "Not a valid BMP file", "Unsupported BMP file", ...
 */
export function toneBMP(bytes: Uint8Array): Uint8Array;

/**
 * A stream that tones a BMP file arriving in chunks of any size and gives the
 * same bytes as toneBMP. WebAssembly memory stays the same whatever the size
 * of the file. A refused input errors the stream with an Error whose message
 * is the module's line.
 */
export function toneBMPStream(): TransformStream<Uint8Array, Uint8Array>;

/** Which module runs: "simd" where the engine has WebAssembly SIMD, else "portable". */
export const wasmForm: 'simd' | 'portable';
