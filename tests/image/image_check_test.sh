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

# A packed installer keeps every rule of the stub it was made from.
if [ -n "$stubpack" ]; then
  packed=$(mktemp -d)
  printf '7z\xbc\xaf\x27\x1c\x00\x04' > "$packed/archive.7z"
  if ! "$stubpack" --archive "$packed/archive.7z" --setup "$bin/launcher.exe" --stub "$bin/stub.exe" \
      --output "$packed/installer.exe" >/dev/null 2>"$packed/errors" ||
     ! python3 "$check" "$packed/installer.exe"; then
    echo "FAIL: a packed installer does not pass the image check: $(cat "$packed/errors")"
    failures=$((failures + 1))
  fi
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
PATCHES

exit $((failures > 0))
