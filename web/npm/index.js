// sorvanebmpvintage: the vintage tone of BMP images, in WebAssembly.
// Importing it waits for nothing: the module is compiled on the first
// synchronous call, or by `await ready()` (see core.js and README.md).
export { BMPVintageError, ready, toneBMP, toneBMPAsync, toneBMPStream, tonePixels, wasmForm, moduleMemoryBytes } from './core.js';
