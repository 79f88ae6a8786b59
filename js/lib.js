// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The package's API over the WebAssembly module, shared by the Node entry
// (node.js) and every other host (index.js); they differ only in how they
// read the .wasm file's bytes.

import createTrimlet from './dist/trimlet.mjs';
import { readWasm } from './wasm.js';

export const version = '1.3.0';

/** enum trimlet_rule. */
export const Rule = Object.freeze({ RECT: 0, ASPECT: 1, AUTO: 2, EDGES: 3, RATIO: 4 });

/** trimlet_options.position: where "aspect" and "ratio" place their box. */
export const Position = Object.freeze({
  CENTRE: 0, NORTH: 1, NORTHEAST: 2, EAST: 3, SOUTHEAST: 4, SOUTH: 5, SOUTHWEST: 6, WEST: 7,
  NORTHWEST: 8, ENTROPY: 9, ATTENTION: 10,
});

/** enum trimlet_status: the class of a failure. */
export const Status = Object.freeze({
  OK: 0, ARGUMENT: 1, RULE: 2, UNSUPPORTED: 3, CORRUPT: 4, TOO_LARGE: 5, READ: 6, WRITE: 7,
  NO_MEMORY: 8, UNAVAILABLE: 9,
});

/** A crop or plan failed: `status` is its class, `message` the library's line. */
export class TrimletError extends Error {
  constructor(message, status) {
    super(message);
    this.name = new.target.name;
    this.status = status;
  }
}
/** An argument, parameter or option out of range, or an unknown rule. */
export class ArgumentError extends TrimletError {}
/** The rule leaves no rectangle on this image. */
export class RuleError extends TrimletError {}
/** The input is no image type the library knows. */
export class UnsupportedError extends TrimletError {}
/** The input is damaged or truncated. */
export class CorruptError extends TrimletError {}
/** Over a size limit (32768 a side, maxPixels, ...). */
export class TooLargeError extends TrimletError {}
/** The input cannot be read. */
export class ReadError extends TrimletError {}
/** The output cannot be written. */
export class WriteError extends TrimletError {}
/** The library ran out of memory. */
export class OutOfMemoryError extends TrimletError {}
/** An option or format this build does not have. */
export class UnavailableError extends TrimletError {}

const ERRORS = [null, ArgumentError, RuleError, UnsupportedError, CorruptError, TooLargeError,
  ReadError, WriteError, OutOfMemoryError, UnavailableError];

const PARAM_COUNT = [4, 1, 1, 4, 2];
const DEFAULT_TOLERANCE = 10;
const INT_MIN = -(2 ** 31);
const INT_MAX = 2 ** 31 - 1;

// --- the module, loaded once ---------------------------------------------------

let pending = null;

// The smallest module with a SIMD instruction (i8x16.splat, i8x16.popcnt):
// trimlet.wasm needs WebAssembly SIMD for its resize filter.
const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0,
  10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]);

function loadFailure(e) {
  if (typeof WebAssembly === 'object' && !WebAssembly.validate(SIMD_PROBE)) {
    return new Error('trimlet: this JavaScript engine has no WebAssembly SIMD, which trimlet.wasm needs'
      + ' (Chrome 91, Firefox 89, Safari 16.4, Node 16.4 or later)', { cause: e });
  }
  return e;
}

async function wasmBytes(source) {
  if (source instanceof ArrayBuffer || ArrayBuffer.isView(source)) return source;
  const response = await fetch(source);
  if (!response.ok) throw new Error(`trimlet: cannot load ${source}: ${response.status}`);
  return response.arrayBuffer();
}

/**
 * Loads the WebAssembly module (the first crop does it anyway). `wasm` may
 * name where trimlet.wasm is served (a URL or string) or hold its bytes, for
 * hosts that move the file; by default it is read from beside this file.
 */
export function load(options = {}) {
  if (pending === null) {
    const source = options.wasm;
    pending = (source === undefined ? readWasm() : wasmBytes(source))
      .then((wasmBinary) => createTrimlet({ wasmBinary }).catch((e) => {
        throw loadFailure(e);
      }))
      .catch((e) => {
        pending = null;
        throw e;
      });
  }
  return pending;
}

// --- argument checks, as the Python module makes them --------------------------

function typeName(value) {
  if (value === null) return 'null';
  if (Array.isArray(value)) return 'Array';
  if (typeof value === 'object') return value.constructor ? value.constructor.name : 'object';
  return typeof value;
}

function whole(value, what, low = INT_MIN, high = INT_MAX) {
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new TypeError(`trimlet: ${what} must be an integer, not ${typeof value === 'number' ? value : typeName(value)}`);
  }
  if (value < low || value > high) {
    throw new RangeError(`trimlet: ${what} ${value} out of range ${low}..${high}`);
  }
  return value;
}

