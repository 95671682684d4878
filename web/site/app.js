// The page: takes files (picked, or dropped with their folders), tones each one
// in a worker, shows it before and after, and offers each result and a ZIP of
// them all. Nothing leaves the browser.

const BMP_NAME = /\.(bmp|dib)$/i;
const POOL_SIZE = Math.max(1, Math.min(navigator.hardwareConcurrency || 2, 4));

const $ = (id) => document.getElementById(id);
const input = $('files');
const folderButton = $('folder');
const drop = $('drop');
const list = $('list');
const summary = $('summary');
const overall = $('overall');
const count = $('count');
const zipButton = $('zip');

let jobs = [];      // every file shown, in order
let waiting = [];   // jobs not yet given to a worker
const pool = [];    // { worker, job }
let nextId = 1;
let zipUrl = null;

// ---- Taking files ---------------------------------------------------------

// A file chosen or dropped on its own is always tried; inside a folder only
// the names a BMP usually has are.
function add(entries) {
  queueAll(entries);
  render();
  dispatch();
}

// A file's path under the folder picked or dropped: the browser's, but ending
// in the file's own name, as the browser may have read a backslash in it as a
// folder's end.
function pathOf(path, file) {
  return path ? path.slice(0, Math.max(path.length - file.name.length, 0)) + file.name : file.name;
}

input.addEventListener('change', () => {
  const picked = [...input.files];
  const fromFolder = input.webkitdirectory;
  input.webkitdirectory = false;
  input.value = '';
  const entries = picked
    .filter((file) => !fromFolder || BMP_NAME.test(file.name))
    .map((file) => ({ file, path: pathOf(file.webkitRelativePath, file) }));
  if (fromFolder) entries.sort((a, b) => a.path.localeCompare(b.path));
  add(entries);
});
input.addEventListener('cancel', () => { input.webkitdirectory = false; });
document.querySelector('label[for="files"]').addEventListener('click', () => {
  input.webkitdirectory = false;
});

// The same input picks a folder where the browser can.
if ('webkitdirectory' in input) {
  folderButton.hidden = false;
  folderButton.addEventListener('click', () => {
    input.webkitdirectory = true;
    input.click();
  });
}

for (const type of ['dragenter', 'dragover']) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
}
document.addEventListener('dragleave', (event) => {
  if (!event.relatedTarget) drop.classList.remove('over');
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  // The entries must be taken while the event lasts; reading them may not.
  const items = [...event.dataTransfer.items].filter((item) => item.kind === 'file');
  const entries = items.map((item) => item.webkitGetAsEntry?.());
  if (entries.length === 0 || entries.some((entry) => !entry)) {
    add([...event.dataTransfer.files].map((file) => ({ file, path: file.name })));
    return;
  }
  Promise.all(entries.map((entry) => walk(entry, false)))
    .then((found) => add(found.flat()))
    .catch((error) => console.error('Reading the dropped items failed:', error));
});

