import { ready, toneBMP } from 'sorvanebmpvintage';

// Tones a BMP file: the module compiled by the first call ('lazy'), or by
// ready() before it ('ready'). Gives the form ready() loaded ('' when lazy)
// and the toned bytes.
export async function tone(bytes, how) {
  const form = how === 'ready' ? await ready() : '';
  return [form, toneBMP(bytes)];
}
