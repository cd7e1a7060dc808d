#!/usr/bin/env bash
# Unzips the conformance kit into a fresh directory and runs it there with `wine cmd /c run.cmd`,
# as a user would on Windows; passes when run.cmd ends with 0 and the TAP shows every planned
# case once, none failed, and the summary agrees.
#   run_kit_under_wine.sh KIT_ZIP WINEPREFIX SOURCE_DIR
set -uo pipefail
zip=$1
export WINEPREFIX=$2
source_dir=$3
if [ ! -f "$zip" ]; then
  echo "$zip: missing; build the windows preset, then the host preset (target conformance-kit)"
  exit 1
fi
scratch=$(mktemp -d /tmp/conformance-kit.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cmake -E tar xf "$zip") || { echo "$zip: cannot be unpacked"; exit 1; }
kit="$scratch/conformance-kit"
[ -f "$kit/run.cmd" ] || { echo "$zip: no conformance-kit/run.cmd in it"; exit 1; }

# Wine turns names into Unix bytes by the locale; the non-ASCII cases need UTF-8.
export LC_ALL=C.UTF-8
# shellcheck source=/dev/null
source "$source_dir/scripts/wine-env.sh"
(cd "$kit" && wine cmd /c run.cmd </dev/null >"$scratch/tap.txt" 2>"$scratch/stderr.txt")
status=$?
tr -d '\r' <"$scratch/tap.txt" >"$scratch/tap-lf.txt"
cat "$scratch/tap-lf.txt"

problems=()
[ "$status" -eq 0 ] || problems+=("run.cmd ended with $status")
plan=$(grep -m1 -E '^1\.\.[0-9]+$' "$scratch/tap-lf.txt" | cut -c4-)
if [ -z "$plan" ] || [ "$plan" -eq 0 ]; then
  problems+=("no plan line (1..N)")
else
  for n in $(seq 1 "$plan"); do
    count=$(grep -c -E "^(not )?ok $n - " "$scratch/tap-lf.txt")
    [ "$count" -eq 1 ] || problems+=("case $n reported $count times")
  done
  grep -q -E '^not ok ' "$scratch/tap-lf.txt" && problems+=("a case failed")
  grep -q -E "^# conformance: $plan cases, [0-9]+ passed, 0 failed, " "$scratch/tap-lf.txt" ||
    problems+=("no summary line with $plan cases and 0 failed")
fi
result=$(ls "$kit"/conformance-result-*.txt 2>/dev/null | head -1)
if [ -z "$result" ]; then
  problems+=("no conformance-result-*.txt beside run.cmd")
elif ! tr -d '\r' <"$result" | cmp -s - "$scratch/tap-lf.txt"; then
  problems+=("$(basename "$result") differs from what was printed")
fi
if [ ${#problems[@]} -gt 0 ]; then
  printf 'conformance kit under Wine: %s\n' "${problems[@]}"
  sed 's/^/stderr: /' "$scratch/stderr.txt" | head -20
  exit 1
fi
echo "conformance kit under Wine: every case passed from the unpacked zip"
