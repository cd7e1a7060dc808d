#!/usr/bin/env bash
# The main job on the embedded demo: build stub.exe and run it under Wine, showing its full
# 32-bit exit code and what it left beside itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows

source scripts/wine-env.sh
run=build/demo/run
rm -rf "$run"
mkdir -p "$run"
cp build/windows/bin/stub.exe "$run/installer.exe"
win_dir="Z:$(realpath "$run" | tr / '\\')"
printf '"%s\\installer.exe" /demo-argument' "$win_dir" > "$run/command-line.txt"

echo "== running $run/installer.exe under Wine"
before=$(ls -A "$run")
out=$(wine build/windows/bin/launcher.exe "$win_dir\\installer.exe" "$win_dir\\command-line.txt" </dev/null)
code=${out#exit=}
code=${code%$'\r'}
case "$code" in
  0) meaning="setup ended with 0" ;;
  101) meaning="CONFIGURATION_FAILED: the command line cannot be split" ;;
  105) meaning="SETUP_COMMAND_LINE_FAILED: the stub's own path cannot be had" ;;
  108) meaning="PATH_TOO_LONG: the work directory's path does not fit" ;;
  109) meaning="NO_WORK_DIRECTORY: no work directory could be created" ;;
  112) meaning="ARCHIVE_NOT_FOUND: this stub carries no payload yet" ;;
  117) meaning="WORK_DIRECTORY_SECURITY_FAILED: the access list cannot be built" ;;
  118) meaning="UNSUPPORTED_SWITCH" ;;
  *) meaning="see docs/exit-codes.md" ;;
esac
echo "exit code: $code ($meaning)"
after=$(ls -A "$run")
if [ "$before" = "$after" ]; then
  echo "left on disk: nothing beside the installer (no VQ_*.tmp)"
else
  echo "left on disk:"
  diff <(echo "$before") <(echo "$after") | sed -n 's/^> /  /p'
fi
