// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The package on real bytes, outputs read back by support.js's own PNG
// reader or compared with the native program's.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { test } from 'node:test';

import * as trimlet from '../node.js';
import {
  cut, framed, gradient, jpegSize, nativeCrop, noNative, png, ppm, readPng, withOrientation,
} from './support.js';

const data = png(framed());
const box = (x, y, w, h, imageW, imageH, outputW = w, outputH = h) => ({ x, y, w, h, imageW, imageH, outputW, outputH, frames: 1 });

const RULES = [ // rule, params, the box on framed()
  ['rect', [3, 4, 10, 7], [3, 4, 10, 7]],
  ['aspect', [0], [10, 0, 40, 40]],
  ['auto', [], [25, 12, 20, 10]],
  ['edges', [10, 0, 20, 25], [15, 4, 45, 28]],
  ['ratio', [3, 4], [15, 0, 30, 40]],
  [trimlet.Rule.RATIO, [21, 9], [0, 7, 60, 26]],
];

test('each rule crops to the pixels of its box, and plans the same box', async () => {
  for (const [rule, params, [x, y, w, h]] of RULES) {
    assert.deepEqual(await trimlet.plan(data, rule, ...params), box(x, y, w, h, 60, 40), String(rule));
    const out = readPng(await trimlet.crop(data, rule, ...params));
    assert.deepEqual(out.px, cut(framed(), x, y, w, h).px, String(rule));
  }
});

test('input as Uint8Array, ArrayBuffer, Buffer, DataView and Blob', async () => {
  const expected = await trimlet.crop(data, 'auto');
  const copy = new Uint8Array(data);
  for (const input of [copy, copy.buffer, Buffer.from(copy), new DataView(copy.buffer), new Blob([copy])]) {
    assert.deepEqual(await trimlet.crop(input, 'auto'), expected, input.constructor.name);
  }
});

test('formats by name, each one its own magic bytes', async () => {
  const magic = { png: [0x89, 0x50], jpg: [0xff, 0xd8], JPEG: [0xff, 0xd8], Bmp: [0x42, 0x4d], webp: [0x52, 0x49] };
  for (const [format, start] of Object.entries(magic)) {
    if (format === 'webp' && !(await trimlet.has('webp'))) continue;
    const out = await trimlet.crop(data, 'auto', { format });
    assert.deepEqual([...out.subarray(0, 2)], start, format);
  }
  const tga = await trimlet.crop(data, 'rect', 0, 0, 5, 3, { format: 'tga' });
  assert.deepEqual([tga[2], tga[12] | (tga[13] << 8), tga[14] | (tga[15] << 8)], [10, 5, 3]); // RLE, 5x3
  assert.deepEqual(jpegSize(await trimlet.crop(data, 'rect', 1, 1, 17, 9, { format: 'jpg' })), [17, 9]);
});

test('quality, background and lossless WebP reach the encoder', async () => {
  const q50 = await trimlet.crop(data, 'auto', { format: 'jpg', quality: 50 });
  assert.deepEqual(await trimlet.crop(data, 'auto', { format: 'jpg', quality: 90 }), await trimlet.crop(data, 'auto', { format: 'jpg' }));
  assert.ok(q50.length < (await trimlet.crop(data, 'auto', { format: 'jpg' })).length);
  const clear = png({ w: 8, h: 6, px: new Uint8Array(8 * 6 * 4).fill(0).map((_, i) => (i % 4 === 3 ? 0 : 90)) });
  for (const background of [[10, 11, 12], Uint8Array.of(10, 11, 12), '0a0b0c', '#0A0B0C']) {
    const bmp = await trimlet.crop(clear, 'rect', 0, 0, 4, 4, { format: 'bmp', background });
    assert.deepEqual([...bmp.subarray(bmp[10], bmp[10] + 3)], [12, 11, 10], String(background)); // BGR
  }
  if (await trimlet.has('webp')) {
    const img = gradient(40, 30);
    const webp = await trimlet.crop(png(img), 'rect', 5, 5, 20, 10, { format: 'webp', lossless: true });
    const back = readPng(await trimlet.crop(webp, 'rect', 0, 0, 20, 10));
    assert.deepEqual(back.px, cut(img, 5, 5, 20, 10).px);
  }
});

