#!/usr/bin/env bash
# Whole-process benchmark: the veldoran program encrypting a 1 KiB, 1 MiB, 64 MiB and 512 MiB
# text, each side by side with `base64 -w 60` of the same file (a bare encoding, the yardstick);
# then the library's decrypter2 (the veldoran_decrypt program) decrypting the 64 MiB and 512 MiB
# messages, each side by side with `base64 -d` of a base64 text of the message's size.
# Each encryption is also set beside `dd bs=1M conv=fsync` writing a file of the message's size
# (the disk's durable speed). Then binary file encryption (crypterbinaire) and decryption
# (decrypterbinaire) of 64 MiB and 512 MiB of random bytes (veldoran-tool's encrypt-binary and
# decrypt-binary),
# each beside `dd bs=1M conv=fsync` writing a file of the output's size; and veldoran-tool's
# text commands through the standard streams and -o beside its own file path on the same
# document ("streams"). Runs alternate A B A B ...; every run, ours and the
# reference commands, writes a fresh file (its old output deleted first). Prints the median wall
# time and throughput of each (of the document), the median of the per-pair ratios against the
# reference for wall and CPU time, and the peak resident memory against the goal of 16 MiB at
# every size. A 1500 MiB run (the largest round size whose armour stays under the 2 GiB the
# 32-bit lengths allow) measures memory alone (skip it with "nobig").
# The paths mail clients and hosts take ("paths"), at 1 KiB, 64 KiB, 64 MiB and 512 MiB:
# veldoran-tool encrypt from the standard input to the standard output beside the same
# encryption of the file with -o; decrypt -o beside base64 -d; the veldoran program and
# veldoran-tool encrypt (standard streams) on each size beside dd conv=fsync writing as many
# bytes; unpack of a 64 MiB container (peak memory); and text encryption at 64 MiB beside
# gpg --symmetric --armor and age --armor, each skipped with one line when missing.
#   bench/process-bench.sh [build dir] [pairs at 64 MiB]
#                          [all | encrypt | decrypt | binary | paths | streams]
#                          [big | nobig]
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-build}" && pwd)
pairs64=${2:-7}
what=${3:-all}
big=${4:-big}
program=$build_dir/veldoran
tool=$build_dir/veldoran-tool
# The library's decrypter2 bare: veldoran-tool's decrypt reads a file once more before it
# (to refuse a NUL byte and take CR LF as LF), which would be measured with it.
decrypt=$build_dir/tests/veldoran_decrypt
out=$root/bench-out
# veldoran-tool keeps its state under the run's own folder, never the user's.
export XDG_STATE_HOME="$out/state"

if [ ! -x /usr/bin/time ]; then
  echo "installing GNU time for /usr/bin/time" >&2
  if [ "$(id -u)" -eq 0 ]; then
    apt-get install -y time >/dev/null
  else
    sudo apt-get install -y time >/dev/null
  fi
fi
for needed in "$program" "$tool" "$decrypt"; do
  [ -x "$needed" ] || { echo "missing $needed: build the project first" >&2; exit 1; }
done

rm -rf "$out"
mkdir -p "$out"
# Small keys are enough: the cipher reads the material once and repeats it in memory.
"$tool" key new Master --size 1048576 -k "$out/" >/dev/null
"$tool" key new dupont --size 1048576 -k "$out/" >/dev/null

# French text in Windows-1252 with accented letters and LF line ends.
python3 - "$out" "$big" <<'PY'
import random, sys
out = sys.argv[1]
random.seed(2026)
words = ("lettre maison élève forêt château où à très être déjà cœur garçon hôtel "
         "août naïf fenêtre bientôt voilà mère frère soirée jardin rivière pêche").split()
lines, size = [], 0
while size < (1 << 20):
    line = " ".join(random.choice(words) for _ in range(9)) + "\n"
    lines.append(line)
    size += len(line.encode("cp1252"))
chunk = "".join(lines).encode("cp1252")[: 1 << 20]
sizes = [("1k", 1 << 10), ("64k", 64 << 10), ("1m", 1 << 20), ("64m", 64 << 20),
         ("512m", 512 << 20)]
if sys.argv[2] == "big":
    sizes.append(("1500m", 1500 << 20))
