// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// What the tests make images with and read them back with: a PNG writer and
// reader over node:zlib (independent of the module's codecs), PPM, a JPEG's
// size from its frame header, an Exif orientation put into a JPEG, and the
// native program for comparisons.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { deflateSync, inflateSync } from 'node:zlib';

const CRC = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

/** RGBA where pixel (x, y) is (x, y, 7, 255 - (x + y) % 128). */
export function gradient(w, h) {
  const px = new Uint8Array(w * h * 4);
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) px.set([x & 255, y & 255, 7, 255 - ((x + y) % 128)], (y * w + x) * 4);
  }
  return { w, h, px };
}

/** A grey frame around a 20x10 gradient patch at (25, 12), as the Python tests use. */
export function framed(w = 60, h = 40) {
  const img = { w, h, px: new Uint8Array(w * h * 4).fill(200) };
  const patch = gradient(20, 10);
  for (let i = 3; i < img.px.length; i += 4) img.px[i] = 255;
  for (let y = 0; y < 10; y++) img.px.set(patch.px.subarray(y * 80, y * 80 + 80), ((12 + y) * w + 25) * 4);
  return img;
}

export function cut(img, x, y, w, h) {
  const px = new Uint8Array(w * h * 4);
  for (let r = 0; r < h; r++) px.set(img.px.subarray(((y + r) * img.w + x) * 4, ((y + r) * img.w + x + w) * 4), r * w * 4);
  return { w, h, px };
}

function chunk(type, data) {
  const out = new Uint8Array(12 + data.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, data.length);
  out.set(new TextEncoder().encode(type), 4);
  out.set(data, 8);
  view.setUint32(8 + data.length, crc32(out.subarray(4, 8 + data.length)));
  return out;
}

/** An 8-bit RGBA PNG of img. */
export function png(img) {
  const ihdr = new Uint8Array(13);
  new DataView(ihdr.buffer).setUint32(0, img.w);
  new DataView(ihdr.buffer).setUint32(4, img.h);
  ihdr.set([8, 6, 0, 0, 0], 8);
  const raw = new Uint8Array(img.h * (img.w * 4 + 1));
  for (let y = 0; y < img.h; y++) raw.set(img.px.subarray(y * img.w * 4, (y + 1) * img.w * 4), y * (img.w * 4 + 1) + 1);
  const parts = [new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]), chunk('IHDR', ihdr),
    chunk('IDAT', deflateSync(raw)), chunk('IEND', new Uint8Array(0))];
  return Buffer.concat(parts);
}

/** Decodes an 8-bit PNG (grey, RGB, grey+alpha or RGBA) to RGBA. */
export function readPng(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  let at = 8;
  let w = 0, h = 0, depth = 8, type = 0;
  const idat = [];
  const chunks = {};
  while (at < bytes.length) {
    const n = view.getUint32(at);
    const name = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
    const data = bytes.subarray(at + 8, at + 8 + n);
    chunks[name] = data;
    if (name === 'IHDR') {
      w = view.getUint32(at + 8); h = view.getUint32(at + 12); depth = bytes[at + 16]; type = bytes[at + 17];
      if (depth > 8) throw new Error('readPng: 16-bit samples are not read here');
    }
    if (name === 'IDAT') idat.push(data);
    at += 12 + n;
  }
  // Every colour type the library writes: grey, RGB, palette, grey + alpha,
  // RGBA; palette and grey at 1, 2, 4 or 8 bits; tRNS.
  const channels = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 }[type];
  const bpp = Math.max(1, (channels * depth) >> 3);
  const raw = inflateSync(Buffer.concat(idat));
  const stride = Math.ceil((w * channels * depth) / 8);
  const rows = new Uint8Array(h * stride);
  for (let y = 0; y < h; y++) {
    const filter = raw[y * (stride + 1)];
    const src = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const row = rows.subarray(y * stride, (y + 1) * stride);
    const up = y > 0 ? rows.subarray((y - 1) * stride, y * stride) : new Uint8Array(stride);
    for (let i = 0; i < stride; i++) {
      const a = i >= bpp ? row[i - bpp] : 0;
      const b = up[i];
      const c = i >= bpp ? up[i - bpp] : 0;
      let p = 0;
      if (filter === 1) p = a;
      else if (filter === 2) p = b;
      else if (filter === 3) p = (a + b) >> 1;
      else if (filter === 4) {
        const pa = Math.abs(b - c), pb = Math.abs(a - c), pc = Math.abs(a + b - 2 * c);
        p = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      row[i] = (src[i] + p) & 255;
    }
  }
  const sample = (y, k) => {  // sample k of row y, at the file's depth
    if (depth === 8) return rows[y * stride + k];
    const bit = k * depth;
    return (rows[y * stride + (bit >> 3)] >> (8 - depth - (bit & 7))) & ((1 << depth) - 1);
  };
  const trns = chunks.tRNS;
  const scale = type === 3 ? 1 : 255 / ((1 << depth) - 1);
  const px = new Uint8Array(w * h * 4);
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      const s = Array.from({ length: channels }, (_, k) => sample(y, x * channels + k));
      let rgba;
      if (type === 3) {
        const i = s[0];
        rgba = [chunks.PLTE[3 * i], chunks.PLTE[3 * i + 1], chunks.PLTE[3 * i + 2], trns && i < trns.length ? trns[i] : 255];
      } else if (channels >= 3) {
        const key = type === 2 && trns && [0, 2, 4].every((o, k) => ((trns[o] << 8) | trns[o + 1]) === s[k]);
        rgba = [s[0], s[1], s[2], channels === 4 ? s[3] : key ? 0 : 255];
      } else {
        const key = type === 0 && trns && ((trns[0] << 8) | trns[1]) === s[0];
        const v = Math.round(s[0] * scale);
        rgba = [v, v, v, channels === 2 ? s[1] : key ? 0 : 255];
      }
      px.set(rgba, (y * w + x) * 4);
    }
  }
  return { w, h, px, chunks };
}

