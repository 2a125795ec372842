#!/usr/bin/env bash
# Formats every C++ file of the repository with clang-format (.clang-format
# at the root; the programs' folders have their own), or only checks.
#   scripts/format.sh           reformat in place
#   scripts/format.sh --check   list what is not formatted, and fail
set -euo pipefail
cd "$(dirname "$0")/.."
mode=-i
case ${1:-} in
  "") ;;
  --check) mode="--dry-run -Werror" ;;
  *) echo "format: unknown option '$1' (use --check or nothing)" >&2; exit 2 ;;
esac
command -v clang-format >/dev/null || { echo "format: clang-format is missing (scripts/setup.sh installs it)" >&2; exit 1; }
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format $mode --
