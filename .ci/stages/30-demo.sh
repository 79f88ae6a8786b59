#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's first command, as a user runs it, then a check that it wrote
# every output it lists. Takes a few seconds (the program is already built).
set -euo pipefail
cd "$(dirname "$0")/../.."
rm -rf out/demo
scripts/demo.sh
outputs=(rect.png aspect.png auto.png edges.png aspect-attention.png thumb.png)
if build/tools/trimlet --version | grep -q '^writes:.*webp'; then outputs+=(auto.webp); fi
for f in "${outputs[@]}"; do
  test -s "out/demo/$f" || { echo "demo: out/demo/$f missing" >&2; exit 1; }
done
# The thumbnail is exactly 96 x 96, and the attention square holds the whole card.
read -r -a box < <(build/tools/trimlet plan edges 0 0 0 0 out/demo/thumb.png)
[ "${box[4]}x${box[5]}" = 96x96 ] || { echo "demo: thumb.png is ${box[4]}x${box[5]}" >&2; exit 1; }
read -r -a box < <(build/tools/trimlet plan aspect 1:1 --position attention demo/sample.png)
[ "${box[0]}" -le 150 ] && [ $((box[0] + box[2])) -ge 295 ] ||
  { echo "demo: the attention square ${box[*]} cuts the card (x 150..295)" >&2; exit 1; }
