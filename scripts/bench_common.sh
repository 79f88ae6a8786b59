# SPDX-License-Identifier: MIT
# Shared by the one-shot benchmark scripts (sourced, not run). The caller
# sets $dir, a scratch folder.

# run NAME CMD...: one timed run; appends "wall-us KiB cpu-s" to $dir/NAME.
run() {
  local name=$1
  shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f "%M %U %S" -o "$dir/mem" "$@" >/dev/null 2>"$dir/err" || { cat "$dir/err" >&2; exit 1; }
  t1=$(date +%s%N)
  echo "$(( (t1 - t0) / 1000 )) $(tail -n1 "$dir/mem" | awk '{print $1, $2 + $3}')" >>"$dir/$name"
}

# median: the median of the numbers on standard input, one a line.
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
