#!/usr/bin/env bash
# In-process crops, as a service that links the library runs them: every
# call is decode + cut + encode, start-up not counted. trimlet through
# trimlet_run (bench/inprocess.c) with the defaults and with verify = region
# plus compact PNG, optionally a 1.2 build of the library through the same
# driver, sharp (one thread, no cache; bench/inprocess_sharp.js) and Pillow
# (bench/inprocess_pillow.py). Inputs: the benchmark's 12 MP photo JPEG and
# 2 MP screenshot PNG (trimlet_bench --inputs-only), and made from the photo
# with Pillow, a 1 MP JPEG and a 7 MP PNG. Crops: rect (the centre quarter),
# aspect 16:9, edges 10 % and a 256x256 attention thumbnail (Pillow: the
# centred square), written in the input's format (JPEG quality 90).
# Each round runs every tool's process once, in turn, and each process makes
# one warm-up call and CALLS timed calls per case; the table gives the
# medians of all timed calls (wall time, then the process's CPU time: user
# and system of every thread, the steadier measure on a busy machine), the
# ratios of the medians, and output sizes.
# Last, a table of PNG sizes: every input and crop written to PNG (the JPEG
# inputs too) by trimlet (compact and 8-bit RGBA), sharp, Pillow, and, where
# installed (scripts/deps.sh --bench), ImageMagick (`convert ... -strip`) and
# libvips (`vips crop`, `vips thumbnail --crop attention`), each once, with
# trimlet's compact size over each peer's.
#   scripts/bench_inprocess.sh SHARP_DIR [ROUNDS] [CALLS] [OLD_LIB_DIR]
# SHARP_DIR: a folder where `npm install sharp` was run (outside the
# repository), or "-" to leave sharp out. OLD_LIB_DIR: a folder holding a
# 1.2 build's libtrimlet.so.1, for the "1.2" column. PYTHON: a Python with
# Pillow (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
sharp=${1:?usage: bench_inprocess.sh SHARP_DIR [ROUNDS] [CALLS] [OLD_LIB_DIR]}
rounds=${2:-3} calls=${3:-3} old=${4:-}
py=${PYTHON:-python3}  # with Pillow
if [ -z "${PYTHON:-}" ] && ! python3 -c 'import PIL' 2>/dev/null && [ -x /usr/bin/python3 ]; then py=/usr/bin/python3; fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTRIMLET_BUILD_BENCH=ON -DTRIMLET_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target trimlet trimlet_bench -j2 >/dev/null
dir=$(mktemp -d /tmp/trimlet-inprocess-XXXXXX)
trap 'rm -rf "$dir"' EXIT
cc -O2 -Wall -Wextra -Iinclude bench/inprocess.c -o "$dir/driver" -Lbuild-bench -ltrimlet
export LD_LIBRARY_PATH=$PWD/build-bench${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

build-bench/bench/trimlet_bench --inputs-only --image photo --dir "$dir" 2>/dev/null
build-bench/bench/trimlet_bench --inputs-only --image screenshot --dir "$dir" 2>/dev/null
"$py" - "$dir" <<'PY'
import sys
from PIL import Image
d = sys.argv[1]
photo = Image.open(d + "/photo.jpg")
photo.resize((1155, 866), Image.LANCZOS).save(d + "/photo1mp.jpg", quality=90)
photo.resize((3200, 2240), Image.LANCZOS).save(d + "/photo7mp.png")
PY

# The case file: trimlet's rule and params, and the same box for the peers.
for in in photo.jpg photo1mp.jpg screenshot.png photo7mp.png; do
  read -r w h < <("$py" -c "from PIL import Image; print(*Image.open('$dir/$in').size)")
  fmt=${in##*.}
  [ "$fmt" = jpg ] && fmt=jpeg
  ah=$(( (w * 9 + 8) / 16 ))
  tag=${in%.*}
  echo "$tag-rect $dir/$in $fmt 0 $((w / 4)) $((h / 4)) $((w / 2)) $((h / 2)) $((w / 4)) $((h / 4)) $((w / 2)) $((h / 2)) 0"
  echo "$tag-aspect $dir/$in $fmt 1 2 0 0 0 0 $(( (h - ah) / 2 )) $w $ah 0"
  echo "$tag-edges $dir/$in $fmt 3 10 10 10 10 $((w / 10)) $((h / 10)) $((w - 2 * (w / 10))) $((h - 2 * (h / 10))) 0"
  echo "$tag-thumb $dir/$in $fmt 4 1 1 0 0 0 0 0 0 256"
done >"$dir/cases"

tools=(default region)
[ -n "$old" ] && tools=(old "${tools[@]}")
[ "$sharp" != - ] && tools+=(sharp)
tools+=(pillow)
for ((r = 0; r < rounds; ++r)); do
  for t in "${tools[@]}"; do
    case $t in
      old) LD_LIBRARY_PATH=$old "$dir/driver" 1.2 "$calls" "$dir/cases" >>"$dir/t.old" ;;
      default) "$dir/driver" default "$calls" "$dir/cases" >>"$dir/t.default" ;;
      region) cp "$dir/cases" "$dir/cases.r" && "$dir/driver" region "$calls" "$dir/cases.r" >>"$dir/t.region" ;;
      sharp) node bench/inprocess_sharp.js "$sharp" "$calls" "$dir/cases" >>"$dir/t.sharp" ;;
      pillow) "$py" bench/inprocess_pillow.py "$calls" "$dir/cases" >>"$dir/t.pillow" ;;
    esac
  done
