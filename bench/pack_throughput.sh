#!/usr/bin/env bash
# Packing a large archive: stubpack's wall time against cp of the same bytes on the same disk,
# its peak memory, and the packed installer's peak memory under Wine against a small one's; then
# the Windows build (stubpack.exe) under Wine beside the Linux one, setup stored as a cabinet and
# plain. Not a test; run it by hand after building the windows and host presets:
#
#   bash bench/pack_throughput.sh [SIZE_MIB] [WORK_DIRECTORY]
#
# SIZE_MIB defaults to 1024 (1 GiB); WORK_DIRECTORY to build/bench (it needs about three times
# SIZE_MIB free). Goals: wall time of packing / wall time of cp <= 2.0, peak RSS <= 64 MiB,
# installer's peak RSS under Wine with SIZE_MIB / with 1 MiB <= 1.05.
# Each figure is the best of three runs, the page cache warm for both, so that the disk's own
# variance does not decide the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
work=${2:-build/bench}
stubpack=build/host/bin/stubpack
setup=build/windows/bin/enum-resources.exe
for f in "$stubpack" "$setup" build/windows/bin/stub.exe; do
  [ -f "$f" ] || { echo "missing $f: build the windows and host presets first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

mkdir -p "$work"
archive="$work/archive.7z"
if [ ! -f "$archive" ] || [ "$(stat -c %s "$archive")" -ne $((size_mib * 1048576)) ]; then
  # A 7z signature, then incompressible bytes: the packer streams the archive as it is.
  { printf '7z\xbc\xaf\x27\x1c'; head -c $((size_mib * 1048576 - 6)) /dev/urandom; } > "$archive"
fi
cat "$archive" > /dev/null  # warm the page cache

best() { sort -n | head -1; }
seconds() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }

cp_times=()
pack_times=()
pack_rss=()
for run in 1 2 3; do
  rm -f "$work/copy.7z" "$work/installer.exe"
  read -r t _ < <(seconds cp "$archive" "$work/copy.7z")
  cp_times+=("$t")
  rm -f "$work/copy.7z"
  read -r t rss < <(SOURCE_DATE_EPOCH=1780000000 seconds "$stubpack" --archive "$archive" \
    --setup "$setup" --output "$work/installer.exe")
  pack_times+=("$t")
  pack_rss+=("$rss")
done
cp_best=$(printf '%s\n' "${cp_times[@]}" | best)
pack_best=$(printf '%s\n' "${pack_times[@]}" | best)
rss_max=$(printf '%s\n' "${pack_rss[@]}" | sort -n | tail -1)
echo "archive: $size_mib MiB"
echo "cp:       ${cp_times[*]} s (best $cp_best s)"
echo "stubpack: ${pack_times[*]} s (best $pack_best s)"
awk -v p="$pack_best" -v c="$cp_best" 'BEGIN { if (c > 0) printf "ratio stubpack / cp: %.2f (goal <= 2.0)\n", p / c }'
echo "peak RSS of stubpack: $rss_max KiB (goal <= 65536 KiB)"

# The packed stub's own memory under Wine does not grow with the archive: its resource section
# is mapped, not read (raw data on a page boundary). Peak RSS of the installer's process with
# this archive against one of 1 MiB; goal <= 1.05.
set +e  # wine-env.sh's "wineserver -p20" fails when a server already runs
source scripts/wine-env.sh
set -e
head -c 1048576 "$archive" > "$work/small.7z"
"$stubpack" --archive "$work/small.7z" --setup "$setup" --output "$work/small-installer.exe"
rss_of() { { /usr/bin/time -f '%M' wine "$1" 2>&1 >/dev/null </dev/null || true; } | tail -1; }  # the installer ends with setup's code
large=$(for run in 1 2 3; do rss_of "$work/installer.exe"; done | sort -n | head -1)
small=$(for run in 1 2 3; do rss_of "$work/small-installer.exe"; done | sort -n | head -1)
echo "peak RSS under Wine: $large KiB with $size_mib MiB, $small KiB with 1 MiB"
awk -v l="$large" -v s="$small" 'BEGIN { printf "ratio: %.3f (goal <= 1.05)\n", l / s }'
rm -f "$work/installer.exe" "$work/small-installer.exe"

# --- The Windows build under Wine beside the Linux build. Setup is enum-resources.exe (small),
# the stub given explicitly to both. Wall time is the best of three; MB/s counts the archive's
# bytes (10^6 bytes a MB). Peak RSS is the process's own high-water mark (VmHWM), polled from
# /proc every 20 ms in a separate untimed run: under Wine the Windows process is the Unix process
# that `wine` execs into, while /usr/bin/time's figure is the largest of all the waited-for
# descendants, which would include a wineserver or services that this run happened to start.
exe=build/windows/bin/stubpack.exe
if [ ! -f "$exe" ]; then
  echo "no $exe: the Windows build is not measured"
  rm -f "$work/small.7z"
  exit 0
