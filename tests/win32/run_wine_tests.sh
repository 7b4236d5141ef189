#!/usr/bin/env bash
# Runs the Windows build's tests under Wine:
#   1. the unit tests (fake platform) and the Windows platform tests of the 64-bit build;
#   2. an end-to-end run: a Windows host program starts the Windows server over anonymous pipes
#      and holds sessions with it, with a simulated control unit on a COM port that is a Linux
#      pseudo-terminal served by a Linux helper from the native build.
#
#   tests/win32/run_wine_tests.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]
#
# Defaults: build/win64 and build/default. Skips (exit 0, with the reason) when Wine is not
# installed or cannot start; any failing test exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win_build=$(realpath -m "${1:-$root/build/win64}")
linux_build=$(realpath -m "${2:-$root/build/default}")

skip() {
  echo "wine tests: SKIPPED: $*"
  exit 0
}

wine=""
for candidate in wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
  if command -v "$candidate" >/dev/null 2>&1; then
    wine=$(command -v "$candidate")
    break
  fi
done
[ -n "$wine" ] || skip "wine64 is not installed"
wineserver=""
for candidate in "$(dirname "$wine")/wineserver64" "$(dirname "$wine")/wineserver" wineserver64 \
  wineserver; do
  if command -v "$candidate" >/dev/null 2>&1; then
    wineserver=$(command -v "$candidate")
    break
  fi
done

for file in "$win_build/tests/ecub_unit_tests.exe" "$win_build/tests/win32/ecub_win32_tests.exe" \
  "$win_build/tests/win32/ecub_win_host.exe" "$win_build/ecubridge.exe" \
  "$linux_build/tests/win32/ecub_wine_unit"; do
  [ -f "$file" ] || { echo "wine tests: missing $file (build the win64 and default presets)" >&2; exit 1; }
done

# A prefix of our own under the build folder: nothing of the user's Wine setup is touched.
export WINEPREFIX="$win_build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers; no desktop: windows go to Wine's null display driver.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINESERVER="$wineserver"
unset DISPLAY WAYLAND_DISPLAY

unit_pid=""
cleanup() {
  if [ -n "$unit_pid" ]; then
    kill "$unit_pid" 2>/dev/null || true
    wait "$unit_pid" 2>/dev/null || true
  fi
  # Ends this prefix's Wine processes (the server keeps them a few seconds otherwise).
  if [ -n "$wineserver" ]; then "$wineserver" -k 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== wine: preparing $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  if ! timeout 300 "$wine" wineboot --init >"$win_build/wineboot.log" 2>&1; then
    rm -rf "$WINEPREFIX"
    skip "wine cannot start (see $win_build/wineboot.log)"
  fi
  timeout 120 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
    >>"$win_build/wineboot.log" 2>&1 || true
  if [ -n "$wineserver" ]; then "$wineserver" -w || true; fi
fi
# Wine must run a program at all, or nothing below can tell us anything.
if ! timeout 120 "$wine" cmd /c exit 0 >/dev/null 2>&1; then
  skip "wine cannot run programs in $WINEPREFIX"
fi

# Windows sees the Linux root as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

echo "== wine: unit tests (x86_64 build)"
timeout 600 "$wine" "$win_build/tests/ecub_unit_tests.exe" --gtest_brief=1
echo "== wine: Windows platform tests"
(cd "$win_build/tests/win32" && timeout 300 "$wine" ./ecub_win32_tests.exe --gtest_brief=1)

echo "== wine: end to end (Windows host, Windows server, simulated unit on COM7)"
work="$win_build/wine-e2e"
rm -rf "$work"
mkdir -p "$work/app"
cp "$win_build/ecubridge.exe" "$work/app/"
if [ -f "$win_build/tests/win32/KVELD2XX.DLL" ]; then
  cp "$win_build/tests/win32/KVELD2XX.DLL" "$work/app/"
fi
printf '%s\r\n' '[LOG]' '1' '[AttesaGlobale_usec]' '1000000' '[AutoSpegnimento_usec]' '300000' \
  >"$work/app/SetComVarno.ini"

com=7
"$linux_build/tests/win32/ecub_wine_unit" "$WINEPREFIX/dosdevices" "$com" "$work/expect.txt" &
unit_pid=$!
for _ in $(seq 100); do
  [ -f "$work/expect.txt" ] && break
  kill -0 "$unit_pid" 2>/dev/null || { echo "wine tests: the simulated unit did not start" >&2; exit 1; }
  sleep 0.1
done
[ -f "$work/expect.txt" ] || { echo "wine tests: the simulated unit is not ready" >&2; exit 1; }

status=0
timeout 300 "$wine" "$win_build/tests/win32/ecub_win_host.exe" "$(winpath "$work/app/ecubridge.exe")" \
  "$(winpath "$work/expect.txt")" "$com" || status=$?
kill "$unit_pid"
unit_status=0
wait "$unit_pid" || unit_status=$?
unit_pid=""
if [ "$unit_status" -ne 0 ]; then
  echo "wine tests: the simulated unit answered no request" >&2
  status=1
fi
if [ "$status" -ne 0 ]; then
  echo "wine tests: FAILED (traffic log: $work/app/RxTx.TXT)" >&2
  exit 1
fi
echo "wine tests: passed"
