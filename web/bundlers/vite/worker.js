// Tones each BMP file it is sent; answers with the bytes or the error's text.
import { toneBMP } from 'sorvanebmpvintage';

self.onmessage = ({ data }) => {
  try {
    self.postMessage(toneBMP(data));
  } catch (error) {
    self.postMessage(String(error));
  }
};
