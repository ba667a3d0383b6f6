#!/usr/bin/env bash
# Runs the main job end to end on bundled demo data: makes a key folder for the current year
# (master key and the sender's key, random key material, made by veldoran-tool), encrypts the French letter
# demo/lettre.txt (Windows-1252 bytes, the local text form the filter converts) for two
# recipients with the veldoran program, shows the message file and the advanced keys, then
# decrypts the message back with veldoran-tool and compares the result with the letter.
# Everything happens in demo-out/, made afresh on each run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-build}" && pwd)
program=$build_dir/veldoran
tool=$build_dir/veldoran-tool
out=$root/demo-out
# veldoran-tool keeps its state under the run's own folder, never the user's.
export XDG_STATE_HOME="$out/state"

for needed in "$program" "$tool"; do
  if [ ! -x "$needed" ]; then
    echo "demo: $needed is missing; build the project first" >&2
    exit 1
  fi
done

rm -rf "$out"
mkdir -p "$out/keys"
cp "$root/demo/lettre.txt" "$out/lettre.txt"

echo "== Key folder (random key material, current year)"
"$tool" key new Master --size 65536 -k "$out/keys/" | sed "s|^$out/||"
"$tool" key new dupont --size 65536 -k "$out/keys/" | sed "s|^$out/||"

echo
echo "== The letter (Windows-1252 on disk, shown as UTF-8)"
if command -v iconv >/dev/null 2>&1; then
  iconv -f WINDOWS-1252 -t UTF-8 "$out/lettre.txt"
else
  cat "$out/lettre.txt"
fi

echo
echo "== veldoran -s lettre.txt -o lettre.msg -u dupont -k keys/ -d helene@example.org,martin@example.org"
status=0
(cd "$out" && "$program" -s lettre.txt -o lettre.msg -u dupont -k keys/ \
  -d helene@example.org,martin@example.org) || status=$?
echo "exit status: $status"
if [ "$status" -ne 0 ]; then
  exit "$status"
fi

echo
echo "== lettre.msg ($(wc -c <"$out/lettre.msg") bytes)"
cat "$out/lettre.msg"

echo
echo "== Key headers after the run (keyOffset, useCount)"
for key in "$out"/keys/Clefs/*; do
  printf '%-16s' "$(basename "$key")"
  od -A n -t u1 -j 92 -N 8 "$key" |
    awk '{ printf "keyOffset %d  useCount %d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
done

echo
echo "== veldoran-tool decrypt lettre.msg -k keys/ (into lettre.msg.txt)"
(cd "$out" && "$tool" decrypt lettre.msg -k keys/)
# The interchange form has no right single quotation mark (0x92): it travels as an apostrophe
# and comes back as one. Everything else returns as it was.
echo "== lettre.msg.txt against lettre.txt, its right quotation marks (0x92) made apostrophes"
LC_ALL=C tr '\222' "'" <"$out/lettre.txt" >"$out/lettre.expected"
if cmp "$out/lettre.expected" "$out/lettre.msg.txt"; then
  echo "identical: the letter came back byte for byte ($(wc -c <"$out/lettre.msg.txt") bytes)"
else
  echo "demo: the decrypted letter differs from the original" >&2
  exit 1
fi
