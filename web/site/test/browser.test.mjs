// The web page in headless Chromium, against the native program: BMP files
// and a junk file go into the page's one file input; the downloads and the ZIP
// hold the native output's bytes under safe names, the junk file shows the
// native line, the page asks nothing of another origin, and it works again
// with its server gone. Then a 1 GiB image converts in bounded memory.
// Needs BMPVINTAGE (the native program) and a built site (build/web/site, or
// WEB_SITE_DIR); writes the README's screenshot (docs/web-page.png, or
// WEB_SCREENSHOT).
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { closeSync, copyFileSync, createReadStream, existsSync, mkdirSync, mkdtempSync, openSync, readFileSync,
  readdirSync, rmSync, statSync, writeFileSync, writeSync } from 'node:fs';
import { readFile, stat } from 'node:fs/promises';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { crc32 } from 'node:zlib';
import { createRequire } from 'node:module';
import { unzipSync } from 'fflate';
import { chromium } from 'playwright-core';

const root = fileURLToPath(new URL('../../..', import.meta.url));
const site = process.env.WEB_SITE_DIR || path.join(root, 'build/web/site');
const screenshot = process.env.WEB_SCREENSHOT || path.join(root, 'docs/web-page.png');
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.css': 'text/css', '.wasm': 'application/wasm', '.png': 'image/png', '.svg': 'image/svg+xml',
  '.webmanifest': 'application/manifest+json' };