test('orientation: upright by default, stored on request; lossless keeps the blocks', async () => {
  const stored = await trimlet.crop(png(gradient(40, 24)), 'rect', 0, 0, 40, 24, { format: 'jpg', quality: 95 });
  const turned = withOrientation(stored, 6); // shown turned 90 degrees clockwise
  assert.deepEqual(await trimlet.plan(turned, 'auto', 0), box(0, 0, 24, 40, 24, 40));
  assert.deepEqual(await trimlet.plan(turned, 'auto', 0, { orientation: 'stored' }), box(0, 0, 40, 24, 40, 24));
  assert.deepEqual(jpegSize(await trimlet.crop(turned, 'rect', 0, 0, 20, 30, { format: 'jpg' })), [20, 30]);
  if (!(await trimlet.has('lossless'))) return;
  // The box moves up and left onto the 16-pixel grid of this 4:2:0 file.
  assert.deepEqual(await trimlet.plan(stored, 'rect', 18, 3, 16, 16, { lossless: true, format: 'jpg' }),
    box(16, 0, 18, 19, 40, 24));
  const out = await trimlet.crop(stored, 'rect', 18, 3, 16, 16, { lossless: true, format: 'jpg' });
  assert.deepEqual(jpegSize(out), [18, 19]);
  if (!noNative) {
    assert.deepEqual(out, nativeCrop(stored, ['rect', '18', '3', '16', '16', '--lossless'], 'jpg'));
  }
});

test('position and resize', async () => {
  const tall = png(gradient(40, 80));
  const wide = png(gradient(80, 40));
  for (const [name, value] of Object.entries(trimlet.Position)) {
    if (value >= trimlet.Position.ENTROPY) continue;
    const y = name.startsWith('NORTH') ? 0 : name.startsWith('SOUTH') ? 40 : 20;
    const x = name.endsWith('EAST') ? 40 : name.endsWith('WEST') ? 0 : 20;
    for (const position of [name.toLowerCase(), value]) {
      const t = await trimlet.plan(tall, 'ratio', 1, 1, { position });
      const w = await trimlet.plan(wide, 'ratio', 1, 1, { position });
      assert.deepEqual([t.x, t.y, w.x, w.y], [0, y, x, 0], name);
    }
  }
  assert.deepEqual(await trimlet.plan(tall, 'ratio', 1, 1, { position: 'attention' }).then((b) => b.w), 40);
  for (const [resize, size] of [[[20, 20], [20, 10]], [[20, 0], [20, 10]], [[null, 8], [16, 8]],
    [[0, 0], [80, 40]], [undefined, [80, 40]], [[200, 200], [80, 40]]]) {
    const b = await trimlet.plan(wide, 'rect', 0, 0, 80, 40, { resize });
    assert.deepEqual([b.outputW, b.outputH], size, String(resize));
    const out = readPng(await trimlet.crop(wide, 'rect', 0, 0, 80, 40, { resize }));
    assert.deepEqual([out.w, out.h], size, String(resize));
  }
});

