# trimlet: crop image files. SPDX-License-Identifier: MIT
"""Crop image files with the trimlet library.

    import trimlet

    png = trimlet.crop("photo.jpg", "ratio", 16, 9)          # bytes of a PNG
    trimlet.crop(upload_bytes, "auto", 10, output="out.jpg", quality=85)
    box = trimlet.plan("scan.png", "auto")  # Box(x, y, w, h, image_w, image_h, output_w, output_h, frames)
    trimlet.crop("photo.jpg", "ratio", 1, 1, resize=(256, 256), position="attention",
                 output="thumb.webp")

The rules are the library's (include/trimlet.h), by name, as a Rule or by
number:

    "rect"    x, y, w, h              Rule.RECT
    "aspect"  ratio index 0..4        Rule.ASPECT  (1:1, 4:3, 16:9, 3:2, 9:16)
    "auto"    tolerance percent       Rule.AUTO    (10 when left out)
    "edges"   top, right, bottom, left percentages    Rule.EDGES
    "ratio"   width part, height part Rule.RATIO

Every call is one call of the library's trimlet_run, which keeps no shared
state; ctypes releases the GIL around it, so a thread pool crops on every
core. A failure raises the subclass of TrimletError for its class (its
`status`), carrying the library's message unchanged.

The shared library is found, in this order: the file the environment
variable TRIMLET_LIBRARY names; a copy next to this module; the one
`cmake --install` put under the same prefix as this module; the system's
library search path (LD_LIBRARY_PATH included).
"""

from __future__ import annotations

import collections
import ctypes
import ctypes.util
import enum
import os
import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple, Type, Union

if TYPE_CHECKING:
    from typing_extensions import TypedDict, Unpack

__all__ = ["crop", "plan", "has", "Box", "Rule", "Position", "Status", "TrimletError",
           "ArgumentError", "RuleError", "UnsupportedError", "CorruptError", "TooLargeError", "ReadError",
           "WriteError", "OutOfMemoryError", "UnavailableError", "RECT", "ASPECT", "AUTO",
           "EDGES", "RATIO", "library_path", "library_version", "__version__"]


class Rule(enum.IntEnum):
    """enum trimlet_rule."""
    RECT = 0
    ASPECT = 1
    AUTO = 2
    EDGES = 3
    RATIO = 4


RECT, ASPECT, AUTO, EDGES, RATIO = Rule.RECT, Rule.ASPECT, Rule.AUTO, Rule.EDGES, Rule.RATIO

class Position(enum.IntEnum):
    """trimlet_options.position: where "aspect" and "ratio" place their box
    (TRIMLET_CENTRE ..); by name, the names of the program's --position."""
    CENTRE = 0
    NORTH = 1
    NORTHEAST = 2
    EAST = 3
    SOUTHEAST = 4
    SOUTH = 5
    SOUTHWEST = 6
    WEST = 7
    NORTHWEST = 8
    ENTROPY = 9
    ATTENTION = 10


_PARAM_COUNT = {Rule.RECT: 4, Rule.ASPECT: 1, Rule.AUTO: 1, Rule.EDGES: 4, Rule.RATIO: 2}
_DEFAULT_TOLERANCE = 10


class Status(enum.IntEnum):
    """enum trimlet_status: the class of a failure."""
    OK = 0
    ARGUMENT = 1
    RULE = 2
    UNSUPPORTED = 3
    CORRUPT = 4
    TOO_LARGE = 5
    READ = 6
    WRITE = 7
    NO_MEMORY = 8
    UNAVAILABLE = 9


class TrimletError(Exception):
    """A crop or plan failed. `status` is its class (a Status), `message`
    the library's one-line reason, exactly as the library wrote it."""

    def __init__(self, message: str, status: Union[Status, int]) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


class ArgumentError(TrimletError):
    """An argument, parameter or option out of range, or an unknown rule."""


class RuleError(TrimletError):
    """The rule leaves no rectangle on this image."""


class UnsupportedError(TrimletError):
    """The input is no image type the library knows, or the output extension
    is one it does not write."""


class CorruptError(TrimletError):
    """The input is damaged or truncated."""