for name, total in sizes:
    with open(f"{out}/{name}.txt", "wb") as f:
        left = total
        while left > 0:
            f.write(chunk[:left])
            left -= min(left, len(chunk))
PY

# Runs a command under /usr/bin/time (for its peak memory and CPU time) and sets ms, cpu and kib. The wall time
# comes from the shell's own clock, so no helper process is timed along with the command.
timed() {
  local start=$EPOCHREALTIME
  /usr/bin/time -f "%M %U %S" -o "$out/.mem" "$@"
  local end=$EPOCHREALTIME
  ms=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", (e - s) * 1000 }')
  read -r kib user system < <(tail -n 1 "$out/.mem")
  cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", (u + s) * 1000 }')
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One summary line from the files of one size: .a and .b wall times, .r ratios, .m peaks (KiB).
# .c: per-pair CPU ratios, .d: per-pair ratios to dd ("-" where none was run).
summary() {
  local name=$1 pairs=$2 bytes=$3
  local ma mb mr mc md peak
  ma=$(median <"$out/.a"); mb=$(median <"$out/.b"); mr=$(median <"$out/.r")
  mc=$( [ -s "$out/.c" ] && median <"$out/.c" || echo -1)
  md=$( [ -s "$out/.d" ] && median <"$out/.d" || echo -1)
  peak=$(sort -n "$out/.m" | tail -n 1)
  awk -v n="$name" -v p="$pairs" -v a="$ma" -v b="$mb" -v r="$mr" -v c="$mc" -v d="$md" \
      -v k="$peak" -v s="$bytes" 'BEGIN {
    mib = s / 1048576; goal = 16
    printf "%-6s %5d | %12.3f %10.1f %10.1f | %12.3f %10.1f | %7.3f %7s %7s | %s\n",
      n, p, a, mib / (a / 1000), k / 1024, b, mib / (b / 1000), r,
      (c < 0) ? "-" : sprintf("%.3f", c), (d < 0) ? "-" : sprintf("%.3f", d),
      (k / 1024 <= goal) ? "ok" : "OVER"
  }'
}

header() {
  printf '%-6s %5s | %12s %10s %10s | %12s %10s | %7s %7s %7s | %s\n' size pairs \
    "$1 ms" "MiB/s" "peak MiB" "$2 ms" "MiB/s" wall cpu "vs dd" "<=16MiB"
}

# Only the peak memory of one run on the 1500 MiB text.
memory_only() {
  local label=$1
  shift
  timed "$@"
  awk -v l="$label" -v k="$kib" 'BEGIN { printf "%s at 1500 MiB: peak %.1f MiB %s\n", l, k / 1024, (k / 1024 <= 16) ? "ok" : "OVER" }'
}

