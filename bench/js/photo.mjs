// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The benchmarks' picture: a PPM of smooth gradients with fine texture, so
// that its JPEG is about as costly to decode as a photo's.
export function photo(w, h) {
  const head = new TextEncoder().encode(`P6\n${w} ${h}\n255\n`);
  const out = new Uint8Array(head.length + w * h * 3);
  out.set(head);
  let seed = 1;
  for (let y = 0, at = head.length; y < h; y++) {
    for (let x = 0; x < w; x++) {
      seed = (seed * 1103515245 + 12345) >>> 0;
      const n = (seed >>> 28) - 8;
      out[at++] = 128 + 90 * Math.sin(x / 370) * Math.cos(y / 290) + n;
      out[at++] = 110 + 80 * Math.sin((x + y) / 510) + n;
      out[at++] = 100 + 70 * Math.cos((x - 2 * y) / 430) + n;
    }
  }
  return out;
}