class TooLargeError(TrimletError):
    """Over a size limit (32768 a side, max_pixels, ...)."""


class ReadError(TrimletError):
    """The input file cannot be opened or read."""


class WriteError(TrimletError):
    """The output cannot be written."""


class OutOfMemoryError(TrimletError):
    """The library ran out of memory."""


class UnavailableError(TrimletError):
    """An option or format this build of the library does not have."""


_ERRORS: Dict[int, Type[TrimletError]] = {
    Status.ARGUMENT: ArgumentError, Status.RULE: RuleError, Status.UNSUPPORTED: UnsupportedError,
    Status.CORRUPT: CorruptError, Status.TOO_LARGE: TooLargeError, Status.READ: ReadError,
    Status.WRITE: WriteError, Status.NO_MEMORY: OutOfMemoryError,
    Status.UNAVAILABLE: UnavailableError,
}

Box = collections.namedtuple("Box", "x y w h image_w image_h output_w output_h frames", defaults=(1,))
Box.__doc__ = ("The rectangle a rule cuts (x, y, w, h), the size of the image it is cut from, "
               "the size of the picture encoded (the box's, or what resize scales it to), "
               "and the input's frame count (1 for a still).")

_ERROR_SIZE = 512      # TRIMLET_ERROR_SIZE
_APPLY_EXIF = 1        # TRIMLET_APPLY_EXIF
_KEEP = 1              # TRIMLET_KEEP
_INT_MIN, _INT_MAX = -2**31, 2**31 - 1
_LLONG_MIN, _LLONG_MAX = -2**63, 2**63 - 1


# The records of include/trimlet.h, field for field.
class _Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t),
                ("format", ctypes.c_char_p),
                ("quality", ctypes.c_int),
                ("background", ctypes.POINTER(ctypes.c_ubyte)),
                ("lossless", ctypes.c_int),
                ("orient", ctypes.c_int),
                ("metadata", ctypes.c_int),
                ("max_pixels", ctypes.c_longlong),
                ("position", ctypes.c_int),
                ("resize_w", ctypes.c_int),
                ("resize_h", ctypes.c_int),
                ("frames", ctypes.c_int),
                ("verify", ctypes.c_int),
                ("effort", ctypes.c_int),
                ("png_compact", ctypes.c_int)]


class _Box(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in ("x", "y", "w", "h", "image_w", "image_h")]


class _Request(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t),
                ("input_path", ctypes.c_char_p),
                ("input", ctypes.c_void_p),
                ("input_size", ctypes.c_size_t),
                ("output_path", ctypes.c_char_p),
                ("output_to_memory", ctypes.c_int),
                ("rule", ctypes.c_int),
                ("params", ctypes.POINTER(ctypes.c_int)),
                ("options", ctypes.POINTER(_Options))]


class _Result(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t),
                ("status", ctypes.c_int),
                ("box", _Box),
                ("output_w", ctypes.c_int),
                ("output_h", ctypes.c_int),
                ("output", ctypes.c_void_p),
                ("output_size", ctypes.c_size_t),
                ("output_format", ctypes.c_char_p),
                ("error", ctypes.c_char * _ERROR_SIZE),
                # 1.3
                ("input_format", ctypes.c_char_p),
                ("frames", ctypes.c_int)]


