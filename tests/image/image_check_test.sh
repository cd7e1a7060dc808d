#!/usr/bin/env bash
# The image check passes stub.exe and refuses each sample that breaks one rule, for that rule.
set -u
bin=${1:?usage: image_check_test.sh WINDOWS_BIN_DIR [STUBPACK]}
stubpack=${2:-}
check="$(dirname "$0")/check_stub_image.py"
failures=0

# Runs the check on an image that breaks one rule and requires a refusal for that rule.
expect_refusal() {
  local label=$1 reason=$2
  shift 2
  local message status
  message=$(python3 "$check" "$@" 2>&1)
  status=$?
  if [ $status -ne 1 ] || [[ "$message" != *"$reason"* ]]; then
    echo "FAIL: $label: expected a refusal for '$reason', got status $status: $message"
    failures=$((failures + 1))
  else
    echo "ok: $label refused: $message"
  fi
}

if ! python3 "$check" "$bin/stub.exe" "$bin/../stub.map"; then
  echo "FAIL: stub.exe does not pass the image check"
  failures=$((failures + 1))
fi

while IFS='|' read -r sample map reason; do
  args=("$bin/bad-image-$sample.exe")
  [ -n "$map" ] && args+=("$bin/../$map")
  expect_refusal "$sample" "$reason" "${args[@]}"
done <<'SAMPLES'
constructor||static constructors
extra-import||imports from USER32.DLL
console-subsystem||not the GUI subsystem
section-alignment||section alignment 8192
wrong-entry|bad-image-wrong-entry.map|not StubEntry
SAMPLES

# A packed installer keeps every rule of the stub it was made from, and its manifest asks to run
# with the rights of whoever starts it.
manifest_check="$(dirname "$0")/check_manifest.py"
if [ -n "$stubpack" ]; then
  packed=$(mktemp -d)
  printf '7z\xbc\xaf\x27\x1c\x00\x04' > "$packed/archive.7z"
  if ! "$stubpack" --archive "$packed/archive.7z" --setup "$bin/launcher.exe" --stub "$bin/stub.exe" \
      --output "$packed/installer.exe" >/dev/null 2>"$packed/errors" ||
     ! python3 "$check" "$packed/installer.exe"; then
    echo "FAIL: a packed installer does not pass the image check: $(cat "$packed/errors")"
    failures=$((failures + 1))
  fi
  if ! python3 "$manifest_check" "$packed/installer.exe"; then
    echo "FAIL: the packed installer's manifest does not ask for asInvoker"
    failures=$((failures + 1))
  fi
  # The same installer with its manifest patched in place, at the same length.
  while IFS='|' read -r sample from to reason; do
    python3 - "$packed/installer.exe" "$packed/$sample.exe" "$from" "$to" <<'PATCH'
import sys
data = open(sys.argv[1], "rb").read()
source, replacement = sys.argv[3].encode(), sys.argv[4].encode()
assert len(source) == len(replacement) and data.count(source) == 1, sys.argv[3]
open(sys.argv[2], "wb").write(data.replace(source, replacement))
PATCH
    message=$(python3 "$manifest_check" "$packed/$sample.exe" 2>&1)
    if [ $? -ne 1 ] || [[ "$message" != *"$reason"* ]]; then
      echo "FAIL: manifest $sample: expected a refusal for '$reason', got: $message"
      failures=$((failures + 1))
    else
      echo "ok: manifest $sample refused: $message"
    fi
  done <<'MANIFESTS'
highest-available|level="asInvoker" uiAccess="false"/>|level="highestAvailable"          />|not 'asInvoker'
ui-access|uiAccess="false"|uiAccess="true" |uiAccess is 'true'
MANIFESTS
  rm -rf "$packed"
fi

# Rules that no compiler flag breaks cleanly: a patched copy of stub.exe, one field each.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
while IFS='|' read -r field reason; do
  python3 - "$bin/stub.exe" "$work/$field.exe" "$field" <<'PATCH'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
opt = pe + 24
field = sys.argv[3]
if field == "tls":
    struct.pack_into("<II", data, opt + 112 + 8 * 9, 0x1000, 0x28)
elif field == "timestamp":
    struct.pack_into("<I", data, pe + 8, 0x6500AA00)
elif field == "aslr":
    flags = struct.unpack_from("<H", data, opt + 70)[0]
    struct.pack_into("<H", data, opt + 70, flags & ~0x0040)
elif field == "high-entropy":
    flags = struct.unpack_from("<H", data, opt + 70)[0]
    struct.pack_into("<H", data, opt + 70, flags & ~0x0020)
elif field == "writable-code":
    table = opt + struct.unpack_from("<H", data, pe + 20)[0]
    characteristics = struct.unpack_from("<I", data, table + 36)[0]
    struct.pack_into("<I", data, table + 36, characteristics | 0xA0000000)
elif field == "delay-import":
    struct.pack_into("<II", data, opt + 112 + 8 * 13, 0x1000, 0x40)
elif field == "searching-loader":
    name = b"LoadLibraryExW\0"
    assert data.count(name) == 1
    data[data.index(name):data.index(name) + len(name)] = b"LoadLibraryW\0\0\0"
elif field == "nx":
    flags = struct.unpack_from("<H", data, opt + 70)[0]
    struct.pack_into("<H", data, opt + 70, flags & ~0x0100)
open(sys.argv[2], "wb").write(data)
PATCH
  expect_refusal "patched $field" "$reason" "$work/$field.exe"
done <<'PATCHES'
tls|TLS directory
timestamp|timestamp
aslr|ASLR is off
high-entropy|high-entropy ASLR is off
writable-code|both writable and executable
nx|NX is off
delay-import|delay-load import directory
searching-loader|imports LoadLibraryW: a loader
PATCHES

exit $((failures > 0))