done

# Region's output holds the default's pixels (PNG: compact, so decoded).
"$py" - "$dir" <<'PY'
import sys
from PIL import Image
d = sys.argv[1]
for line in open(d + "/cases"):
    name = line.split()[0]
    a, b = Image.open("%s/cases.%s.out" % (d, name)), Image.open("%s/cases.r.%s.out" % (d, name))
    if a.convert("RGBA").tobytes() != b.convert("RGBA").tobytes():
        sys.exit("bench_inprocess.sh: %s: verify = region changed the pixels" % name)
PY

for measure in wall cpu; do
echo
echo "$measure time, ms (median of $((rounds * calls)) calls per tool and case):"
echo
"$py" - "$dir" "$measure" "${tools[@]}" <<'PY'
import statistics
import sys
d, measure, tools = sys.argv[1], sys.argv[2], sys.argv[3:]
which = 1 if measure == "cpu" else 0
ms, size = {}, {}
for t in tools:
    for line in open("%s/t.%s" % (d, t)):
        f = line.split()
        ms.setdefault((t, f[0]), []).extend(float(v.split(":")[which]) for v in f[1:-1])
        size[(t, f[0])] = int(f[-1])
names = [line.split()[0] for line in open(d + "/cases")]
head = {"old": "1.2", "default": "trimlet", "region": "region", "sharp": "sharp", "pillow": "Pillow"}
cols = [head[t] + " ms" for t in tools]
ratios = [("sharp", "region"), ("sharp", "default"), ("default", "old"), ("region", "old")]
ratios = [r for r in ratios if r[0] in tools and r[1] in tools]
print("| input | crop | " + " | ".join(cols) + " | " +
      " | ".join("%s/%s" % (head[a], head[b]) for a, b in ratios) + " | KiB out: " +
      " / ".join(head[t] for t in tools) + " |")
print("|---|---|" + "--:|" * (len(cols) + len(ratios) + 1))
for n in names:
    med = {t: statistics.median(ms[(t, n)]) for t in tools}
    image, crop = n.split("-", 1)
    print("| %s | %s | %s | %s | %s |" % (
        image, crop, " | ".join("%.1f" % med[t] for t in tools),
        " | ".join("%.2f" % (med[a] / med[b]) for a, b in ratios),
        " / ".join("%.0f" % (size[(t, n)] / 1024) for t in tools)))
