#!/usr/bin/env bash
# Compares every output of this tree's program with the last release's, byte
# for byte: the release is built from git beside this tree, both programs crop
# the same inputs (the fuzz corpus, demo/ and tests/data/) by every rule,
# output format and option set below, and the output files, exit statuses and
# messages must be equal. Differences that a change makes on purpose are
# listed, with the reason, in scripts/compare-release.expected; they are
# printed by name, and anything else fails the script.
#
#   scripts/compare-release.sh [NEW_BUILD_DIR]     (default: build/)
#
# Environment: TRIMLET_RELEASE (the release's commit, default 0054238, 1.2),
# TRIMLET_COMPARE_DIR (the work folder, default build-compare/).
set -euo pipefail
cd "$(dirname "$0")/.."
new_build=${1:-build}
release=${TRIMLET_RELEASE:-0054238}
work=$(realpath -m "${TRIMLET_COMPARE_DIR:-build-compare}")
expected=scripts/compare-release.expected

new_cli=$new_build/tools/trimlet
[ -x "$new_cli" ] || { echo "compare-release: no program at $new_cli (build it first)" >&2; exit 2; }

# The release's program, built once per commit.
old_src=$work/release-$release
old_cli=$old_src/build/tools/trimlet
if [ ! -x "$old_cli" ]; then
  rm -rf "$old_src" && mkdir -p "$old_src"
  git archive "$release" | tar -x -C "$old_src"
  cmake -S "$old_src" -B "$old_src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRIMLET_BUILD_TESTS=OFF \
    -DTRIMLET_INSTALL=OFF >/dev/null
  cmake --build "$old_src/build" -j"$(nproc)" --target trimlet_cli >/dev/null
fi

inputs=$work/inputs
rm -rf "$inputs" && mkdir -p "$inputs"
cp fuzz/corpus/* "$inputs"/
cp demo/*.png "$inputs"/
find tests/data -maxdepth 2 -type f ! -name '*.txt' ! -name '*.cpp' ! -name '*.h' -exec cp {} "$inputs"/ \;

# name | arguments (the rule, its values and options; -d and the inputs follow)
combos=(
  "rect-png|rect 3 2 40 30 --format png"
  "rect-jpg|rect 3 2 40 30 --format jpg"
  "rect-bmp|rect 3 2 40 30 --format bmp --background 336699"
  "rect-tga|rect 3 2 40 30 --format tga"
  "rect-webp|rect 3 2 40 30 --format webp"
  "rect-webp-lossless|rect 3 2 40 30 --format webp --lossless"
  "rect-stored-strip|rect 1 1 1000 1000 --format png --as-stored --strip"
  "aspect-centre|aspect 1:1 --format png"
  "aspect-northeast|aspect 16:9 --format jpg --quality 70 --position northeast"
  "aspect-entropy|aspect 1:1 --format png --position entropy"
  "aspect-attention|aspect 3:4 --format png --position attention"
  "aspect-lossless|aspect 1:1 --format jpg --lossless"
  "auto|auto --format png"
  "auto-tolerance|auto -t 30 --format png"
  "edges|edges 10 5 10 5 --format png"
  "thumb|thumb 24x16 --format png"
  "resize|edges 5 5 5 5 --format png --resize 20x"
)
if "$new_cli" --version 2>/dev/null | grep -qi avif; then
  combos+=("rect-avif|rect 0 0 16 16 --format avif")
fi

new_cli=$(realpath "$new_cli")
old_cli=$(realpath "$old_cli")
unexpected=0
listed=()
for combo in "${combos[@]}"; do
  name=${combo%%|*}
  read -r -a args <<<"${combo#*|}"
  for side in old new; do
    cli=$old_cli; [ "$side" = new ] && cli=$new_cli
    # Since 1.3 the program writes PNG in its compact form by default;
    # --png-rgba gives the release's 8-bit RGBA, compared byte for byte.
    extra=(); [ "$side" = new ] && extra=(--png-rgba)
    out=$work/out-$side/$name
    rm -rf "$out" && mkdir -p "$out"
    # One file at a time, so the messages come in the inputs' order.
    set +e
    (cd "$inputs" && "$cli" "${args[@]}" ${extra[@]+"${extra[@]}"} -j 1 -d "$out" -- * >"$out.stdout" 2>"$out.stderr")
    echo $? >"$out.status"
    set -e
  done
  # Outputs that differ, appear or disappear, then messages.
  diffs=$( (diff -rq "$work/out-old/$name" "$work/out-new/$name" || true) |
          sed -E 's#^Files .*/([^/]+) and .* differ$#\1#; s#^Only in [^:]*: (.*)$#\1#')
  msgs=$(diff <(sed 's/^trimlet: //' "$work/out-old/$name.stderr") <(sed 's/^trimlet: //' "$work/out-new/$name.stderr") |
         sed -nE "s/^[<>] ([^:]+): .*/\1/p" | sort -u || true)
  for f in $(printf '%s\n%s\n' "$diffs" "$msgs" | sed -E 's/\.(png|jpg|bmp|tga|webp|avif)$//' | sort -u); do
    [ -n "$f" ] || continue
    why=$(awk -v c="$name" -v f="$f" '$1 !~ /^#/ && NF >= 3 {
            n = $1; p = $2; gsub(/\*/, ".*", n); gsub(/\*/, ".*", p)
            if (c ~ "^" n "$" && f ~ "^" p "(\\.[a-z]+)?$") { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit } }' "$expected")
    if [ -n "$why" ]; then
      listed+=("$name $f: $why")
    else
      echo "compare-release: $name: $f differs from $release's output" >&2
      unexpected=$((unexpected + 1))
    fi
  done
  if ! cmp -s "$work/out-old/$name.status" "$work/out-new/$name.status" && [ -z "$diffs$msgs" ]; then
    echo "compare-release: $name: exit status differs" >&2
    unexpected=$((unexpected + 1))
  fi
done

count=$(ls "$inputs" | wc -l)
echo "compare-release: ${#combos[@]} option sets x $count inputs against $release"
if [ ${#listed[@]} -gt 0 ]; then
  echo "compare-release: ${#listed[@]} differences made on purpose:"
  printf '  %s\n' "${listed[@]}"
fi
if [ "$unexpected" -gt 0 ]; then
  echo "compare-release: $unexpected unexpected differences" >&2
  exit 1
fi
echo "compare-release: every other output byte-identical"
