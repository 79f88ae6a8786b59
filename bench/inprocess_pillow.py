# trimlet: crop image files. SPDX-License-Identifier: MIT
"""Pillow's side of scripts/bench_inprocess.sh: the case file of
bench/inprocess.c, the output in memory; prints "NAME ms ms ... BYTES" per
case after a warm-up call, as WALL:CPU milliseconds. Pillow has no attention strategy: its thumbnail
is the centred square (ImageOps.fit), Lanczos.
    python3 inprocess_pillow.py CALLS CASEFILE"""
import io
import sys
import time

from PIL import Image, ImageOps


def once(c, keep=None):
    im = Image.open(c["input"])
    if c["thumb"] > 0:
        im = ImageOps.fit(im, (c["thumb"], c["thumb"]), Image.LANCZOS)
    else:
        x, y, w, h = c["box"]
        im = im.crop((x, y, x + w, y + h))
    out = io.BytesIO()
    if c["format"] == "png":
        im.save(out, "PNG")
    else:
        im.convert("RGB").save(out, "JPEG", quality=90)
    if keep:
        with open(keep, "wb") as f:
            f.write(out.getvalue())
    return len(out.getvalue())


def main():
    calls, case_file = int(sys.argv[1]), sys.argv[2]
    for line in open(case_file):
        f = line.split()
        if len(f) < 13:
            continue
        c = {"name": f[0], "input": f[1], "format": f[2],
             "box": [int(v) for v in f[8:12]], "thumb": int(f[12])}
        size = once(c, "%s.%s.pillow" % (case_file, c["name"]))
        times = []
        for _ in range(calls):
            t0, c0 = time.perf_counter(), time.process_time()
            once(c)
            times.append("%.2f:%.2f" % ((time.perf_counter() - t0) * 1e3, (time.process_time() - c0) * 1e3))
        print(c["name"], " ".join(times), size, flush=True)


main()
