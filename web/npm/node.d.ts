// This entry's types need Node's own (npm install -D @types/node), an
// optional peer dependency of the package: the main entry's do not.
/// <reference types="node" />
import type { Transform, TransformOptions } from 'node:stream';

/**
 * A Node stream.Transform that tones a BMP file arriving as Buffers, as
 * toneBMPStream() does: the same bytes as toneBMP, in constant module
 * memory. A refused input destroys the stream with a BMPVintageError.
 */
export function toneBMPNodeStream(options?: TransformOptions): Transform;
