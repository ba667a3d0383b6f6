#!/usr/bin/env bash
# What noting a read in the key journal costs a decryption: veldoran-tool decrypt of a 64 MiB
# and a 512 MiB message into a file, with reads noted in a journal already there (the frame
# hashed as it streams, both ranges looked up, the read appended or found read before) beside
# the same run with --no-journal. Runs alternate A B A B ...; prints the median wall time of each side and the
# median of the per-pair ratios (the goal: at most 1.05).
#   bench/journal-read-bench.sh [build dir] [pairs]
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/bench-out/journal-read
tool=$(cd "${1:-build}" && pwd)/veldoran-tool
pairs=${2:-7}
[ -x "$tool" ] || { echo "missing $tool: build the project first" >&2; exit 1; }
# veldoran-tool keeps its state under the run's own folder, never the user's.
export XDG_STATE_HOME="$out/state" XDG_CONFIG_HOME="$out/config" HOME="$out/home"

rm -rf "$out"
mkdir -p "$out" "$HOME"
"$tool" key new Master --size 1048576 -k "$out/" >/dev/null
"$tool" key new dupont --size 1048576 -k "$out/" >/dev/null
# Plain ASCII, which every charset the tool may be told carries unchanged.
line=$(printf 'lettre maison jardin riviere %.0s' 1 2 3)
for size in 64 512; do
  # Lines of 99 bytes and a line end, up to the size.
  # (yes ends on the pipe head closes, which is no failure.)
  { yes "$(printf '%-99.99s' "$line")" || true; } | head -c $((size << 20)) >"$out/$size.txt"
  "$tool" encrypt -u dupont -k "$out/" "$out/$size.txt" -o "$out/$size.vlx" --no-journal
done

# Wall seconds of one run of the tool with the arguments given. The run before has its output
# written out first, so that neither side pays for the other's write-back.
wall() {
  local start end
  sync
  start=$(date +%s.%N)
  "$tool" "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The journal is made once, as a reader's is, by a first read.
"$tool" decrypt "$out/64.vlx" -k "$out/" -o "$out/first.out" --journal "$out/journal" 2>/dev/null
for size in 64 512; do
  noted=() bare=() ratios=()
  for ((k = 0; k < pairs; k++)); do
    rm -f "$out/$size.out"
    a=$(wall decrypt "$out/$size.vlx" -k "$out/" -o "$out/$size.out" --force --journal "$out/journal")
    rm -f "$out/$size.out"
    b=$(wall decrypt "$out/$size.vlx" -k "$out/" -o "$out/$size.out" --force --no-journal)
    noted+=("$a") bare+=("$b") ratios+=("$(echo "$a / $b" | bc -l)")
  done
  printf '%4d MiB  noted %.3f s  no journal %.3f s  ratio %.3f (median of %d pairs)\n' "$size" \
    "$(printf '%s\n' "${noted[@]}" | median)" "$(printf '%s\n' "${bare[@]}" | median)" \
    "$(printf '%s\n' "${ratios[@]}" | median)" "$pairs"
done
