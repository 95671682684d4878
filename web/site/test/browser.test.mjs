// The web page in headless Chromium, against the native program: a BMP and a
// junk file go into the page's one file input; the download and the ZIP hold
// the native output's bytes, the junk file shows the native line, the page asks
// nothing of another origin, and it works again with its server gone.
// Needs BMPVINTAGE (the native program) and a built site (build/web/site, or
// WEB_SITE_DIR); writes the README's screenshot (docs/web-page.png, or
// WEB_SCREENSHOT).
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { readFile, stat } from 'node:fs/promises';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { unzipSync } from 'fflate';
import { chromium } from 'playwright-core';

const root = fileURLToPath(new URL('../../..', import.meta.url));
const site = process.env.WEB_SITE_DIR || path.join(root, 'build/web/site');
const screenshot = process.env.WEB_SCREENSHOT || path.join(root, 'docs/web-page.png');
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.css': 'text/css', '.wasm': 'application/wasm', '.png': 'image/png' };

function serve(dir) {
  const server = http.createServer(async (request, response) => {
    try {
      const name = path.join(dir, decodeURIComponent(new URL(request.url, 'http://x').pathname));
      if (!name.startsWith(dir)) throw new Error('outside the site');
      const file = (await stat(name)).isDirectory() ? path.join(name, 'index.html') : name;
      const body = await readFile(file);
      response.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
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

// Each file shown, once at least `count` are and all are toned or refused:
// [name, its line or 'done'].
async function results(page, count) {
  await page.waitForFunction((n) => document.querySelectorAll('.file').length >= n &&
    !document.querySelector('.file.queued, .file.converting'), count);
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

  const server = await serve(path.resolve(site));
  const origin = `http://127.0.0.1:${server.address().port}`;
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const context = await browser.newContext({ viewport: { width: 1000, height: 720 }, acceptDownloads: true });
    const requests = [];
    const errors = [];
    context.on('request', (request) => requests.push(request.url()));
    const page = await context.newPage();
    page.on('pageerror', (error) => errors.push(error.message));
    page.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
    await page.goto(`${origin}/`);
    assert.equal(await page.locator('input[type=file]').count(), 1);
    assert.equal(await page.locator('input[type=file][multiple]').count(), 1);

    await page.locator('input[type=file]').setInputFiles([sample, junk]);
    assert.deepEqual(await results(page, 2), [['sample.bmp', 'done'], ['not-a-picture.bmp', nativeLine]]);
    assert.match(await page.locator('.refused').textContent(), /not-a-picture\.bmp.*Not a valid BMP file/);
    const [toned, ...more] = await downloads(page);
    assert.equal(more.length, 0);
    assertSameBytes(toned, expected, 'the download');

    await page.mouse.move(0, 0);
    await page.screenshot({ path: screenshot, fullPage: true });

    // The ZIP holds every toned file, a name given twice made unique.
    await page.locator('input[type=file]').setInputFiles([sample]);
    await results(page, 3);
    const download = page.waitForEvent('download');
    await page.locator('#zip').click();
    const zip = unzipSync(readFileSync(await (await download).path()));
    assert.deepEqual(Object.keys(zip), ['sample.bmp', 'sample (2).bmp']);
    assertSameBytes(zip['sample (2).bmp'], expected, 'the ZIP');

    // Once loaded, the page needs no server. From a folder, picked or dropped,
    // it takes the names of BMP files only; a file dropped on its own is tried.
    await page.waitForFunction(() => navigator.serviceWorker.controller);
    const closed = new Promise((resolve) => server.close(resolve));
    server.closeAllConnections();
    await closed;
    await page.reload();
    const folder = path.join(tmp, 'pictures');
    mkdirSync(path.join(folder, 'old'), { recursive: true });
    copyFileSync(sample, path.join(folder, 'sample.bmp'));
    copyFileSync(sample, path.join(folder, 'old/sample.DIB'));
    copyFileSync(junk, path.join(folder, 'notes.txt'));
    const chooser = page.waitForEvent('filechooser');
    await page.locator('#folder').click();
    await (await chooser).setFiles(folder);
    const fromFolder = [['pictures/old/sample.DIB', 'done'], ['pictures/sample.bmp', 'done']];
    assert.deepEqual(await results(page, 2), fromFolder);
    const cdp = await context.newCDPSession(page);
    const drag = { items: [], files: [folder, junk], dragOperationsMask: 1 };
    for (const type of ['dragEnter', 'dragOver', 'drop']) {
      await cdp.send('Input.dispatchDragEvent', { type, x: 200, y: 200, data: drag });
    }
    assert.deepEqual(await results(page, 5), [...fromFolder, ...fromFolder, ['not-a-picture.bmp', nativeLine]]);
    for (const bytes of await downloads(page)) assertSameBytes(bytes, expected, 'a download offline');

    const elsewhere = requests.filter((url) => !url.startsWith(`${origin}/`) && !url.startsWith('blob:'));
    assert.deepEqual(elsewhere, []);
    assert.ok(requests.some((url) => url.endsWith('/fflate.js')), 'requests from workers are seen');
    assert.deepEqual(errors, []);
  } finally {
    await browser.close();
    if (server.listening) server.close();
  }
});
