// sorvanebmpvintage: the vintage tone of BMP images, in WebAssembly.
// The module is loaded once, when this file is imported, so that toneBMP can
// be synchronous.
import { loadModule } from './load.js';

const loaded = await loadModule();

/** Tones a whole BMP file; throws an Error whose message is the refusal's line. */
export const toneBMP = loaded.toneBMP;

/** A stream that tones a BMP file arriving in chunks, in constant memory. */
export const toneBMPStream = loaded.toneBMPStream;

/** Which module runs: 'simd' (WebAssembly SIMD) or 'portable'. */
export const wasmForm = loaded.form;
