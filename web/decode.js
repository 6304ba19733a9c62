import { decodeG4 } from "./ccitt.js";

// Decoders for the page files browsers cannot show: PNM (P4, P5, P6) and the
// TIFF pages the service writes (Deflate, LZW, Group 4 or none; 1, 8 or 16
// bits; grey or RGB). Each returns RGBA pixels at a reduced size: `step` takes every
// step-th row and column, so a thumbnail reads only the rows it shows.

export class DecodeError extends Error {}

function rgbaOf(width, height) {
  return { width, height, data: new Uint8ClampedArray(width * height * 4) };
}

// One row's samples as 8-bit values: 16-bit samples give their high byte,
// 1-bit ones 0 or 255 (with `white` the value of a 0 bit).
function sampleReader(row, bits, bigEndian, white) {
  if (bits === 8) return (i) => row[i];
  if (bits === 16) return (i) => row[i * 2 + (bigEndian ? 0 : 1)];
  if (bits === 1) return (i) => (((row[i >> 3] >> (7 - (i & 7))) & 1) ? 255 - white : white);
  throw new DecodeError(`${bits}-bit samples are not supported`);
}

function putRow(out, y, row, { width, step, samples, bits, bigEndian, white = 0, invert = false }) {
  const sample = sampleReader(row, bits, bigEndian, white);
  let at = y * out.width * 4;
  for (let x = 0; x < width; x += step) {
    const base = x * samples;
    let r = sample(base);
    let g = samples >= 3 ? sample(base + 1) : r;
    let b = samples >= 3 ? sample(base + 2) : r;
    if (invert) { r = 255 - r; g = 255 - g; b = 255 - b; }
    out.data[at] = r;
    out.data[at + 1] = g;
    out.data[at + 2] = b;
    out.data[at + 3] = 255;
    at += 4;
  }
}

// ---- PNM

function pnmHeader(bytes) {
  const fields = [];
  let at = 2;
  const count = bytes[1] === 0x34 ? 2 : 3;
  while (fields.length < count) {
    while (at < bytes.length && (bytes[at] <= 32 || bytes[at] === 0x23)) {
      if (bytes[at] === 0x23) while (at < bytes.length && bytes[at] !== 10) at++;
      else at++;
    }
    let text = "";
    while (at < bytes.length && bytes[at] > 32) text += String.fromCharCode(bytes[at++]);
    if (!/^\d+$/.test(text)) throw new DecodeError("a PNM header that cannot be read");
    fields.push(Number(text));
  }
  return { fields, data: at + 1 };
}

export function decodePnm(bytes, step = 1) {
  const kind = bytes[0] === 0x50 ? bytes[1] : 0;
  if (kind < 0x34 || kind > 0x36) throw new DecodeError("not a binary PNM (P4, P5 or P6)");
  const { fields, data } = pnmHeader(bytes);
  const [width, height, maxValue = 1] = fields;
  const samples = kind === 0x36 ? 3 : 1;
  const bits = kind === 0x34 ? 1 : maxValue > 255 ? 16 : 8;
  const rowBytes = bits === 1 ? Math.ceil(width / 8) : width * samples * (bits / 8);
  if (data + rowBytes * height > bytes.length) throw new DecodeError("a PNM file that ends early");
  const out = rgbaOf(Math.ceil(width / step), Math.ceil(height / step));
  // In P4 a set bit is black.
  const layout = { width, step, samples, bits, bigEndian: true, white: 255 };
  for (let y = 0; y < height; y += step) {
    putRow(out, y / step, bytes.subarray(data + y * rowBytes, data + (y + 1) * rowBytes), layout);
  }
  return out;
}

// ---- TIFF

const TYPE_SIZES = { 1: 1, 2: 1, 3: 2, 4: 4, 7: 1, 16: 8 };

function tiffDirectories(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const order = view.getUint16(0);
  if (order !== 0x4949 && order !== 0x4d4d) throw new DecodeError("not a TIFF file");
  const little = order === 0x4949;
  if (view.getUint16(2, little) !== 42) throw new DecodeError("not a classic TIFF file");
  const u16 = (at) => view.getUint16(at, little);
  const u32 = (at) => view.getUint32(at, little);
  const directories = [];
  const seen = new Set();
  for (let at = u32(4); at !== 0 && !seen.has(at) && at + 2 <= bytes.length; at = u32(at + 2 + u16(at) * 12)) {
    seen.add(at);
    const tags = new Map();
    for (let i = 0; i < u16(at); i++) {
      const entry = at + 2 + i * 12;
      const type = u16(entry + 2);
      const count = u32(entry + 4);
      const size = TYPE_SIZES[type];
      if (!size) continue;
      const where = size * count <= 4 ? entry + 8 : u32(entry + 8);
      if (where + size * count > bytes.length) throw new DecodeError("a TIFF tag points past the end");
      const values = [];
      for (let k = 0; k < count; k++) {
        const p = where + k * size;
        values.push(size === 1 ? bytes[p] : size === 2 ? u16(p) : u32(p));
      }
      tags.set(u16(entry), values);
    }
    directories.push({ tags, little });
  }
  return directories;
}

