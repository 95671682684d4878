// The tone in WebAssembly on 48 MiB of random pixels (4096 x 4096, as
// sorvane_bench's Tone/* benchmarks), for each module of the npm package:
// the tone alone (sorvane_tone_pixels, the block copied back in untimed
// before each run), and toneBMP on the same pixels as a 24-bit BMP (copies
// into and out of the module's memory included).
//   cmake --workflow --preset web && node bench/wasm-bench.mjs [PACKAGE_DIR]
// Compare with `sorvane_bench --benchmark_filter=Tone/` of a native build.
import { join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = fileURLToPath(new URL('..', import.meta.url));
const packageDir = process.argv[2] ?? join(root, 'build/web/package');
const { loadEngine } = await import(pathToFileURL(join(packageDir, 'core.js')));
const loadModule = (form) => loadEngine(undefined, form);

const side = 4096, pixelBytes = side * side * 3, runs = 15;
// xorshift32: the same bytes on every run of the script.
const src = new Uint8Array(pixelBytes);
for (let i = 0, x = 2463534242; i < pixelBytes; i++) {
  x ^= x << 13, x ^= x >>> 17, x ^= x << 5;
  src[i] = x & 255;
}
const file = new Uint8Array(54 + pixelBytes);
const view = new DataView(file.buffer);
file.set([0x42, 0x4d]);
view.setUint32(2, file.length, true);
view.setUint32(10, 54, true);
view.setUint32(14, 40, true);
view.setInt32(18, side, true);
view.setInt32(22, side, true);
view.setUint16(26, 1, true);
view.setUint16(28, 24, true);
file.set(src, 54);

// Processor time of the process (as the native benchmark's CPU column), in
// ms: on a shared machine the clock also counts the time others run.
const cpu = () => {
  const { user, system } = process.cpuUsage();
  return (user + system) / 1000;
};
const median = (times) => times.sort((a, b) => a - b)[times.length >> 1];
const ms = (t) => `${t.toFixed(1)} ms`;
for (const form of ['portable', 'simd']) {
  const m = await loadModule(form);
  const x = m.exports;
  const at = x.sorvane_alloc(pixelBytes) >>> 0;
  const tone = [];
  for (let r = 0; r < runs; r++) {
    new Uint8Array(x.memory.buffer, at, pixelBytes).set(src);
    const t0 = cpu();
    x.sorvane_tone_pixels(at, pixelBytes);
    tone.push(cpu() - t0);
  }
  x.sorvane_free(at);
  const whole = [];
  for (let r = 0; r < Math.min(runs, 7); r++) {
    const t0 = cpu();
    m.toneBMP(file);
    whole.push(cpu() - t0);
  }
  console.log(
    `${form.padEnd(8)} (${m.toneForm}): tone ${ms(median(tone))}, toneBMP ${ms(median(whole))} ` +
      `(processor time, median of ${runs} and ${whole.length})`,
  );
}
