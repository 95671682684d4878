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
  for (const { file, path } of entries) queue(file, path);
  render();
  dispatch();
}

input.addEventListener('change', () => {
  const picked = [...input.files];
  const fromFolder = input.webkitdirectory;
  input.webkitdirectory = false;
  input.value = '';
  const entries = picked
    .filter((file) => !fromFolder || BMP_NAME.test(file.name))
    .map((file) => ({ file, path: file.webkitRelativePath || file.name }));
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
    return [{ file, path: entry.fullPath.replace(/^\//, '') }];
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

// ---- Converting -----------------------------------------------------------

function queue(file, path) {
  const job = { id: nextId++, file, path, state: 'queued', done: 0, blob: null, urls: [] };
  job.item = itemFor(job);
  list.append(job.item.root);
  jobs.push(job);
  waiting.push(job);
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
    slot.worker.postMessage({ type: 'tone', id: job.id, file: job.file });
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
    if (data.type === 'done') finish(job, 'done', data.blob);
    else finish(job, 'refused', null, data.line);
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
    if (slot.job) finish(slot.job, 'refused', null, event.message || 'The converter could not be loaded');
    dispatch();
  });
  pool.push(slot);
  return slot;
}

function finish(job, state, blob, line) {
  job.state = state;
  job.blob = blob;
  job.line = line;
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

function figure(job, url, caption) {
  const fig = element('figure');
  const img = element('img');
  img.loading = 'lazy';
  img.alt = `${job.path}, ${caption.toLowerCase()}`;
  img.src = url;
  // Small images are scaled up with their pixels kept sharp.
  img.addEventListener('load', () => {
    img.classList.toggle('pixels', img.naturalWidth < img.clientWidth && img.naturalHeight < img.clientHeight);
  });
  img.addEventListener('error', () => img.replaceWith(element('div', 'no-preview', 'No preview')));
  fig.append(img, element('figcaption', '', caption));
  return fig;
}

function itemFor(job) {
  const root = element('li', 'file queued');
  const head = element('div', 'head');
  const name = element('span', 'name', job.path);
  const state = element('span', 'state');
  const bar = element('progress', 'bar');
  bar.max = Math.max(job.file.size, 1);
  const pair = element('div', 'pair');
  const before = URL.createObjectURL(job.file);
  job.urls.push(before);
  pair.append(figure(job, before, 'Before'));
  head.append(name, state, bar);
  root.append(head, pair);
  return { root, head, state, bar, pair };
}

function downloadName(path) {
  const base = path.slice(path.lastIndexOf('/') + 1);
  const dot = base.lastIndexOf('.');
  return dot > 0 ? `${base.slice(0, dot)}-vintage${base.slice(dot)}` : `${base}-vintage`;
}

function show(job) {
  const { root, head, state, bar, pair } = job.item;
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
    const url = URL.createObjectURL(job.blob);
    job.urls.push(url);
    const link = element('a', 'button download', 'Download');
    link.href = url;
    link.download = downloadName(job.path);
    head.append(link);
    pair.append(figure(job, url, 'After'));
  } else {
    state.remove();
    bar.remove();
    pair.remove();
    head.append(element('span', 'line', job.line));
  }
}

function render() {
  const total = jobs.length;
  const done = jobs.filter((job) => job.state === 'done').length;
  const refused = jobs.filter((job) => job.state === 'refused').length;
  summary.hidden = total === 0;
  overall.max = Math.max(total, 1);
  overall.value = done + refused;
  const files = (n) => `${n} file${n === 1 ? '' : 's'}`;
  let text = done + refused === total ? `${files(total)}: ${done} toned` : `${done + refused} of ${files(total)} finished: ${done} toned`;
  if (refused > 0) text += `, ${refused} refused`;
  count.textContent = text;
  const busy = zipButton.dataset.busy === 'yes';
  zipButton.disabled = done === 0 || busy;
  zipButton.textContent = busy ? 'Writing the ZIP…' : done > 0 ? `Download all as ZIP (${done})` : 'Download all as ZIP';
}

// ---- The ZIP of every result ----------------------------------------------

// Paths as they were picked (folders kept); a name taken twice gets " (2)".
function zipEntries() {
  const taken = new Set();
  return jobs.filter((job) => job.state === 'done').map((job) => {
    let path = job.path;
    const dot = path.lastIndexOf('.') > path.lastIndexOf('/') ? path.lastIndexOf('.') : path.length;
    for (let n = 2; taken.has(path.toLowerCase()); n++) path = `${job.path.slice(0, dot)} (${n})${job.path.slice(dot)}`;
    taken.add(path.toLowerCase());
    return { path, blob: job.blob };
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
      zipUrl = URL.createObjectURL(data.blob);
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
  worker.postMessage({ type: 'zip', id: 0, entries: zipEntries() });
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
});

// Kept for offline use once loaded (needs http://localhost or https).
if ('serviceWorker' in navigator) {
  navigator.serviceWorker.register('sw.js').catch((error) => console.warn('No offline copy:', error));
}
