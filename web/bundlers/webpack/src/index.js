// Tones a BMP file on this page's thread.
import { toneBMP } from 'sorvanebmpvintage';

window.toneSample = async (bytes) => toneBMP(bytes);
