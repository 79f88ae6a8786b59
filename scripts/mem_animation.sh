#!/usr/bin/env bash
# Memory of animated crops, and the frames x pixels bomb. Generates with
# Pillow an animated GIF of N frames (default 300) of W x H (default
# 1920x1080): a gradient ground with shapes that move, every frame whole,
# one table for the file, 40 ms a frame, looping for ever. trimlet's program
# cuts it frame by frame to the centre (W - W/6) x (H - H/6): GIF -> GIF
# with rect (no frame composited) and with auto (every frame composited,
# twice), and GIF -> WebP at quality 80. Each peak RSS (GNU time, the whole
# process) is printed against its bound, a canvas being W x H x 4 bytes:
#   GIF -> GIF:  2 canvases + the input file
#   GIF -> WebP: 3 canvases + the input file + 2 x the output
# Then the bomb: 10,000 frames of 3840x2160 (150 KB), refused with every
# frame asked for; bench/anim_bomb.c times the refusal in process (median
# and worst of RUNS) and reports how far peak RSS grew over a small
# animation's crop, against 50 ms and 4 MiB.
#   scripts/mem_animation.sh [--frames N] [--size WxH] [--runs RUNS] [--no-webp]
# Needs python3 with Pillow (python3-pil; PYTHON names another), GNU time,
# a C compiler, and the program and library built in build/ (cmake --build
# build --target trimlet_cli).
set -euo pipefail
cd "$(dirname "$0")/.."
frames=300 size=1920x1080 runs=21 webp=1
while [ $# -gt 0 ]; do
  case $1 in
    --frames) frames=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --no-webp) webp=0; shift ;;
    *) echo "mem_animation.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