function serve(dir, headers = {}) {
  const server = http.createServer(async (request, response) => {
    try {
      const name = path.join(dir, decodeURIComponent(new URL(request.url, 'http://x').pathname));
      if (!name.startsWith(dir)) throw new Error('outside the site');
      const file = (await stat(name)).isDirectory() ? path.join(name, 'index.html') : name;
      const body = await readFile(file);
      response.writeHead(200, { ...headers, 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

function assertSameBytes(actual, expected, what) {
  const at = actual.findIndex((byte, i) => byte !== expected[i]);
  assert.ok(actual.length === expected.length && at < 0,
    `${what}: ${actual.length} bytes, native ${expected.length}, first difference at ${at}`);
}

// Each file shown, newest first, once at least `count` are and all are toned
// or refused: [name, its line or 'done'].
async function results(page, count, timeout = 30_000) {
  await page.waitForFunction((n) => document.querySelectorAll('.file').length >= n &&
    !document.querySelector('.file.queued, .file.converting'), count, { timeout });
  return page.locator('.file').evaluateAll((items) =>
    items.map((item) => [item.querySelector('.name').textContent, item.querySelector('.line')?.textContent ?? 'done']));
}

// The bytes of every download, fetched from its blob: URL inside the page.
async function downloads(page) {
  const links = await page.locator('a[download]').evaluateAll((all) => Promise.all(all.map(async (a) => {
    const bytes = new Uint8Array(await (await fetch(a.href)).arrayBuffer());
    return [a.href, btoa(Array.from(bytes, (b) => String.fromCharCode(b)).join(''))];
  })));
  return links.map(([href, base64]) => {
    assert.match(href, /^blob:/);
    return Buffer.from(base64, 'base64');
  });
}

const require = createRequire(import.meta.url);

const ARGS = ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

async function launch() {
  return chromium.launch({ executablePath: '/usr/bin/chromium', args: ARGS });
}

// The accessibility checker's findings on the page as it is.
async function violations(page) {
  await page.evaluate(() => Promise.all(document.getAnimations().map((animation) => animation.finished)));
  await page.evaluate(readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8'));
  const { violations: found } = await page.evaluate(() => window.axe.run());
  return found.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`);
}

// The pixels of a 24-bit bottom-up BMP as RGBA, as a canvas gives them.
function rgba(bmp) {
  const [offset, width, height] = [bmp.readUInt32LE(10), bmp.readInt32LE(18), bmp.readInt32LE(22)];
  const stride = Math.ceil((width * 3) / 4) * 4;
  const out = Buffer.alloc(width * height * 4, 255);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const at = offset + (height - 1 - y) * stride + x * 3;
      out.set([bmp[at + 2], bmp[at + 1], bmp[at]], (y * width + x) * 4);
    }
  }
  return out;
}

// The entries of the ZIP the page writes, each checked against its CRC.
async function zipOf(page) {
  const download = page.waitForEvent('download');
  await page.locator('#zip').click();
  const zip = readFileSync(await (await download).path());
  for (let at = 0; zip.readUInt32LE(at) === 0x04034b50;) {
    const data = at + 30 + zip.readUInt16LE(at + 26) + zip.readUInt16LE(at + 28);
    const end = data + Number(zip.readBigUInt64LE(at + 30 + zip.readUInt16LE(at + 26) + 12));
    assert.equal(zip.readUInt32LE(at + 14), crc32(zip.subarray(data, end)));
    at = end;
  }
  return unzipSync(zip);
}

test('the ZIP writer: the CRC of a Blob read in parts, the time written', async () => {
  const { writeZip } = await import(path.join(site, 'zip.js'));
  const bytes = readFileSync(path.join(root, 'samples/sample.bmp'));
  const zip = Buffer.alloc(bytes.length + 512);
  await writeZip([{ name: 'a', blob: new Blob([bytes.subarray(0, 999), bytes.subarray(999)]) }],
    { write: (part, { at }) => zip.set(part, at) });
  const [time, day] = [zip.readUInt16LE(10), zip.readUInt16LE(12)];
  const written = new Date((day >> 9) + 1980, ((day >> 5) & 15) - 1, day & 31,
    time >> 11, (time >> 5) & 63, (time & 31) * 2);
  assert.ok(zip.readUInt32LE(14) === crc32(bytes) && Math.abs(written - Date.now()) < 5000, `${written}`);
});

test('the page tones like the native program, in Chromium, online and offline', { timeout: 180_000 }, async () => {
  assert.ok(process.env.BMPVINTAGE, 'BMPVINTAGE must name the native bmpvintage program');
  assert.ok(existsSync(path.join(site, 'sw.js')), `no site in ${site}: cmake --workflow --preset web builds it`);
  const tmp = mkdtempSync(path.join(os.tmpdir(), 'bmpvintage-page-'));
  const sample = path.join(root, 'samples/sample.bmp');
  const junk = path.join(tmp, 'not-a-picture.bmp');
  writeFileSync(junk, 'These bytes are no image at all.\n');
  execFileSync(process.env.BMPVINTAGE, [sample, path.join(tmp, 'expected.bmp')]);
  const expected = readFileSync(path.join(tmp, 'expected.bmp'));
  const refusal = spawnSync(process.env.BMPVINTAGE, [junk, path.join(tmp, 'junk-out.bmp')], { encoding: 'utf8' });
  const nativeLine = refusal.stderr.trim().split(': ').pop();
  assert.equal(nativeLine, 'Not a valid BMP file');
  // Files picked on their own, whatever their names: one that is no .bmp, and
  // names that would leave an extractor's folder or name a drive.
  const lone = ['picture.data', '..\\..\\evil.bmp', 'C:\\Windows\\x.bmp'].map((name) => path.join(tmp, name));
  for (const name of lone) copyFileSync(sample, name);

  // Under a Content-Security-Policy header that allows 'wasm-unsafe-eval'.
  const server = await serve(path.resolve(site), { 'Content-Security-Policy': "script-src 'self' 'wasm-unsafe-eval'" });
  const origin = `http://127.0.0.1:${server.address().port}`;
  const browser = await launch();
  let strict;
  try {
    const context = await browser.newContext({ viewport: { width: 1000, height: 720 }, acceptDownloads: true });
    const requests = [];
    const errors = [];
    context.on('request', (request) => requests.push(request.url()));
    const page = await context.newPage();
    page.on('pageerror', (error) => errors.push(error.message));
    page.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
    await page.goto(`${origin}/`);
    assert.equal(await page.locator('input[type=file][multiple][accept=".bmp,.dib,image/bmp"]').count(), 1);
    // A first visit keeps the page, not the ZIP writer nor the module for
    // engines without SIMD.
    await page.waitForFunction(() => navigator.serviceWorker.controller);
    const kept = [...readFileSync(path.join(site, 'sw.js'), 'utf8').matchAll(/'\.\/([^']*)'/g)].map((m) => m[1]);
    const firstVisit = kept.reduce((n, name) => n + statSync(path.join(site, name || 'index.html')).size, 0);
    console.log(`first visit: ${kept.length} files, ${firstVisit} bytes`);
    assert.deepEqual(requests.filter((url) => /zip\.js|portable/.test(url)), []);

    await page.locator('input[type=file]').setInputFiles([sample, junk, ...lone]);
    const names = ['sample.bmp', 'not-a-picture.bmp', 'picture.data', '..\\..\\evil.bmp', 'C:\\Windows\\x.bmp'];
    assert.deepEqual(await results(page, 5), names.map((name, i) => [name, i === 1 ? nativeLine : 'done']));
    assert.match(await page.locator('.refused').textContent(), /not-a-picture\.bmp.*Not a valid BMP file/);
    for (const bytes of await downloads(page)) assertSameBytes(bytes, expected, 'a download');
    const first = page.locator('.file').first();
    assert.match(await first.locator('.facts').textContent(), /^97 × 64 · 18\.7 kB · \d+\.\d\d s$/);
    // The previews, made from the streams, are the images' pixels.
    const pixels = await first.locator('canvas').evaluateAll((all) => all.map((canvas) =>
      Array.from(canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data)));
    assert.deepEqual(pixels.map((p) => Buffer.from(p)), [rgba(readFileSync(sample)), rgba(expected)]);
    await page.mouse.move(0, 0);
    await page.screenshot({ path: screenshot, fullPage: true });
    // At every zoom (the page's, about the middle; scrolled; the browser's, a
    // narrower window) the split sits at the slider's value across the part of
    // the image in view, the after image right of it, both labels inside it.
    const compared = () => first.locator('.view').evaluate(async (view) => {
      await new Promise((frame) => requestAnimationFrame(() => requestAnimationFrame(frame)));
      const [v, s] = [view, view.firstChild].map((box) => box.getBoundingClientRect());
      const [left, right] = [Math.max(s.left, v.left), Math.min(s.right, v.left + view.clientWidth)];
      const [top, bottom] = [Math.max(s.top, v.top), Math.min(s.bottom, v.top + view.clientHeight)];
      const x = view.querySelector('.divider').getBoundingClientRect().left;
      const inside = [...view.querySelectorAll('.tag')].map((tag) => tag.getBoundingClientRect())
        .every((t) => t.left >= left && t.right <= right && t.top >= top && t.bottom <= bottom);
      const sides = [x - 3, x + 3].map((px) => document.elementFromPoint(px, (top + bottom) / 2)?.className);
      return { width: s.width, at: (x - left) / (right - left), middle: ((left + right) / 2 - s.left) / s.width,
        inside, sides: `${sides}` };
    });
    const [split, zoom] = [first.locator('.split'), first.locator('.zoom')];
    const unzoomed = (await compared()).width;
    for (const [act, times, at, middle] of [[() => split.press('ArrowLeft'), 1, 0.49, 0.5],
      [() => zoom.press('ArrowRight'), 2, 0.49, 0.5], [() => zoom.fill('3').then(() => split.fill('70')), 3, 0.7, 0.5],
      [() => first.locator('.view').evaluate((view) => { view.scrollLeft -= 150; }), 3, 0.7],
      [() => page.setViewportSize({ width: 400, height: 720 }), 3, 0.7]]) {
      await act();
      const c = await compared();
      assert.ok(Math.abs(c.width - times * unzoomed) < 0.5 && Math.abs(c.at - at) < 0.005 && c.inside &&
        c.sides === ',after' && (middle === undefined || Math.abs(c.middle - middle) < 0.005), JSON.stringify(c));
    }
    await page.setViewportSize({ width: 1000, height: 720 });

    assert.deepEqual(await violations(page), []);
    const paper = () => page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    const light = await paper();
    await page.emulateMedia({ colorScheme: 'dark' });
    assert.notEqual(await paper(), light);
    assert.deepEqual(await violations(page), []);
    await page.emulateMedia({ colorScheme: 'light' });

    // The ZIP holds every toned file under a name with no folder or drive of
    // its own, unique ignoring case.
    // A name that is all extension (a dotfile's) has none.
    const named = (name) => ({ name, mimeType: 'image/bmp', buffer: readFileSync(sample) });
    await page.locator('input[type=file]').setInputFiles(['SAMPLE.BMP', '.bmp', '.bmp'].map(named));
    await results(page, 8);
    const zip = await zipOf(page);
    assert.deepEqual(Object.keys(zip),
      ['sample.bmp', 'picture.data', '.._.._evil.bmp', 'C__Windows_x.bmp', 'SAMPLE (2).BMP', '.bmp', '.bmp (2)']);
    for (const bytes of Object.values(zip)) assertSameBytes(bytes, expected, 'the ZIP');

    // Once loaded, the page needs no server. From a folder, picked or dropped,
    // it takes the names of BMP files only; a file dropped on its own is tried.
    const closed = new Promise((resolve) => server.close(resolve));
    server.closeAllConnections();
    await closed;
    await page.reload();
    const folder = path.join(tmp, 'pictures');
    mkdirSync(path.join(folder, 'old'), { recursive: true });
    mkdirSync(path.join(folder, 'notes'));
    copyFileSync(sample, path.join(folder, 'sample.bmp'));
    copyFileSync(sample, path.join(folder, 'old/sample.DIB'));
    copyFileSync(sample, path.join(folder, '..\\..\\slip.bmp'));
    mkdirSync(path.join(folder, '..\\.\\\\up'));
    copyFileSync(sample, path.join(folder, '..\\.\\\\up/a.bmp'));
    copyFileSync(junk, path.join(folder, 'notes/notes.txt'));
    const chooser = page.waitForEvent('filechooser');
    await page.locator('#folder').click();
    await (await chooser).setFiles(folder);
    const fromFolder = [['pictures/.././/up/a.bmp', 'done'], ['pictures/..\\..\\slip.bmp', 'done'],
      ['pictures/old/sample.DIB', 'done'], ['pictures/sample.bmp', 'done']];
    assert.deepEqual(await results(page, 4), fromFolder);
    // Its ZIP keeps the folders under the one picked, and no empty one; a
    // file may not take a folder's name.
    const clash = path.join(tmp, 'PICTURES');
    copyFileSync(sample, clash);
    await page.locator('input[type=file]').setInputFiles([clash]);
    await results(page, 5);
    assert.deepEqual(Object.keys(await zipOf(page)),
      ['pictures/up/a.bmp', 'pictures/.._.._slip.bmp', 'pictures/old/sample.DIB', 'pictures/sample.bmp', 'PICTURES (2)']);
    const cdp = await context.newCDPSession(page);
    const drag = { items: [], files: [folder, junk], dragOperationsMask: 1 };
    for (const type of ['dragEnter', 'dragOver', 'drop']) {
      await cdp.send('Input.dispatchDragEvent', { type, x: 200, y: 200, data: drag });
    }
    // (Dropped, a folder's name keeps its backslash.)
    const dropped = [['pictures/..\\..\\slip.bmp', 'done'], ['pictures/..\\.\\\\up/a.bmp', 'done'], ...fromFolder.slice(2)];
    assert.deepEqual(await results(page, 10),
      [...dropped, ['not-a-picture.bmp', nativeLine], ['PICTURES', 'done'], ...fromFolder]);
    for (const bytes of await downloads(page)) assertSameBytes(bytes, expected, 'a download offline');
    // The outputs of the page before the reload are gone; this one's are kept
    // until it is cleared.
    const left = () => page.evaluate(async () => {
      const names = [];
      for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
      return names;
    });
    assert.equal((await left()).length, 1);
    await page.locator('#clear').click();
    for (let tries = 0; tries < 50 && (await left()).length > 0; tries++) await page.waitForTimeout(100);
    assert.deepEqual(await left(), []);

    const elsewhere = requests.filter((url) => !url.startsWith(`${origin}/`) && !url.startsWith('blob:'));
    assert.deepEqual(elsewhere, []);
    assert.ok(requests.some((url) => url.endsWith('/zip.js')), 'requests from workers are seen');
    assert.deepEqual(errors, []);

    // Under 'script-src' without 'wasm-unsafe-eval' a file shows the load error,
    // which names the directive that would allow it.
    strict = await serve(path.resolve(site), { 'Content-Security-Policy': "script-src 'self'" });
    const strictPage = await browser.newPage();
    await strictPage.goto(`http://127.0.0.1:${strict.address().port}/`);
    await strictPage.locator('input[type=file]').setInputFiles(sample);
    assert.match((await results(strictPage, 1))[0][1], /^The WebAssembly module could not be loaded: .*'wasm-unsafe-eval'/);
    const loaded = strictPage.evaluate(() =>
      import('./bmpvintage/index.js').then((m) => m.ready()).catch((e) => `${e.code}: ${e.message}`));
    assert.match(await loaded, /^ERR_BMP_LOAD_FAILED: .*'wasm-unsafe-eval'/);
  } finally {
    await browser.close();
    strict?.close();
    if (server.listening) server.close();
    rmSync(tmp, { recursive: true, force: true });
  }
});

// The resident memory of this process's children (the browser's processes).
function browserResident() {
  const parents = new Map();
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
      parents.set(pid, stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
    } catch {} // gone meanwhile
  }
  const ours = (pid) => pid === String(process.pid) || (parents.has(pid) && pid !== '1' && ours(parents.get(pid)));
  let bytes = 0;
  for (const pid of parents.keys()) {
    if (pid === String(process.pid) || !ours(pid)) continue;
    try {
      bytes += Number(/VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))?.[1] ?? 0) * 1024;
    } catch {}
  }
  return bytes;
}

const sha256 = (file, range) => new Promise((resolve, reject) => {
  const hash = createHash('sha256');
  createReadStream(file, range).on('data', (chunk) => hash.update(chunk)).on('end', () => resolve(hash.digest('hex')))
    .on('error', reject);
});

test('a 1 GiB image converts with the browser growing by at most 512 MiB', { timeout: 600_000 }, async () => {
  const MiB = 1 << 20;
  const tmp = mkdtempSync(path.join(os.tmpdir(), 'bmpvintage-big-'));
  const server = await serve(path.resolve(site));
  // A profile on disk, as people have: a private window's file system is kept
  // in memory.
  const context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
    executablePath: '/usr/bin/chromium', args: ARGS, viewport: { width: 1000, height: 720 }, acceptDownloads: true });
  try {
    // 16384 x 21845 pixels of 24 bits, written a few rows at a time.
    const [width, height] = [16384, 21845];
    const big = path.join(tmp, 'big.bmp');
    const header = Buffer.alloc(54);
    header.write('BM');
    header.writeUInt32LE(54 + width * 3 * height, 2);
    header.writeUInt32LE(54, 10);
    header.writeUInt32LE(40, 14);
    header.writeInt32LE(width, 18);
    header.writeInt32LE(height, 22);
    header.writeUInt16LE(1, 26);
    header.writeUInt16LE(24, 28);
    const fd = openSync(big, 'w');
    writeSync(fd, header);
    const rows = Buffer.alloc(width * 3 * 16 + 251, 0).map((_, i) => (i * 7) % 251);
    for (let y = 0; y < height; y += 16) writeSync(fd, rows, y % 251, Math.min(16, height - y) * width * 3);
    closeSync(fd);
    execFileSync(process.env.BMPVINTAGE, [big, path.join(tmp, 'expected.bmp')]);

    const page = context.pages()[0] ?? (await context.newPage());
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    await page.waitForFunction(() => navigator.serviceWorker.controller);
    const before = browserResident();
    let peak = before;
    const sampler = setInterval(() => { peak = Math.max(peak, browserResident()); }, 100);
    try {
      await page.locator('input[type=file]').setInputFiles(big);
      assert.deepEqual(await results(page, 1, 0), [['big.bmp', 'done']]);
      const download = page.waitForEvent('download');
      await page.locator('a.download').click();
      const saved = await (await download).path();
      // The ZIP too: its one entry is stored after a 30-byte header, the name
      // (big.bmp) and a 20-byte extra field.
      const zip = page.waitForEvent('download');
      await page.locator('#zip').click();
      const zipped = await (await zip).path();
      peak = Math.max(peak, browserResident());
      clearInterval(sampler);
      console.log(`1 GiB: ${await page.locator('.facts').textContent()}; the browser's resident memory went from ${(before / MiB).toFixed(0)} MiB to ` +
        `${(peak / MiB).toFixed(0)} MiB (+${((peak - before) / MiB).toFixed(0)} MiB)`);
      const native = await sha256(path.join(tmp, 'expected.bmp'));
      assert.equal(await sha256(saved), native);
      assert.equal(await sha256(zipped, { start: 57, end: 56 + statSync(saved).size }), native);
      assert.ok(peak - before <= 512 * MiB, `grew by ${((peak - before) / MiB).toFixed(0)} MiB`);
    } finally {
      clearInterval(sampler);
    }
  } finally {
    await context.close();
    server.close();
    rmSync(tmp, { recursive: true, force: true });
  }
});
