// A streaming ZIP writer for the page's "Download all": entries are stored
// (BMP files gain little from deflate, and storing keeps the archive's memory
// to one chunk), each written as it is read, with the ZIP64 records always
// present so that entries and archives over 4 GiB are read back whole.
// Writes through a FileSystemSyncAccessHandle (or anything with the same
// write(bytes, { at })), so the archive goes to disk, not to memory.

const TABLE = new Uint32Array(256);
for (let n = 0; n < 256; n++) {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  TABLE[n] = c >>> 0;
}

/** CRC-32 (the ZIP one) of `bytes`, carried on from `crc` (0 to start). */
export function crc32(crc, bytes) {
  let c = ~crc;
  for (let i = 0; i < bytes.length; i++) c = TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return ~c >>> 0;
}

const ALL = 0xffffffff; // a 32-bit field whose value is in the ZIP64 extra field
const VERSION = 45; // 4.5: ZIP64
const UTF8 = 0x0800; // names are UTF-8

function dosTime(date) {
  const time = (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
  const day = (Math.max(date.getFullYear() - 1980, 0) << 9) | ((date.getMonth() + 1) << 5) | date.getDate();
  return { time, day };
}

function record(size, fill) {
  const bytes = new Uint8Array(size);
  const view = new DataView(bytes.buffer);
  fill(view, {
    u16: (at, v) => view.setUint16(at, v, true),
    u32: (at, v) => view.setUint32(at, v, true),
    u64: (at, v) => view.setBigUint64(at, BigInt(v), true),
  });
  return bytes;
}

/**
 * Writes the ZIP of `entries` ([{ name, blob }], names already safe and
 * unique) to `out` from offset 0 and returns its size in bytes.
 */
export async function writeZip(entries, out) {
  const encoder = new TextEncoder();
  const { time, day } = dosTime(new Date());
  let at = 0;
  const put = (bytes) => {
    out.write(bytes, { at });
    at += bytes.length;
  };
  const central = [];
  for (const { name, blob } of entries) {
    const nameBytes = encoder.encode(name);
    const offset = at;
    const size = blob.size;
    put(record(30, (_, w) => {
      w.u32(0, 0x04034b50);
      w.u16(4, VERSION);
      w.u16(6, UTF8);
      w.u16(10, time);
      w.u16(12, day);
      w.u32(18, ALL);
      w.u32(22, ALL);
      w.u16(26, nameBytes.length);
      w.u16(28, 20);
    }));
    put(nameBytes);
    put(record(20, (_, w) => {
      w.u16(0, 0x0001);
      w.u16(2, 16);
      w.u64(4, size);
      w.u64(12, size);
    }));
    let crc = 0;
    let written = 0;
    const reader = blob.stream().getReader();
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      crc = crc32(crc, value);
      written += value.length;
      put(value);
    }
    if (written !== size) throw new Error(`${name} changed while it was written`);
    out.write(record(4, (_, w) => w.u32(0, crc)), { at: offset + 14 });
    central.push({ nameBytes, offset, size, crc });
  }

  const directory = at;
  for (const { nameBytes, offset, size, crc } of central) {
    put(record(46, (_, w) => {
      w.u32(0, 0x02014b50);
      w.u16(4, VERSION);
      w.u16(6, VERSION);
      w.u16(8, UTF8);
      w.u16(12, time);
      w.u16(14, day);
      w.u32(16, crc);
      w.u32(20, ALL);
      w.u32(24, ALL);
      w.u16(28, nameBytes.length);
      w.u16(30, 28);
      w.u32(42, ALL);
    }));
    put(nameBytes);
    put(record(28, (_, w) => {
      w.u16(0, 0x0001);
      w.u16(2, 24);
      w.u64(4, size);
      w.u64(12, size);
      w.u64(20, offset);
    }));
  }
  const directorySize = at - directory;
  const end64 = at;
  put(record(56, (_, w) => {
    w.u32(0, 0x06064b50);
    w.u64(4, 44);
    w.u16(12, VERSION);
    w.u16(14, VERSION);
    w.u64(24, central.length);
    w.u64(32, central.length);
    w.u64(40, directorySize);
    w.u64(48, directory);
  }));
  put(record(20, (_, w) => {
    w.u32(0, 0x07064b50);
    w.u64(8, end64);
    w.u32(16, 1);
  }));
  put(record(22, (_, w) => {
    w.u32(0, 0x06054b50);
    w.u16(8, Math.min(central.length, 0xffff));
    w.u16(10, Math.min(central.length, 0xffff));
    w.u32(12, Math.min(directorySize, ALL));
    w.u32(16, Math.min(directory, ALL));
  }));
  return at;
}