fi
stub=build/windows/bin/stub.exe
peak_kib() {
  "$@" >/dev/null 2>&1 </dev/null &
  local pid=$! hwm=0 key value _
  while kill -0 "$pid" 2>/dev/null; do
    while read -r key value _; do
      [ "$key" = VmHWM: ] && hwm=$value
    done < "/proc/$pid/status" 2>/dev/null || true
    sleep 0.02
  done
  wait "$pid" || true
  echo "$hwm"
}
mbps() { awk -v t="$1" -v b=$((size_mib * 1048576)) 'BEGIN { printf "%.0f", b / 1e6 / t }'; }
# Where Wine's time goes: a process start (--version, best of five), measured first, and below
# the system calls of one plain run (strace -c counts them; it slows the run, so its times are
# not comparable with the table's).
start_ms() {
  local run begin end
  for run in 1 2 3 4 5; do
    begin=$(date +%s%N)
    "$@" --version >/dev/null 2>&1 </dev/null
    end=$(date +%s%N)
    echo $(((end - begin) / 1000000))
  done | best
}
sync
echo
echo "--version, best of 5: linux $(start_ms "$stubpack") ms, windows under Wine $(start_ms wine "$exe") ms"
printf '\n%-22s %-8s %-26s %7s %8s %14s\n' build storage "wall s (3 runs)" best MB/s "peak RSS KiB"
for storage in cabinet plain; do
  for build in linux windows; do
    if [ "$build" = linux ]; then packer=("$stubpack"); else packer=(wine "$exe"); fi
    rm -f "$work/installer.exe"
    # A build that refuses this storage is said so, not measured.
    if ! refusal=$(SOURCE_DATE_EPOCH=1780000000 "${packer[@]}" --archive "$work/small.7z" \
        --setup "$setup" --stub "$stub" --setup-storage "$storage" --output "$work/installer.exe" \
        -q 2>&1 </dev/null); then
      printf '%-22s %-8s refused: %s\n' "$build" "$storage" "$refusal"
      continue
    fi
    times=()
    for run in 1 2 3; do
      # Freeing a 1 GiB output's blocks and writing back the last one's pages would be charged
      # to this run otherwise.
      rm -f "$work/installer.exe"
      sync
      read -r t _ < <(SOURCE_DATE_EPOCH=1780000000 seconds "${packer[@]}" --archive "$archive" \
        --setup "$setup" --stub "$stub" --setup-storage "$storage" --output "$work/installer.exe" \
        </dev/null)
      times+=("$t")
    done
    cp "$work/installer.exe" "$work/installer-$build.exe"
    rm -f "$work/installer.exe"
    sync
    rss=$(SOURCE_DATE_EPOCH=1780000000 peak_kib "${packer[@]}" --archive "$archive" \
      --setup "$setup" --stub "$stub" --setup-storage "$storage" --output "$work/installer.exe")
    t=$(printf '%s\n' "${times[@]}" | best)
    printf '%-22s %-8s %-26s %7s %8s %14s\n' "$build" "$storage" "${times[*]}" "$t" "$(mbps "$t")" "$rss"
  done
  if [ ! -f "$work/installer-linux.exe" ] || [ ! -f "$work/installer-windows.exe" ]; then
    echo "  $storage: not compared (a build did not pack it)"
  elif cmp -s "$work/installer-linux.exe" "$work/installer-windows.exe"; then
    echo "  $storage: the two builds' installers are byte-identical"
  else
    echo "  $storage: the two builds' installers DIFFER: $(cmp "$work/installer-linux.exe" "$work/installer-windows.exe" || true)"
  fi
  rm -f "$work/installer-linux.exe" "$work/installer-windows.exe" "$work/installer.exe"
done

if command -v strace >/dev/null; then
  for build in linux windows; do
    if [ "$build" = linux ]; then packer=("$stubpack"); else packer=(wine "$exe"); fi
    echo "system calls of one plain run, $build (strace -f -c, top 6 by time):"
    sync
    SOURCE_DATE_EPOCH=1780000000 strace -f -c -o "$work/strace.txt" "${packer[@]}" --archive "$archive" \
      --setup "$setup" --stub "$stub" --setup-storage plain --output "$work/installer.exe" \
      >/dev/null 2>&1 </dev/null || true
    sed -n '3,8p' "$work/strace.txt"
    rm -f "$work/installer.exe" "$work/strace.txt"
  done
fi
rm -f "$work/small.7z"
