#!/usr/bin/env bash
# Measures a full 32 MB image update on a default board over an old image:
# host seconds, and board time divided by the devices' own busy time (block
# erases plus buffer programs at the board's default timings).
#   tools/bench/bench_update.sh [BIN_DIR]      (default build/default/bin)
set -euo pipefail
bin=${1:-build/default/bin}
board=$(mktemp -d)/board
trap 'rm -rf "$(dirname "$board")"' EXIT
"$bin/vboard" create "$board" >/dev/null
"$bin/mkbin" --sample 32M "$board/files/nk.bin" --seed 1 >/dev/null
script=$(dirname "$board")/s.txt
printf 'accept\n' > "$script"
"$bin/vboard" set "$board" hal.reboot=return
# First update: the flash is blank, nothing needs erasing. Then a second,
# different image over it: every block of the range is erased.
"$bin/vboard" run "$board" --script "$script" image-update-tool '/u \nk.bin' >/dev/null || true  # the tool exits 1
"$bin/mkbin" --sample 32M "$board/files/nk.bin" --seed 2 >/dev/null
start=$(date +%s.%N)
"$bin/vboard" run "$board" --script "$script" image-update-tool '/u \nk.bin' >/dev/null || true  # the tool exits 1
end=$(date +%s.%N)
"$bin/inspectbin" "$board/files/nk.bin" --board "$board" --verify
python3 - "$board" "$start" "$end" <<'PY'
import json, sys
board, start, end = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
events = [json.loads(l) for l in open(board + "/events.jsonl") if l.strip()]
opens = [e for e in events if e.get("event") == "dialog_open" and e.get("caption") == "Updating IMAGE"]
closes = [e for e in events if e.get("event") == "dialog_close" and e.get("caption") == "Updating IMAGE"]
board_ms = closes[-1]["t_ms"] - opens[-1]["t_ms"]
size = 32 << 20
blocks = size // 0x40000
bursts = size // 64
busy_s = blocks * 1.0 + bursts * 218e-6
print(f"host seconds:            {end - start:.1f}")
print(f"board seconds:           {board_ms / 1000:.1f}")
print(f"devices' busy seconds:   {busy_s:.1f}  ({blocks} erases of 1 s, {bursts} bursts of 218 us)")
print(f"board time / busy time:  {board_ms / 1000 / busy_s:.3f}")
PY
