# SPDX-License-Identifier: MIT
"""The Python module on real bytes and files, outputs read back with Pillow."""
import concurrent.futures
import io
import os
import pathlib
import tempfile
import unittest

from PIL import Image

import trimlet


def gradient(w, h):
    """RGBA where pixel (x, y) is (x, y, 7, 255 - (x + y) % 128): a wrong
    offset, axis or channel shows as a readable difference."""
    img = Image.new("RGBA", (w, h))
    img.putdata([(x, y, 7, 255 - (x + y) % 128) for y in range(h) for x in range(w)])
    return img


def encoded(img, fmt="PNG", **kw):
    buf = io.BytesIO()
    img.save(buf, fmt, **kw)
    return buf.getvalue()


def framed(w=60, h=40):
    """A grey frame around a 20x10 gradient patch at (25, 12)."""
    img = Image.new("RGBA", (w, h), (200, 200, 200, 255))
    img.paste(gradient(20, 10), (25, 12))
    return img


def unavailable(**options):
    """The library's message when this build lacks an option, else None."""
    try:
        trimlet.plan(encoded(gradient(4, 4)), "rect", 0, 0, 1, 1, **options)
    except trimlet.UnavailableError as e:
        return e.message
    except trimlet.TrimletError:
        pass
    return None


class Scratch(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="trimlet-py-")
        self.dir = pathlib.Path(self._dir.name)

    def tearDown(self):
        self._dir.cleanup()


RULES = [  # rule, params, the box on framed()
    ("rect", (3, 4, 10, 7), (3, 4, 10, 7)),
    ("aspect", (0,), (10, 0, 40, 40)),
    ("auto", (), (25, 12, 20, 10)),
    ("edges", (10, 0, 20, 25), (15, 4, 45, 28)),
    ("ratio", (3, 4), (15, 0, 30, 40)),
    (trimlet.RATIO, (21, 9), (0, 7, 60, 26)),
]


class BytesAndPaths(Scratch):
    def test_each_rule_crops_bytes_to_bytes_and_plans_the_same_box(self):
        img = framed()
        data = encoded(img)
        for rule, params, box in RULES:
            with self.subTest(rule=rule):
                self.assertEqual(trimlet.plan(data, rule, *params), trimlet.Box(*box, 60, 40, *box[2:]))
                out = Image.open(io.BytesIO(trimlet.crop(data, rule, *params)))
                self.assertEqual(out.format, "PNG")
                x, y, w, h = box
                self.assertEqual(list(out.convert("RGBA").getdata()),
                                 list(img.crop((x, y, x + w, y + h)).getdata()))

    def test_paths_as_str_and_pathlike_in_and_out(self):
        src = self.dir / "in.png"
        src.write_bytes(encoded(framed()))
        expected = trimlet.crop(src.read_bytes(), "auto")
        self.assertEqual(trimlet.crop(str(src), "auto"), expected)
        self.assertEqual(trimlet.crop(src, "auto"), expected)
        self.assertIsNone(trimlet.crop(src, "auto", output=self.dir / "a.png"))
        self.assertIsNone(trimlet.crop(src.read_bytes(), "auto", output=str(self.dir / "b.png")))
        self.assertEqual((self.dir / "a.png").read_bytes(), expected)
        self.assertEqual((self.dir / "b.png").read_bytes(), expected)
        self.assertEqual(trimlet.plan(src, "auto"), trimlet.plan(str(src), "auto"))
        name = self.dir / "été-北.png"
        trimlet.crop(src, "rect", 0, 0, 5, 5, output=name)
        self.assertEqual(Image.open(name).size, (5, 5))
        self.assertEqual(trimlet.plan(name, "rect", 1, 2, 9, 9), trimlet.Box(1, 2, 4, 3, 5, 5, 4, 3))

    def test_bytearray_and_memoryview_are_image_bytes(self):
        data = encoded(framed())
        expected = trimlet.crop(data, "auto")
        self.assertEqual(trimlet.crop(bytearray(data), "auto"), expected)
        self.assertEqual(trimlet.crop(memoryview(data), "auto"), expected)


