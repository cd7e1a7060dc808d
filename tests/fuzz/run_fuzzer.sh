#!/usr/bin/env bash
# Runs one fuzzer for a bounded time on a copy of its seed corpus, so that the committed corpus
# never changes, and prints one line: "fuzz <target>: N execs, M crashes".
# Usage: run_fuzzer.sh FUZZER SEED_CORPUS WORK_DIR SECONDS [extra libFuzzer flags]
set -uo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
shift 4
target=$(basename "$fuzzer")
target=${target#fuzz-}

rm -rf "$work"
mkdir -p "$work/corpus" "$work/crashes"
cp "$seeds"/* "$work/corpus/"
log=$work/fuzzer.log
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$work/crashes/" "$@" "$work/corpus" >"$log" 2>&1
status=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
crashes=$(find "$work/crashes" -type f | wc -l)
corpus=$(find "$work/corpus" -type f | wc -l)
echo "fuzz $target: ${execs:-0} execs, $crashes crashes, corpus $corpus files, ${seconds} s"
if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ -z "$execs" ]; then
  echo "fuzzer exited with $status; the end of its log ($log):"
  tail -n 60 "$log"
  find "$work/crashes" -type f -print
  exit 1
fi
