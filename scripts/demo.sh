#!/usr/bin/env bash
# The main job on the embedded demo: make an archive of the sample application, pack it with the
# demo setup into a signed installer, run that installer under Wine with a forwarded argument, and
# show what setup received, what it installed, the installer's full exit code and what was left.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host >/dev/null
cmake --build --preset host --target stubpack

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo/run" "$demo/installed"

echo "== archive of the sample application"
(cd resources/demo-app && 7zz a -bd -bso0 -mtm=off -mtc=off -mta=off "$OLDPWD/$demo/app.7z" .)
ls -l "$demo/app.7z"

echo "== a test certificate for signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Nimbet demo test signing" \
  -keyout "$demo/sign-key.pem" -out "$demo/sign-cert.pem" 2>/dev/null

echo "== packing and signing"
build/host/bin/stubpack --archive "$demo/app.7z" --setup build/windows/bin/demo-setup.exe \
  --output "$demo/installer.exe" --sign-cert "$demo/sign-cert.pem" --sign-key "$demo/sign-key.pem"
osslsigncode verify -CAfile "$demo/sign-cert.pem" -in "$demo/installer.exe" 2>&1 | grep -E '^Signature verification' || true
build/host/bin/stubpack inspect "$demo/installer.exe"

source scripts/wine-env.sh
cp "$demo/installer.exe" "$demo/run/installer.exe"
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }
run_dir=$(winpath "$demo/run")
installed=$(winpath "$demo/installed")
printf '"%s\\installer.exe" --install-dir="%s"' "$run_dir" "$installed" > "$demo/run/command-line.txt"

echo "== running the installer under Wine"
echo "command line: $(cat "$demo/run/command-line.txt")"
before=$(ls -A "$demo/run")
out=$(wine build/windows/bin/launcher.exe "$run_dir\\installer.exe" "$run_dir\\command-line.txt" </dev/null 2>/dev/null)
code=${out#exit=}
code=${code%$'\r'}

echo "== what setup received and did (its report)"
cat "$demo/installed/setup-report.txt" 2>/dev/null || echo "(no report)"
echo
echo "== what it installed"
ls -l "$demo/installed"
echo
echo "== the installer's exit code: $code (see docs/exit-codes.md)"
after=$(ls -A "$demo/run")
if [ "$before" = "$after" ]; then
  echo "== left beside the installer: nothing (no VQ_*.tmp)"
else
  echo "== left beside the installer:"
  diff <(echo "$before") <(echo "$after") | sed -n 's/^> /  /p'
fi
[ "$code" = 0 ]
