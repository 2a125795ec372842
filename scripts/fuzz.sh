#!/usr/bin/env bash
# Builds the fuzz targets and runs each one for a fixed time, or until it has
# run 10 million inputs, whichever comes first.
#   scripts/fuzz.sh                 20 s per target (the CI smoke)
#   scripts/fuzz.sh 3600            the long run: one hour per target
#   scripts/fuzz.sh 60 fuzz_image   one target only
# Each target starts from its seeds in fuzz/corpus/<target>/ and keeps what
# it learns in build/fuzz/corpus/<target>/; an input that breaks a target is
# saved in build/fuzz/findings/<target>/ and the script fails. A finding is
# replayed with: build/fuzz/bin/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_image fuzz_contents fuzz_shortcut fuzz_notification fuzz_dialog_template fuzz_board_settings)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

failed=0
for t in "${targets[@]}"; do
  work=build/fuzz/corpus/$t
  findings=build/fuzz/findings/$t
  mkdir -p "$work" "$findings"
  log=build/fuzz/$t.log
  echo "== $t: ${seconds} s"
  if ! build/fuzz/bin/"$t" "$work" fuzz/corpus/"$t" -max_total_time="$seconds" -runs=10000000 -timeout=60 -rss_limit_mb=4096 \
      -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
    failed=1
    echo "!! $t found a fault; see $log and $findings/"
    grep -E "FINDING|ERROR: |SUMMARY" "$log" | head -5 || true
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" | tr '\n' ' ' || true
  echo
done
exit $failed
