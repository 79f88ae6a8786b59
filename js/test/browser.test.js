// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The demo page in headless Chromium (Debian's, driven by playwright-core),
// served by a tiny static server: a 12 MP photo stored sideways is cropped
// to 1:1 upright in the page's Web Worker, and the crop must be the native
// program's, byte for byte. A screenshot is left in test/artefacts/.
// Skipped without playwright-core (npm install) or /usr/bin/chromium, unless
// TRIMLET_BROWSER_REQUIRED is set (CI).
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { extname, join, normalize } from 'node:path';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';

import { crop } from '../node.js';
import { gradient, jpegSize, nativeCrop, noNative, ppm, withOrientation } from './support.js';

const js = fileURLToPath(new URL('..', import.meta.url));
const chromiumPath = process.env.TRIMLET_CHROMIUM || '/usr/bin/chromium';
// playwright-core ends the process on a Node older than its own minimum,
// so that is read from its package.json before it is imported.
let playwright = null;
let nodeFloor = 0;
try {
  nodeFloor = Number(/\d+/.exec(createRequire(import.meta.url)('playwright-core/package.json').engines.node)[0]);
  if (Number(process.versions.node.split('.')[0]) >= nodeFloor) playwright = await import('playwright-core');
} catch {
  // reported below
}
const why = !playwright && nodeFloor ? `playwright-core needs Node ${nodeFloor} or later (this is ${process.version})`
  : !playwright ? 'playwright-core is not installed (npm install in js/)'
  : !existsSync(chromiumPath) ? `no Chromium at ${chromiumPath} (apt-get install chromium)`
    : noNative;
if (why && process.env.TRIMLET_BROWSER_REQUIRED) throw new Error(`browser test required: ${why}`);

const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.wasm': 'application/wasm' };

function serve(root) {
  const server = createServer((req, res) => {
    const path = normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname));
    const file = join(root, path);
    if (!file.startsWith(root) || !existsSync(file)) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'content-type': TYPES[extname(file)] || 'application/octet-stream' });
    res.end(readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

test('the demo crops a 12 MP photo to 1:1 upright in a Web Worker', { skip: why, timeout: 180000 }, async () => {
  // 4000 x 3000 as stored, Orientation 6: 3000 x 4000 upright.
  const photo = withOrientation(await crop(ppm(gradient(4000, 3000)), 'rect', 0, 0, 4000, 3000,
    { format: 'jpg', quality: 85 }), 6);
  const server = await serve(js);
  const profile = mkdtempSync(join(tmpdir(), 'trimlet-chromium-'));
  const context = await playwright.chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await context.newPage();
    const problems = [];
    page.on('pageerror', (e) => problems.push(e.message));
    await page.goto(`http://127.0.0.1:${server.address().port}/demo/index.html`);
    await page.setInputFiles('#file', { name: 'photo.jpg', mimeType: 'image/jpeg', buffer: Buffer.from(photo) });
    await page.waitForFunction(() => !document.getElementById('crop').disabled, null, { timeout: 60000 });
    assert.match(await page.textContent('#status'), /3000 x 4000 upright/);
    await page.selectOption('#ratio', '1:1');
    await page.click('#crop');
    await page.waitForFunction(() => window.trimletDemo, null, { timeout: 120000 });
    const got = await page.evaluate(() => ({
      bytes: btoa(Array.from(window.trimletDemo.bytes, (b) => String.fromCharCode(b)).join('')),
      box: window.trimletDemo.box,
      lossless: window.trimletDemo.lossless,
    }));
    mkdirSync(join(js, 'test', 'artefacts'), { recursive: true });
    await page.screenshot({ path: join(js, 'test', 'artefacts', 'demo.png'), fullPage: true });
    assert.deepEqual(problems, []);

    const bytes = new Uint8Array(Buffer.from(got.bytes, 'base64'));
    const expected = nativeCrop(photo, ['aspect', '1:1', ...(got.lossless ? ['--lossless'] : [])], 'jpg');
    assert.deepEqual(jpegSize(bytes), [got.box.w, got.box.h]);
    assert.equal(got.box.imageW, 3000);
    if (!got.lossless) assert.deepEqual([got.box.w, got.box.h], [3000, 3000]);
    assert.ok(bytes.length === expected.length && Buffer.compare(bytes, expected) === 0,
      'the worker\'s crop is the native program\'s');
  } finally {
    await context.close();
    server.close();
    rmSync(profile, { recursive: true, force: true });
  }
});
