// Tones files for the page, off its main thread, one at a time, and writes the
// ZIP of many. Outputs go to the origin's private file system (in `folder`),
// written chunk by chunk, so memory stays small whatever the size of a file.
// Messages in: { type: 'tone', id, file, folder, box: { width, height } } or
// { type: 'zip', id, folder, entries: [{ name, blob }] }. Out: { id, type:
// 'progress', done } while a file streams, then { id, type: 'done', file,
// width, height, ms, before, after } (the previews as ImageBitmaps of at most
// `box`, or null), { id, type: 'zip', file } or { id, type: 'refused', line }
// with the converter's own line.

// Every use of the package's module goes through here.
let converter = null;
async function toneStream() {
  converter ??= import('./bmpvintage/index.js');
  const { ready, toneBMPStream } = await converter;
  await ready();
  return toneBMPStream();
}

self.addEventListener('message', ({ data }) => {
  const work = data.type === 'zip' ? zip(data) : tone(data);
  work.then(
    ({ reply, transfer }) => self.postMessage(reply, transfer ?? []),
    (error) => self.postMessage({ id: data.id, type: 'refused', line: error instanceof Error ? error.message : String(error) }),
  );
});

// ---- Output files -----------------------------------------------------------

// A file in the private file system written through a sync handle; where
// there is none (an old browser), the chunks are kept for one Blob.
async function output(folder, name, type) {
  let dir = null;
  let handle = null;
  try {
    const root = await navigator.storage.getDirectory();
    dir = await root.getDirectoryHandle(folder, { create: true });
    const entry = await dir.getFileHandle(name, { create: true });
    handle = await entry.createSyncAccessHandle();
    handle.truncate(0);
    let at = 0;
    return {
      handle,
      write(bytes) {
        handle.write(bytes, { at });
        at += bytes.length;
      },
      async finish() {
        handle.flush();
        handle.close();
        return entry.getFile();
      },
      async drop() {
        handle.close();
        await dir.removeEntry(name).catch(() => {});
      },
    };
  } catch {
    // Kept in memory: appended, or rewritten within what is there.
    handle?.close();
    const parts = [];
    let end = 0;
    const write = (bytes, { at } = { at: end }) => {
      if (at === end) {
        parts.push({ at, bytes: bytes.slice() });
        end += bytes.length;
      } else {
        const part = parts.find((p) => p.at <= at && at + bytes.length <= p.at + p.bytes.length);
        part.bytes.set(bytes, at - part.at);
      }
    };
    return {
      handle: { write },
      write: (bytes) => write(bytes),
      finish: async () => new File(parts.map((p) => p.bytes), name, { type }),
      drop: async () => { parts.length = 0; },
    };
  }
}

// ---- Previews ---------------------------------------------------------------

// Reads a BMP's headers and, as its rows stream past, keeps one pixel in
// each cell of a grid of at most box.width x box.height: a preview made
// without the whole image. Uncompressed images of every depth are sampled;
// for the others `layout` stays null for want of rows to read.
class Sampler {
  constructor(box) {
    this.box = box;
    this.head = []; // the chunks up to the first 4 kB, read at once
    this.at = 0;
    this.width = 0;
    this.height = 0;
    this.layout = null;
  }

  push(chunk) {
    try {
      if (this.head) {
        this.head.push(chunk);
        if (this.head.reduce((n, part) => n + part.length, 0) >= 4096) this.start();
      } else if (this.layout) {
        this.sample(chunk);
        this.at += chunk.length;
      }
    } catch {
      this.layout = null; // no preview, and the conversion goes on
    }
  }

  start() {
    const bytes = new Uint8Array(this.head.reduce((n, part) => n + part.length, 0));
    let n = 0;
    for (const part of this.head) {
      bytes.set(part, n);
      n += part.length;
    }
    this.head = null;
    this.readHead(bytes.subarray(0, 4096));
    if (this.layout) this.sample(bytes);
    this.at = bytes.length;
  }

  readHead(bytes) {
    const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
    const at = (n) => (n + 4 <= bytes.length ? v.getUint32(n, true) : 0);
    if (bytes.length < 30 || v.getUint16(0, true) !== 0x4d42) return;
    const offBits = at(10);
    const size = at(14);
    const core = size === 12;
    const width = core ? v.getUint16(18, true) : v.getInt32(18, true);
    const rawHeight = core ? v.getUint16(20, true) : v.getInt32(22, true);
    const bits = core ? v.getUint16(24, true) : v.getUint16(28, true);
    const compression = !core && size >= 20 ? at(30) : 0;
    if (width <= 0 || rawHeight === 0 || rawHeight === -0x80000000) return;
    this.width = width;
    this.height = Math.abs(rawHeight);
    let masks = null;
    if ((bits === 16 || bits === 32) && (compression === 3 || compression === 6) && size >= 40) {
      masks = [at(62), at(58), at(54)]; // blue, green, red
    } else if (compression !== 0 || ![1, 2, 4, 8, 16, 24, 32].includes(bits)) {
      return;
    } else if (bits === 16) {
      masks = [0x1f, 0x3e0, 0x7c00];
    }
    const used = Math.ceil((bits * width) / 8);
    if (used > 64 << 20) return;
    let palette = null;
    if (bits <= 8) {
      const entry = core ? 3 : 4;
      const count = Math.min((!core && size >= 36 ? at(46) : 0) || 1 << bits, 1 << bits);
      const start = 14 + size;
      palette = new Uint8Array(256 * 3);
      for (let i = 0; i < count && start + i * entry + 3 <= bytes.length; i++) {
        const o = start + i * entry;
        palette.set([bytes[o + 2], bytes[o + 1], bytes[o]], i * 3);
      }
    }
    const scale = Math.min(1, this.box.width / width, this.box.height / this.height);
    const w = Math.max(1, Math.round(width * scale));
    const h = Math.max(1, Math.round(this.height * scale));
    const channels = masks?.map((mask) => {
      const shift = mask ? 31 - Math.clz32(mask & -mask) : 0;
      return { mask: mask >>> 0, shift, max: mask ? (mask >>> 0) / 2 ** shift : 1 };
    });
    // The source column of each preview column.
    const columns = Int32Array.from({ length: w }, (_, x) => Math.floor(((x + 0.5) * width) / w));
    this.layout = { offBits, bits, stride: Math.floor((bits * width + 31) / 32) * 4, used,
      bottomUp: rawHeight > 0, palette, channels, columns, w, h, row: new Uint8Array(used) };
    this.pixels = new Uint8ClampedArray(w * h * 4);
  }

