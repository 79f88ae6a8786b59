// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The JavaScript package's speed on a 12 MP JPEG in Node, beside sharp
// (native libvips) and wasm-vips when a folder holding them is given, and
// the native trimlet program (timed with its start-up and file I/O):
//
//   scripts/build-js.sh
//   mkdir /tmp/peers && cd /tmp/peers && npm init -y && npm install sharp wasm-vips   # development only
//   node bench/js/bench.mjs [/tmp/peers] [--runs N]
//
// Each case runs once to warm up, then N times (default 5); the median is
// printed in milliseconds. The picture is synthetic (smooth gradients with
// fine texture, 4000 x 3000, quality 90), made by the package itself.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

import * as trimlet from '../../js/node.js';
import { photo } from './photo.mjs';

const args = process.argv.slice(2);
const runsAt = args.indexOf('--runs');
const runs = runsAt >= 0 ? Number(args.splice(runsAt, 2)[1]) : 5;
const peers = args[0];

async function time(run) {
  await run();
  const t = [];
  for (let i = 0; i < runs; i++) {
    const start = performance.now();
    await run();
    t.push(performance.now() - start);
  }
  t.sort((a, b) => a - b);
  return t[t.length >> 1];
}

const jpeg = await trimlet.crop(photo(4000, 3000), 'edges', 0, 0, 0, 0, { format: 'jpg' });
const rect = [1500, 1000, 1000, 1000];
const rows = [];
const row = async (tool, what, run) => rows.push([tool, what, await time(run)]);

await row('trimlet (wasm)', 'rect 1000x1000 -> JPEG', () => trimlet.crop(jpeg, 'rect', ...rect, { format: 'jpg' }));
await row('trimlet (wasm)', '1:1 thumbnail 256 -> JPEG', () => trimlet.crop(jpeg, 'ratio', 1, 1, { format: 'jpg', resize: [256, 256] }));
await row('trimlet (wasm)', 'rect 1000x1000 lossless', () => trimlet.crop(jpeg, 'rect', ...rect, { format: 'jpg', lossless: true }));

const program = join(fileURLToPath(new URL('../../', import.meta.url)), 'build', 'tools', 'trimlet');
if (existsSync(program)) {
  const dir = mkdtempSync(join(tmpdir(), 'trimlet-bench-'));
  writeFileSync(join(dir, 'in.jpg'), jpeg);
  const native = (...words) => () => {
    const r = spawnSync(program, [...words, join(dir, 'in.jpg'), '-o', join(dir, 'out.jpg'), '--strip']);
    if (r.status !== 0) throw new Error(String(r.stderr));
  };
  await row('trimlet (native program)', 'rect 1000x1000 -> JPEG', native('rect', ...rect.map(String)));
  await row('trimlet (native program)', '1:1 thumbnail 256 -> JPEG', native('thumb', '256x256'));
  await row('trimlet (native program)', 'rect 1000x1000 lossless', native('rect', ...rect.map(String), '--lossless'));
  rmSync(dir, { recursive: true, force: true });
}

if (peers) {
  const require = createRequire(join(peers, 'package.json'));
  try {
    const sharp = require('sharp');
    await row('sharp (native)', 'rect 1000x1000 -> JPEG', () => sharp(jpeg).extract({ left: rect[0], top: rect[1], width: rect[2], height: rect[3] }).jpeg({ quality: 90 }).toBuffer());
    await row('sharp (native)', '1:1 thumbnail 256 -> JPEG', () => sharp(jpeg).resize(256, 256, { fit: 'cover' }).jpeg({ quality: 90 }).toBuffer());
  } catch (e) {
    console.error(`sharp: ${e.message}`);
  }
  try {
    const Vips = (await import(join(peers, 'node_modules', 'wasm-vips', 'lib', 'vips-node.mjs'))).default;
    const vips = await Vips();
    await row('wasm-vips', 'rect 1000x1000 -> JPEG', () => {
      const img = vips.Image.newFromBuffer(jpeg);
      const out = img.extractArea(...rect).writeToBuffer('.jpg', { Q: 90 });
      img.delete();
      return out;
    });
    await row('wasm-vips', '1:1 thumbnail 256 -> JPEG', () => {
      const img = vips.Image.thumbnailBuffer(jpeg, 256, { height: 256, crop: 'centre' });
      const out = img.writeToBuffer('.jpg', { Q: 90 });
      img.delete();
      return out;
    });
  } catch (e) {
    console.error(`wasm-vips: ${e.message}`);
  }
}

console.log(`12 MP JPEG (${(jpeg.length / 1e6).toFixed(1)} MB), Node ${process.version}, median of ${runs} warm runs\n`);
console.log('| tool | case | ms |\n|---|---|--:|');
for (const [tool, what, ms] of rows) console.log(`| ${tool} | ${what} | ${ms.toFixed(1)} |`);
process.exit(0);