python=${PYTHON:-python3}
"$python" -c 'import PIL' 2>/dev/null || { echo "mem_animation.sh: needs $python with Pillow" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "mem_animation.sh: needs GNU time (apt-get install time)" >&2; exit 1; }
cli=$(realpath build/tools/trimlet)
[ -x "$cli" ] || { echo "mem_animation.sh: build the program in build/ first" >&2; exit 1; }
w=${size%x*} h=${size#*x}

dir=$(mktemp -d /tmp/trimlet-mem-XXXXXX)
trap 'rm -rf "$dir"' EXIT
echo "generating $frames frames of ${w}x$h in $dir ..." >&2
cat >"$dir/gen.py" <<'PY'
import io, sys
from PIL import Image, ImageDraw
path, n, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
# One table: a 192-level ramp for the ground, 64 colours for the shapes.
pal = []
for i in range(192):
    pal += [i * 4 // 3, i, 255 - i]
for i in range(64):
    pal += [(i * 53) & 255, (i * 97) & 255, (i * 151) & 255]
ramp = Image.linear_gradient("L").resize((w, h)).point(lambda v: v * 191 // 255)
ground = Image.frombytes("P", (w, h), ramp.tobytes())
ground.putpalette(pal)
def frame(i):
    im = ground.copy()
    g = ImageDraw.Draw(im)
    for k in range(8):
        x = (i * (7 + 2 * k) + k * 211) % max(1, w - 200)
        y = 60 + k * (h - 200) // 8
        g.ellipse((x, y, x + 180, y + 140), fill=192 + (k * 7 + i) % 64)
        g.rectangle((w - x - 160, y + 30, w - x, y + 90), fill=192 + (k * 3 + i * 5) % 64)
    return im
def end_of_blocks(d, p):
    while d[p]:
        p += 1 + d[p]
    return p + 1
# Each frame is written by Pillow as a GIF of its own and its image block
# copied out, so that no more than one frame is ever held.
with open(path, "wb") as out:
    for i in range(n):
        buf = io.BytesIO()
        frame(i).save(buf, "GIF", optimize=False)
        d = buf.getvalue()
        table = 3 << ((d[10] & 7) + 1) if d[10] & 0x80 else 0
        if i == 0:
            out.write(b"GIF89a" + d[6:13 + table])
            out.write(b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00")
            first = d[13:13 + table]
        assert d[13:13 + table] == first
        p = 13 + table
        while d[p] == 0x21:
            p = end_of_blocks(d, p + 2)
        out.write(b"\x21\xf9\x04\x04\x04\x00\x00\x00")  # 40 ms, disposal none
        out.write(d[p:end_of_blocks(d, p + 11)])
    out.write(b"\x3b")
PY
"$python" "$dir/gen.py" "$dir/in.gif" "$frames" "$w" "$h"
"$python" "$dir/gen.py" "$dir/small.gif" 3 240 200

canvas=$((w * h * 4))
file=$(stat -c %s "$dir/in.gif")
cw=$((w - w / 6)) ch=$((h - h / 6)) cx=$((w / 12)) cy=$((h / 12))
mib() { echo "$1 / 1048576" | bc -l | xargs printf '%.1f'; }
echo "| ${frames} frames of ${w}x$h ($(mib "$file") MiB GIF) | time | peak RSS | bound | within |"
echo "|---|---|---|---|---|"
measure() {  # NAME OUTPUT BOUND_WITHOUT_OUTPUT OUTPUT_FACTOR ARGS...
  local name=$1 out=$2 base=$3 factor=$4
  shift 4
  /usr/bin/time -f "%M %e" -o "$dir/time" "$cli" "$@" -o "$out" >/dev/null 2>"$dir/err" ||
    { cat "$dir/err" >&2; exit 1; }
  read -r kib secs <"$dir/time"
  local peak=$((kib * 1024)) bound=$((base + factor * $(stat -c %s "$out")))
  printf '| %s | %.1f s | %s MiB | %s MiB | %s |\n' "$name" "$secs" "$(mib $peak)" "$(mib $bound)" \
    "$([ $peak -lt $bound ] && echo yes || echo NO)"
}
measure "GIF → GIF, rect" "$dir/out.gif" $((2 * canvas + file)) 0 rect $cx $cy $cw $ch "$dir/in.gif"
measure "GIF → GIF, auto" "$dir/auto.gif" $((2 * canvas + file)) 0 auto "$dir/in.gif"
if [ $webp = 1 ]; then
  measure "GIF → WebP q80, rect" "$dir/out.webp" $((3 * canvas + file)) 2 rect $cx $cy $cw $ch "$dir/in.gif"
fi
echo "(a canvas: $(mib $canvas) MiB; the crops are ${cw}x$ch; bounds: 2 canvases + input, 3 canvases + input + 2 x output)"

# The bomb: a 3840x2160 screen, then 10,000 frames of 3840x2160 whose data
# is a few bytes each.
"$python" - "$dir/bomb.gif" <<'PY'
import sys
frame = bytes((0x2C, 0, 0, 0, 0, 0x00, 0x0F, 0x70, 0x08, 0, 2, 2, 0x4C, 0x01, 0))
head = b"GIF89a" + bytes((0x00, 0x0F, 0x70, 0x08, 0x80, 0, 0, 0, 0, 0, 255, 255, 255))
open(sys.argv[1], "wb").write(head + frame * 10000 + b"\x3b")
PY
cc -O2 -Wall -Wextra -Iinclude bench/anim_bomb.c -o "$dir/anim_bomb" -Lbuild -ltrimlet
read -r status median worst growth < <(LD_LIBRARY_PATH=build "$dir/anim_bomb" "$dir/bomb.gif" "$dir/small.gif" \
  "$dir/bomb-out.gif" "$runs" | head -n1)
LD_LIBRARY_PATH=build "$dir/anim_bomb" "$dir/bomb.gif" "$dir/small.gif" "$dir/bomb-out.gif" 1 | tail -n1 | sed 's/^/  /'
printf 'bomb (10,000 frames of 3840x2160, %d KB): status %d, median %.2f ms, worst %.2f ms of %d; peak RSS +%d KiB over a small crop (bounds 50 ms, 4096 KiB)\n' \
  $(( $(stat -c %s "$dir/bomb.gif") / 1000 )) "$status" "$median" "$worst" "$runs" "$growth"
