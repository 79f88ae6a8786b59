# trimlet: crop image files. SPDX-License-Identifier: MIT
"""Crop image files with the trimlet library.

    import trimlet

    png = trimlet.crop("photo.jpg", "ratio", 16, 9)          # bytes of a PNG
    trimlet.crop(upload_bytes, "auto", 10, output="out.jpg", quality=85)
    box = trimlet.plan("scan.png", "auto")  # Box(x, y, w, h, image_w, image_h)

The rules are the library's (include/trimlet.h), by name or number:

    "rect"    x, y, w, h              RECT
    "aspect"  ratio index 0..4        ASPECT  (1:1, 4:3, 16:9, 3:2, 9:16)
    "auto"    tolerance percent       AUTO    (10 when left out)
    "edges"   top, right, bottom, left percentages    EDGES
    "ratio"   width part, height part RATIO

Every call is one call of the library's reentrant interface, which keeps no
shared state; ctypes releases the GIL around it, so a thread pool crops on
every core. A failure raises TrimletError carrying the library's message.

The shared library is found, in this order: the file the environment
variable TRIMLET_LIBRARY names; a copy next to this module; the one
`cmake --install` put under the same prefix as this module; the system's
library search path.
"""

import collections
import ctypes
import ctypes.util
import os
import sys
import tempfile

__all__ = ["crop", "plan", "Box", "TrimletError", "RECT", "ASPECT", "AUTO", "EDGES", "RATIO",
           "library_path"]

RECT, ASPECT, AUTO, EDGES, RATIO = 0, 1, 2, 3, 4

_RULES = {"rect": (RECT, 4), "aspect": (ASPECT, 1), "auto": (AUTO, 1), "edges": (EDGES, 4),
          "ratio": (RATIO, 2)}
_PARAM_COUNT = {number: count for number, count in _RULES.values()}
_DEFAULT_TOLERANCE = 10

_ERROR_SIZE = 512      # TRIMLET_ERROR_SIZE
_APPLY_EXIF = 1        # TRIMLET_APPLY_EXIF
_KEEP = 1              # TRIMLET_KEEP
_INT_MIN, _INT_MAX = -2**31, 2**31 - 1

Box = collections.namedtuple("Box", "x y w h image_w image_h")
Box.__doc__ = "The rectangle a rule cuts (x, y, w, h) and the size of the image it is cut from."


