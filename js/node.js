// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The package in Node: the .wasm is read from beside this file.
import { readFile } from 'node:fs/promises';
import { setWasmReader } from './wasm.js';

setWasmReader(() => readFile(new URL('./dist/trimlet.wasm', import.meta.url)));

export * from './lib.js';
