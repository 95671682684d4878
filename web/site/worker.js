// Tones files for the page, off its main thread, one at a time, and writes the
// ZIP of many. Messages in: { type: 'tone', id, file } or { type: 'zip', id,
// entries: [{ path, blob }] }. Out: { id, type: 'progress', done } while a file
// streams, then { id, type: 'done', blob }, { id, type: 'zip', blob } or
// { id, type: 'refused', line } with the converter's own line.

// The converter is imported on first use, not statically: a message that came
// while a static import was still loading would find no listener.
let converter = null;

self.addEventListener('message', ({ data }) => {
  const work = data.type === 'zip' ? zip(data) : tone(data);
  work.then(
    (reply) => self.postMessage(reply),
    (error) => self.postMessage({ id: data.id, type: 'refused', line: error instanceof Error ? error.message : String(error) }),
  );
});

// Streams the file through the converter: memory stays small whatever the
// file's size, and the bytes read so far are the progress.
async function tone({ id, file }) {
  converter ??= import('./bmpvintage/index.js');
  const { toneBMPStream } = await converter;
  let done = 0;
  let reported = 0;
  const counter = new TransformStream({
    transform(chunk, controller) {
      done += chunk.byteLength;
      const now = performance.now();
      if (now - reported >= 100) {
        reported = now;
        self.postMessage({ id, type: 'progress', done });
      }
      controller.enqueue(chunk);
    },
  });
  const reader = file.stream().pipeThrough(counter).pipeThrough(toneBMPStream()).getReader();
  const parts = [];
  for (;;) {
    const { done: end, value } = await reader.read();
    if (end) break;
    parts.push(value);
  }
  return { id, type: 'done', blob: new Blob(parts, { type: 'image/bmp' }) };
}

async function zip({ id, entries }) {
  const { Zip, ZipDeflate } = await import('./fflate.js');
  const parts = [];
  let failure = null;
  const archive = new Zip((error, chunk) => {
    if (error) failure = error;
    else parts.push(chunk);
  });
  for (const { path, blob } of entries) {
    const entry = new ZipDeflate(path, { level: 6 });
    archive.add(entry);
    const reader = blob.stream().getReader();
    for (;;) {
      const { done, value } = await reader.read();
      entry.push(value ?? new Uint8Array(0), done);
      if (done) break;
    }
  }
  archive.end();
  if (failure) throw failure;
  return { id, type: 'zip', blob: new Blob(parts, { type: 'application/zip' }) };
}
