#!/usr/bin/env bash
# Measures a full 32 MB image update on a default board over an old image,
# in one run: its host time (wall and CPU) against its board time, and the
# board time against the devices' own busy time (block erases plus buffer
# programs at the board's default timings). The last lines give the ratios.
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
python3 - "$bin" "$board" "$script" <<'PY'
import json, resource, subprocess, sys, time
bin, board, script = sys.argv[1:4]
before = resource.getrusage(resource.RUSAGE_CHILDREN)
start = time.monotonic()
# The tool exits 1 on every path.
subprocess.run([bin + "/vboard", "run", board, "--script", script, "image-update-tool", "/u \\nk.bin"],
               stdout=subprocess.DEVNULL)
wall = time.monotonic() - start
after = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
subprocess.run([bin + "/inspectbin", board + "/files/nk.bin", "--board", board, "--verify"], check=True)
events = [json.loads(l) for l in open(board + "/events.jsonl") if l.strip()]
opens = [e for e in events if e.get("event") == "dialog_open" and e.get("caption") == "Updating IMAGE"]
closes = [e for e in events if e.get("event") == "dialog_close" and e.get("caption") == "Updating IMAGE"]
board_s = (closes[-1]["t_ms"] - opens[-1]["t_ms"]) / 1000
size = 32 << 20
blocks = size // 0x40000
bursts = size // 64
busy_s = blocks * 1.0 + bursts * 218e-6
print(f"devices' busy seconds:   {busy_s:.1f}  ({blocks} erases of 1 s, {bursts} bursts of 218 us)")
print(f"host seconds:            {wall:.2f} wall, {cpu:.2f} CPU (the whole vboard run)")
print(f"board seconds:           {board_s:.1f} (the update dialog open)")
print(f"host s / board s:        {wall / board_s:.4f} wall, {cpu / board_s:.4f} CPU  (target <= 0.01)")
print(f"board s / busy s:        {board_s / busy_s:.3f}  (target <= 1.02)")
PY