# Binary encryption and decryption beside dd writing a file of the output's size durably (both
# pipelines fsync their target): crypterbinaire reads the source and writes <source>.vlb;
# decrypterbinaire reads such a frame and writes the source's name back.
binary_files() {
  local name bytes pairs outBytes
  mkdir -p "$out/bin" "$out/dec"
  echo
  echo "Binary files: crypterbinaire and decrypterbinaire against dd bs=1M conv=fsync"
  printf '%-6s %-8s %5s | %12s %10s %10s | %12s %10s | %7s %6s | %s\n' size run pairs \
    "veldoran ms" "MiB/s" "peak MiB" "dd ms" "MiB/s" "vs dd" "<=1.4" "<=16MiB"
  for sizeCase in "64m 67108864 $pairs64" "512m 536870912 5"; do
    read -r name bytes pairs <<<"$sizeCase"
    head -c "$bytes" /dev/urandom >"$out/bin/$name.bin"
    # The small keys wrap at these sizes, and veldoran-tool warns of it on every encryption:
    # the warnings are set aside, a failure shows in the missing output.
    "$tool" encrypt-binary "$out/bin/$name.bin" -u dupont -k "$out/" 2>>"$out/.wrap-warnings"
    mv "$out/bin/$name.bin.vlb" "$out/dec/$name.bin.vlb"
    # The frame comes back as the very bytes encrypted.
    "$tool" decrypt-binary "$out/dec/$name.bin.vlb" -k "$out/"
    cmp -s "$out/bin/$name.bin" "$out/dec/$name.bin" || { echo "binary round trip differs on $name" >&2; exit 1; }
    for run in encrypt decrypt; do
      : >"$out/.a"; : >"$out/.b"; : >"$out/.r"; : >"$out/.m"
      if [ "$run" = encrypt ]; then
        outBytes=$(wc -c <"$out/dec/$name.bin.vlb")
      else
        outBytes=$bytes
      fi
      mib=$(( (outBytes + 1048575) / 1048576 ))
      for _ in $(seq "$pairs"); do
        if [ "$run" = encrypt ]; then
          rm -f "$out/bin/$name.bin.vlb"
          timed "$tool" encrypt-binary "$out/bin/$name.bin" -u dupont -k "$out/" 2>>"$out/.wrap-warnings"
          [ -s "$out/bin/$name.bin.vlb" ] || { echo "encryption failed on $name" >&2; exit 1; }
        else
          rm -f "$out/dec/$name.bin"
          timed "$tool" decrypt-binary "$out/dec/$name.bin.vlb" -k "$out/"
          [ -s "$out/dec/$name.bin" ] || { echo "decryption failed on $name" >&2; exit 1; }
        fi
        a=$ms; memA=$kib
        rm -f "$out/$name.dd"
        timed dd if=/dev/zero of="$out/$name.dd" bs=1M count="$mib" conv=fsync status=none
        b=$ms
        echo "$a" >>"$out/.a"; echo "$b" >>"$out/.b"; echo "$memA" >>"$out/.m"
        awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$out/.r"
      done
      rm -f "$out/$name.dd"
      ma=$(median <"$out/.a"); mb=$(median <"$out/.b"); mr=$(median <"$out/.r")
      peak=$(sort -n "$out/.m" | tail -n 1)
      awk -v n="$name" -v run="$run" -v p="$pairs" -v a="$ma" -v b="$mb" -v r="$mr" -v k="$peak" \
          -v s="$bytes" 'BEGIN {
        mib = s / 1048576
        printf "%-6s %-8s %5d | %12.3f %10.1f %10.1f | %12.3f %10.1f | %7.3f %6s | %s\n",
          n, run, p, a, mib / (a / 1000), k / 1024, b, mib / (b / 1000), r,
          (r <= 1.4) ? "ok" : "MISS", (k / 1024 <= 16) ? "ok" : "OVER"
      }'
    done
    rm -f "$out/bin/$name.bin" "$out/bin/$name.bin.vlb" "$out/dec/$name.bin" "$out/dec/$name.bin.vlb"
  done
}

