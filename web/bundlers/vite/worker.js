// Tones each BMP file it is sent; answers with tone()'s result or the error.
import { tone } from './tone.js';

self.onmessage = async ({ data: [bytes, how] }) => {
  try {
    self.postMessage(await tone(bytes, how));
  } catch (error) {
    self.postMessage(`${error.code}: ${error.message}`);
  }
};
