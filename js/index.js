// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The package in browsers, Web Workers and bundlers: the .wasm is fetched
// from beside this file (bundlers follow the `new URL(..., import.meta.url)`
// and copy it); load({ wasm }) names another place.
import { setWasmReader } from './wasm.js';

setWasmReader(async () => {
  const url = new URL('./dist/trimlet.wasm', import.meta.url);
  const response = await fetch(url);
  if (!response.ok) throw new Error(`trimlet: cannot load ${url}: ${response.status}`);
  return response.arrayBuffer();
});

export * from './lib.js';
