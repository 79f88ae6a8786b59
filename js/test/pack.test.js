// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// `npm pack` gives a tarball that installs offline into a scratch project,
// where the README's Node example runs as written, under the Node running
// the tests.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';

import { crop } from '../node.js';
import { gradient, jpegSize, ppm } from './support.js';

const js = fileURLToPath(new URL('..', import.meta.url));
const npm = spawnSync('npm', ['--version']).status === 0 ? false : 'npm is not installed';

test('the packed tarball installs offline and runs the README example', { skip: npm }, async () => {
  const dir = mkdtempSync(join(tmpdir(), 'trimlet-pack-'));
  try {
    const quiet = ['--no-audit', '--no-fund', '--loglevel=error'];
    execFileSync('npm', ['pack', '--pack-destination', dir, ...quiet], { cwd: js, stdio: 'pipe' });
    const tarball = readdirSync(dir).find((name) => name.endsWith('.tgz'));
    assert.equal(tarball, 'trimlet-1.3.0.tgz');
    const project = join(dir, 'project');
    execFileSync('mkdir', [project]);
    writeFileSync(join(project, 'package.json'), '{"name": "scratch", "private": true, "type": "module"}\n');
    execFileSync('npm', ['install', '--offline', ...quiet, join(dir, tarball)], { cwd: project, stdio: 'pipe' });

    const readme = readFileSync(join(js, '..', 'README.md'), 'utf8');
    const section = readme.slice(readme.indexOf('## JavaScript'));
    const example = /```js\n([\s\S]*?)```/.exec(section)[1];
    writeFileSync(join(project, 'example.mjs'), example);
    writeFileSync(join(project, 'photo.jpg'), await crop(ppm(gradient(400, 300)), 'auto', 0, { format: 'jpg' }));
    execFileSync(process.execPath, ['example.mjs'], { cwd: project, stdio: 'pipe' });
    assert.deepEqual(jpegSize(readFileSync(join(project, 'avatar.jpg'))), [256, 256]);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
