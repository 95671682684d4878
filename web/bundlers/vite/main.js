// Tones a BMP file on this page's thread, or in a module or a classic worker.
import { toneBMP } from 'sorvanebmpvintage';

function inWorker(worker, bytes) {
  return new Promise((resolve, reject) => {
    worker.onmessage = ({ data }) => (data instanceof Uint8Array ? resolve(data) : reject(new Error(data)));
    worker.onerror = (event) => reject(new Error(event.message || 'the worker did not load'));
    worker.postMessage(bytes);
  }).finally(() => worker.terminate());
}

window.toneSample = async (bytes, where) => {
  if (where === 'module')
    return inWorker(new Worker(new URL('./worker.js', import.meta.url), { type: 'module' }), bytes);
  if (where === 'classic') return inWorker(new Worker(new URL('./worker.js', import.meta.url)), bytes);
  return toneBMP(bytes);
};
