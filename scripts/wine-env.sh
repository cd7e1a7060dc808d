# Sourced: a Wine prefix of the build's own, quiet, without the add-on installers, server started.
: "${WINEPREFIX:=$(pwd)/build/wine-prefix}"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || true
fi
# Background services inherit stdout; a cold server behind a pipe can hang, so start it first.
# Exits 2 when a server is already running; that is fine.
wineserver -p20 </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