PY
done

# PNG sizes: each case written to PNG, once per tool.
sed 's/ jpeg / png /' "$dir/cases" >"$dir/png"
"$dir/driver" region 0 "$dir/png" >"$dir/s.compact"
cp "$dir/png" "$dir/png.d" && "$dir/driver" default 0 "$dir/png.d" >"$dir/s.rgba"
peers=(compact rgba)
if [ "$sharp" != - ]; then node bench/inprocess_sharp.js "$sharp" 0 "$dir/png" >"$dir/s.sharp" && peers+=(sharp); fi
"$py" bench/inprocess_pillow.py 0 "$dir/png" >"$dir/s.pillow" && peers+=(pillow)
im=$(command -v magick || command -v convert-im6.q16 || command -v convert || true)
if [ -n "$im" ]; then
  while read -r name in fmt rule p0 p1 p2 p3 bx by bw bh thumb; do
    if [ "$thumb" -gt 0 ]; then
      "$im" "$in" -resize "${thumb}x${thumb}^" -gravity center -extent "${thumb}x${thumb}" -strip "$dir/$name.im.png"
    else
      "$im" "$in" -crop "${bw}x${bh}+${bx}+${by}" +repage -strip "$dir/$name.im.png"
    fi
    echo "$name $(stat -c %s "$dir/$name.im.png")"
  done <"$dir/png" >"$dir/s.im"
  peers+=(im)
fi
if command -v vips >/dev/null; then
  while read -r name in fmt rule p0 p1 p2 p3 bx by bw bh thumb; do
    if [ "$thumb" -gt 0 ]; then
      vips thumbnail "$in" "$dir/$name.vips.png[strip]" "$thumb" --height "$thumb" --crop attention
    else
      vips crop "$in" "$dir/$name.vips.png[strip]" "$bx" "$by" "$bw" "$bh"
    fi
    echo "$name $(stat -c %s "$dir/$name.vips.png")"
  done <"$dir/png" >"$dir/s.vips"
  peers+=(vips)
fi
echo
echo "PNG sizes, KiB (every case written to PNG once; compact/peer: trimlet's compact size over the peer's):"
echo
"$py" - "$dir" "${peers[@]}" <<'PY'
import sys
from PIL import Image
d, peers = sys.argv[1], sys.argv[2:]
head = {"compact": "trimlet compact", "rgba": "trimlet RGBA", "sharp": "sharp", "pillow": "Pillow",
        "im": "ImageMagick", "vips": "vips"}
files = {"compact": "%s/png.%s.out", "rgba": "%s/png.d.%s.out", "sharp": "%s/png.%s.sharp",
         "pillow": "%s/png.%s.pillow", "im": "%s/%s.im.png", "vips": "%s/%s.vips.png"}
size = {}
for t in peers:
    for line in open("%s/s.%s" % (d, t)):
        f = line.split()
        size[(t, f[0])] = int(f[-1])
others = [t for t in peers if t != "compact"]
print("| input | crop | " + " | ".join(head[t] for t in peers) + " | " +
      " | ".join("compact/" + head[t] for t in others) + " |")
print("|---|---|" + "--:|" * (len(peers) + len(others)))
for line in open(d + "/png"):
    n = line.split()[0]
    # Every tool's output has the crop's size (the thumbnails' content differs: attention, or centred).
    want = Image.open(files["compact"] % (d, n)).size
    for t in peers:
        got = Image.open(files[t] % (d, n)).size
        if got != want:
            sys.exit("bench_inprocess.sh: %s: %s wrote %s, not %s" % (n, head[t], got, want))
    image, crop = n.split("-", 1)
    print("| %s | %s | %s | %s |" % (
        image, crop, " | ".join("%.0f" % (size[(t, n)] / 1024) for t in peers),
        " | ".join("%.2f" % (size[("compact", n)] / size[(t, n)]) for t in others)))
PY