  // The preview row that samples source row `source`, or -1.
  target(source) {
    const { h } = this.layout;
    const y = Math.floor((source * h) / this.height);
    for (const t of [y, y + 1]) if (t < h && Math.floor(((t + 0.5) * this.height) / h) === source) return t;
    return -1;
  }

  sample(chunk) {
    const l = this.layout;
    const end = this.at + chunk.length;
    let pos = Math.max(this.at, l.offBits);
    while (pos < end) {
      const index = Math.floor((pos - l.offBits) / l.stride);
      if (index >= this.height) return;
      const source = l.bottomUp ? this.height - 1 - index : index;
      const rowStart = l.offBits + index * l.stride;
      const target = this.target(source);
      if (target < 0 || pos >= rowStart + l.used) {
        pos = rowStart + l.stride;
        continue;
      }
      const take = Math.min(end, rowStart + l.used) - pos;
      l.row.set(chunk.subarray(pos - this.at, pos - this.at + take), pos - rowStart);
      pos += take;
      if (pos === rowStart + l.used) this.decodeRow(target);
    }
  }

  decodeRow(y) {
    const { bits, row, palette, channels, columns, w } = this.layout;
    const px = this.pixels;
    for (let x = 0; x < w; x++) {
      const c = columns[x];
      const o = (y * w + x) * 4;
      if (palette) {
        const index = (row[(c * bits) >> 3] >> (8 - bits - ((c * bits) & 7))) & ((1 << bits) - 1);
        px[o] = palette[index * 3];
        px[o + 1] = palette[index * 3 + 1];
        px[o + 2] = palette[index * 3 + 2];
      } else if (channels) {
        const value = bits === 16 ? row[c * 2] | (row[c * 2 + 1] << 8)
          : (row[c * 4] | (row[c * 4 + 1] << 8) | (row[c * 4 + 2] << 16) | (row[c * 4 + 3] << 24)) >>> 0;
        for (let k = 0; k < 3; k++) {
          const { mask, shift, max } = channels[k];
          px[o + 2 - k] = Math.round((((value & mask) >>> 0) / 2 ** shift) * 255 / max);
        }
      } else {
        const b = c * (bits >> 3);
        px[o] = row[b + 2];
        px[o + 1] = row[b + 1];
        px[o + 2] = row[b];
      }
      px[o + 3] = 255;
    }
  }

  // The preview, or null: sampled, or for a compressed image of at most
  // 32 MiB decoded by the browser at the preview's size.
  async image(blob) {
    try {
      if (this.head) this.start();
      if (this.layout) return await createImageBitmap(new ImageData(this.pixels, this.layout.w, this.layout.h));
      if (this.width <= 0 || blob.size > 32 << 20) return null;
      const scale = Math.min(1, this.box.width / this.width, this.box.height / this.height);
      return await createImageBitmap(blob, {
        resizeWidth: Math.max(1, Math.round(this.width * scale)),
        resizeHeight: Math.max(1, Math.round(this.height * scale)),
        resizeQuality: 'medium',
      });
    } catch {
      return null; // no preview, and the output stands
    }
  }
}

// ---- Toning -----------------------------------------------------------------

// Streams the file through the converter to its output file, sampling both
// for the previews; the bytes read so far are the progress.
async function tone({ id, file, folder, box }) {
  const started = performance.now();
  const before = new Sampler(box);
  const after = new Sampler(box);
  let done = 0;
  let reported = 0;
  const counter = new TransformStream({
    transform(chunk, controller) {
      done += chunk.byteLength;
      before.push(chunk);
      const now = performance.now();
      if (now - reported >= 100) {
        reported = now;
        self.postMessage({ id, type: 'progress', done });
      }
      controller.enqueue(chunk);
    },
  });
  const toner = await toneStream();
  const out = await output(folder, `${id}.bmp`, 'image/bmp');
  try {
    const reader = file.stream().pipeThrough(counter).pipeThrough(toner).getReader();
    for (;;) {
      const { done: end, value } = await reader.read();
      if (end) break;
      after.push(value);
      out.write(value);
    }
  } catch (error) {
    await out.drop();
    throw error;
  }
  const result = await out.finish();
  const ms = performance.now() - started;
  const images = [await before.image(file), await after.image(result)];
  return {
    reply: { id, type: 'done', file: result, width: after.width, height: after.height, ms, before: images[0], after: images[1] },
    transfer: images.filter(Boolean),
  };
}

async function zip({ id, folder, entries }) {
  const { writeZip } = await import('./zip.js');
  const out = await output(folder, `vintage-${id}.zip`, 'application/zip');
  try {
    await writeZip(entries, out.handle);
  } catch (error) {
    await out.drop();
    throw error;
  }
  return { reply: { id, type: 'zip', file: await out.finish() } };
}
