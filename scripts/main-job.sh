#!/usr/bin/env bash
# The main job: build everything, make a fresh virtual board (it boots its
# default image) and a sample OS image of several MB, update the board's
# flash with it from the tool's main dialog (both progress bars drawn live in
# the terminal), reboot the board into the new image, show its build time in
# the "BSP Version" box, then check that the flash holds the image byte for
# byte. Installs the Debian packages the build needs first (scripts/setup.sh).
#   scripts/main-job.sh [--pace]     --pace: run at the board's own speed
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
bin=build/default/bin
board=build/demo-board
rm -rf "$board"
"$bin/vboard" create "$board"
built="2026-12-08 14:03:09"
"$bin/mkbin" --sample 6M "$board/files/nk.bin" --built "$built"
"$bin/inspectbin" "$board/files/nk.bin"
# The update ends in a reboot (exit 0); the tool's own exit code is 1 on
# every other path; anything else is a failed run.
rc=0
"$bin/vboard" run "$board" --script scripts/main-job.script --show "$@" image-update-tool || rc=$?
[ "$rc" -le 1 ] || { echo "main job: the run failed ($rc)"; exit "$rc"; }
rc=0
"$bin/vboard" run "$board" --script scripts/main-job-version.script --show "$@" image-update-tool || rc=$?
[ "$rc" -le 1 ] || { echo "main job: the run after the reboot failed ($rc)"; exit "$rc"; }
"$bin/vboard" log "$board"
# The board runs the new image: its build time is the one "BSP Version" showed.
"$bin/vboard" log "$board" --json | grep '"event":"messagebox"' | tail -1 | grep -q "08 Dec 2026 14:03:09" ||
  { echo "main job: \"BSP Version\" does not show the new image's build time"; exit 1; }
"$bin/inspectbin" "$board/files/nk.bin" --board "$board" --verify