// The files under a dropped entry, folders in name order.
async function walk(entry, inFolder) {
  if (entry.isFile) {
    if (inFolder && !BMP_NAME.test(entry.name)) return [];
    const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
    return [{ file, path: pathOf(entry.fullPath.replace(/^\//, ''), file) }];
  }
  const reader = entry.createReader();
  const children = [];
  for (;;) {
    const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (batch.length === 0) break;
    children.push(...batch);
  }
  children.sort((a, b) => a.name.localeCompare(b.name));
  const found = [];
  for (const child of children) found.push(...(await walk(child, true)));
  return found;
}

// ---- Where outputs go --------------------------------------------------------

// Each page keeps its outputs in its own folder of the origin's private file
// system, held by a lock while it is open; folders that no open page holds
// are left from closed ones and are removed.
const folder = `session-${crypto.randomUUID()}`;
const lockName = (name) => `bmpvintage-${name}`;
const sweep = (async () => {
  if (!navigator.storage?.getDirectory || !navigator.locks) return;
  await new Promise((held) => {
    navigator.locks.request(lockName(folder), () => {
      held();
      return new Promise(() => {});
    });
  });
  const root = await navigator.storage.getDirectory();
  const { held } = await navigator.locks.query();
  const open = new Set(held.map((lock) => lock.name));
  for await (const name of root.keys()) {
    if (name.startsWith('session-') && !open.has(lockName(name))) {
      await root.removeEntry(name, { recursive: true }).catch(() => {});
    }
  }
})().catch((error) => console.warn('Old outputs were not removed:', error));

async function removeOutputs() {
  await sweep;
  const root = await navigator.storage?.getDirectory?.();
  await root?.removeEntry(folder, { recursive: true }).catch(() => {});
}

// ---- Converting -----------------------------------------------------------

// New files go above the ones before, in the order they were taken.
function queueAll(entries) {
  const items = document.createDocumentFragment();
  for (const { file, path } of entries) {
    const job = { id: nextId++, file, path, state: 'queued', done: 0, output: null, urls: [] };
    job.item = itemFor(job);
    items.append(job.item.root);
    jobs.push(job);
    waiting.push(job);
  }
  list.prepend(items);
}

// The size previews are made at: the width of a result by 360 pixels, in
// device pixels (or, with scale 1, CSS pixels).
function previewBox(scale = window.devicePixelRatio || 1) {
  return { width: Math.round(Math.max(list.clientWidth - 32, 160) * scale), height: Math.round(360 * scale) };
}

function dispatch() {
  while (waiting.length > 0) {
    let slot = pool.find((s) => !s.job);
    if (!slot) {
      if (pool.length >= POOL_SIZE) return;
      slot = startWorker();
    }
    const job = waiting.shift();
    slot.job = job;
    job.state = 'converting';
    slot.worker.postMessage({ type: 'tone', id: job.id, file: job.file, folder, box: previewBox() });
    show(job);
  }
}

function startWorker() {
  const slot = { worker: new Worker('worker.js', { type: 'module' }), job: null };
  slot.worker.addEventListener('message', ({ data }) => {
    const job = slot.job;
    if (!job || job.id !== data.id) return;
    if (data.type === 'progress') {
      job.done = data.done;
      show(job);
      return;
    }
    if (data.type === 'done') finish(job, 'done', data);
    else finish(job, 'refused', { line: data.line });
    slot.job = null;
    dispatch();
  });
  // A worker whose script fails to load, or that fails outside a conversion,
  // takes its file with it; the next file gets a new worker. (A converter that
  // cannot load is a refusal with its reason, sent by the worker.)
  slot.worker.addEventListener('error', (event) => {
    event.preventDefault();
    pool.splice(pool.indexOf(slot), 1);
    slot.worker.terminate();
    if (slot.job) finish(slot.job, 'refused', { line: event.message || 'The converter could not be loaded' });
    dispatch();
  });
  pool.push(slot);
  return slot;
}

// `result`: the worker's reply (the output file, its size in pixels, the time
// and the previews), or the refusal's line.
function finish(job, state, { file = null, line, width, height, ms, before, after }) {
  Object.assign(job, { state, output: file, line, width, height, ms, before, after });
  show(job);
  render();
}

// ---- Showing --------------------------------------------------------------

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function itemFor(job) {
  const root = element('li', 'file queued');
  root.id = `file-${job.id}`;
  const head = element('div', 'head');
  const name = element('span', 'name', job.path);
  const state = element('span', 'state');
  const bar = element('progress', 'bar');
  bar.max = Math.max(job.file.size, 1);
  bar.setAttribute('aria-label', `${job.path}, read so far`);
  head.append(name, state, bar);
  root.append(head);
  return { root, head, state, bar };
}

function downloadName(path) {
  const base = path.slice(path.lastIndexOf('/') + 1);
  const dot = base.lastIndexOf('.');
  return dot > 0 ? `${base.slice(0, dot)}-vintage${base.slice(dot)}` : `${base}-vintage`;
}

const UNITS = ['bytes', 'kB', 'MB', 'GB', 'TB'];
function bytesText(n) {
  let unit = 0;
  let value = n;
  while (value >= 1000 && unit < UNITS.length - 1) {
    value /= 1000;
    unit++;
  }
  return unit === 0 ? `${n} bytes` : `${value.toFixed(value < 10 ? 2 : 1)} ${UNITS[unit]}`;
}

function canvasOf(bitmap, label) {
  const canvas = element('canvas');
  canvas.width = bitmap.width;
  canvas.height = bitmap.height;
  canvas.getContext('2d').drawImage(bitmap, 0, 0);
  bitmap.close();
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', label);
  return canvas;
}

// Before and after over each other, the after one shown right of a split the
// first slider moves (arrow keys too); the second one zooms. The split and the
// labels belong to the part of the image in view: zoomed in (by the page or
// the browser), the split sits at the slider's value across the view, and the
// labels in its corners.
function comparison(job) {
  const box = element('div', 'compare');
  const view = element('div', 'view');
  // Scrolled with the keyboard too once zoomed.
  view.tabIndex = 0;
  view.setAttribute('role', 'group');
  view.setAttribute('aria-label', `${job.path}, before and after`);
  const stage = element('div', 'stage');
  const before = canvasOf(job.before, `${job.path}, before`);
  const after = canvasOf(job.after, `${job.path}, after`);
  after.classList.add('after');
  const tags = [element('span', 'tag left', 'Before'), element('span', 'tag right', 'After')];
  stage.append(before, after, element('span', 'divider'), ...tags);
  view.append(stage);
  // The image's box in the view's own coordinates: where it starts, scrolled.
  const inView = () => {
    const s = stage.getBoundingClientRect();
    const v = view.getBoundingClientRect();
    return { x: s.left - v.left - view.clientLeft, y: s.top - v.top - view.clientTop, width: s.width, height: s.height };
  };
  // Shown as large as the box allows: a small image is scaled up.
  const { width, height } = previewBox(1);
  const fit = Math.min(width / before.width, height / before.height) * before.width;
  const small = job.width <= before.width && job.height <= before.height;
  const size = (zoom) => {
    stage.style.width = `${fit * zoom}px`;
    stage.classList.toggle('pixels', small || zoom > 1);
  };
  const controls = element('div', 'controls');
  const split = element('input', 'split');
  Object.assign(split, { type: 'range', min: 0, max: 100, value: 50 });
  split.setAttribute('aria-label', `${job.path}: where before gives way to after`);
  // The split and the labels, from the part of the image in view.
  const place = () => {
    const { x, y, width } = inView();
    const left = Math.max(0, -x);
    const right = Math.min(width, view.clientWidth - x);
    const px = (name, value) => stage.style.setProperty(name, `${value}px`);
    px('--split', left + (Number(split.value) / 100) * Math.max(right - left, 0));
    px('--shown-left', left);
    px('--shown-right', Math.max(width - right, 0));
    px('--shown-top', Math.max(0, -y));
  };
  split.addEventListener('input', place);
  view.addEventListener('scroll', place, { passive: true });
  new ResizeObserver(place).observe(view);
  const zoom = element('input', 'zoom');
  Object.assign(zoom, { type: 'range', min: 1, max: 8, value: 1 });
  zoom.setAttribute('aria-label', `${job.path}: zoom`);
  const zoomText = element('output', 'zoom-text', '1×');
  // Zoomed about the point of the image in the middle of the view (an image
  // narrower than the view is centred in it).
  zoom.addEventListener('input', () => {
    zoomText.textContent = `${zoom.value}×`;
    const was = inView();
    const fx = (view.clientWidth / 2 - was.x) / was.width;
    const fy = (view.clientHeight / 2 - was.y) / was.height;
    size(Number(zoom.value));
    const now = inView();
    view.scrollLeft += now.x + fx * now.width - view.clientWidth / 2;
    view.scrollTop += now.y + fy * now.height - view.clientHeight / 2;
    place();
  });
  size(1);
  const splitLabel = element('label', '', 'Compare ');
  splitLabel.append(split);
  const zoomLabel = element('label', '', 'Zoom ');
  zoomLabel.append(zoom, zoomText);
  controls.append(splitLabel, zoomLabel);
  box.append(view, controls);
  return box;
}

function show(job) {
  const { root, head, state, bar } = job.item;
  root.className = `file ${job.state}`;
  if (job.state === 'queued') {
    state.textContent = 'Queued';
  } else if (job.state === 'converting') {
    const percent = Math.floor((100 * job.done) / Math.max(job.file.size, 1));
    state.textContent = `Converting ${percent}%`;
    bar.value = job.done;
  } else if (job.state === 'done') {
    state.textContent = 'Done';
    bar.remove();
    const facts = [job.width > 0 ? `${job.width} × ${job.height}` : null, bytesText(job.output.size), `${(job.ms / 1000).toFixed(2)} s`];
    head.append(element('span', 'facts', facts.filter(Boolean).join(' · ')));
    const url = URL.createObjectURL(job.output);
    job.urls.push(url);
    const link = element('a', 'button download', 'Download');
    link.href = url;
    link.download = downloadName(job.path);
    head.append(link);
    if (job.before && job.after) root.append(comparison(job));
    else root.append(element('p', 'no-preview', 'No preview for this kind of BMP file'));
  } else {
    state.remove();
    bar.remove();
    head.append(element('span', 'line', job.line));
  }
}

function render() {
  const total = jobs.length;
  const done = jobs.filter((job) => job.state === 'done').length;
  const refused = jobs.filter((job) => job.state === 'refused');
  summary.hidden = total === 0;
  overall.max = Math.max(total, 1);
  overall.value = done + refused.length;
  const files = (n) => `${n} file${n === 1 ? '' : 's'}`;
  const finished = done + refused.length;
  count.textContent = finished === total ? `${files(total)}: ${done} toned` : `${finished} of ${files(total)} finished: ${done} toned`;
  if (refused.length > 0) {
    // The newest refusal is a link away.
    const link = element('a', 'refused-link', `${refused.length} refused`);
    link.href = `#${refused[refused.length - 1].item.root.id}`;
    count.append(', ', link);
  }
  const busy = zipButton.dataset.busy === 'yes';
  zipButton.disabled = done === 0 || busy;
  zipButton.textContent = busy ? 'Writing the ZIP…' : done > 0 ? `Download all as ZIP (${done})` : 'Download all as ZIP';
}

// ---- The ZIP of every result ----------------------------------------------

// An entry's name: the path as picked, '/' its only separator, with no empty,
// '.' or '..' folder, and no '\' or ':' (which extractors may read as a
// separator or a drive). A file's own name is never empty, '.' or '..'.
function safeName(path) {
  return path.split('/')
    .map((part) => part.replace(/[\\:]/g, '_'))
    .filter((part) => part !== '' && part !== '.' && part !== '..')
    .join('/');
}

// Names unique ignoring case, folders included: a name taken again gets
// " (2)", " (3)"… before its extension.
function zipEntries() {
  const taken = new Set();
  return jobs.filter((job) => job.state === 'done').map((job) => {
    const wanted = safeName(job.path);
    const slash = wanted.lastIndexOf('/');
    const dot = wanted.lastIndexOf('.') > slash + 1 ? wanted.lastIndexOf('.') : wanted.length;
    let name = wanted;
    for (let n = 2; taken.has(name.toLowerCase()); n++) name = `${wanted.slice(0, dot)} (${n})${wanted.slice(dot)}`;
    for (let end = name.indexOf('/'); end >= 0; end = name.indexOf('/', end + 1)) taken.add(name.slice(0, end).toLowerCase());
    taken.add(name.toLowerCase());
    return { name, blob: job.output };
  });
}

zipButton.addEventListener('click', () => {
  const worker = new Worker('worker.js', { type: 'module' });
  zipButton.dataset.busy = 'yes';
  render();
  const done = () => {
    worker.terminate();
    delete zipButton.dataset.busy;
    render();
  };
  worker.addEventListener('message', ({ data }) => {
    if (data.type === 'zip') {
      if (zipUrl) URL.revokeObjectURL(zipUrl);
      zipUrl = URL.createObjectURL(data.file);
      const link = element('a');
      link.href = zipUrl;
      link.download = 'vintage.zip';
      link.hidden = true;
      document.body.append(link);
      link.click();
      link.remove();
    } else {
      alert(`The ZIP could not be written: ${data.line}`);
    }
    done();
  });
  worker.addEventListener('error', (event) => {
    alert(`The ZIP could not be written: ${event.message}`);
    done();
  });
  worker.postMessage({ type: 'zip', id: nextId++, folder, entries: zipEntries() });
});

$('clear').addEventListener('click', () => {
  for (const slot of pool.splice(0)) slot.worker.terminate();
  for (const job of jobs) job.urls.forEach((url) => URL.revokeObjectURL(url));
  if (zipUrl) URL.revokeObjectURL(zipUrl);
  zipUrl = null;
  jobs = [];
  waiting = [];
  list.replaceChildren();
  render();
  removeOutputs().catch(() => {});
});

// Kept for offline use once loaded (needs http://localhost or https).
if ('serviceWorker' in navigator) {
  navigator.serviceWorker.register('sw.js').catch((error) => console.warn('No offline copy:', error));
}
