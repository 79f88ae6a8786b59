// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// How the entry (node.js or index.js) reads trimlet.wasm's bytes.
let reader = null;

export function setWasmReader(read) {
  reader = read;
}

export function readWasm() {
  return reader();
}
