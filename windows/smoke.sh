#!/usr/bin/env bash
# The Windows smoke test: builds both programs with mingw-w64, then runs them
# under Wine on a virtual X display, on a fresh virtual board:
#   - the update tool's main dialog, its BSP version report and an update of a
#     small image, driven by dialog-driver.exe; the flash must then hold the
#     image byte for byte;
#   - the autorun agent on a mounted card: its AutoCopy tree is copied into
#     the board's files and the programs of its AutoRun folder (an .exe and a
#     shortcut) leave their marks.
# The driver saves the windows it looks at; they land as PNGs in
# build/windows/screenshots (with --docs also in docs/screenshots).
#
#   windows/smoke.sh [--docs] [HOST_BIN]   HOST_BIN: vboard, mkbin and
#                                          inspectbin (default build/default/bin)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${VBOARD_SMOKE_INNER:-}" != 1 ]; then
  export VBOARD_SMOKE_DOCS=0
  if [ "${1:-}" = "--docs" ]; then
    VBOARD_SMOKE_DOCS=1
    shift
  fi
  VBOARD_SMOKE_HOST_BIN=${1:-$root/build/default/bin}
  if ! VBOARD_SMOKE_HOST_BIN=$(cd "$VBOARD_SMOKE_HOST_BIN" 2>/dev/null && pwd); then
    echo "windows smoke: no host tools folder ${1:-$root/build/default/bin} (build the host tools first)" >&2
    exit 2
  fi
  export VBOARD_SMOKE_HOST_BIN
fi
host_bin=$VBOARD_SMOKE_HOST_BIN
docs=$VBOARD_SMOKE_DOCS
build=$root/build/windows
shots=$build/screenshots

