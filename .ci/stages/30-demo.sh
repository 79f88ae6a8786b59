#!/usr/bin/env bash
# The README's first command, as a user runs it, then a check that it wrote
# the four crops. Takes a few seconds (the program is already built).
set -euo pipefail
cd "$(dirname "$0")/../.."
rm -rf out/demo
scripts/demo.sh
for rule in rect aspect auto edges; do
  test -s "out/demo/$rule.png" || { echo "demo: out/demo/$rule.png missing" >&2; exit 1; }
done
