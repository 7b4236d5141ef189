#!/usr/bin/env bash
# Runs one Windows build's tests under Wine, the 32-bit (i686) or the 64-bit (x86_64) one:
#   1. the unit tests (fake platform) and the Windows platform tests, the latter with the D2XX
#      stand-in built for that build;
#   2. an end-to-end run: a Windows host program starts the Windows server over anonymous pipes
#      and holds sessions with it, with a simulated control unit on a COM port that is a Linux
#      pseudo-terminal served by ecubridge-sim from the native build.
#
#   tests/win32/run_wine_tests.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]
#
# Defaults: build/win64 and build/default. The Wine prefix is build/wineprefix (or
# $ECUB_WINEPREFIX), shared by both builds; a prefix made before Wine's 32-bit part was
# installed cannot run 32-bit programs and is made anew. Skips (exit 0, with the reason) when
# Wine is not installed or cannot run programs of the build's kind on this machine; any failing
# test exits non-zero.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win_build=$(realpath -m "${1:-$root/build/win64}")
linux_build=$(realpath -m "${2:-$root/build/default}")

skip() { echo "wine tests: SKIPPED: $*"; exit 0; }

for file in "$win_build/tests/ecub_unit_tests.exe" "$win_build/tests/win32/ecub_win32_tests.exe" \
  "$win_build/tests/win32/ecub_win_host.exe" "$win_build/ecubridge.exe" \
  "$linux_build/ecubridge-sim"; do
  [ -f "$file" ] || { echo "wine tests: missing $file (build with ECUB_TESTS=ON)" >&2; exit 1; }
done

# The build's kind from the machine field of the server's PE header: 0x14c i386, 0x8664 x86_64.
pe_offset=$(od -An -tu4 -j60 -N4 "$win_build/ecubridge.exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$win_build/ecubridge.exe" | tr -d ' ')
case $machine in
  014c) arch=i686 ;;
  8664) arch=x86_64 ;;
  *) echo "wine tests: $win_build/ecubridge.exe is no Windows program for x86 (machine $machine)" >&2
     exit 1 ;;
esac

# The 64-bit loader runs both kinds in a 64-bit prefix (32-bit programs through Wine's 32-bit
# part, the wine32 package).
wine=$(command -v wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64 | head -n 1) || true
[ -n "$wine" ] || skip "wine64 is not installed"
wineserver=$(command -v "$(dirname "$wine")"/wineserver{64,} wineserver64 wineserver |
  head -n 1) || true

# A prefix of our own under the build folder: nothing of the user's Wine setup is touched.
export WINEPREFIX=${ECUB_WINEPREFIX:-$root/build/wineprefix}
export WINEARCH=win64 WINEDEBUG=-all WINESERVER="$wineserver"
# No Mono or Gecko installers; no desktop: windows go to Wine's null display driver.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"
boot_log="$(dirname "$WINEPREFIX")/wineboot.log"

unit_pid=""
cleanup() {
  [ -z "$unit_pid" ] || { kill "$unit_pid" 2>/dev/null; wait "$unit_pid" 2>/dev/null; } || true
  # Ends this prefix's Wine processes (the server keeps them a few seconds otherwise).
  if [ -n "$wineserver" ]; then "$wineserver" -k 2>/dev/null || true; fi
}
trap cleanup EXIT

make_prefix() {
  echo "== wine: preparing $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  if ! timeout 300 "$wine" wineboot --init >"$boot_log" 2>&1; then
    rm -rf "$WINEPREFIX"
    skip "wine cannot start (see $boot_log)"
  fi
  timeout 120 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
    >>"$boot_log" 2>&1 || true
  if [ -n "$wineserver" ]; then "$wineserver" -w || true; fi
}