passed=0
failed=0
pass() { echo "ok   $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }
# Counts the driver's own check lines into the totals.
count_driver() {
  local out=$1
  passed=$((passed + $(grep -c '^ok ' "$out" || true)))
  failed=$((failed + $(grep -c '^FAIL ' "$out" || true)))
}

if [ "${VBOARD_SMOKE_INNER:-}" != 1 ]; then
  for tool in vboard mkbin inspectbin; do
    if [ ! -x "$host_bin/$tool" ]; then
      echo "windows smoke: $host_bin/$tool is missing (build the host tools first)" >&2
      exit 2
    fi
  done
  echo "== Windows build (mingw-w64, C++03 program sources, warnings as errors)"
  cmake -S "$root/windows" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/windows/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2
  # A static build ships no runtime DLL: only the system's may be imported.
  for exe in image-update-tool autorun-agent; do
    dlls=$(x86_64-w64-mingw32-objdump -p "$build/$exe.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    if echo "$dlls" | grep -qE 'libstdc|libgcc|libwinpthread'; then
      echo "windows smoke: $exe.exe needs runtime DLLs: $dlls" >&2
      exit 1
    fi
    echo "$exe.exe imports: $dlls"
  done
  # The rest runs on a display of its own.
  export VBOARD_SMOKE_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0"
fi

work=$(mktemp -d /tmp/vboard-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64
# No .NET or HTML runtime is wanted; without these Wine would offer to fetch them.
export WINEDLLOVERRIDES="mscoree,mshtml="
focus_pid=
cleanup() {
  [ -z "$focus_pid" ] || kill "$focus_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Runs a Windows program under Wine, bounded in time; a hang fails the run.
wine_run() { timeout 300 wine "$@"; }

echo "== Wine prefix"
timeout 300 wineboot -i >/dev/null 2>&1
# A virtual desktop draws title bars without a window manager and keeps
# hidden windows from stalling.
cat >"$work/desktop.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="800x600"
EOF
wine_run regedit /S "$work/desktop.reg"
# The desktop that wineboot started has no virtual desktop yet: stop it, the
# next program starts one with the new setting.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
# There is no window manager: keep the X focus on Wine's desktop, so Wine
# draws its active window as active, as the board does. The desktop is
# started before the programs, so it has the focus when their windows appear.
(while sleep 0.2; do xdotool search --name "Wine desktop" windowfocus >/dev/null 2>&1; done) &
focus_pid=$!
wine explorer /desktop=Default,800x600 >/dev/null 2>&1 &
for _ in $(seq 50); do xdotool search --name "Wine desktop" >/dev/null 2>&1 && break; sleep 0.2; done
sleep 1
# Wine finds the fonts only in the prefix's own font folder.
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"

echo "== board"
board=$work/board
# Programming a buffer takes a little longer than the datasheet's typical
# time, so the update dialog stays up long enough to be pictured mid-update
# on any machine (about 4 s for the 384 KB image).
"$host_bin/vboard" create "$board" --set flash.timing.program_ns=600000 >/dev/null
"$host_bin/mkbin" --sample 384K "$board/files/image.bin" >/dev/null
# The board's root folder is drive B: and the programs run with it current,
# so "\windows\default.fdf" and the file-open dialog's "\" are the board's.
ln -s "$board/files" "$WINEPREFIX/dosdevices/b:"
# Windows has no image flash to show "\windows" from: the default image's
# default.fdf is put there as a file, with the image's build time.
printf '[Files]\r\nnk.exe\r\ncoredll.dll\r\nfilesys.exe\r\ngwes.exe\r\ndevice.exe\r\n' >"$board/files/Windows/default.fdf"
touch -d "2007-03-05 14:03:09 UTC" "$board/files/Windows/default.fdf"
export VBOARD_DIR
VBOARD_DIR=$(winepath -w "$board")
bin_w=$(winepath -w "$build")
mkdir -p "$work/shots" "$shots"
shots_w=$(winepath -w "$work/shots")

# The flash pair's counters on the board: a fresh board has seen no bus access.
flash_field() { "$host_bin/vboard" flash "$board" | sed -n "s/^$1: *//p"; }
if [ "$(flash_field 'bus accesses')" = 0 ]; then pass "a fresh board's flash has seen no bus access"; else fail "bus accesses on a fresh board"; fi

echo "== update tool: main dialog, BSP version, update"
cd "$board/files"
out=$work/tool.out
set +e
wine_run "$build/dialog-driver.exe" tool "$bin_w\\image-update-tool.exe" 'B:\image.bin' "$shots_w" | tr -d '\r' | tee "$out"
set -e
count_driver "$out"
if "$host_bin/inspectbin" "$board/files/image.bin" --board "$board" --verify; then
  pass "the flash holds the image"
else
  fail "the flash does not hold the image"
fi
if grep -q '"flash_fault"' "$board/events.jsonl"; then fail "the driver made flash faults"; else pass "no flash faults"; fi
# The Windows program drove the board's own devices: their counters, kept in
# the board folder, saw its accesses, and their busy times (at least 0.6 ms
# for each of the image's 64-byte bursts) ran on the board clock.
accesses=$(flash_field 'bus accesses')
board_ms=$(flash_field 'board time' | sed 's/ s$//; s/\.//; s/^0*//')
bursts=$("$host_bin/inspectbin" "$board/files/image.bin" |
  sed -n 's/.*length [0-9a-f]* (\([0-9]*\)).*/\1/p' | awk '{ bytes += $1 } END { print int(bytes / 64) }')
if [ "${accesses:-0}" -gt 0 ] && [ "$(flash_field 'driver faults')" = 0 ]; then
  pass "the board's flash counted $accesses bus accesses from the Windows program"
else
  fail "the board's flash did not see the Windows program's accesses ($accesses)"
fi
if [ "${board_ms:-0}" -ge $((bursts * 6 / 10)) ]; then
  pass "the board clock ran the devices' busy time ($board_ms ms for $bursts bursts)"
else
  fail "the board clock shows $board_ms ms for $bursts bursts of 0.6 ms"
fi
for event in registry_clear registry_save; do
  if grep "\"$event\"" "$board/events.jsonl" | grep '"program":"image-update-tool"' | grep -q '"ok":true'; then
    pass "the board logged the tool's $event"
  else
    fail "no $event of the tool in the board's event log"
  fi
done
if [ -f "$board/registry/stored.reg" ]; then pass "the registry is in the board's store"; else fail "no stored registry on the board"; fi

echo "== autorun agent: AutoCopy and AutoRun"
card=$work/card
mkdir -p "$card/AutoCopy/docs" "$card/AutoCopy/bin" "$card/AutoRun" "$board/files/docs" "$board/files/bin"
echo "copied from the card" >"$card/AutoCopy/docs/readme.txt"
echo "top of the card" >"$card/AutoCopy/top.txt"
cp "$build/autorun-mark.exe" "$card/AutoRun/mark.exe"
cp "$build/autorun-mark.exe" "$card/AutoCopy/bin/mark.exe"
# A shortcut to the copy AutoCopy makes, with an argument.
printf '26#\\bin\\mark.exe \\lnk-mark.txt' >"$card/AutoRun/start.lnk"
"$host_bin/vboard" mount "$board" "Storage Card" "$card" >/dev/null
out=$work/agent.out
set +e
wine_run "$build/dialog-driver.exe" agent "$bin_w\\autorun-agent.exe" \
  '\top.txt' '\docs\readme.txt' '\bin\mark.exe' '\autorun-mark.txt' '\lnk-mark.txt' | tr -d '\r' | tee "$out"
set -e
count_driver "$out"
for f in top.txt docs/readme.txt bin/mark.exe; do
  if cmp -s "$card/AutoCopy/$f" "$board/files/$f"; then pass "AutoCopy copied $f"; else fail "AutoCopy did not copy $f"; fi
done
# Nothing but the card's AutoCopy tree and the marks may have arrived.
expected=$(printf '%s\n' Windows/default.fdf image.bin top.txt docs/readme.txt bin/mark.exe autorun-mark.txt lnk-mark.txt | sort)
found=$(cd "$board/files" && find . -type f | sed 's|^\./||' | sort)
if [ "$found" = "$expected" ]; then
  pass "the board's files hold only the copied tree and the marks"
else
  fail "the board's files differ from what was expected:"
  diff <(echo "$expected") <(echo "$found") | head -20 || true
fi
mark=$(tr -d '\r' <"$board/files/autorun-mark.txt" 2>/dev/null || true)
if echo "$mark" | head -1 | grep -q 'AutoRun\\mark.exe$' && [ -z "$(echo "$mark" | sed -n 2p)" ]; then
  pass "AutoRun started mark.exe from the card, without arguments"
else
  fail "AutoRun mark: $mark"
fi
mark=$(tr -d '\r' <"$board/files/lnk-mark.txt" 2>/dev/null || true)
if echo "$mark" | head -1 | grep -qi '^B:\\bin\\mark.exe$' && [ "$(echo "$mark" | sed -n 2p)" = '\lnk-mark.txt' ]; then
  pass "the shortcut started \\bin\\mark.exe with its argument"
else
  fail "shortcut mark: $mark"
fi

echo "== board stop"
# The agent waits on its queue for good; a stop of the board ends it at once,
# as a power-off would, and its exit goes into the board's event log.
exits_before=$(grep -c '"event":"exit"' "$board/events.jsonl" 2>/dev/null || true)
announced_before=$(grep -c '"event":"volume_announced"' "$board/events.jsonl" 2>/dev/null || true)
timeout 120 wine "$build/autorun-agent.exe" >/dev/null 2>&1 &
agent=$!
started=0
for _ in $(seq 1 300); do
  kill -0 $agent 2>/dev/null || break
  # Up once it has subscribed: the mounted card is announced to it again.
  if [ "$(grep -c '"event":"volume_announced"' "$board/events.jsonl" 2>/dev/null || true)" -gt "$announced_before" ]; then
    started=1
    break
  fi
  sleep 0.1
done
if [ $started = 1 ]; then pass "the agent runs under Wine"; else fail "the agent did not start under Wine"; fi
"$host_bin/vboard" stop "$board" >/dev/null
stopped=0
for _ in $(seq 1 100); do
  if ! kill -0 $agent 2>/dev/null; then
    stopped=1
    break
  fi
  sleep 0.1
done
if [ $stopped = 1 ]; then
  pass "vboard stop ended the agent under Wine within 10 s"
else
  fail "the agent under Wine ran on after vboard stop"
  kill $agent 2>/dev/null || true
fi
wait $agent 2>/dev/null || true
if grep '"event":"exit"' "$board/events.jsonl" | tail -1 | grep -q '"board_stop":true'; then
  pass "the agent's exit is logged as a stop of the board"
else
  fail "no exit of the agent by the board's stop in the event log (had $exits_before exits before)"
fi

echo "== screenshots"
for name in main-dialog bsp-version file-open update-dialog; do
  if [ -s "$work/shots/$name.bmp" ] && convert "$work/shots/$name.bmp" "$shots/$name.png"; then
    pass "screenshot $name.png"
    if [ $docs = 1 ]; then
      mkdir -p "$root/docs/screenshots"
      cp "$shots/$name.png" "$root/docs/screenshots/$name.png"
    fi
  else
    fail "no screenshot $name"
  fi
done

echo "windows smoke: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
