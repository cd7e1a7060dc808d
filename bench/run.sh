#!/usr/bin/env bash
# The whole benchmark in one command: builds what it needs, runs every measurement side by side
# and writes bench/report.md with its plots. Not a test and not part of CI; a few minutes here.
#
#   bash bench/run.sh [--quick] [--baseline REV]
#
# --baseline REV also builds stub.exe and stubpack from git revision REV (in build/bench/baseline)
# and measures them beside this tree's in every comparison, as "before" and "now".
# --quick: fewer rounds, for trying the script. Needs bench/install-deps.sh's packages.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=() baseline=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=(--quick) ;;
    --baseline) baseline=$2; shift ;;
    *) echo "usage: bash bench/run.sh [--quick] [--baseline REV]" >&2; exit 2 ;;
  esac
  shift
done
jobs=2
targets_windows=(stub launcher exit-at-once trivial-parent trivial-parent-imports expand-cabinet-bench)
cmake --preset windows >/dev/null
nice cmake --build --preset windows -j "$jobs" --target "${targets_windows[@]}"
cmake --preset host >/dev/null
nice cmake --build --preset host -j "$jobs" --target stubpack

work=build/bench/run
mkdir -p "$work"
extra=()
if [ -n "$baseline" ]; then
  src=build/bench/baseline/src
  rm -rf "$src" && mkdir -p "$src"
  git archive "$baseline" | tar -x -C "$src"
  (cd "$src" && cmake --preset windows >/dev/null && nice cmake --build --preset windows -j "$jobs" --target stub \
     && cmake --preset host >/dev/null && nice cmake --build --preset host -j "$jobs" --target stubpack) >/dev/null
  extra=(--baseline-bin "$src/build/windows/bin" --baseline-stubpack "$src/build/host/bin/stubpack"
         --baseline-name "revision $(git rev-parse --short "$baseline")")
fi

# Debian's own python3, which has python3-matplotlib (a python3 earlier on PATH may not).
set +e  # wine-env.sh's server start fails harmlessly when a server already runs
source scripts/wine-env.sh
# This prefix's server is started anew, so that it runs at this script's priority (on a machine
# busy with niced work, `nice -n -5 bash bench/run.sh` keeps the wake-ups of Wine's processes prompt).
wineserver -k </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1
source scripts/wine-env.sh
set -e
/usr/bin/python3 bench/bench.py --bin build/windows/bin --stubpack build/host/bin/stubpack --work "$work" \
  --report bench "${quick[@]}" "${extra[@]}"