async function inflate(data) {
  const stream = new Blob([data]).stream().pipeThrough(new DecompressionStream("deflate"));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// TIFF's LZW: codes of 9 to 12 bits, most significant bit first, the code
// width growing one code early.
function unlzw(data, expected) {
  const out = new Uint8Array(expected);
  let length = 0;
  const prefix = new Int32Array(4096);
  const suffix = new Uint8Array(4096);
  const first = new Uint8Array(4096);
  const size = new Int32Array(4096);
  for (let i = 0; i < 256; i++) { suffix[i] = i; first[i] = i; size[i] = 1; prefix[i] = -1; }
  const emit = (code) => {
    const n = size[code];
    if (length + n > out.length) throw new DecodeError("an LZW strip larger than its rows");
    for (let i = n - 1, c = code; i >= 0; i--, c = prefix[c]) out[length + i] = suffix[c];
    length += n;
  };
  let next = 258;
  let width = 9;
  let previous = -1;
  let bitPos = 0;
  const totalBits = data.length * 8;
  while (bitPos + width <= totalBits) {
    let code = 0;
    for (let i = 0; i < width; i++, bitPos++) code = (code << 1) | ((data[bitPos >> 3] >> (7 - (bitPos & 7))) & 1);
    if (code === 257) break;
    if (code === 256) {
      next = 258;
      width = 9;
      previous = -1;
      continue;
    }
    if (previous < 0) {
      if (code > 255) throw new DecodeError("an LZW strip that starts with a string code");
      emit(code);
    } else {
      if (code > next) throw new DecodeError("an LZW code out of order");
      if (next < 4096) {
        prefix[next] = previous;
        first[next] = first[previous];
        size[next] = size[previous] + 1;
        suffix[next] = code < next ? first[code] : first[previous];
        next++;
      }
      emit(code);
    }
    previous = code;
    if (next + 1 >= 1 << width && width < 12) width++;
  }
  return out.subarray(0, length);
}

// Horizontal differencing (predictor 2) of 8-bit samples, undone in place.
function undoPredictor(row, samples) {
  for (let i = samples; i < row.length; i++) row[i] = (row[i] + row[i - samples]) & 255;
}

/** How many pages (directories) a TIFF file holds. */
export function tiffPageCount(bytes) {
  return tiffDirectories(bytes).length;
}

export async function decodeTiff(bytes, step = 1, page = 0) {
  const directory = tiffDirectories(bytes)[page];
  if (!directory) throw new DecodeError(`the TIFF file has no page ${page + 1}`);
  const tag = (id, fallback) => (directory.tags.has(id) ? directory.tags.get(id) : [fallback]);
  const [width] = tag(256);
  const [height] = tag(257);
  const [bits] = tag(258, 1);
  const [compression] = tag(259, 1);
  const [photometric] = tag(262, 1);
  const [samples] = tag(277, 1);
  const [rowsPerStrip] = tag(278, height);
  const [planar] = tag(284, 1);
  const [predictor] = tag(317, 1);
  if (predictor === 2 && bits !== 8) throw new DecodeError("a TIFF predictor not decoded here");
  const offsets = tag(273);
  const counts = tag(279);
  if (!width || !height || offsets[0] === undefined) throw new DecodeError("a TIFF page without size or data");
  if (![1, 4, 5, 8, 32946].includes(compression) || (compression === 4 && bits !== 1)) {
    throw new DecodeError(`TIFF compression ${compression} is not decoded here`);
  }
  if (planar !== 1 || ![0, 1, 2].includes(photometric)) throw new DecodeError("a TIFF colour layout not decoded here");
  const rowBytes = bits === 1 ? Math.ceil((width * samples) / 8) : width * samples * (bits / 8);
  const out = rgbaOf(Math.ceil(width / step), Math.ceil(height / step));
  const layout = { width, step, samples, bits, bigEndian: !directory.little, white: photometric === 0 ? 255 : 0 };
  if (bits !== 1 && photometric === 0) layout.invert = true;
  // Strips hold whole rows: only the strips with a row we show are read.
  for (let strip = 0; strip < offsets.length; strip++) {
    const first = strip * rowsPerStrip;
    const last = Math.min(first + rowsPerStrip, height);
    const wanted = Math.ceil(first / step) * step;
    if (wanted >= last) continue;
    const raw = bytes.subarray(offsets[strip], offsets[strip] + counts[strip]);
    const rows = compression === 1 ? raw
      : compression === 4 ? decodeG4(raw, width, last - first)
        : compression === 5 ? unlzw(raw, (last - first) * rowBytes) : await inflate(raw);
    for (let y = wanted; y < last; y += step) {
      const start = (y - first) * rowBytes;
      if (start + rowBytes > rows.length) throw new DecodeError("a TIFF strip that ends early");
      const row = rows.subarray(start, start + rowBytes);
      if (predictor === 2) undoPredictor(row, samples);
      putRow(out, y / step, row, layout);
    }
  }
  return out;
}

/** The width in pixels of a TIFF file's page, 0 when it cannot be read. */
export function tiffWidth(bytes, page = 0) {
  const directory = tiffDirectories(bytes)[page];
  return (directory && directory.tags.get(256)?.[0]) || 0;
}
