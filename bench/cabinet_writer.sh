#!/usr/bin/env bash
# The packer's cabinet writer alone (bench/cabinet_writer_bench.cpp): MB/s on a 200 MB
# incompressible setup and a 7 MB half-compressible one. Not a test; run it by hand:
#
#   bash bench/cabinet_writer.sh [RUNS] [WORK_DIRECTORY]
#
# RUNS defaults to 5, WORK_DIRECTORY to build/bench (it needs about 400 MB free). No goal is set.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
work=${2:-build/bench}
[ -d build/host ] || { echo "configure the host preset first" >&2; exit 1; }
cmake --build build/host -j2 --target cabinet-writer-bench >/dev/null
mkdir -p "$work"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
build/host/bin/cabinet-writer-bench "$work" "$runs"
