// trimlet: crop image files. SPDX-License-Identifier: MIT

/** The package's version. */
export declare const version: string;

export declare const Rule: Readonly<{ RECT: 0; ASPECT: 1; AUTO: 2; EDGES: 3; RATIO: 4 }>;
export declare const Position: Readonly<{
  CENTRE: 0; NORTH: 1; NORTHEAST: 2; EAST: 3; SOUTHEAST: 4; SOUTH: 5; SOUTHWEST: 6; WEST: 7;
  NORTHWEST: 8; ENTROPY: 9; ATTENTION: 10;
}>;
export declare const Status: Readonly<{
  OK: 0; ARGUMENT: 1; RULE: 2; UNSUPPORTED: 3; CORRUPT: 4; TOO_LARGE: 5; READ: 6; WRITE: 7;
  NO_MEMORY: 8; UNAVAILABLE: 9;
}>;

/**
 * "rect" x, y, w, h; "aspect" ratio index 0..4 (1:1, 4:3, 16:9, 3:2, 9:16);
 * "auto" tolerance percent (10 when left out); "edges" top, right, bottom,
 * left percentages; "ratio" width part, height part. Names in any case, or
 * the numbers of Rule.
 */
export type RuleName = 'rect' | 'aspect' | 'auto' | 'edges' | 'ratio';
export type PositionName =
  | 'centre' | 'north' | 'northeast' | 'east' | 'southeast' | 'south' | 'southwest' | 'west'
  | 'northwest' | 'entropy' | 'attention';

export interface Options {
  /** "png" (default), "jpg", "jpeg", "bmp", "tga", "webp" where built; any case. */
  format?: string;
  /** JPEG and WebP quality 1..100 (default JPEG 90, WebP 80). */
  quality?: number;
  /** What transparency becomes in JPEG and BMP: [r, g, b] or "RRGGBB" (white). */
  background?: [number, number, number] | Uint8Array | string;
  /** JPEG to JPEG without re-encoding (the box moves onto the block grid); with WebP output, lossless WebP. */
  lossless?: boolean;
  /** "upright" (default): turned by the EXIF orientation, as viewers show photos; "stored": as the file stores them. */
  orientation?: 'upright' | 'stored';
  /** "keep" (default): carry the ICC profile and EXIF into PNG and JPEG; "strip": write neither. */
  metadata?: 'keep' | 'strip';
  /** Refuse inputs of more pixels than this, from the header (default 268402689; negative: no limit). */
  maxPixels?: number;
  /** Where "aspect" and "ratio" place their box (default centre). */
  position?: PositionName | number;
  /** Scale the crop down to fit within [width, height], never enlarging; 0 or null leaves a side free. */
  resize?: [number | null, number | null];
  /** "first" (default): an animation's first frame; "all": every frame, for an output that animates (WebP). */
  frames?: 'first' | 'all';
  /** "whole" (default): the whole file is decoded for its verdict; "region": JPEG and PNG stop after the crop's last row. */
  verify?: 'whole' | 'region';
  /** 0 (default): each format's usual effort; 1 (fastest) .. 10 (smallest) for PNG, WebP and AVIF. */
  effort?: number;
  /** true (default, as the program and the Python module): the smallest PNG colour type that holds the crop exactly; false: 8-bit RGBA. */
  pngCompact?: boolean;
}

/** The box a rule cuts, the image it is cut from, and the size the crop is encoded at. */
export interface Box {
  readonly x: number;
  readonly y: number;
  readonly w: number;
  readonly h: number;
  readonly imageW: number;
  readonly imageH: number;
  readonly outputW: number;
  readonly outputH: number;
  /** The input's frame count (1 for a still). */
  readonly frames: number;
}

export type Input = Uint8Array | ArrayBuffer | ArrayBufferView | Blob;
type Args = number[] | [...number[], Options];

/** Crops `input` by `rule` and its integer parameters; an options object may follow them. */
export declare function crop(input: Input, rule: RuleName | number, ...args: Args): Promise<Uint8Array>;
/** The box crop() would cut, and the output size, without encoding anything. */
export declare function plan(input: Input, rule: RuleName | number, ...args: Args): Promise<Box>;
/** Whether this build has a feature: "libjpeg-turbo", "lossless", "libspng", "webp", "position", "resize". */
export declare function has(feature: string): Promise<boolean>;
/** The version of the library inside the module, e.g. "1.2.0". */
export declare function libraryVersion(): Promise<string>;
/** Loads the module ahead of the first call; `wasm` names where trimlet.wasm is served, or holds its bytes. */
export declare function load(options?: { wasm?: string | URL | ArrayBuffer | Uint8Array }): Promise<unknown>;

/** A crop or plan failed: `status` is its class (Status), `message` the library's line. */
export declare class TrimletError extends Error {
  constructor(message: string, status: number);
  readonly status: number;
}
export declare class ArgumentError extends TrimletError {}
export declare class RuleError extends TrimletError {}
export declare class UnsupportedError extends TrimletError {}
export declare class CorruptError extends TrimletError {}
export declare class TooLargeError extends TrimletError {}
export declare class ReadError extends TrimletError {}
export declare class WriteError extends TrimletError {}
export declare class OutOfMemoryError extends TrimletError {}
export declare class UnavailableError extends TrimletError {}
