#!/usr/bin/env bash
# The stub's cabinet expansion of a 7 MB setup under Wine, against cabinet.dll driven with the
# leanest callbacks (goal: ratio <= 1.2), and native cabextract of the same cabinet and a plain
# copy of the same bytes for scale. Not a test; run by hand after building the windows preset:
#
#   bash bench/expand_cabinet.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
bench=build/windows/bin/expand-cabinet-bench.exe
[ -f "$bench" ] || { echo "missing $bench: build the windows preset first" >&2; exit 1; }
work=build/bench/expand
rm -rf "$work"
mkdir -p "$work/out"

# A setup of 7 MB that compresses to about half: a real program, then blocks of random bytes
# and zeros in equal parts.
python3 - "$work/setup.exe" build/windows/bin/demo-setup.exe <<'PY'
import os, sys
program = open(sys.argv[2], "rb").read()
target = 7 * 1000 * 1000
with open(sys.argv[1], "wb") as out:
    out.write(program)
    left = target - len(program)
    while left > 0:
        block = os.urandom(2048) + bytes(2048)
        out.write(block[:left])
        left -= len(block)
PY
(cd "$work" && gcab -c -z SETUP.EX_ setup.exe)
ls -l "$work/setup.exe" "$work/SETUP.EX_"

source scripts/wine-env.sh
win() { echo "Z:$(realpath "$1" | tr / '\\')"; }
echo "== under Wine, $runs runs each after a warm-up, interleaved"
wine "$bench" "$(win "$work")\\SETUP.EX_" "$(win "$work/out")" "$runs" </dev/null 2>/dev/null | tr -d '\r'
cmp "$work/setup.exe" "$work/out/stub-setup.exe" && echo "stub's expansion: byte-identical"

echo "== native, for scale (median of $runs)"
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
t() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1; e=$(date +%s%N); echo $(( (e - s) / 1000 )); }
cab=$(for i in $(seq "$runs"); do rm -f "$work/out/setup.exe"; t cabextract -q -d "$work/out" "$work/SETUP.EX_"; done | median)
cpy=$(for i in $(seq "$runs"); do t cp "$work/setup.exe" "$work/out/copy.exe"; done | median)
echo "cabextract_median_ms $(awk "BEGIN {printf \"%.3f\", $cab / 1000}")"
echo "copy_median_ms $(awk "BEGIN {printf \"%.3f\", $cpy / 1000}")"