[ "$arch" != i686 ] || why=$("$root/tests/win32/can_run_32bit.sh") || skip "$why"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  make_prefix
elif [ "$arch" = i686 ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  # Made before the 32-bit part (which can_run_32bit.sh found) was installed: 32-bit programs
  # "could not load kernel32.dll".
  echo "== wine: $WINEPREFIX has no 32-bit part; making it anew"
  make_prefix
fi
# The Wine server of the prefix keeps running between the programs below; its own messages go
# to the log rather than into the test output.
if [ -n "$wineserver" ]; then "$wineserver" -p 5 2>>"$boot_log" || true; fi

# Wine must run a program of this kind at all, or nothing below can tell us anything.
if ! timeout 120 "$wine" "$win_build/tests/ecub_unit_tests.exe" --gtest_list_tests >/dev/null 2>&1; then
  skip "wine cannot run $arch programs in $WINEPREFIX"
fi

# Windows sees the Linux root as drive Z:.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

echo "== wine: unit tests ($arch build)"
timeout 600 "$wine" "$win_build/tests/ecub_unit_tests.exe" --gtest_brief=1
echo "== wine: Windows platform tests ($arch build)"
(cd "$win_build/tests/win32" && timeout 300 "$wine" ./ecub_win32_tests.exe --gtest_brief=1)

echo "== wine: end to end ($arch; Windows host, Windows server, simulated unit on COM7)"
work="$win_build/wine-e2e"
rm -rf "$work" && mkdir -p "$work"
cp "$win_build/ecubridge.exe" "$work/"
[ ! -f "$win_build/tests/win32/KVELD2XX.DLL" ] || cp "$win_build/tests/win32/KVELD2XX.DLL" "$work/"
printf '%s\r\n' '[LOG]' '1' '[AttesaGlobale_usec]' '1000000' '[AutoSpegnimento_usec]' '300000' \
  >"$work/SetComVarno.ini"

# The Linux process of this prefix's running server (the newest when there are more). A server
# that has ended, whose environment reads as empty, is no failure of the search.
server_pid() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = ecubridge.exe ] || continue
    if tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "${p#/proc/}"
    fi
  done | sort -n | tail -n 1
}

# The simulated unit (the Linux build's ecubridge-sim) on a pseudo-terminal; Wine looks its
# devices up in lower case, so the prefix gets a com7 link of its own. The host is told the
# unit's identification answer and a request it answers with its answer frame, as hex (the
# default identification "FW 1.00 LPGJET-4 X"; command 30 gets 12345678).
com=7
printf '30 -> 12345678\n' >"$work/answers.txt"
"$linux_build/ecubridge-sim" --ports "$work/ports" --com "$com" --answers "$work/answers.txt" \
  >"$work/unit-ready.txt" 2>"$work/unit.txt" &