test('byte for byte what the native library writes (PNG, JPEG, WebP)', { skip: noNative }, async () => {
  const photo = withOrientation(await trimlet.crop(ppm(gradient(300, 200)), 'rect', 0, 0, 300, 200,
    { format: 'jpg', quality: 85 }), 8);
  const cases = [ // native program's words, the package's call
    [['aspect', '1:1'], 'png', ['ratio', 1, 1]],
    [['rect', '10', '20', '90', '70', '--as-stored'], 'png', ['rect', 10, 20, 90, 70, { orientation: 'stored' }]],
    [['edges', '5', '10', '15', '20', '--strip'], 'jpg', ['edges', 5, 10, 15, 20, { format: 'jpg', metadata: 'strip' }]],
    [['thumb', '64x48', '--position', 'attention'], 'jpg',
      ['ratio', 64, 48, { format: 'jpg', resize: [64, 48], position: 'attention' }]],
    [['auto', '--quality', '70'], 'webp', ['auto', { format: 'webp', quality: 70 }]],
    [['aspect', '4:3', '--png-rgba', '--effort', '1'], 'png', ['ratio', 4, 3, { pngCompact: false, effort: 1 }]],
    [['edges', '5', '5', '5', '5', '--verify', 'region', '--effort', '10'], 'png',
      ['edges', 5, 5, 5, 5, { verify: 'region', effort: 10 }]],
  ];
  for (const [words, ext, call] of cases) {
    if (ext === 'webp' && !(await trimlet.has('webp'))) continue;
    const [rule, ...args] = call;
    assert.deepEqual(await trimlet.crop(photo, rule, ...args), nativeCrop(photo, words, ext), words.join(' '));
  }
});

test('every failure the input can cause has its class and the library\'s message', async () => {
  const half = data.subarray(0, data.length >> 1);
  const uniform = png({ w: 9, h: 9, px: new Uint8Array(9 * 9 * 4).fill(255) });
  const cases = [ // call, class, status, message
    [() => trimlet.crop(new TextEncoder().encode('not an image'), 'auto'), trimlet.UnsupportedError, 'UNSUPPORTED',
      "cannot decode '<memory>': unknown image type"],
    [() => trimlet.plan(new Uint8Array(0), 'auto'), trimlet.UnsupportedError, 'UNSUPPORTED', null],
    [() => trimlet.crop(half, 'auto'), trimlet.CorruptError, 'CORRUPT', null],
    [() => trimlet.crop(data, 'rect', 0, 0, 0, 5), trimlet.ArgumentError, 'ARGUMENT', 'rect: width/height must be > 0 (got 0x5)'],
    [() => trimlet.crop(data, 'aspect', 7), trimlet.ArgumentError, 'ARGUMENT', 'aspect: ratio 7 out of range 0..4'],
    [() => trimlet.crop(data, 'ratio', 0, 1), trimlet.ArgumentError, 'ARGUMENT', 'ratio: parts must be > 0 (got 0:1)'],
    [() => trimlet.crop(data, 9), trimlet.ArgumentError, 'ARGUMENT', 'crop: unknown rule 9'],
    [() => trimlet.crop(data, 'auto', { format: 'xyz' }), trimlet.ArgumentError, 'ARGUMENT', null],
    [() => trimlet.crop(data, 'rect', 100, 0, 5, 5), trimlet.RuleError, 'RULE', 'rect: 100,0 5x5 does not overlap the 60x40 image'],
    [() => trimlet.crop(uniform, 'auto'), trimlet.RuleError, 'RULE', 'auto: image is uniform (nothing to crop to, tolerance 10)'],
    [() => trimlet.crop(data, 'auto', { maxPixels: 2399 }), trimlet.TooLargeError, 'TOO_LARGE',
      'image too large: 60x40 is more than 2399 pixels (max_pixels)'],
    [() => trimlet.crop(data, 'auto', { format: 'avif' }), trimlet.UnavailableError, 'UNAVAILABLE', null],
  ];
  for (const [call, Kind, status, message] of cases) {
    await assert.rejects(call, (e) => {
      assert.ok(e instanceof Kind && e instanceof trimlet.TrimletError && e instanceof Error, e.name);
      assert.equal(e.name, Kind.name);
      assert.equal(e.status, trimlet.Status[status]);
      if (message !== null) assert.equal(e.message, message);
      return true;
    });
  }
  assert.deepEqual(await trimlet.plan(data, 'auto', { maxPixels: 2400 }), await trimlet.plan(data, 'auto', { maxPixels: -1 }));
  // The classes the library has no way to reach from memory still have theirs.
  assert.deepEqual([trimlet.ReadError, trimlet.WriteError, trimlet.OutOfMemoryError].map((k) => k.name),
    ['ReadError', 'WriteError', 'OutOfMemoryError']);
});