function ruleAndParams(rule, params) {
  let number;
  if (typeof rule === 'string') {
    number = Rule[rule.toUpperCase()];
    if (number === undefined) {
      throw new RangeError(`trimlet: unknown rule '${rule}' (${Object.keys(Rule).join(', ').toLowerCase()})`);
    }
  } else {
    number = whole(rule, 'rule');
  }
  let count = PARAM_COUNT[number];
  if (count === undefined) count = params.length; // the library refuses it with its own message
  if (number === Rule.AUTO && params.length === 0) params = [DEFAULT_TOLERANCE];
  if (params.length !== count) {
    throw new TypeError(`trimlet: rule '${rule}' takes ${count} parameter${count === 1 ? '' : 's'}, got ${params.length}`);
  }
  return [number, params.map((p) => whole(p, 'parameter'))];
}

function background(colour) {
  let parts = colour;
  if (typeof colour === 'string') {
    const text = colour.startsWith('#') ? colour.slice(1) : colour;
    if (!/^[0-9a-fA-F]{6}$/.test(text)) throw new RangeError(`trimlet: background '${colour}' is not RRGGBB`);
    parts = [0, 2, 4].map((i) => parseInt(text.slice(i, i + 2), 16));
  } else if (!Array.isArray(colour) && !(colour instanceof Uint8Array)) {
    throw new TypeError(`trimlet: background must be [r, g, b] or 'RRGGBB', not ${typeName(colour)}`);
  }
  if (parts.length !== 3) {
    throw new RangeError(`trimlet: background needs 3 values (red, green, blue), got ${parts.length}`);
  }
  return Uint8Array.from(parts, (v) => whole(v, 'background', 0, 255));
}

function choice(value, what, names) {
  if (typeof value !== 'string') throw new TypeError(`trimlet: ${what} must be a string, not ${typeName(value)}`);
  const i = names.indexOf(value.toLowerCase());
  if (i < 0) throw new RangeError(`trimlet: unknown ${what} '${value}' (${names.join(', ')})`);
  return i;
}

function position(value) {
  if (typeof value === 'string') {
    const number = Position[value.toUpperCase()];
    if (number === undefined) {
      throw new RangeError(`trimlet: unknown position '${value}' (${Object.keys(Position).join(', ').toLowerCase()})`);
    }
    return number;
  }
  return whole(value, 'position', 0, Object.keys(Position).length - 1);
}

function resize(value) {
  if (!Array.isArray(value) || value.length !== 2) {
    throw new TypeError(`trimlet: resize must be [width, height], not ${typeName(value)}`);
  }
  return value.map((side) => (side === null || side === undefined ? 0 : whole(side, 'resize', 0)));
}

// The options of one call, as trimlet_js_run takes them. Left out (or
// undefined): the program's defaults, upright and with metadata.
function options(caller, given) {
  const o = {
    format: null, quality: 0, background: null, lossless: 0, orient: 1, metadata: 1,
    maxPixels: 0, position: 0, resize: [0, 0], frames: 0, verify: 0, effort: 0, pngCompact: 1,
  };
  for (const [name, value] of Object.entries(given)) {
    if (value === undefined) continue;
    switch (name) {
      case 'format':
        if (typeof value !== 'string') throw new TypeError(`trimlet: format must be a string, not ${typeName(value)}`);
        o.format = value;
        break;
      case 'quality': o.quality = whole(value, 'quality', 1, 100); break;
      case 'background': o.background = background(value); break;
      case 'lossless':
        if (typeof value !== 'boolean') throw new TypeError(`trimlet: lossless must be true or false, not ${typeName(value)}`);
        o.lossless = value ? 1 : 0;
        break;
      case 'orientation': o.orient = 1 - choice(value, 'orientation', ['upright', 'stored']); break;
      case 'metadata': o.metadata = 1 - choice(value, 'metadata', ['keep', 'strip']); break;
      case 'maxPixels': o.maxPixels = whole(value, 'maxPixels', -Number.MAX_SAFE_INTEGER, Number.MAX_SAFE_INTEGER); break;
      case 'position': o.position = position(value); break;
      case 'resize': o.resize = resize(value); break;
      case 'frames': o.frames = -choice(value, 'frames', ['first', 'all']); break;
      case 'verify': o.verify = choice(value, 'verify', ['whole', 'region']); break;
      case 'effort': o.effort = whole(value, 'effort', 0, 10); break;
      case 'pngCompact':
        if (typeof value !== 'boolean') throw new TypeError(`trimlet: pngCompact must be true or false, not ${typeName(value)}`);
        o.pngCompact = value ? 1 : 0;
        break;
      default: throw new TypeError(`trimlet: ${caller}() got an unknown option '${name}'`);
    }
  }
  return o;
}

