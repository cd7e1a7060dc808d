#!/usr/bin/env bash
# Runs each fuzzer longer than CI does, on a copy of its seed corpus (the committed corpus is
# never written), and reports per target: execs, execs per second, crashes, corpus size.
# Not a test; run by hand after building the fuzz preset (it builds it when missing):
#
#   bash bench/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Targets: bounded_text setup_command_line extract_payload expand_cabinet, and the packer's
# packer_installer packer_setup_cabinet packer_manifest packer_icon (default: all, in turn).
# Crash inputs are kept under build/bench/fuzz/<target>/crashes for reproduction.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(bounded_text setup_command_line extract_payload expand_cabinet packer_installer
  packer_setup_cabinet packer_manifest packer_icon)

if [ ! -x build/fuzz/bin/fuzz-bounded_text ]; then
  cmake --preset fuzz >/dev/null && nice cmake --build --preset fuzz -j2 || exit 1
fi

mkdir -p build/bench/fuzz
status=0
printf '%-20s %12s %10s %8s %12s %8s\n' target execs exec/s crashes "corpus files" seconds
for target in "${targets[@]}"; do
  work=build/bench/fuzz/$target
  start=$(date +%s)
  # Whole images are larger than run_fuzzer.sh's default input (as in cmake/fuzz.cmake).
  case $target in
    packer_installer | packer_setup_cabinet) extra=(-max_len=65536) ;;
    packer_icon) extra=(-max_len=32768) ;;
    *) extra=() ;;
  esac
  nice bash tests/fuzz/run_fuzzer.sh "build/fuzz/bin/fuzz-$target" "tests/fuzz/corpus/$target" "$work" \
    "$seconds" "${extra[@]}" >"$work.summary" 2>&1 || status=1
  elapsed=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzzer.log" | tail -n 1)
  crashes=$(find "$work/crashes" -type f | wc -l)
  corpus=$(find "$work/corpus" -type f | wc -l)
  rate=$(( ${execs:-0} / (elapsed > 0 ? elapsed : 1) ))
  printf '%-20s %12s %10s %8s %12s %8s\n' "$target" "${execs:-0}" "$rate" "$crashes" "$corpus" "$elapsed"
  [ "$crashes" -eq 0 ] || sed -n '/check failed\|ERROR\|runtime error/,+3p' "$work/fuzzer.log" | head -n 12
done
exit $status
