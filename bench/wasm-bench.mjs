// The npm package's speed on 48 MiB of random 24-bit pixels (4096 x 4096, as
// sorvane_bench's Tone/* benchmarks), beside the native program on the same
// file, and where toneBMP's time goes:
//   kernel     sorvane_tone_pixels on each 64 KiB part of the pixels in the
//              module's memory (the parts copied in, less the copy's time)
//   copy in    the file into the module's memory, part by part
//   copy out   the parts out of it, into an array already touched
//   new output a new 48 MiB array, written once: the system's first touch of
//              each page (the returned array is always new)
//   the rest   calls, the stream's own bookkeeping, JavaScript
// and the first call in a new process (the module compiled on that call; its
// hot functions start in V8's baseline tier, the optimised code arrives on a
// background thread), then tonePixels on the same image as RGBA.
//   cmake --workflow --preset web && node bench/wasm-bench.mjs [BMPVINTAGE]
// Times are processor time (user + system, ms; the machine may be shared),
// the smallest and the median of several runs.
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = fileURLToPath(new URL('..', import.meta.url));
const packageDir = process.env.SORVANE_WEB_PACKAGE ?? join(root, 'build/web/package');
const native = process.argv[2] ?? process.env.BMPVINTAGE;
const coreURL = pathToFileURL(join(packageDir, 'core.js')).href;
const { loadEngine } = await import(coreURL);

const side = 4096, pixelBytes = side * side * 3, part = 64 << 10, runs = 9;
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
const work = mkdtempSync(join(tmpdir(), 'sorvane-bench-'));
process.on('exit', () => rmSync(work, { recursive: true, force: true }));
const input = join(work, 'random.bmp');
writeFileSync(input, file);

const cpu = () => {
  const { user, system } = process.cpuUsage();
  return (user + system) / 1000;
};
// `f` run `runs` times (`before`, untimed, ahead of each): [smallest, median].
function measure(f, before = () => {}) {
  const times = [];
  for (let r = 0; r < runs; r++) {
    before();
    const t0 = cpu();
    f();
    times.push(cpu() - t0);
  }
  times.sort((a, b) => a - b);
  return [times[0], times[runs >> 1]];
}
const ms = ([least, median]) => `${least.toFixed(1)} ms (median ${median.toFixed(1)})`;
const line = (name, t) => console.log(`  ${name.padEnd(22)} ${ms(t)}`);

// The native program, file to file: its processor time as the shell's
// `times` reports it for its children.
let nativeTime = null;
if (native) {
  const times = [];
  for (let r = 0; r < runs; r++) {
    const run = spawnSync('/bin/bash', ['-c', '"$0" "$1" "$2" && times', native, input, join(work, 'out.bmp')],
      { encoding: 'utf8' });
    if (run.status !== 0) throw new Error(`${native}: ${run.stderr}`);
    const [user, system] = run.stdout.trim().split('\n')[1].split(' ').map((t) => {
      const [, m, s] = /(\d+)m([\d.]+)s/.exec(t);
      return (Number(m) * 60 + Number(s)) * 1000;
    });
    times.push(user + system);
  }
  times.sort((a, b) => a - b);
  nativeTime = [times[0], times[runs >> 1]];
  console.log(`bmpvintage on the same file (its processor time): ${ms(nativeTime)}`);
}

// The first toneBMP of a new process.
const first = spawnSync(process.execPath, ['--input-type=module', '-e', `
  const { toneBMP } = await import(process.argv[1]);
  const file = (await import('node:fs')).readFileSync(process.argv[2]);
  const t0 = process.cpuUsage();
  toneBMP(file);
  const t = process.cpuUsage(t0);
  console.log((t.user + t.system) / 1000);`, pathToFileURL(join(packageDir, 'index.js')).href, input],
  { encoding: 'utf8' });
const firstCall = Number(first.stdout);

for (const form of ['simd', 'portable']) {
  const m = await loadEngine(undefined, form);
  const x = m.exports;
  const at = x.sorvane_alloc(part) >>> 0;
  const block = () => new Uint8Array(x.memory.buffer, at, part);
  const parts = (f) => {
    for (let done = 0; done < pixelBytes; done += part) f(done, Math.min(part, pixelBytes - done));
  };
  const whole = measure(() => m.toneBMP(file));
  const copyIn = measure(() => parts((done, n) => block().set(src.subarray(done, done + n))));
  const kernel = measure(() => parts((done, n) => {
    block().set(src.subarray(done, done + n));
    x.sorvane_tone_pixels(at, n);
  })).map((t, i) => t - copyIn[i]);
  const out = new Uint8Array(pixelBytes).fill(1);
  const copyOut = measure(() => parts((done, n) => out.set(block().subarray(0, n), done)));
  const fresh = measure(() => new Uint8Array(file.length).fill(1));
  x.sorvane_free(at);
  const rest = whole.map((t, i) => t - kernel[i] - copyIn[i] - copyOut[i] - fresh[i]);
  console.log(`${form} module (${m.toneForm}): toneBMP ${ms(whole)}` +
    (nativeTime ? `, ${(whole[0] / nativeTime[0]).toFixed(2)}x the program's` : ''));
  line('kernel', kernel);
  line('copy in', copyIn);
  line('copy out', copyOut);
  line('new output', fresh);
  line('the rest', rest);
  if (form === 'simd') {
    console.log(`  first call of a new process: ${firstCall.toFixed(1)} ms` +
      (nativeTime ? `, ${(firstCall / nativeTime[0]).toFixed(2)}x the program's` : ''));
  }
  // The same colours as RGBA (an ImageData's 64 MiB), toned in place.
  const rgba = new Uint8ClampedArray(side * side * 4);
  for (let p = 0; p < side * side; p++) rgba.set([src[3 * p + 2], src[3 * p + 1], src[3 * p], 255], 4 * p);
  const pixels = measure(() => m.tonePixels(rgba, side, side));
  console.log(`  tonePixels, the same image as RGBA in place: ${ms(pixels)}`);
}
