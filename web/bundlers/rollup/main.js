// Tones a BMP file on this page's thread, from a one-file bundle (Rollup's
// iife or umd output): the module compiled by the first call ('lazy'), or by
// ready() before it ('ready').
import { ready, toneBMP } from 'sorvanebmpvintage/single';

window.toneSample = async (bytes, where, how) => {
  const form = how === 'ready' ? await ready() : '';
  return [form, toneBMP(bytes)];
};