test('wrong arguments are JavaScript errors before the call', async () => {
  const cases = [
    [TypeError, () => trimlet.crop(data, 'rect', 1, 2)],
    [TypeError, () => trimlet.crop(data, 'rect', 0, 0, '5', 5)],
    [TypeError, () => trimlet.crop(data, 'rect', 0, 0, true, 5)],
    [TypeError, () => trimlet.crop(data, 'auto', 2.5)],
    [TypeError, () => trimlet.crop(data, true)],
    [TypeError, () => trimlet.crop('photo.jpg', 'auto')],
    [TypeError, () => trimlet.crop(data, 'auto', { quality: '90' })],
    [TypeError, () => trimlet.crop(data, 'auto', { colour: 'red' })],
    [TypeError, () => trimlet.crop(data, 'auto', { lossless: 1 })],
    [RangeError, () => trimlet.crop(data, 'trim')],
    [RangeError, () => trimlet.crop(data, 'rect', 0, 0, 2 ** 31, 1)],
    [RangeError, () => trimlet.crop(data, 'auto', { quality: 0 })],
    [RangeError, () => trimlet.crop(data, 'auto', { quality: 101 })],
    [RangeError, () => trimlet.crop(data, 'auto', { background: '12345' })],
    [RangeError, () => trimlet.crop(data, 'auto', { background: [1, 2, 256] })],
    [RangeError, () => trimlet.crop(data, 'auto', { orientation: 'sideways' })],
    [RangeError, () => trimlet.crop(data, 'auto', { metadata: 'some' })],
    [RangeError, () => trimlet.crop(data, 'ratio', 1, 1, { position: 'center' })],
    [RangeError, () => trimlet.crop(data, 'ratio', 1, 1, { position: 11 })],
    [RangeError, () => trimlet.crop(data, 'auto', { resize: [-1, 64] })],
    [TypeError, () => trimlet.crop(data, 'auto', { resize: 64 })],
    [TypeError, () => trimlet.crop(data, 'auto', { resize: [64.5, 64] })],
    [TypeError, () => trimlet.has(1)],
  ];
  for (const [Kind, call] of cases) await assert.rejects(call, Kind, call.toString());
});

test('the module: versions, features, and memory that stays put over many calls', async () => {
  assert.equal(trimlet.version, '1.3.0');
  assert.match(await trimlet.libraryVersion(), /^\d+\.\d+\.\d+$/);
  assert.equal(await trimlet.has('no such feature'), false);
  assert.equal(await trimlet.has('heic'), false);
  const m = await trimlet.load();
  const big = png(gradient(600, 400));
  await trimlet.crop(big, 'ratio', 1, 1, { format: 'jpg' });
  const size = m.HEAPU8.length;
  for (let i = 0; i < 120; i++) {
    await trimlet.crop(big, 'ratio', 1, 1 + (i % 3), { format: i % 2 ? 'jpg' : 'png' });
    await trimlet.plan(data, 'auto').catch(() => {});
    await trimlet.crop(data.subarray(0, 100), 'auto').catch(() => {});
  }
  assert.equal(m.HEAPU8.length, size);
});

// Node 18 can switch WebAssembly SIMD off (later Nodes refuse the flag), as
// an engine without it would be: the first call says what is missing.
const noSimd = '--no-experimental-wasm-simd';
const simdSwitch = spawnSync(process.execPath, [noSimd, '-e', '0']).status === 0 ? false : `this Node has no ${noSimd}`;

test('an engine without WebAssembly SIMD gets a plain reason', { skip: simdSwitch }, () => {
  const script = `import('${new URL('../node.js', import.meta.url)}').then((t) => t.crop(new Uint8Array(8), 'auto'))`
    + '.catch((e) => { console.log(e.message); })';
  const r = spawnSync(process.execPath, [noSimd, '-e', script], { encoding: 'utf8' });
  assert.match(r.stdout, /^trimlet: this JavaScript engine has no WebAssembly SIMD/);
});