# veldoran-tool's standard streams and -o against its own file path on the same document: each
# way (A) beside encrypt FILE -o MSG, or beside decrypt MSG into its derived name (B). A pipe is
# what a mail client hands over; "< file" is read where it stands. Peak memory is A's.
tool_streams() {
  local name pairs way
  echo
  echo "veldoran-tool: standard streams and -o against the file path (wall and cpu: A / B)"
  printf '%-6s %-22s %5s | %10s %10s %8s | %7s %7s | %s
' size way pairs "A ms" "B ms" \
    "peak MiB" wall cpu "<=1.3"
  for sizeCase in "64m $pairs64" "512m 7"; do
    read -r name pairs <<<"$sizeCase"
    local doc=$out/$name.txt msg=$out/$name.vlx
    "$tool" encrypt "$doc" -o "$msg" -u dupont -k "$out/" 2>>"$out/.wrap-warnings"
    for way in "encrypt <file >out" "encrypt |pipe >out" "encrypt |pipe -o out" \
               "decrypt -o out" "decrypt |pipe >out"; do
      : >"$out/.a"; : >"$out/.b"; : >"$out/.r"; : >"$out/.m"; : >"$out/.c"
      for _ in $(seq "$pairs"); do
        rm -f "$out/s.out" "$out/f.vlx" "$msg.txt"
        case $way in
          "encrypt <file >out") timed sh -c "'$tool' encrypt -u dupont -k '$out/' <'$doc' >'$out/s.out'" ;;
          "encrypt |pipe >out") timed sh -c "cat '$doc' | '$tool' encrypt -u dupont -k '$out/' >'$out/s.out'" ;;
          "encrypt |pipe -o out") timed sh -c "cat '$doc' | '$tool' encrypt -u dupont -k '$out/' -o '$out/s.out'" ;;
          "decrypt -o out") timed sh -c "'$tool' decrypt '$msg' -k '$out/' -o '$out/s.out'" ;;
          "decrypt |pipe >out") timed sh -c "cat '$msg' | '$tool' decrypt -k '$out/' >'$out/s.out'" ;;
        esac 2>>"$out/.wrap-warnings"
        [ -s "$out/s.out" ] || { echo "veldoran-tool failed: $way on $name" >&2; exit 1; }
        a=$ms; memA=$kib; cpuA=$cpu
        if [ "${way%% *}" = encrypt ]; then
          timed "$tool" encrypt "$doc" -o "$out/f.vlx" -u dupont -k "$out/" 2>>"$out/.wrap-warnings"
        else
          timed "$tool" decrypt "$msg" -k "$out/"
        fi
        echo "$a" >>"$out/.a"; echo "$ms" >>"$out/.b"; echo "$memA" >>"$out/.m"
        awk -v a="$a" -v b="$ms" 'BEGIN { print a / b }' >>"$out/.r"
        awk -v a="$cpuA" -v b="$cpu" 'BEGIN { print (b > 0) ? a / b : 0 }' >>"$out/.c"
      done
      awk -v n="$name" -v w="$way" -v p="$pairs" -v a="$(median <"$out/.a")" \
          -v b="$(median <"$out/.b")" -v k="$(sort -n "$out/.m" | tail -n 1)" \
          -v r="$(median <"$out/.r")" -v c="$(median <"$out/.c")" 'BEGIN {
        printf "%-6s %-22s %5d | %10.1f %10.1f %8.1f | %7.3f %7.3f | %s\n", n, w, p, a, b,
          k / 1024, r, c, (r <= 1.3 && k / 1024 <= 16) ? "ok" : "MISS"
      }'
    done
    rm -f "$out/s.out" "$out/f.vlx" "$msg" "$msg.txt"
  done
}

if [ "$what" = all ] || [ "$what" = encrypt ]; then
  echo "Encryption: veldoran against base64 -w 60"
  header veldoran base64
  for sizeCase in "1k 1024 21" "1m 1048576 11" "64m 67108864 $pairs64" "512m 536870912 5"; do
    read -r name bytes pairs <<<"$sizeCase"
    : >"$out/.a"; : >"$out/.b"; : >"$out/.r"; : >"$out/.m"; : >"$out/.c"; : >"$out/.d"
    for _ in $(seq "$pairs"); do
      rm -f "$out/$name.msg"
      timed "$program" -s "$out/$name.txt" -o "$out/$name.msg" -u dupont -k "$out/" -d a,b
      [ -s "$out/$name.msg" ] || { echo "veldoran failed on $name" >&2; exit 1; }
      a=$ms; memA=$kib; cpuA=$cpu
      rm -f "$out/$name.b64"
      timed base64 -w 60 "$out/$name.txt" >"$out/$name.b64"
      b=$ms; cpuB=$cpu
      mib=$(( ($(wc -c <"$out/$name.msg") + 1048575) / 1048576 ))
      rm -f "$out/$name.dd"
      timed dd if=/dev/zero of="$out/$name.dd" bs=1M count="$mib" conv=fsync status=none
      d=$ms
      echo "$a" >>"$out/.a"; echo "$b" >>"$out/.b"; echo "$memA" >>"$out/.m"
      awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$out/.r"
      awk -v a="$cpuA" -v b="$cpuB" 'BEGIN { print (b > 0) ? a / b : 0 }' >>"$out/.c"
      awk -v a="$a" -v d="$d" 'BEGIN { print a / d }' >>"$out/.d"
    done
    rm -f "$out/$name.msg" "$out/$name.b64" "$out/$name.dd"
    summary "$name" "$pairs" "$bytes"
  done
fi

