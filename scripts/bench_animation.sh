#!/usr/bin/env bash
# Animated crops, one process per crop: a GIF and a WebP animation of N
# frames (default 100) of 640x480, written by Pillow (moving shapes over a
# gradient, a 256-colour table a frame), cut to 400x300 at (120, 90) by
# trimlet's program (every frame: GIF -> GIF losslessly, GIF -> WebP and
# WebP -> WebP at quality 80), gifsicle --crop (GIF -> GIF) and ImageMagick
# (-coalesce -crop +repage, re-quantising every GIF frame). Prints a Markdown
# table of median wall and CPU times over interleaved rounds, each as a ratio
# to trimlet's on the same conversion (above 1: slower than trimlet), peak
# memory and output size. sharp ({animated: true}.extract(), libvips'
# page-aware crop; GIF written by cgif and libimagequant) runs too when it is
# installed with npm in SHARP_DIR (default /tmp/peers): `mkdir -p
# /tmp/peers && cd /tmp/peers && npm install sharp`, outside the repository.
#   scripts/bench_animation.sh [--runs N] [--frames N]
# Needs python3 with Pillow (python3-pil; PYTHON names another), gifsicle, ImageMagick's convert,
# GNU time (time); the program built in build/ (cmake --build build
# --target trimlet_cli).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3
frames=100
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --frames) frames=$2; shift 2 ;;
    *) echo "bench_animation.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
python=${PYTHON:-python3}
for tool in "$python" gifsicle convert; do
  command -v "$tool" >/dev/null || { echo "bench_animation.sh: needs $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "bench_animation.sh: needs GNU time (apt-get install time)" >&2; exit 1; }
cli=$(realpath build/tools/trimlet)
[ -x "$cli" ] || { echo "bench_animation.sh: build the program in build/ first" >&2; exit 1; }
sharp_dir=${SHARP_DIR:-/tmp/peers}

dir=$(mktemp -d /tmp/trimlet-anim-XXXXXX)
trap 'rm -rf "$dir"' EXIT
. scripts/bench_common.sh
echo "generating $frames frames of 640x480 in $dir ..." >&2
"$python" - "$dir" "$frames" <<'PY'
import sys
from PIL import Image, ImageDraw
d, n = sys.argv[1], int(sys.argv[2])
base = Image.linear_gradient("L").resize((640, 480)).convert("RGB")
frames = []
for i in range(n):
    im = base.copy()
    g = ImageDraw.Draw(im)
    for k in range(6):
        x = (i * (5 + k) + k * 97) % 600
        g.ellipse((x, 40 + k * 70, x + 60, 100 + k * 70), fill=(40 * k, 255 - 30 * k, (i * 7) % 256))
    frames.append(im)
pal = [f.convert("P", palette=Image.ADAPTIVE) for f in frames]
pal[0].save(d + "/in.gif", save_all=True, append_images=pal[1:], duration=40, loop=0)
frames[0].save(d + "/in.webp", save_all=True, append_images=frames[1:], duration=40, loop=0, quality=80)
PY
have_sharp=0
if [ -d "$sharp_dir/node_modules/sharp" ] && command -v node >/dev/null; then
  have_sharp=1
  cat >"$dir/sharp.js" <<JS
const sharp = require('$sharp_dir/node_modules/sharp');
const [, , i, o] = process.argv;
let s = sharp(i, {animated: true}).extract({left: 120, top: 90, width: 400, height: 300});
if (o.endsWith('.webp')) s = s.webp({quality: 80});
s.toFile(o).catch((e) => { console.error(e.message); process.exit(1); });
JS
fi

cases=(
  "trimlet gif>gif|$cli rect 120 90 400 300 $dir/in.gif -o $dir/t.gif|t.gif"
  "gifsicle gif>gif|gifsicle --crop 120,90+400x300 $dir/in.gif -o $dir/g.gif|g.gif"
  "ImageMagick gif>gif|convert $dir/in.gif -coalesce -crop 400x300+120+90 +repage $dir/m.gif|m.gif"
  "trimlet gif>webp|$cli rect 120 90 400 300 $dir/in.gif -o $dir/t.webp|t.webp"
  "ImageMagick gif>webp|convert $dir/in.gif -coalesce -crop 400x300+120+90 +repage -quality 80 $dir/m.webp|m.webp"
  "trimlet webp>webp|$cli rect 120 90 400 300 $dir/in.webp -o $dir/tw.webp|tw.webp"
  "ImageMagick webp>webp|convert $dir/in.webp -coalesce -crop 400x300+120+90 +repage -quality 80 $dir/mw.webp|mw.webp"
)
if [ $have_sharp = 1 ]; then
  cases+=("sharp gif>gif|node $dir/sharp.js $dir/in.gif $dir/s.gif|s.gif"
          "sharp gif>webp|node $dir/sharp.js $dir/in.gif $dir/s.webp|s.webp"
          "sharp webp>webp|node $dir/sharp.js $dir/in.webp $dir/sw.webp|sw.webp")
fi
for ((r = 0; r < runs; ++r)); do
  for c in "${cases[@]}"; do
    IFS='|' read -r name cmd _ <<<"$c"
    # shellcheck disable=SC2086
    run "${name// /_}" $cmd
  done
done
# ratio A B: A / B to two places, "-" when B is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
echo "| crop ($frames frames, 640x480 to 400x300) | wall (median) | × trimlet | CPU | × trimlet | peak RSS | output |"
echo "|---|---|---|---|---|---|---|"
for c in "${cases[@]}"; do
  IFS='|' read -r name _ out <<<"$c"
  f=$dir/${name// /_} t=$dir/trimlet_${name#* }
  wall=$(awk '{print $1}' "$f" | median)
  cpu=$(awk '{print $3}' "$f" | median)
  mem=$(awk '{print $2}' "$f" | median)
  twall=$(awk '{print $1}' "$t" | median)
  tcpu=$(awk '{print $3}' "$t" | median)
  printf '| %s | %.3f s | %s | %.2f s | %s | %.1f MiB | %d KiB |\n' "$name" "$(echo "$wall / 1000000" | bc -l)" \
    "$(ratio "$wall" "$twall")" "$cpu" "$(ratio "$cpu" "$tcpu")" \
    "$(echo "$mem / 1024" | bc -l)" "$(( $(stat -c %s "$dir/$out") / 1024 ))"
done
echo "inputs: GIF $(( $(stat -c %s "$dir/in.gif") / 1024 )) KiB, WebP $(( $(stat -c %s "$dir/in.webp") / 1024 )) KiB"
