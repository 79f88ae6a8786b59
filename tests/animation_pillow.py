#!/usr/bin/env python3
"""Pillow's view of an animation cut, for tests/test_animation.cpp: every
frame of OUT must show what IN shows at the same time, cut to the box, with
the same total duration and loop count.

Usage: animation_pillow.py IN OUT X Y W H MEAN_DIFF
MEAN_DIFF 0 asks for exact pixels (RGB compared where alpha > 0); more
allows that mean difference a channel (lossy WebP). Prints the frame count."""
import sys

from PIL import Image, ImageSequence


def timeline(path):
    frames, t = [], 0
    with Image.open(path) as im:
        loop = im.info.get("loop")
        for f in ImageSequence.Iterator(im):
            f.load()
            d = f.info.get("duration") or 0
            frames.append((t, d, f.convert("RGBA").copy()))
            t += d
    return frames, t, loop


def main():
    src, out = sys.argv[1], sys.argv[2]
    x, y, w, h = (int(v) for v in sys.argv[3:7])
    tolerance = float(sys.argv[7])
    a, a_total, a_loop = timeline(src)
    b, b_total, b_loop = timeline(out)
    problems = []
    if a_total != b_total:
        problems.append("total duration %d, cut %d" % (a_total, b_total))
    if a_loop is not None and a_loop != b_loop:
        problems.append("loop %r, cut %r" % (a_loop, b_loop))
    for i, (t, d, picture) in enumerate(b):
        if picture.size != (w, h):
            problems.append("frame %d is %dx%d" % (i, *picture.size))
            continue
        if d == 0 and i + 1 < len(b):
            continue  # shown for no time
        shown = [f for f in a if f[0] <= t][-1][2].crop((x, y, x + w, y + h))
        total = worst = 0
        for p, q in zip(shown.getdata(), picture.getdata()):
            channels = range(4) if p[3] or q[3] else (3,)
            for c in channels:
                diff = abs(p[c] - q[c])
                total += diff
                worst = max(worst, diff)
        mean = total / (w * h * 4)
        if (tolerance == 0 and worst) or mean > tolerance:
            problems.append("frame %d at %d ms: mean difference %.2f, worst %d" % (i, t, mean, worst))
    if problems:
        print("; ".join(problems))
        return 1
    print(len(b))
    return 0


sys.exit(main())
