// The npm package as a web developer bundles it, in headless Chromium: each
// small app here imports 'sorvanebmpvintage' by name and is built by a bundler
// with its default configuration (Vite's build and dev server, esbuild
// --bundle, webpack 5), or into one file (Rollup's iife and umd outputs, from
// the package's single-file entry); the page, and for Vite its module and classic
// workers, tone the sample to the native program's bytes.
// Needs BMPVINTAGE (the native program), `npm ci` here and a built package
// (build/web/package, or SORVANE_NPM_PACKAGE), which this installs here as a
// user would, from its tarball.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { readFile, stat } from 'node:fs/promises';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { nodeResolve } from '@rollup/plugin-node-resolve';
import { build as esbuildBuild } from 'esbuild';
import { chromium } from 'playwright-core';
import { rollup } from 'rollup';
import { build, createServer } from 'vite';
import webpackCompile from 'webpack';

const here = fileURLToPath(new URL('.', import.meta.url));
const root = path.resolve(here, '../..');
const packageDir = path.resolve(process.env.SORVANE_NPM_PACKAGE || path.join(root, 'build/web/package'));
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.wasm': 'application/wasm' };

const tmp = mkdtempSync(path.join(os.tmpdir(), 'bmpvintage-bundlers-'));
const closers = [];
let browser;
let expected;

