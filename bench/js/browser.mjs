// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The package in headless Chromium against a canvas crop (createImageBitmap,
// drawImage, convertToBlob) on the same 12 MP JPEG as bench.mjs, both on the
// page's main thread. Needs playwright-core in js/ (npm install there) and
// Debian's chromium:
//
//   node bench/js/browser.mjs [--runs N]
import { existsSync, readFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { extname, join, normalize } from 'node:path';
import { fileURLToPath } from 'node:url';

import { crop } from '../../js/node.js';
import { photo } from './photo.mjs';

const runsAt = process.argv.indexOf('--runs');
const runs = runsAt >= 0 ? Number(process.argv[runsAt + 1]) : 5;
const js = fileURLToPath(new URL('../../js/', import.meta.url));
const { chromium } = createRequire(join(js, 'package.json'))('playwright-core');

const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.wasm': 'application/wasm' };
const server = createServer((req, res) => {
  const file = join(js, normalize(new URL(req.url, 'http://x').pathname));
  if (!file.startsWith(js) || !existsSync(file)) return res.writeHead(404).end();
  res.writeHead(200, { 'content-type': TYPES[extname(file)] || 'application/octet-stream' }).end(readFileSync(file));
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const profile = mkdtempSync(join(tmpdir(), 'trimlet-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
const page = await context.newPage();
await page.goto(`http://127.0.0.1:${server.address().port}/demo/index.html`);
const jpeg = await crop(photo(4000, 3000), 'edges', 0, 0, 0, 0, { format: 'jpg' });
const rows = await page.evaluate(async ({ base64, runs }) => {
  const trimlet = await import('/index.js');
  const blob = new Blob([Uint8Array.from(atob(base64), (c) => c.charCodeAt(0))], { type: 'image/jpeg' });
  // The two take turns, run by run, so that load from elsewhere falls on both.
  const time = async (a, b) => {
    await a();
    await b();
    const t = [[], []];
    for (let i = 0; i < runs; i++) {
      for (const [k, run] of [a, b].entries()) {
        const start = performance.now();
        await run();
        t[k].push(performance.now() - start);
      }
    }
    return t.map((list) => list.sort((x, y) => x - y)[list.length >> 1]);
  };
  const canvas = async (sx, sy, sw, sh, w, h) => {
    const bitmap = await createImageBitmap(blob);
    const c = new OffscreenCanvas(w, h);
    c.getContext('2d').drawImage(bitmap, sx, sy, sw, sh, 0, 0, w, h);
    bitmap.close();
    return c.convertToBlob({ type: 'image/jpeg', quality: 0.9 });
  };
  const [rectOurs, rectCanvas] = await time(() => trimlet.crop(blob, 'rect', 1500, 1000, 1000, 1000, { format: 'jpg' }),
    () => canvas(1500, 1000, 1000, 1000, 1000, 1000));
  const [thumbOurs, thumbCanvas] = await time(() => trimlet.crop(blob, 'ratio', 1, 1, { format: 'jpg', resize: [256, 256] }),
    () => canvas(500, 0, 3000, 3000, 256, 256));
  return [
    ['trimlet (wasm)', 'rect 1000x1000 -> JPEG', rectOurs],
    ['canvas', 'rect 1000x1000 -> JPEG', rectCanvas],
    ['trimlet (wasm)', '1:1 thumbnail 256 -> JPEG', thumbOurs],
    ['canvas', '1:1 thumbnail 256 -> JPEG', thumbCanvas],
  ];
}, { base64: Buffer.from(jpeg).toString('base64'), runs });
await context.close();
server.close();
rmSync(profile, { recursive: true, force: true });
console.log(`12 MP JPEG, Chromium ${context.browser()?.version() ?? ''}, median of ${runs} warm runs\n`);
console.log('| tool | case | ms |\n|---|---|--:|');
for (const [tool, what, ms] of rows) console.log(`| ${tool} | ${what} | ${ms.toFixed(1)} |`);
