// Tones a BMP file on this page's thread, or in a module or a classic worker.
import { tone } from './tone.js';

function inWorker(worker, bytes, how) {
  return new Promise((resolve, reject) => {
    worker.onmessage = ({ data }) => (Array.isArray(data) ? resolve(data) : reject(new Error(data)));
    worker.onerror = (event) => reject(new Error(event.message || 'the worker did not load'));
    worker.postMessage([bytes, how]);
  }).finally(() => worker.terminate());
}

window.toneSample = (bytes, where, how) => {
  if (where === 'module')
    return inWorker(new Worker(new URL('./worker.js', import.meta.url), { type: 'module' }), bytes, how);
  if (where === 'classic') return inWorker(new Worker(new URL('./worker.js', import.meta.url)), bytes, how);
  return tone(bytes, how);
};