class Options(Scratch):
    def test_format_by_name_or_by_extension(self):
        data = encoded(framed())
        for fmt, pil in [("png", "PNG"), ("JPG", "JPEG"), ("jpeg", "JPEG"), ("Bmp", "BMP"),
                         ("tga", "TGA")]:
            with self.subTest(fmt=fmt):
                self.assertEqual(Image.open(io.BytesIO(trimlet.crop(data, "auto", format=fmt))).format, pil)
                out = self.dir / ("out." + fmt)
                trimlet.crop(data, "auto", output=out)
                self.assertEqual(Image.open(out).format, pil)

    def test_quality_sets_the_jpeg_quantisation_tables(self):
        data = encoded(framed())
        for q in (50, 95):
            out = Image.open(io.BytesIO(trimlet.crop(data, "auto", format="jpg", quality=q)))
            reference = Image.open(io.BytesIO(encoded(Image.new("RGB", (8, 8)), "JPEG", quality=q)))
            self.assertEqual(out.quantization[0], reference.quantization[0], q)

    def test_background_is_what_transparency_becomes(self):
        clear = encoded(Image.new("RGBA", (8, 6), (50, 100, 150, 0)))
        for colour in ((10, 11, 12), b"\x0a\x0b\x0c", "0a0b0c", "#0A0B0C"):
            out = Image.open(io.BytesIO(trimlet.crop(clear, "rect", 0, 0, 4, 4, format="bmp",
                                                     background=colour)))
            self.assertEqual(set(out.convert("RGB").getdata()), {(10, 11, 12)}, colour)
        white = Image.open(io.BytesIO(trimlet.crop(clear, "rect", 0, 0, 4, 4, format="bmp")))
        self.assertEqual(set(white.convert("RGB").getdata()), {(255, 255, 255)})

    def test_upright_turns_by_the_exif_orientation(self):
        why = unavailable(upright=True)
        if why:
            self.skipTest(why)
        exif = Image.Exif()
        exif[0x0112] = 6  # stored turned: shown rotated 90 degrees clockwise
        data = encoded(gradient(40, 20).convert("RGB"), "JPEG", exif=exif.tobytes(), quality=95)
        self.assertEqual(trimlet.plan(data, "auto", 0), trimlet.Box(0, 0, 40, 20, 40, 20, 40, 20))
        self.assertEqual(trimlet.plan(data, "auto", 0, upright=True), trimlet.Box(0, 0, 20, 40, 20, 40, 20, 40))
        self.assertEqual(Image.open(io.BytesIO(trimlet.crop(data, "rect", 0, 0, 20, 30, upright=True))).size,
                         (20, 30))

    def test_keep_metadata_carries_the_colour_profile(self):
        why = unavailable(keep_metadata=True)
        if why:
            self.skipTest(why)
        from PIL import ImageCms
        icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
        data = encoded(framed(), icc_profile=icc)
        kept = Image.open(io.BytesIO(trimlet.crop(data, "auto", keep_metadata=True)))
        stripped = Image.open(io.BytesIO(trimlet.crop(data, "auto")))
        self.assertEqual(kept.info.get("icc_profile"), icc)
        self.assertIsNone(stripped.info.get("icc_profile"))

    def test_lossless_keeps_the_jpeg_blocks(self):
        why = unavailable(lossless=True)
        if why:
            self.skipTest(why)
        source = gradient(64, 48).convert("RGB")
        data = encoded(source, "JPEG", quality=90, subsampling=0)
        out = trimlet.crop(data, "rect", 16, 8, 32, 32, format="jpg", lossless=True)
        decoded = Image.open(io.BytesIO(data)).crop((16, 8, 48, 40))
        self.assertEqual(list(Image.open(io.BytesIO(out)).getdata()), list(decoded.getdata()))

    def test_position_and_resize_make_a_thumbnail(self):
        if not (trimlet.has("position") and trimlet.has("resize")):
            self.skipTest("this build has no position or resize")
        tall, wide = encoded(gradient(40, 80)), encoded(gradient(80, 40))
        thumb = trimlet.crop(tall, trimlet.RATIO, 1, 1, resize=(64, 64), position="attention")
        self.assertEqual(Image.open(io.BytesIO(thumb)).size, (40, 40))  # never enlarged
        thumb = trimlet.crop(encoded(gradient(100, 150)), trimlet.RATIO, 1, 1, resize=(64, 64),
                             position="attention", output=self.dir / "t.png")
        self.assertEqual(Image.open(self.dir / "t.png").size, (64, 64))
        for position in trimlet.Position:  # each name reaches the library as its number
            if position >= trimlet.Position.ENTROPY:
                continue
            name = position.name
            y = 0 if name.startswith("NORTH") else 40 if name.startswith("SOUTH") else 20
            x = 40 if name.endswith("EAST") else 0 if name.endswith("WEST") else 20
            for value in (name.lower(), int(position), position):
                with self.subTest(position=value):
                    self.assertEqual(trimlet.plan(tall, "ratio", 1, 1, position=value)[:2], (0, y))
                    self.assertEqual(trimlet.plan(wide, "ratio", 1, 1, position=value)[:2], (x, 0))
        for resize, out in [((20, 20), (20, 10)), ((20, 0), (20, 10)), ((None, 8), (16, 8)),
                            ((0, 0), (80, 40)), (None, (80, 40)), ((200, 200), (80, 40))]:
            with self.subTest(resize=resize):
                self.assertEqual(trimlet.plan(wide, "rect", 0, 0, 80, 40, resize=resize)[6:8], out)
                got = trimlet.crop(wide, "rect", 0, 0, 80, 40, resize=resize)
                self.assertEqual(Image.open(io.BytesIO(got)).size, out)

    def test_speed_options_compact_png_effort_and_verify(self):
        flat = Image.new("RGB", (30, 20), (10, 200, 30))
        data = encoded(flat)
        compact = trimlet.crop(data, "rect", 0, 0, 30, 20)  # the module's default
        rgba = trimlet.crop(data, "rect", 0, 0, 30, 20, png_compact=False)
        self.assertEqual(compact[25], 3)  # palette
        self.assertEqual(rgba[25], 6)  # 8-bit RGBA, as 1.2
        self.assertEqual(Image.open(io.BytesIO(compact)).convert("RGBA").tobytes(),
                         Image.open(io.BytesIO(rgba)).tobytes())
        noise = encoded(Image.frombytes("RGB", (200, 200), os.urandom(200 * 200 * 3)))
        cut = noise[:len(noise) // 2]  # only verify="region" crops its top rows
        with self.assertRaises(trimlet.CorruptError):
            trimlet.crop(cut, "rect", 0, 0, 10, 10)
        if os.environ.get("TRIMLET_TEST_LIBSPNG", "1") == "1":  # PNG regions need libspng
            self.assertEqual(trimlet.crop(cut, "rect", 0, 0, 10, 10, verify="region", effort=10),
                             trimlet.crop(noise, "rect", 0, 0, 10, 10, effort=10))
        for bad in ({"verify": "all"}, {"effort": 11}):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                trimlet.crop(data, "rect", 0, 0, 1, 1, **bad)

    def test_webp_and_avif_outputs(self):
        data, img = encoded(gradient(40, 30)), gradient(40, 30)
        jpeg = trimlet.crop(data, "auto", 0, format="jpg")
        self.assertEqual(trimlet.crop(data, "auto", 0, format="jpg", quality=None), jpeg)
        self.assertEqual(trimlet.crop(data, "auto", 0, format="jpg", quality=90), jpeg)
        if not trimlet.has("webp"):
            self.skipTest("this build has no WebP")
        webp = trimlet.crop(data, "rect", 5, 5, 20, 10, format="webp", quality=None)
        self.assertEqual(Image.open(io.BytesIO(webp)).format, "WEBP")
        self.assertEqual(Image.open(io.BytesIO(webp)).size, (20, 10))
        self.assertEqual(trimlet.crop(data, "rect", 5, 5, 20, 10, format="WebP", quality=80), webp)
        self.assertNotEqual(trimlet.crop(data, "rect", 5, 5, 20, 10, format="webp", quality=30), webp)
        trimlet.crop(data, "rect", 5, 5, 20, 10, lossless=True, output=self.dir / "o.webp")
        self.assertEqual(list(Image.open(self.dir / "o.webp").convert("RGBA").getdata()),
                         list(img.crop((5, 5, 25, 15)).getdata()))
        if trimlet.has("avif-write"):
            trimlet.crop(data, "auto", 0, output=self.dir / "o.avif")
            self.assertEqual((self.dir / "o.avif").read_bytes()[4:12], b"ftypavif")

    def test_frames_all_keeps_every_frame(self):
        if not (trimlet.has("animation") and trimlet.has("gif") and trimlet.has("webp")):
            self.skipTest("this build has no GIF animation")
        pictures = [framed().convert("RGB").rotate(90 * i).convert("P", palette=Image.ADAPTIVE) for i in range(3)]
        data = encoded(pictures[0], "GIF", save_all=True, append_images=pictures[1:], duration=[40, 60, 80], loop=0)
        self.assertEqual(trimlet.plan(data, "rect", 2, 3, 30, 20).frames, 3)
        self.assertEqual(trimlet.plan(encoded(gradient(8, 8)), "rect", 0, 0, 4, 4).frames, 1)
        for fmt in ("gif", "webp"):
            cut = Image.open(io.BytesIO(trimlet.crop(data, "rect", 2, 3, 30, 20, format=fmt, frames="all",
                                                     lossless=True)))
            self.assertEqual((cut.n_frames, cut.size), (3, (30, 20)))
            first = Image.open(io.BytesIO(trimlet.crop(data, "rect", 2, 3, 30, 20, format=fmt, frames="first")))
            self.assertEqual(getattr(first, "n_frames", 1), 1)
        with self.assertRaises(trimlet.ArgumentError):
            trimlet.crop(data, "rect", 2, 3, 30, 20, frames="all")
        with self.assertRaises(ValueError):
            trimlet.crop(data, "rect", 2, 3, 30, 20, frames="every")


class Errors(Scratch):
    def test_failures_raise_their_class_with_the_librarys_message(self):
        data = encoded(framed())
        missing = str(self.dir / "missing.png")
        no_dir = self.dir / "no" / "dir.png"
        cases = [  # call, exception, status, message
            (lambda: trimlet.crop(missing, "auto", output=self.dir / "o.png"), trimlet.ReadError,
             "READ", "cannot decode '%s': No such file or directory" % missing),
            (lambda: trimlet.crop(missing, "auto"), trimlet.ReadError,
             "READ", "cannot decode '%s': No such file or directory" % missing),
            (lambda: trimlet.plan(missing, "auto"), trimlet.ReadError,
             "READ", "cannot decode '%s': No such file or directory" % missing),
            (lambda: trimlet.crop(b"not an image", "auto"), trimlet.UnsupportedError,
             "UNSUPPORTED", "cannot decode '<memory>': unknown image type"),
            (lambda: trimlet.crop(b"not an image", "auto", output=self.dir / "o.png"),
             trimlet.UnsupportedError, "UNSUPPORTED", "cannot decode '<memory>': unknown image type"),
            (lambda: trimlet.plan(b"not an image", "auto"), trimlet.UnsupportedError,
             "UNSUPPORTED", "cannot decode '<memory>': unknown image type"),
            (lambda: trimlet.crop(data[:len(data) // 2], "auto"), trimlet.CorruptError, "CORRUPT", None),
            (lambda: trimlet.crop(data, "rect", 0, 0, 0, 5), trimlet.ArgumentError,
             "ARGUMENT", "rect: width/height must be > 0 (got 0x5)"),
            (lambda: trimlet.crop(data, "aspect", 7), trimlet.ArgumentError,
             "ARGUMENT", "aspect: ratio 7 out of range 0..4"),
            (lambda: trimlet.crop(data, "ratio", 0, 1), trimlet.ArgumentError,
             "ARGUMENT", "ratio: parts must be > 0 (got 0:1)"),
            (lambda: trimlet.crop(data, 9), trimlet.ArgumentError, "ARGUMENT", "crop: unknown rule 9"),
            (lambda: trimlet.crop(data, "auto", format="xyz"), trimlet.ArgumentError, "ARGUMENT", None),
            (lambda: trimlet.crop(data, "rect", 100, 0, 5, 5), trimlet.RuleError, "RULE",
             "rect: 100,0 5x5 does not overlap the 60x40 image"),
            (lambda: trimlet.crop(encoded(Image.new("RGB", (9, 9), (1, 2, 3))), "auto"),
             trimlet.RuleError, "RULE", "auto: image is uniform (nothing to crop to, tolerance 10)"),
            (lambda: trimlet.crop(data, "auto", max_pixels=2399), trimlet.TooLargeError, "TOO_LARGE",
             "image too large: 60x40 is more than 2399 pixels (max_pixels)"),
            (lambda: trimlet.crop(data, "auto", output=no_dir), trimlet.WriteError,
             "WRITE", "cannot write '%s': No such file or directory" % no_dir),
            (lambda: trimlet.crop(data, "auto", output=self.dir / "o.gif"),
             trimlet.UnsupportedError if trimlet.has("gif") else trimlet.UnavailableError,
             "UNSUPPORTED" if trimlet.has("gif") else "UNAVAILABLE", None),
        ]
        for call, kind, status, message in cases:
            with self.subTest(kind=kind.__name__, message=message):
                with self.assertRaises(kind) as caught:
                    call()
                self.assertIsInstance(caught.exception, trimlet.TrimletError)
                self.assertEqual(caught.exception.status, trimlet.Status[status])
                if message is not None:
                    self.assertEqual(caught.exception.message, message)
                self.assertEqual(str(caught.exception), caught.exception.message)
        self.assertEqual(sorted(os.listdir(self.dir)), [])
        self.assertEqual(trimlet.plan(data, "auto", max_pixels=2400), trimlet.plan(data, "auto", max_pixels=-1))

    def test_wrong_arguments_are_python_errors_before_the_call(self):
        data = encoded(framed())
        cases = [
            (TypeError, lambda: trimlet.crop(data, "rect", 1, 2)),
            (TypeError, lambda: trimlet.crop(data, "rect", 0, 0, "5", 5)),
            (TypeError, lambda: trimlet.crop(data, "rect", 0, 0, True, 5)),
            (TypeError, lambda: trimlet.crop(data, "auto", 2.0)),
            (TypeError, lambda: trimlet.crop(data, True)),
            (TypeError, lambda: trimlet.crop(data, "auto", quality="90")),
            (TypeError, lambda: trimlet.crop(data, "auto", quality=True)),
            (TypeError, lambda: trimlet.crop(data, "auto", colour="red")),
            (ValueError, lambda: trimlet.crop(data, "trim")),
            (ValueError, lambda: trimlet.crop(data, "rect", 0, 0, 2**31, 1)),
            (ValueError, lambda: trimlet.crop(data, "auto", quality=0)),
            (ValueError, lambda: trimlet.crop(data, "auto", quality=101)),
            (ValueError, lambda: trimlet.crop(data, "auto", background="12345")),
            (ValueError, lambda: trimlet.crop(data, "ratio", 1, 1, position="center")),
            (ValueError, lambda: trimlet.crop(data, "ratio", 1, 1, position=11)),
            (ValueError, lambda: trimlet.crop(data, "ratio", 1, 1, position=-1)),
            (TypeError, lambda: trimlet.crop(data, "ratio", 1, 1, position=1.0)),
            (ValueError, lambda: trimlet.crop(data, "auto", resize=(-1, 64))),
            (ValueError, lambda: trimlet.crop(data, "auto", resize=(64, 2**31))),
            (TypeError, lambda: trimlet.crop(data, "auto", resize=(True, 64))),
            (TypeError, lambda: trimlet.crop(data, "auto", resize=(64.0, 64))),
            (TypeError, lambda: trimlet.crop(data, "auto", resize=64)),
            (TypeError, lambda: trimlet.crop(data, "auto", resize="64x64")),
        ]
        for kind, call in cases:
            with self.subTest(kind=kind.__name__):
                self.assertRaises(kind, call)

    def test_bytes_into_a_file_leave_no_temporary_file(self):
        data = encoded(framed())
        tempfile.tempdir = str(self.dir)
        try:
            trimlet.crop(data, "auto", output=self.dir / "a.png")
            with self.assertRaises(trimlet.CorruptError):
                trimlet.crop(data[:len(data) // 2], "auto", output=self.dir / "b.png")
        finally:
            tempfile.tempdir = None
        self.assertEqual(os.listdir(self.dir), ["a.png"])


class Module(unittest.TestCase):
    def test_versions_and_rules(self):
        self.assertEqual(trimlet.__version__, trimlet.library_version)
        expected = os.environ.get("TRIMLET_EXPECTED_VERSION")
        if expected:
            self.assertEqual(trimlet.__version__, expected)
        self.assertEqual([(r.name, int(r)) for r in trimlet.Rule],
                         [("RECT", 0), ("ASPECT", 1), ("AUTO", 2), ("EDGES", 3), ("RATIO", 4)])
        data = encoded(framed())
        self.assertEqual(trimlet.plan(data, trimlet.Rule.AUTO), trimlet.plan(data, "auto"))
        self.assertIs(trimlet.has("no such feature"), False)
        self.assertIs(trimlet.has("lossless"), unavailable(lossless=True) is None)


class Threads(Scratch):
    def test_a_pool_of_eight_gives_what_a_loop_gives(self):
        inputs = [encoded(framed(40 + i, 30 + i % 7)) for i in range(12)] + [b"broken"]
        calls = [(data, rule, params, fmt) for data in inputs for rule, params, _ in RULES
                 for fmt in ("png", "jpg")]

        def one(call):
            data, rule, params, fmt = call
            try:
                return trimlet.crop(data, rule, *params, format=fmt), trimlet.plan(data, rule, *params)
            except trimlet.TrimletError as e:
                return e.message

        expected = [one(call) for call in calls]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            for _ in range(2):
                self.assertEqual(list(pool.map(one, calls)), expected)
        self.assertEqual(sum(isinstance(r, str) for r in expected), len(RULES) * 2)


if __name__ == "__main__":
    unittest.main()