/** A binary PPM of img's colours. */
export function ppm(img) {
  const head = new TextEncoder().encode(`P6\n${img.w} ${img.h}\n255\n`);
  const out = new Uint8Array(head.length + img.w * img.h * 3);
  out.set(head);
  for (let i = 0; i < img.w * img.h; i++) out.set(img.px.subarray(i * 4, i * 4 + 3), head.length + i * 3);
  return out;
}

/** [width, height] from a JPEG's frame header. */
export function jpegSize(bytes) {
  let at = 2;
  while (at < bytes.length) {
    const marker = bytes[at + 1];
    const n = (bytes[at + 2] << 8) | bytes[at + 3];
    if (marker >= 0xc0 && marker <= 0xcf && ![0xc4, 0xc8, 0xcc].includes(marker)) {
      return [(bytes[at + 7] << 8) | bytes[at + 8], (bytes[at + 5] << 8) | bytes[at + 6]];
    }
    at += 2 + n;
  }
  throw new Error('jpegSize: no frame header');
}

/** The JPEG with an Exif block saying Orientation `value` after its SOI. */
export function withOrientation(jpeg, value) {
  const tiff = [0x4d, 0x4d, 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, value, 0, 0, 0, 0, 0, 0];
  const body = [0x45, 0x78, 0x69, 0x66, 0, 0, ...tiff];
  const app1 = [0xff, 0xe1, (body.length + 2) >> 8, (body.length + 2) & 255, ...body];
  return Buffer.concat([jpeg.subarray(0, 2), Uint8Array.from(app1), jpeg.subarray(2)]);
}

// --- the native program ----------------------------------------------------------

const repo = fileURLToPath(new URL('../../', import.meta.url));
const program = process.env.TRIMLET_NATIVE || join(repo, 'build', 'tools', 'trimlet');

/** Why the native comparisons are skipped, or false when the program is there. */
export const noNative = existsSync(program) ? false
  : `no native trimlet program at ${program} (build it, or set TRIMLET_NATIVE)`;

/** The native program's crop of `input` (bytes): args are the rule's words and options. */
export function nativeCrop(input, args, ext) {
  const dir = mkdtempSync(join(tmpdir(), 'trimlet-js-'));
  try {
    writeFileSync(join(dir, 'in'), input);
    const run = spawnSync(program, [...args, join(dir, 'in'), '-o', join(dir, `out.${ext}`)], { encoding: 'utf8' });
    if (run.status !== 0) throw new Error(`native trimlet: ${run.stderr}`);
    return new Uint8Array(readFileSync(join(dir, `out.${ext}`)));
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

/** The PNG with its header saying w x h (its pixel data left as it was). */
export function resized(pngBytes, w, h) {
  const out = Buffer.from(pngBytes);
  out.writeUInt32BE(w, 16);
  out.writeUInt32BE(h, 20);
  out.writeUInt32BE(crc32(out.subarray(12, 29)), 29);
  return out;
}
