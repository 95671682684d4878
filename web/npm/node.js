// sorvanebmpvintage/node: the tone as a Node stream.Transform. A file of its
// own, so that nothing else of the package imports node:stream.
import { Transform } from 'node:stream';
import { openModuleStream } from './core.js';

export function toneBMPNodeStream(options) {
  let s = null;
  // One Buffer for each chunk in (the bytes held back before it joined to
  // it), none when nothing is final yet.
  const send = (stream, part) => {
    if (part.length > 0) stream.push(Buffer.from(part.buffer, part.byteOffset, part.length));
  };
  return new Transform({
    ...options,
    // Each chunk is checked by the module stream itself, which a wrong one
    // closes.
    transform(chunk, encoding, callback) {
      try {
        s ??= openModuleStream();
        send(this, s.pushJoined(chunk));
        callback();
      } catch (e) {
        callback(e);
      }
    },
    flush(callback) {
      try {
        s ??= openModuleStream();
        send(this, s.endJoined());
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