def _candidates():
    """Library files to try, best first."""
    named = os.environ.get("TRIMLET_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    names = {"win32": ["trimlet.dll"], "darwin": ["libtrimlet.1.dylib", "libtrimlet.dylib"]}
    found = [os.path.join(here, name) for name in names.get(sys.platform, ["libtrimlet.so.1"])]
    try:
        from . import _install  # written by `cmake --install`
        found.append(os.path.normpath(os.path.join(here, _install.LIBRARY)))
    except ImportError:
        pass
    system = ctypes.util.find_library("trimlet")
    found.append(system or names.get(sys.platform, ["libtrimlet.so.1"])[0])
    return found


def _load():
    tried = []
    for path in _candidates():
        is_file = os.path.sep in path or (os.path.altsep or os.path.sep) in path
        if is_file and not os.path.exists(path):
            tried.append(path + " (missing)")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            tried.append("%s (%s)" % (path, e))
            continue
        if not hasattr(lib, "trimlet_run"):
            tried.append("%s (older than 1.2: no trimlet_run)" % path)
            continue
        return lib, path
    raise ImportError("trimlet: cannot load the trimlet library; tried: " + "; ".join(tried) +
                      ". Set TRIMLET_LIBRARY to the library file.")


_lib, library_path = _load()

_lib.trimlet_run.argtypes = [ctypes.POINTER(_Request), ctypes.POINTER(_Result)]
_lib.trimlet_run.restype = ctypes.c_int
_lib.trimlet_free.argtypes = [ctypes.c_void_p]
_lib.trimlet_free.restype = None
_lib.trimlet_version.argtypes = []
_lib.trimlet_version.restype = ctypes.c_char_p
_lib.trimlet_has.argtypes = [ctypes.c_char_p]
_lib.trimlet_has.restype = ctypes.c_int

library_version: str = _lib.trimlet_version().decode("ascii")
"""The version of the library loaded (trimlet_version()), e.g. "1.3.0"."""

# The module is released with the library and spells no version of its own:
# its version is the library's (pip takes the distribution's from
# include/trimlet.h, see setup.py).
__version__: str = library_version


def has(feature: str) -> bool:
    """Whether the loaded library has a feature: "libjpeg-turbo", "lossless"
    and the others trimlet_has() knows; False for any other name."""
    if not isinstance(feature, str):
        raise TypeError("trimlet: feature must be a str, not %s" % type(feature).__name__)
    return bool(_lib.trimlet_has(feature.encode("utf-8")))


def _path_bytes(path):
    """A path as the library takes it: the file system's bytes on POSIX
    (so names that are not UTF-8 still work), UTF-8 on Windows."""
    if os.name == "nt":
        return os.fspath(path).encode("utf-8")
    return os.fsencode(path)


def _whole(value, what, low=_INT_MIN, high=_INT_MAX):
    """`value` if it is an int (not a bool) from low to high."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("trimlet: %s must be an int, not %s" % (what, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("trimlet: %s %d out of range %d..%d" % (what, value, low, high))
    return value


def _rule_and_params(rule, params):
    if isinstance(rule, str):
        try:
            number = Rule[rule.upper()]
        except KeyError:
            raise ValueError("trimlet: unknown rule %r (%s)"
                             % (rule, ", ".join(r.name.lower() for r in Rule))) from None
    else:
        number = _whole(rule, "rule")
    count = _PARAM_COUNT.get(number)
    if count is None:  # the library refuses it with its own message
        count = len(params)
    if number == Rule.AUTO and not params:
        params = (_DEFAULT_TOLERANCE,)
    if len(params) != count:
        raise TypeError("trimlet: rule %r takes %d parameter%s, got %d"
                        % (rule, count, "" if count == 1 else "s", len(params)))
    values = [_whole(p, "parameter") for p in params]
    return int(number), (ctypes.c_int * max(1, len(values)))(*values)


def _background(colour):
    """(r, g, b), b"rgb" or "RRGGBB" as 3 bytes for the library."""
    if isinstance(colour, str):
        text = colour[1:] if colour.startswith("#") else colour
        try:
            if len(text) != 6:
                raise ValueError
            colour = bytes.fromhex(text)
        except ValueError:
            raise ValueError("trimlet: background %r is not RRGGBB" % (colour,)) from None
    parts = bytes(colour) if not isinstance(colour, bytes) else colour
    if len(parts) != 3:
        raise ValueError("trimlet: background needs 3 values (red, green, blue), got %d" % len(parts))
    return (ctypes.c_ubyte * 3)(*parts)


def _set_format(o, value, keep):
    if not isinstance(value, str):
        raise TypeError("trimlet: format must be a str, not %s" % type(value).__name__)
    o.format = value.encode("ascii", "replace")


def _set_quality(o, value, keep):
    o.quality = _whole(value, "quality", 1, 100)


def _set_background(o, value, keep):
    keep.append(_background(value))
    o.background = ctypes.cast(keep[-1], ctypes.POINTER(ctypes.c_ubyte))


def _set_flag(field, on):
    def set_field(o, value, keep):
        setattr(o, field, on if value else 0)
    return set_field


def _set_max_pixels(o, value, keep):
    o.max_pixels = _whole(value, "max_pixels", _LLONG_MIN, _LLONG_MAX)


def _set_position(o, value, keep):
    if isinstance(value, str):
        try:
            o.position = Position[value.upper()]
        except KeyError:
            raise ValueError("trimlet: unknown position %r (%s)"
                             % (value, ", ".join(p.name.lower() for p in Position))) from None
    else:
        o.position = _whole(value, "position", 0, len(Position) - 1)


def _set_resize(o, value, keep):
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != 2:
        raise TypeError("trimlet: resize must be (width, height), not %r" % (value,))
    o.resize_w, o.resize_h = (0 if side is None else _whole(side, "resize", 0) for side in value)


def _set_verify(o, value, keep):
    names = {"whole": 0, "region": 1}
    if value not in names:
        raise ValueError("trimlet: verify must be \"whole\" or \"region\", not %r" % (value,))
    o.verify = names[value]


def _set_frames(o, value, keep):
    names = {"first": 0, "all": -1}  # TRIMLET_ALL_FRAMES
    if value not in names:
        raise ValueError("trimlet: frames must be \"first\" or \"all\", not %r" % (value,))
    o.frames = names[value]


def _set_effort(o, value, keep):
    o.effort = _whole(value, "effort", 0, 10)


# Keyword -> what it sets in trimlet_options. None (or False for a switch)
# leaves the library's default.
_OPTIONS: Dict[str, Callable[[_Options, Any, list], None]] = {
    "format": _set_format,                     # "png", "jpg", "jpeg", "bmp", "tga", "webp", "avif"
    "quality": _set_quality,                   # 1..100 (JPEG 90, WebP 80, AVIF 50)
    "background": _set_background,             # (r, g, b), b"rgb" or "RRGGBB" (white)
    "upright": _set_flag("orient", _APPLY_EXIF),
    "keep_metadata": _set_flag("metadata", _KEEP),
    "lossless": _set_flag("lossless", 1),
    "max_pixels": _set_max_pixels,             # > 0 a limit, < 0 none (268402689)
    "position": _set_position,                 # a Position, its name or 0..10 (centre)
    "resize": _set_resize,                     # (w, h), 0 or None a free side (no resize)
    "verify": _set_verify,                     # "whole" or "region" ("whole")
    "effort": _set_effort,                     # 0..10 (0: each format's default)
    "frames": _set_frames,                     # "first" or "all" ("first")
    "png_compact": _set_flag("png_compact", 1),  # this module's default: True
}

if TYPE_CHECKING:
    class Options(TypedDict, total=False):
        format: Optional[str]
        quality: Optional[int]
        background: Union[Tuple[int, int, int], bytes, str, None]
        upright: bool
        keep_metadata: bool
        lossless: bool
        max_pixels: Optional[int]
        position: Union[Position, str, int, None]
        resize: Optional[Tuple[Optional[int], Optional[int]]]
        verify: Optional[str]
        effort: Optional[int]
        frames: Optional[str]
        png_compact: Optional[bool]


def _options(caller, options):
    o = _Options()
    o.size = ctypes.sizeof(_Options)
    o.png_compact = 1  # unlike the C default: the smallest PNG that holds the crop
    keep: list = []  # storage the record points into, alive for the call
    for name, value in options.items():
        setter = _OPTIONS.get(name)
        if setter is None:
            raise TypeError("%s() got an unexpected keyword argument '%s'" % (caller, name))
        if value is not None:
            setter(o, value, keep)
    return o, keep


Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", "os.PathLike[bytes]"]


def _run(source, rule, params, output, to_memory, caller, options):
    number, values = _rule_and_params(rule, params)
    opts, keep = _options(caller, options)
    request = _Request(size=ctypes.sizeof(_Request), rule=number, options=ctypes.pointer(opts),
                       params=ctypes.cast(values, ctypes.POINTER(ctypes.c_int)))
    data = None
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = source if isinstance(source, bytes) else bytes(source)
        request.input = ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p)
        request.input_size = len(data)
    else:
        request.input_path = _path_bytes(source)
    if output is not None:
        request.output_path = _path_bytes(output)
    request.output_to_memory = 1 if to_memory else 0
    result = _Result(size=ctypes.sizeof(_Result))
    if not _lib.trimlet_run(ctypes.byref(request), ctypes.byref(result)):
        message = result.error.decode("utf-8", "replace")
        try:
            status: Union[Status, int] = Status(result.status)
        except ValueError:  # a class newer than this module
            status = result.status
        raise _ERRORS.get(result.status, TrimletError)(message, status)
    del data, keep
    return result


def crop(source: Source, rule: Union[str, int], *params: int,
         output: Union[str, "os.PathLike[str]", None] = None,
         **options: Unpack[Options]) -> Optional[bytes]:
    """Crops an image by `rule` and its `params` (ints).

    source: the bytes of an image file (bytes, bytearray or memoryview), or a
    path (str or os.PathLike). output: None to get the encoded result back as
    bytes, or a path to write it to; an existing file there is replaced only
    once the new one is complete, and kept as it was on failure. The path's
    extension must be .png, .jpg, .jpeg, .bmp or .tga (.webp, .avif and .gif
    where the library has them) unless format is given.

    Options (keywords):
      format: "png", "jpg", "jpeg", "bmp" or "tga", "webp" or "avif" where the
        library has them (any case); by default the output path's extension
        picks it, and bytes come back as PNG.
      quality: JPEG, WebP and AVIF quality 1..100 (default: JPEG 90, WebP 80,
        AVIF 50).
      background: the colour alpha is flattened onto for JPEG and BMP, as
        (r, g, b), 3 bytes or "RRGGBB" (default white).
      upright: turn photos by their EXIF orientation.
      keep_metadata: carry the ICC profile and EXIF into PNG, JPEG, WebP and AVIF.
      lossless: JPEG to JPEG without re-encoding; with WebP output, lossless
        WebP of any input.
      max_pixels: refuse inputs of more pixels than this (default 268402689;
        a negative number: no limit beyond 32768 a side).
      position: where "aspect" and "ratio" place their box: a Position, its
        name ("centre", "north", ... "northwest", "entropy", "attention") or
        its number 0..10 (default centre).
      resize: (width, height) to scale the crop down to fit within, keeping
        its ratio, never enlarging; 0 or None leaves a side free.
      verify: "whole" (default) decodes the whole file for its verdict;
        "region" stops decoding after the crop's last row (JPEG and PNG), so
        damage below the crop goes unseen.
      effort: 1 (fastest) .. 10 (smallest) for PNG, WebP and AVIF output;
        0 (default) each format's own setting.
      frames: "first" (default) crops an animation's first frame; "all"
        crops every frame of an animated GIF or WebP into a GIF or WebP
        animation (a still format is refused). GIF output needs a GIF input.
      png_compact: True (this module's default, unlike the C library's)
        writes PNG in the smallest colour type that holds the crop exactly
        (palette, grey, RGB); False writes 8-bit RGBA as trimlet 1.2 did.

    Returns the bytes when output is None, else None. Raises the subclass of
    TrimletError for the failure's class, TypeError or ValueError for
    arguments Python can judge before the call.
    """
    result = _run(source, rule, params, output, output is None, "crop", options)
    if output is not None:
        return None
    try:
        return ctypes.string_at(result.output, result.output_size)
    finally:
        _lib.trimlet_free(result.output)


def plan(source: Source, rule: Union[str, int], *params: int,
         **options: Unpack[Options]) -> Box:
    """The Box `rule` would cut from `source` (bytes or a path), writing
    nothing. With the same options, it agrees with crop() on the rectangle
    and on every failure."""
    result = _run(source, rule, params, None, False, "plan", options)
    return Box(*(getattr(result.box, name) for name in Box._fields[:6]),
               result.output_w, result.output_h, result.frames)
