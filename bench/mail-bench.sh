#!/usr/bin/env bash
# Whole-process benchmark of received mails: veldoran-tool decrypt of a 50 MiB mail whose body
# is the message in base64, side by side with decrypt of the same message as a bare file; then
# mailboxes of 200 and 1000 letters (about 10 and 50 MiB), to show time and memory growing in
# step with the mail. The mails are written by Python's email package. Runs alternate A B A B
# ..., each writing a fresh file (its old output deleted first); prints the median wall time of
# each, the median of the per-pair ratios, and the peak resident memory against the goal of
# 3 x the mail + 16 MiB.
#   bench/mail-bench.sh [build dir] [pairs]
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-build}" && pwd)
pairs=${2:-7}
tool=$build_dir/veldoran-tool
# A memory file system where there is one: a thousand encryptions, each putting its key headers
# and its message on stable storage, would otherwise take minutes of disk syncs to prepare.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  out=/dev/shm/veldoran-mail-bench.$$
else
  out=$root/bench-out/mail
fi
# veldoran-tool keeps its state under the run's own folder, never the user's.
export XDG_STATE_HOME="$out/state"
[ -x /usr/bin/time ] || { echo "install GNU time (apt-get install time)" >&2; exit 1; }
[ -x "$tool" ] || { echo "missing $tool: build the project first" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
# Keys as large as the largest message, so that no run wraps one.
"$tool" key new Master --size 80M -k "$out/" >/dev/null
"$tool" key new dupont --size 80M -k "$out/" >/dev/null

python3 - "$out" <<'PY'
import random, sys
out = sys.argv[1]
random.seed(2026)
words = "lettre maison jardin rivière soirée château forêt élève déjà très".split()
def text(size):
    lines, total = [], 0
    while total < size:
        line = " ".join(random.choice(words) for _ in range(10)) + "\n"
        lines.append(line)
        total += len(line.encode())
    return "".join(lines)
open(out + "/big.txt", "w").write(text(27 * 1024 * 1024))
for k in range(1000):
    open(out + "/letter%04d.txt" % k, "w").write(text(37 * 1024))
PY

"$tool" encrypt "$out/big.txt" -u dupont -k "$out/" -o "$out/big.vlx" 2>/dev/null
for k in $(seq -f %04g 0 999); do
  "$tool" encrypt "$out/letter$k.txt" -u dupont -k "$out/" -o "$out/letter$k.vlx" 2>/dev/null
done

python3 - "$out" <<'PY'
import sys
from email.message import EmailMessage
from email import policy
out = sys.argv[1]
def mail(body, encoding):
    message = EmailMessage(policy=policy.SMTP)
    message["From"] = "Anne <anne@example.org>"
    message["To"] = "paul@example.org"
    message["Subject"] = "lettre"
    message.set_content(body, charset="utf-8", cte=encoding)
    return message.as_bytes()
open(out + "/big.eml", "wb").write(mail(open(out + "/big.vlx").read(), "base64"))
for count in (200, 1000):
    with open(out + "/box%d.mbox" % count, "wb") as box:
        for k in range(count):
            box.write(b"From anne@example.org Thu Jan  1 00:00:00 2026\n")
            box.write(mail(open(out + "/letter%04d.vlx" % k).read(), "quoted-printable"))
            box.write(b"\n")
PY

# Runs a command, its output deleted first; prints "wall user+sys maxrss_kib".
measure() {
  local target=$1
  shift
  rm -f "$target"
  /usr/bin/time -f "%e %U %S %M" -o "$out/time" "$@" >/dev/null 2>"$out/err" ||
    { cat "$out/err" >&2; exit 1; }
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$out/time"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare NAME INPUT_A INPUT_B: decrypt of A against decrypt of B, alternating.
compare() {
  local name=$1 a=$2 b=$3
  : >"$out/pairs"
  for _ in $(seq "$pairs"); do
    read -r wa _ ma < <(measure "$out/a.txt" "$tool" decrypt "$a" -k "$out/" -o "$out/a.txt")
    read -r wb _ mb < <(measure "$out/b.txt" "$tool" decrypt "$b" -k "$out/" -o "$out/b.txt")
    echo "$wa $wb $ma $mb" >>"$out/pairs"
  done
  local size
  size=$(stat -c %s "$a")
  printf '%-28s %8.1f MiB  wall %6.2f s vs %6.2f s  ratio %5.2f  peak %6.1f MiB (goal %6.1f)\n' \
    "$name" "$(echo "$size" | awk '{ print $1 / 1048576 }')" \
    "$(awk '{ print $1 }' "$out/pairs" | median)" "$(awk '{ print $2 }' "$out/pairs" | median)" \
    "$(awk '{ print $1 / $2 }' "$out/pairs" | median)" \
    "$(awk '{ print $3 / 1024 }' "$out/pairs" | median)" \
    "$(echo "$size" | awk '{ print 3 * $1 / 1048576 + 16 }')"
}

echo "decrypt, median of $pairs alternating pairs (A against B):"
compare "base64 mail vs bare" "$out/big.eml" "$out/big.vlx"
compare "mbox 1000 vs mbox 200" "$out/box1000.mbox" "$out/box200.mbox"
