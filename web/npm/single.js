// sorvanebmpvintage/single: the same functions as the main entry, for builds
// that must be one file (Rollup's 'iife' and 'umd' outputs, a script tag).
// The main entry imports the portable module (for engines without
// WebAssembly SIMD) only when ready() needs it, which such builds refuse to
// split off; here it is imported with the rest, so the file holds both
// modules, and ready() compiles the portable one from it.
import portableBase64 from './wasm-portable.js';
import { ready as readyFrom, wasmForm } from './index.js';
export * from './index.js';

export function ready(source) {
  if (source == null && wasmForm === 'portable')
    return readyFrom(Uint8Array.from(atob(portableBase64), (c) => c.charCodeAt(0)));
  return readyFrom(source);
}
