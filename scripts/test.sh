#!/usr/bin/env bash
# Builds everything and runs the whole test suite, after installing the Debian
# packages the build needs (scripts/setup.sh).
#   scripts/test.sh            host build
#   scripts/test.sh sanitize   the same with address and undefined-behaviour sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