if [ "$what" = all ] || [ "$what" = decrypt ]; then
  echo
  echo "Decryption: decrypter2 against base64 -d of a base64 text as long as the message"
  header decrypt "base64 -d"
  for sizeCase in "64m 67108864 $pairs64" "512m 536870912 5"; do
    read -r name bytes pairs <<<"$sizeCase"
    rm -f "$out/$name.msg"
    "$program" -s "$out/$name.txt" -o "$out/$name.msg" -u dupont -k "$out/" -d a,b
    messageBytes=$(wc -c <"$out/$name.msg")
    # Lines of 60 like the armour's: three bytes for every four characters of the message.
    head -c $((messageBytes / 61 * 45)) "$out/$name.txt" | base64 -w 60 >"$out/$name.b64in"
    : >"$out/.a"; : >"$out/.b"; : >"$out/.r"; : >"$out/.m"; : >"$out/.c"; : >"$out/.d"
    for _ in $(seq "$pairs"); do
      rm -f "$out/$name.msg.txt"
      timed "$decrypt" "$out/$name.msg" "$out/"
      cmp -s "$out/$name.txt" "$out/$name.msg.txt" ||
        { echo "decryption of $name does not give the text back" >&2; exit 1; }
      a=$ms; memA=$kib
      rm -f "$out/$name.b64out"
      timed base64 -d "$out/$name.b64in" >"$out/$name.b64out"
      b=$ms
      echo "$a" >>"$out/.a"; echo "$b" >>"$out/.b"; echo "$memA" >>"$out/.m"
      awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$out/.r"
    done
    rm -f "$out/$name.msg" "$out/$name.msg.txt" "$out/$name.b64in" "$out/$name.b64out"
    summary "$name" "$pairs" "$bytes"
  done
fi
if [ "$what" = all ] || [ "$what" = binary ]; then
  binary_files
fi

# The sides of the paths' rows, each writing a fresh file for the size named $1. The small keys
# wrap on the large sizes, and veldoran-tool warns of it: the warnings are set aside.
tool_stdio() {
  rm -f "$out/$1.s.msg"
  timed "$tool" encrypt -u dupont -k "$out/" --to a <"$out/$1.txt" >"$out/$1.s.msg" \
    2>>"$out/.wrap-warnings"
}
tool_file() {
  rm -f "$out/$1.f.msg"
  timed "$tool" encrypt "$out/$1.txt" -u dupont -k "$out/" --to a -o "$out/$1.f.msg" \
    2>>"$out/.wrap-warnings"
}
# A message past 8 MiB is not noted in the reader's journal, and decrypt says so on each run:
# set aside with the warnings.
tool_decrypt() {
  rm -f "$out/$1.dec"
  timed "$tool" decrypt "$out/$1.f.msg" -k "$out/" -o "$out/$1.dec" 2>>"$out/.wrap-warnings"
}
base64_decode() {
  rm -f "$out/$1.b64out"
  timed base64 -d "$out/$1.b64in" >"$out/$1.b64out"
}
program_letter() {
  rm -f "$out/$1.msg"
  timed "$program" -s "$out/$1.txt" -o "$out/$1.msg" -u dupont -k "$out/" -d a,b
}
dd_same() {
  rm -f "$out/$1.dd"
  timed dd if="$out/$1.txt" of="$out/$1.dd" bs=1M conv=fsync status=none
}
base64_encode() {
  rm -f "$out/$1.b64"
  timed base64 -w 60 "$out/$1.txt" >"$out/$1.b64"
}
gpg_armor() {
  rm -f "$out/$1.gpg"
  timed gpg --homedir "$out/gnupg" --batch --quiet --pinentry-mode loopback --passphrase bench \
    --symmetric --armor -o "$out/$1.gpg" "$out/$1.txt"
}
age_armor() {
  rm -f "$out/$1.age"
  timed age --armor -r "$(cat "$out/age.recipient")" -o "$out/$1.age" "$out/$1.txt"
}

