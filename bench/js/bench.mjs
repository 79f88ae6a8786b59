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
// Each case runs once to warm up, then N times (default 5), the tools in
// turn; the median is printed in milliseconds, with each tool's time as a
// multiple of trimlet's: the time taken, and the CPU time the process used
// meanwhile on all its threads (trimlet runs on one; sharp and wasm-vips
// spread a call over several, which on a loaded machine shortens their wall
// time; the native program is a child process, so it has no CPU figure). The picture is synthetic (smooth gradients with
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

const jpeg = await trimlet.crop(photo(4000, 3000), 'edges', 0, 0, 0, 0, { format: 'jpg' });
const rect = [1500, 1000, 1000, 1000];
const RECT = 'rect 1000x1000 -> JPEG';
const THUMB = '1:1 thumbnail 256 -> JPEG';
const LOSSLESS = 'rect 1000x1000 lossless';
const tools = []; // [tool, case, run]

tools.push(['trimlet (wasm)', RECT, () => trimlet.crop(jpeg, 'rect', ...rect, { format: 'jpg' })]);
tools.push(['trimlet (wasm)', THUMB, () => trimlet.crop(jpeg, 'ratio', 1, 1, { format: 'jpg', resize: [256, 256] })]);
tools.push(['trimlet (wasm)', LOSSLESS, () => trimlet.crop(jpeg, 'rect', ...rect, { format: 'jpg', lossless: true })]);

const program = join(fileURLToPath(new URL('../../', import.meta.url)), 'build', 'tools', 'trimlet');
const dir = mkdtempSync(join(tmpdir(), 'trimlet-bench-'));
if (existsSync(program)) {
  writeFileSync(join(dir, 'in.jpg'), jpeg);
  const native = (...words) => () => {
    const r = spawnSync(program, [...words, join(dir, 'in.jpg'), '-o', join(dir, 'out.jpg'), '--strip']);
    if (r.status !== 0) throw new Error(String(r.stderr));
  };
  tools.push(['trimlet (native program)', RECT, native('rect', ...rect.map(String))]);
  tools.push(['trimlet (native program)', THUMB, native('thumb', '256x256')]);
  tools.push(['trimlet (native program)', LOSSLESS, native('rect', ...rect.map(String), '--lossless')]);
}

if (peers) {
  const require = createRequire(join(peers, 'package.json'));
  try {
    const sharp = require('sharp');
    tools.push(['sharp (native)', RECT, () => sharp(jpeg).extract({ left: rect[0], top: rect[1], width: rect[2], height: rect[3] }).jpeg({ quality: 90 }).toBuffer()]);
    tools.push(['sharp (native)', THUMB, () => sharp(jpeg).resize(256, 256, { fit: 'cover' }).jpeg({ quality: 90 }).toBuffer()]);
  } catch (e) {
    console.error(`sharp: ${e.message}`);
  }
  try {
    const Vips = (await import(join(peers, 'node_modules', 'wasm-vips', 'lib', 'vips-node.mjs'))).default;
    const vips = await Vips();
    tools.push(['wasm-vips', RECT, () => {
      const img = vips.Image.newFromBuffer(jpeg);
      const out = img.extractArea(...rect).writeToBuffer('.jpg', { Q: 90 });
      img.delete();
      return out;
    }]);
    tools.push(['wasm-vips', THUMB, () => {
      const img = vips.Image.thumbnailBuffer(jpeg, 256, { height: 256, crop: 'centre' });
      const out = img.writeToBuffer('.jpg', { Q: 90 });
      img.delete();
      return out;
    }]);
  } catch (e) {
    console.error(`wasm-vips: ${e.message}`);
  }
}

// The tools take turns, run by run, so that a burst of load from elsewhere
// on a shared machine falls on all of them alike rather than on one.
const rows = [];
for (const what of [RECT, THUMB, LOSSLESS]) {
  const here = tools.filter((t) => t[1] === what);
  const times = here.map(() => []);
  const cpu = here.map(() => []);
  for (const [, , run] of here) await run();
  for (let i = 0; i < runs; i++) {
    for (let k = 0; k < here.length; k++) {
      const start = performance.now();
      const used = process.cpuUsage();
      await here[k][2]();
      times[k].push(performance.now() - start);
      const { user, system } = process.cpuUsage(used);
      cpu[k].push((user + system) / 1000);
    }
  }
  const median = (t) => t.sort((a, b) => a - b)[runs >> 1];
  here.forEach(([tool], k) => rows.push([tool, what, median(times[k]), tool.includes('program') ? null : median(cpu[k])]));
}
rmSync(dir, { recursive: true, force: true });

console.log(`12 MP JPEG (${(jpeg.length / 1e6).toFixed(1)} MB), Node ${process.version}, median of ${runs} warm runs\n`);
console.log('| tool | case | ms | trimlet (wasm) / tool | CPU ms | trimlet / tool |\n|---|---|--:|--:|--:|--:|');
for (const [tool, what, ms, cpu] of rows) {
  const ours = rows.find((r) => r[0] === 'trimlet (wasm)' && r[1] === what);
  const cpuText = cpu === null ? '' : `${cpu.toFixed(1)} | ${(ours[3] / cpu).toFixed(2)}`;
  console.log(`| ${tool} | ${what} | ${ms.toFixed(1)} | ${(ours[2] / ms).toFixed(2)} | ${cpuText || ' | '} |`);
}
process.exit(0);
