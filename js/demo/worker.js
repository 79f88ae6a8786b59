// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The demo's worker: every crop and plan runs here, off the page's thread.
import { crop, plan } from '../index.js';

self.onmessage = async ({ data: { id, what, input, rule, params, options } }) => {
  const start = performance.now();
  try {
    const box = await plan(input, rule, ...params, options);
    const bytes = what === 'crop' ? await crop(input, rule, ...params, options) : null;
    self.postMessage({ id, box, bytes, ms: performance.now() - start }, bytes ? [bytes.buffer] : []);
  } catch (e) {
    self.postMessage({ id, error: { name: e.name, message: e.message, status: e.status } });
  }
};