# One row: side A and side B in turn, pairs times, for the size named name.
paired_row() {
  local name=$1 pairs=$2 bytes=$3 sideA=$4 sideB=$5
  : >"$out/.a"; : >"$out/.b"; : >"$out/.r"; : >"$out/.m"; : >"$out/.c"; : >"$out/.d"
  for _ in $(seq "$pairs"); do
    "$sideA" "$name"
    a=$ms; memA=$kib; cpuA=$cpu
    "$sideB" "$name"
    b=$ms; cpuB=$cpu
    echo "$a" >>"$out/.a"; echo "$b" >>"$out/.b"; echo "$memA" >>"$out/.m"
    awk -v a="$a" -v b="$b" 'BEGIN { print a / b }' >>"$out/.r"
    awk -v a="$cpuA" -v b="$cpuB" 'BEGIN { print (b > 0) ? a / b : 0 }' >>"$out/.c"
  done
  summary "$name" "$pairs" "$bytes"
}

path_sizes() {
  for sizeCase in "1k 1024 21" "64k 65536 15" "64m 67108864 $pairs64" "512m 536870912 5"; do
    read -r name bytes pairs <<<"$sizeCase"
    "$@" "$name" "$pairs" "$bytes"
  done
}

paths_row() {
  local label=$1 sideA=$2 sideB=$3 headA=$4 headB=$5
  echo
  echo "$label"
  header "$headA" "$headB"
  path_sizes paired_row_for "$sideA" "$sideB"
}
paired_row_for() {
  local sideA=$1 sideB=$2 name=$3 pairs=$4 bytes=$5
  paired_row "$name" "$pairs" "$bytes" "$sideA" "$sideB"
}

if [ "$what" = all ] || [ "$what" = paths ]; then
  # The messages and base64 texts the decryption rows read.
  for name in 1k 64k 64m 512m; do
    tool_file "$name"
    messageBytes=$(wc -c <"$out/$name.f.msg")
    head -c $((messageBytes / 61 * 45)) "$out/512m.txt" | base64 -w 60 >"$out/$name.b64in"
  done
  paths_row "veldoran-tool encrypt, standard streams against the file with -o" \
    tool_stdio tool_file streams "file -o"
  paths_row "veldoran-tool decrypt -o against base64 -d of as long a text" \
    tool_decrypt base64_decode "decrypt -o" "base64 -d"
  paths_row "veldoran against dd conv=fsync of as many bytes" program_letter dd_same veldoran dd
  paths_row "veldoran against base64 -w 60" program_letter base64_encode veldoran base64
  paths_row "veldoran-tool encrypt, standard streams, against dd conv=fsync of as many bytes" \
    tool_stdio dd_same streams dd
  echo
  head -c $((64 << 20)) /dev/urandom >"$out/entry.bin"
  "$tool" pack -o "$out/container.vpj" "$out/entry.bin"
  mkdir -p "$out/unpacked"
  timed "$tool" unpack "$out/container.vpj" -C "$out/unpacked" --force
  awk -v k="$kib" 'BEGIN { printf "veldoran-tool unpack of a 64 MiB container: peak %.1f MiB\n", k / 1024 }'
  rm -rf "$out/unpacked" "$out/entry.bin" "$out/container.vpj"
  if command -v gpg >/dev/null; then
    mkdir -p "$out/gnupg"
    chmod 700 "$out/gnupg"
    echo
    echo "veldoran against gpg --symmetric --armor"
    header veldoran gpg
    paired_row 64m "$pairs64" 67108864 program_letter gpg_armor
  else
    echo "gpg missing: no comparison with gpg --symmetric --armor"
  fi
  if command -v age >/dev/null && command -v age-keygen >/dev/null; then
    age-keygen -o "$out/age.key" 2>/dev/null
    age-keygen -y "$out/age.key" >"$out/age.recipient"
    echo
    echo "veldoran against age --armor"
    header veldoran age
    paired_row 64m "$pairs64" 67108864 program_letter age_armor
  else
    echo "age missing: no comparison with age --armor"
  fi
fi
if [ "$what" = all ] || [ "$what" = streams ]; then
  tool_streams
fi
if [ "$big" = big ]; then
  echo
  rm -f "$out/1500m.msg"
  memory_only "text encryption" "$program" -s "$out/1500m.txt" -o "$out/1500m.msg" -u dupont \
    -k "$out/" -d a,b
  rm -f "$out/1500m.msg.txt"
  memory_only "text decryption" "$decrypt" "$out/1500m.msg" "$out/"
fi
rm -rf "$out"
