// sorvanebmpvintage/node: the tone as a Node stream.Transform. A file of its
// own, so that nothing else of the package imports node:stream.
import { Transform } from 'node:stream';
import { openModuleStream } from './core.js';

export function toneBMPNodeStream(options) {
  let s = null;
  const push = (stream) => (part) => stream.push(Buffer.from(part));
  return new Transform({
    ...options,
    // Each chunk is checked by the module stream itself, which a wrong one
    // closes.
    transform(chunk, encoding, callback) {
      try {
        s ??= openModuleStream();
        s.push(chunk, push(this));
        callback();
      } catch (e) {
        callback(e);
      }
    },
    flush(callback) {
      try {
        s ??= openModuleStream();
        s.end(push(this));
        callback();
      } catch (e) {
        callback(e);
      }
    },
    destroy(error, callback) {
      s?.close();
      callback(error);
    },
  });
}