unit_pid=$!
for _ in $(seq 100); do
  [ -s "$work/unit-ready.txt" ] && break
  kill -0 "$unit_pid" 2>/dev/null || { echo "wine tests: the simulated unit did not start" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/unit-ready.txt" ] || { echo "wine tests: the simulated unit is not ready" >&2; exit 1; }
ln -sfn "$(readlink -f "$work/ports/COM$com")" "$WINEPREFIX/dosdevices/com$com"

status=0
timeout 300 "$wine" "$win_build/tests/win32/ecub_win_host.exe" "$(winpath "$work")" "$com" \
  44011D210000000000000000465720312E3030204C50474A45542D34205816 410204300176 \
  44010830001234567875 || status=$?
kill "$unit_pid"
wait "$unit_pid" || true
unit_pid=""
rm -f "$WINEPREFIX/dosdevices/com$com"
grep -Eq ' [1-9][0-9]* answers sent$' "$work/unit.txt" ||
  { echo "wine tests: the simulated unit answered no request (see $work/unit.txt)" >&2; status=1; }

echo "== wine: end to end ($arch; the host a Linux process, the server's input a Linux pipe)"
# Wine hands the server a Linux pipe as its standard input: a read at its end gives no bytes
# (not a broken pipe), and a read under way there cannot be cancelled.
check() { if [ "$1" = ok ]; then echo "ok: $2"; else echo "FAIL: $2"; status=1; fi; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Starts the server on two fifos: the host writes on fd 7 and reads on fd 8; sets server.
start_linux_host() {
  local form=$1
  rm -f "$work/to-server" "$work/from-server"
  mkfifo "$work/to-server" "$work/from-server"
  ECUBRIDGE_STATUS_FORM=$form "$wine" "$work/ecubridge.exe" <"$work/to-server" \
    >"$work/from-server" 2>>"$work/server-stderr.txt" &
  exec 7>"$work/to-server" 8<"$work/from-server"
  # Instruction 0 with "AB" and its echo.
  printf '\x0a\x00\x00\x00\x00\x00\x00\x00AB' >&7
  local reply
  reply=$(timeout 20 head -c 10 <&8 | od -An -tx1 | tr -d ' \n')
  check "$([ "$reply" = 000a0000000000004142 ] && echo ok)" "linux host: the server echoes ($reply)"
  server=$(server_pid)
}
# Waits up to $2 ms for process $1 to end; prints the ms it took, or nothing. An ended process
# whose parent (Wine's 32-bit launcher takes its time) has not collected it yet counts as ended.
ended_within() {
  local start state
  start=$(now_ms)
  while read -r _ _ state _ <"/proc/$1/stat" 2>/dev/null && [ "$state" != Z ]; do
    (($(now_ms) - start > $2)) && return 1
    sleep 0.005
  done
  echo $(($(now_ms) - start))
}

# Instruction 1 while the host keeps its end open: the reader is blocked in a read that cannot
# be cancelled, and the server must still end at once (it waited 0.4 s for the reader before).
start_linux_host 0
printf '\x08\x00\x01\x00\x00\x00\x00\x00' >&7
quit_reply=$(timeout 20 head -c 8 <&8 | od -An -tx1 | tr -d ' \n')
replied=$(now_ms)
timeout 20 cat <&8 >/dev/null
output_ms=$(($(now_ms) - replied))
exit_ms=$(ended_within "$server" 5000) && exit_ms=$((exit_ms + output_ms))
[ "$quit_reply" = 0008010000000000 ] && ((output_ms <= 200)) && [ -n "$exit_ms" ] &&
  ((exit_ms <= 200)) && verdict=ok || verdict=FAIL
check $verdict "linux host: instruction 1 answered ($quit_reply), output ended after ${output_ms} ms, the server after ${exit_ms:-(still running)} ms"
exec 7>&- 8<&-
wait

# The host closes its end without instruction 1: with no status form the server ends by itself.
start_linux_host 0
exec 7>&-
exit_ms=$(ended_within "$server" 5000) && verdict=ok || verdict=FAIL
check $verdict "linux host gone: the server ended by itself after ${exit_ms:-(still running)} ms"
exec 8<&-
wait

# Prints "switches cpu_ns waiting_ns" summed over the threads of process $1: the voluntary and
# involuntary context switches, and the scheduler's nanosecond counts of running and waiting.
usage_sample() {
  cat /proc/"$1"/task/*/{status,schedstat} 2>/dev/null | awk '
    /^(non)?voluntary_ctxt_switches:/ { s += $2 }
    $1 ~ /^[0-9]+$/ { c += $1; w += $2 }
    END { printf "%.0f %.0f %.0f\n", s, c, w }'
}
# How often process $1 wakes and how much processor time it takes over $2 seconds, counted by
# Linux for all of its threads (Wine cannot tell one Windows process the times of another):
# "ok|FAIL switches=N/s cpu=P% demand=D%", ok within $3 switches a second and $4 % of a core.
# Demand adds the time the threads were ready but waited for a processor: on a busy machine a
# thread that spins gets only its share of a core, but it still demands all of it.
process_usage() (
  [ -d "/proc/$1" ] || { echo "FAIL: no process $1"; exit; }
  read -r s0 c0 w0 < <(usage_sample "$1")
  t0=$(date +%s%N)
  sleep "$2"
  read -r s1 c1 w1 < <(usage_sample "$1")
  t1=$(date +%s%N)
  [ -d "/proc/$1" ] || { echo "FAIL: process $1 ended"; exit; }
  awk -v s="$((s1 - s0))" -v c="$((c1 - c0))" -v w="$((w1 - w0))" -v t="$((t1 - t0))" \
    -v ms="$3" -v mc="$4" 'BEGIN {
      rate = s / (t / 1e9); cpu = c / t * 100; demand = (c + w) / t * 100
      printf "%s switches=%.1f/s cpu=%.3f%% demand=%.1f%%\n", (rate <= ms && cpu <= mc) ? "ok" : "FAIL",
        rate, cpu, demand
    }'
)

# With the status form shown it stays for the form, idle: no reader spinning on the end.
start_linux_host 1
exec 7>&-
sleep 0.3
read -r verdict < <(process_usage "$server" 2 50 2)
check "${verdict%% *}" "linux host gone, form shown: the server stays, idle (${verdict})"
kill "$server" 2>/dev/null || true
exec 8<&-
wait
if [ "$status" -ne 0 ]; then
  echo "wine tests: FAILED ($arch; traffic logs: $work/app-*/RxTx.TXT)" >&2
  exit 1
fi
echo "wine tests: passed ($arch)"