class TrimletError(Exception):
    """A crop or plan failed; `message` is the library's one-line reason."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class _Options(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t),
                ("format", ctypes.c_char_p),
                ("quality", ctypes.c_int),
                ("background", ctypes.POINTER(ctypes.c_ubyte)),
                ("lossless", ctypes.c_int),
                ("orient", ctypes.c_int),
                ("metadata", ctypes.c_int)]


class _Box(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in Box._fields]


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
            return ctypes.CDLL(path), path
        except OSError as e:
            tried.append("%s (%s)" % (path, e))
    raise ImportError("trimlet: cannot load the trimlet library; tried: " + "; ".join(tried) +
                      ". Set TRIMLET_LIBRARY to the library file.")


_lib, library_path = _load()

_c_int_p = ctypes.POINTER(ctypes.c_int)
_options_p = ctypes.POINTER(_Options)
_box_p = ctypes.POINTER(_Box)
_lib.trimlet_crop_file.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, _c_int_p,
                                   _options_p, ctypes.c_char_p]
_lib.trimlet_crop_file.restype = ctypes.c_int
_lib.trimlet_crop_memory.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, _c_int_p,
                                     _options_p, ctypes.POINTER(ctypes.c_void_p),
                                     ctypes.POINTER(ctypes.c_size_t), ctypes.c_char_p]
_lib.trimlet_crop_memory.restype = ctypes.c_int
_lib.trimlet_plan_file.argtypes = [ctypes.c_char_p, ctypes.c_int, _c_int_p, _options_p, _box_p,
                                   ctypes.c_char_p]
_lib.trimlet_plan_file.restype = ctypes.c_int
_lib.trimlet_plan_memory.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, _c_int_p,
                                     _options_p, _box_p, ctypes.c_char_p]
_lib.trimlet_plan_memory.restype = ctypes.c_int
_lib.trimlet_free.argtypes = [ctypes.c_void_p]
_lib.trimlet_free.restype = None


def _path_bytes(path):
    """A path as the library takes it: the file system's bytes on POSIX
    (so names that are not UTF-8 still work), UTF-8 on Windows."""
    if os.name == "nt":
        return os.fspath(path).encode("utf-8")
    return os.fsencode(path)


def _rule_and_params(rule, params):
    if isinstance(rule, str):
        if rule not in _RULES:
            raise ValueError("trimlet: unknown rule %r (%s)" % (rule, ", ".join(_RULES)))
        number, count = _RULES[rule]
    else:
        number = int(rule)
        count = _PARAM_COUNT.get(number)
        if count is None:  # the library names it
            count = len(params)
    if number == AUTO and not params:
        params = (_DEFAULT_TOLERANCE,)
    if len(params) != count:
        raise TypeError("trimlet: rule %r takes %d parameter%s, got %d"
                        % (rule, count, "" if count == 1 else "s", len(params)))
    values = []
    for p in params:
        value = int(p) if not isinstance(p, float) else None
        if value is None or not _INT_MIN <= value <= _INT_MAX:
            raise ValueError("trimlet: parameter %r is not a 32-bit whole number" % (p,))
        values.append(value)
    array = (ctypes.c_int * max(1, len(values)))(*values)
    return number, array


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


def _options(format=None, quality=None, background=None, upright=False, keep_metadata=False,
             lossless=False):
    o = _Options()
    o.size = ctypes.sizeof(_Options)
    o.format = format.encode("ascii", "replace") if format is not None else None
    o.quality = 0 if quality is None else int(quality)
    keep = None
    if background is not None:
        keep = _background(background)
        o.background = ctypes.cast(keep, ctypes.POINTER(ctypes.c_ubyte))
    o.lossless = 1 if lossless else 0
    o.orient = _APPLY_EXIF if upright else 0
    o.metadata = _KEEP if keep_metadata else 0
    return o, keep  # keep: the colour's storage, alive for the call


def _is_data(source):
    return isinstance(source, (bytes, bytearray, memoryview))


def _fail(err, memory_name=None):
    message = err.value.decode("utf-8", "replace")
    if memory_name is not None:
        message = message.replace("'<memory>'", "'%s'" % memory_name, 1)
    raise TrimletError(message)


def _crop_memory(data, rule, params, options):
    err = ctypes.create_string_buffer(_ERROR_SIZE)
    out = ctypes.c_void_p()
    out_size = ctypes.c_size_t()
    ok = _lib.trimlet_crop_memory(data, len(data), rule, params, ctypes.byref(options),
                                  ctypes.byref(out), ctypes.byref(out_size), err)
    if not ok:
        return None, err
    try:
        return ctypes.string_at(out, out_size.value), None
    finally:
        _lib.trimlet_free(out)


def crop(source, rule, *params, output=None, format=None, quality=None, background=None,
         upright=False, keep_metadata=False, lossless=False):
    """Crops an image by `rule` and its `params`.

    source: the bytes of an image file (bytes, bytearray or memoryview), or a
    path (str or os.PathLike). output: None to get the encoded result back as
    bytes, or a path to write it to; an existing file there is replaced only
    once the new one is complete, and kept as it was on failure.

    format: "png", "jpg", "jpeg", "bmp" or "tga" (any case); by default the
    output path's extension picks it, and bytes come back as PNG.
    quality: JPEG quality 1..100 (default 90). background: the colour alpha is
    flattened onto for JPEG and BMP, as (r, g, b), 3 bytes or "RRGGBB"
    (default white). upright: turn photos by their EXIF orientation.
    keep_metadata: carry the ICC profile and EXIF into PNG and JPEG.
    lossless: JPEG to JPEG without re-encoding.

    Returns the bytes when output is None, else None. Raises TrimletError
    with the library's message when the crop fails.
    """
    number, values = _rule_and_params(rule, params)
    options, _keep = _options(format, quality, background, upright, keep_metadata, lossless)
    err = ctypes.create_string_buffer(_ERROR_SIZE)
    if _is_data(source):
        data = bytes(source)
        if output is None:
            result, err = _crop_memory(data, number, values, options)
            if err is not None:
                _fail(err)
            return result
        # Through a file, so the output gets trimlet_crop_file's safe replace.
        fd, temp = tempfile.mkstemp(prefix="trimlet-")
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            if not _lib.trimlet_crop_file(_path_bytes(temp), _path_bytes(output), number, values,
                                          ctypes.byref(options), err):
                message = err.value.decode("utf-8", "replace")
                raise TrimletError(message.replace("'%s'" % temp, "'<memory>'", 1))
        finally:
            os.remove(temp)
        return None
    path = os.fspath(source)
    if output is None:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise TrimletError("cannot decode '%s': %s" % (path, e.strerror)) from None
        result, err = _crop_memory(data, number, values, options)
        if err is not None:
            _fail(err, memory_name=path)
        return result
    if not _lib.trimlet_crop_file(_path_bytes(path), _path_bytes(output), number, values,
                                  ctypes.byref(options), err):
        _fail(err)
    return None


def plan(source, rule, *params, format=None, quality=None, background=None, upright=False,
         keep_metadata=False, lossless=False):
    """The Box `rule` would cut from `source` (bytes or a path), writing
    nothing. With the same options, it agrees with crop() on the rectangle
    and on every failure. Raises TrimletError with the library's message."""
    number, values = _rule_and_params(rule, params)
    options, _keep = _options(format, quality, background, upright, keep_metadata, lossless)
    err = ctypes.create_string_buffer(_ERROR_SIZE)
    box = _Box()
    if _is_data(source):
        data = bytes(source)
        ok = _lib.trimlet_plan_memory(data, len(data), number, values, ctypes.byref(options),
                                      ctypes.byref(box), err)
    else:
        ok = _lib.trimlet_plan_file(_path_bytes(source), number, values, ctypes.byref(options),
                                    ctypes.byref(box), err)
    if not ok:
        _fail(err)
    return Box(*(getattr(box, name) for name in Box._fields))
