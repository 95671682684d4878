// Tones a BMP file on this page's thread: the module compiled by the first
// call ('lazy'), or by ready() before it ('ready').
import { ready, toneBMP } from 'sorvanebmpvintage';

window.toneSample = async (bytes, where, how) => {
  const form = how === 'ready' ? await ready() : '';
  return [form, toneBMP(bytes)];
};