function splitArgs(args) {
  const last = args[args.length - 1];
  if (args.length > 0 && last !== null && typeof last === 'object' && !Array.isArray(last)) {
    return [args.slice(0, -1), last];
  }
  return [args, {}];
}

async function inputBytes(input) {
  if (input instanceof Uint8Array) return input;
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  if (typeof Blob !== 'undefined' && input instanceof Blob) return new Uint8Array(await input.arrayBuffer());
  throw new TypeError(`trimlet: input must be a Uint8Array, ArrayBuffer or Blob, not ${typeName(input)}`);
}

// --- one call ------------------------------------------------------------------

const INFO_INTS = 14;
const decoder = new TextDecoder();

function cString(heap, at) {
  let end = at;
  while (heap[end] !== 0) end += 1;
  return decoder.decode(heap.subarray(at, end));
}

async function run(caller, input, rule, args, toMemory) {
  const [params, given] = splitArgs(args);
  const [number, values] = ruleAndParams(rule, params);
  const o = options(caller, given);
  const data = await inputBytes(input);
  const m = await load();

  const held = [];
  const alloc = (n) => {
    const at = m._malloc(Math.max(1, n));
    if (at === 0) throw new OutOfMemoryError('out of memory', Status.NO_MEMORY);
    held.push(at);
    return at;
  };
  let result = 0;
  try {
    const inAt = alloc(data.length);
    m.HEAPU8.set(data, inAt);
    const paramsAt = alloc(4 * values.length);
    m.HEAP32.set(values, paramsAt >> 2);
    let formatAt = 0;
    if (o.format !== null) {
      const bytes = new TextEncoder().encode(o.format);
      formatAt = alloc(bytes.length + 1);
      m.HEAPU8.set(bytes, formatAt);
      m.HEAPU8[formatAt + bytes.length] = 0;
    }
    let backgroundAt = 0;
    if (o.background !== null) {
      backgroundAt = alloc(3);
      m.HEAPU8.set(o.background, backgroundAt);
    }
    const infoAt = alloc(4 * INFO_INTS);
    result = m._trimlet_js_run(inAt, data.length, number, paramsAt, toMemory ? 1 : 0, formatAt,
      o.quality, backgroundAt, o.lossless, o.orient, o.metadata, o.maxPixels, o.position,
      o.resize[0], o.resize[1], o.frames, o.verify, o.effort, o.pngCompact);
    if (result === 0) throw new OutOfMemoryError('out of memory', Status.NO_MEMORY);
    m._trimlet_js_info(result, infoAt);
    const info = m.HEAP32.slice(infoAt >> 2, (infoAt >> 2) + INFO_INTS);
    const status = info[0];
    if (status !== Status.OK) {
      const Kind = ERRORS[status] || TrimletError;
      throw new Kind(cString(m.HEAPU8, info[12] >>> 0), status);
    }
    const box = Object.freeze({
      x: info[1], y: info[2], w: info[3], h: info[4], imageW: info[5], imageH: info[6],
      outputW: info[7], outputH: info[8], frames: info[13],
    });
    const output = toMemory ? m.HEAPU8.slice(info[9] >>> 0, (info[9] >>> 0) + (info[10] >>> 0)) : null;
    return { box, output };
  } finally {
    m._trimlet_js_release(result);
    for (const at of held) m._free(at);
  }
}

/**
 * Crops `input` (the bytes of an image file) by `rule` and its integer
 * parameters; an options object may follow them. Resolves to the encoded
 * crop (PNG unless options.format says otherwise).
 */
export async function crop(input, rule, ...args) {
  return (await run('crop', input, rule, args, true)).output;
}

/**
 * The box `rule` would cut from `input`, and the size the crop would be
 * encoded at, without encoding anything. With the same options it agrees
 * with crop() on the box and on every failure.
 */
export async function plan(input, rule, ...args) {
  return (await run('plan', input, rule, args, false)).box;
}

/** Whether this build has a feature ("libjpeg-turbo", "lossless", "webp", ...). */
export async function has(feature) {
  if (typeof feature !== 'string') throw new TypeError(`trimlet: feature must be a string, not ${typeName(feature)}`);
  const m = await load();
  const bytes = new TextEncoder().encode(feature);
  const at = m._malloc(bytes.length + 1);
  if (at === 0) throw new OutOfMemoryError('out of memory', Status.NO_MEMORY);
  try {
    m.HEAPU8.set(bytes, at);
    m.HEAPU8[at + bytes.length] = 0;
    return m._trimlet_has(at) === 1;
  } finally {
    m._free(at);
  }
}

/** The version of the library inside the module, e.g. "1.2.0". */
export async function libraryVersion() {
  const m = await load();
  return cString(m.HEAPU8, m._trimlet_version() >>> 0);
}