function serve(dir) {
  const server = http.createServer(async (request, response) => {
    try {
      const name = path.join(dir, decodeURIComponent(new URL(request.url, 'http://x').pathname));
      if (!name.startsWith(dir)) throw new Error('outside the app');
      const file = (await stat(name)).isDirectory() ? path.join(name, 'index.html') : name;
      const body = await readFile(file);
      response.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  closers.push(() => new Promise((resolve) => server.close(resolve)));
  return new Promise((resolve) =>
    server.listen(0, '127.0.0.1', () => resolve(`http://127.0.0.1:${server.address().port}`)));
}

// An app bundled into a folder of its own next to its page, served from there.
async function bundled(name, bundle, outName = name) {
  const out = path.join(tmp, outName);
  await bundle(path.join(here, name), out);
  copyFileSync(path.join(here, name, 'index.html'), path.join(out, 'index.html'));
  return serve(out);
}

async function viteBuild() {
  const out = path.join(tmp, 'vite');
  await build({ root: path.join(here, 'vite'), logLevel: 'silent',
    build: { outDir: out, emptyOutDir: true } });
  return serve(out);
}

async function viteDev() {
  // A first start, as in a new project: no dependencies optimized before.
  rmSync(path.join(here, 'node_modules/.vite'), { recursive: true, force: true });
  const server = await createServer({ root: path.join(here, 'vite'), logLevel: 'silent',
    server: { host: '127.0.0.1', port: 0 } });
  closers.push(() => server.close());
  await server.listen();
  return `http://127.0.0.1:${server.httpServer.address().port}`;
}

const esbuild = (app, out) =>
  esbuildBuild({ entryPoints: [path.join(app, 'main.js')], bundle: true, outdir: out, logLevel: 'silent' });

const webpack = (app, out) =>
  new Promise((resolve, reject) =>
    webpackCompile({ mode: 'production', context: app, output: { path: out } }, (error, stats) => {
      if (error || stats.hasErrors()) reject(error ?? new Error(stats.toString('errors-only')));
      else resolve();
    }));

// One file, with no code splitting.
const rollupTo = (format) => async (app, out) =>
  (await rollup({ input: path.join(app, 'main.js'), plugins: [nodeResolve()], logLevel: 'silent' }))
    .write({ file: path.join(out, 'main.js'), format });

// The sample toned `where` ('main', or a 'module' or 'classic' worker), the
// module compiled on first use ('lazy') or by ready() first ('ready'), on an
// engine with or without WebAssembly SIMD: the form ready() gave, and the bytes.
async function tonedIn(origin, where, how, simd) {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  page.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
  try {
    // An engine without SIMD, as the package sees it: its probe does not validate.
    if (!simd) await page.addInitScript(() => (WebAssembly.validate = () => false));
    // Started, or failed at its first error.
    const broke = page.waitForEvent('pageerror').then(
      (error) => Promise.reject(new Error(`the app did not start: ${error.message}`)), () => new Promise(() => {}));
    await page.goto(`${origin}/`);
    await Promise.race([broke, page.waitForFunction(() => window.toneSample, null, { timeout: 20_000 }).catch(() => {
      throw new Error(`the app did not start: ${errors.join('; ') || 'no error shown'}`);
    })]);
    const sample = [...readFileSync(path.join(root, 'samples/sample.bmp'))];
    const [form, toned] = await page.evaluate(async ([bytes, where, how]) => {
      const [form, toned] = await window.toneSample(new Uint8Array(bytes), where, how);
      return [form, Array.from(toned)];
    }, [sample, where, how]);
    return [form, Buffer.from(toned)];
  } finally {
    await page.close();
  }
}

before(async () => {
  assert.ok(process.env.BMPVINTAGE, 'BMPVINTAGE must name the native bmpvintage program');
  execFileSync(process.env.BMPVINTAGE, [path.join(root, 'samples/sample.bmp'), path.join(tmp, 'native.bmp')]);
  expected = readFileSync(path.join(tmp, 'native.bmp'));

  // The package as published: packed, then installed from its tarball
  // (not saved, so the lock file keeps the bundlers alone).
  execFileSync('npm', ['pack', '--silent', '--pack-destination', tmp, packageDir], { stdio: 'ignore' });
  const tarball = readdirSync(tmp).find((name) => name.endsWith('.tgz'));
  execFileSync('npm', ['install', '--no-save', '--no-audit', '--no-fund', '--silent', path.join(tmp, tarball)],
    { cwd: here, stdio: 'inherit' });

  // Playwright starts it on a new, empty profile of its own.
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  for (const close of closers) await close();
  rmSync(tmp, { recursive: true, force: true });
});

const onPage = [['main', 'lazy', true], ['main', 'ready', true], ['main', 'ready', false]];
const inWorkers = (...kinds) => kinds.flatMap((kind) => [[kind, 'lazy', true], [kind, 'ready', true]]);
const apps = [
  ['Vite, built', viteBuild, [...onPage, ...inWorkers('module', 'classic')]],
  // The dev server serves a worker's modules unbundled, which only a module
  // worker can import: a classic worker is a build's case.
  ['Vite, dev server', viteDev, [...onPage, ...inWorkers('module')]],
  ['esbuild --bundle', () => bundled('esbuild', esbuild), onPage],
  ['webpack 5', () => bundled('webpack', webpack), onPage],
  ['Rollup, one iife file', () => bundled('rollup', rollupTo('iife'), 'rollup-iife'), onPage],
  ['Rollup, one umd file', () => bundled('rollup', rollupTo('umd'), 'rollup-umd'), onPage],
];

for (const [name, start, cases] of apps) {
  test(name, { timeout: 120_000 }, async (t) => {
    const origin = await start();
    for (const [where, how, simd] of cases) {
      const place = where === 'main' ? 'on the page' : `in a ${where} worker`;
      const when = how === 'lazy' ? 'compiled on first use' : `after ready()${simd ? '' : ', without SIMD'}`;
      await t.test(`${place}, ${when}`, async () => {
        const [form, toned] = await tonedIn(origin, where, how, simd);
        assert.equal(form, how === 'lazy' ? '' : simd ? 'simd' : 'portable');
        const at = toned.findIndex((byte, i) => byte !== expected[i]);
        assert.ok(toned.equals(expected), `${toned.length} bytes, native ${expected.length}, ` +
          `first difference at ${at < 0 ? Math.min(toned.length, expected.length) : at}`);
      });
    }
  });
}
