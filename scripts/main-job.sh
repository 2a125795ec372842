#!/usr/bin/env bash
# The main job: build everything, make a fresh virtual board and a sample OS
# image of several MB, update the board's flash with it from the tool's main
# dialog (both progress bars drawn live in the terminal), then check that the
# flash holds the image. Installs the Debian packages the build needs first
# (scripts/setup.sh).
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
"$bin/mkbin" --sample 6M "$board/files/nk.bin"
"$bin/inspectbin" "$board/files/nk.bin"
# The tool's exit code is 1 on every path; anything else is a failed run.
rc=0
"$bin/vboard" run "$board" --script scripts/main-job.script --show "$@" image-update-tool || rc=$?
[ "$rc" -le 1 ] || { echo "main job: the run failed ($rc)"; exit "$rc"; }
"$bin/vboard" log "$board"
"$bin/inspectbin" "$board/files/nk.bin" --board "$board" --verify
