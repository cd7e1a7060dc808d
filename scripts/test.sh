#!/usr/bin/env bash
# Every test: the host build, the host build with sanitizers, the real executables under Wine,
# and each fuzzer for a bounded time (20 s each by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
cmake --preset host-sanitize >/dev/null
cmake --build --preset host-sanitize -j "$jobs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

status=0
# The sweeps' summary lines, from the log of the run just made (the Wine preset shares build/host).
sweep_lines() {
  grep -h -E '^(fault|crash) sweep:' "build/$1/Testing/Temporary/LastTest.log" 2>/dev/null | sed "s/^/$1: /" || true
}
echo "== host tests"
ctest --preset host || status=1
sweep_lines host
echo "== host tests with AddressSanitizer and UndefinedBehaviorSanitizer"
ctest --preset host-sanitize || status=1
sweep_lines host-sanitize
echo "== Wine tests"
ctest --preset wine || status=1
echo "== fuzzers, bounded"
ctest --preset fuzz || status=1
exit $status
