#!/usr/bin/env bash
# Builds everything and runs the whole test suite, after installing the Debian
# packages the build needs (scripts/setup.sh).
#   scripts/test.sh            host build
#   scripts/test.sh sanitize   the same with address and undefined-behaviour sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
bash scripts/setup.sh
# The emulator and ARM compiler of the flash tests on QEMU; those tests are
# reported as skipped where they cannot be installed.
bash scripts/setup.sh qemu || echo "setup: the QEMU flash tests will be SKIPPED"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
