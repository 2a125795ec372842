#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any are missing.
#   scripts/setup.sh                    the host build, its tests and tools
#   scripts/setup.sh windows            the Windows build and its Wine smoke test
#   scripts/setup.sh qemu               the flash tests on an emulated ARM machine
#   scripts/setup.sh --dry-run [...]    only say what it would do
# Further arguments that name no group are taken as package names.
# As root, missing packages are installed (after apt-get update); otherwise
# the script names them and the command that installs them, and fails.
set -euo pipefail

host_packages=(cmake make ccache g++ clang clang-format llvm libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
               nlohmann-json3-dev python3)
windows_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                  wine wine64 fonts-wine xvfb xauth xdotool imagemagick)
# The emulator and the bare-metal ARM compiler with its C library. The
# emulated machine starts without its network ROMs: the tests pass -nic none.
qemu_packages=(qemu-system-arm gcc-arm-none-eabi libnewlib-arm-none-eabi)

dry_run=0
wanted=()
groups=0
for arg in "$@"; do
  case $arg in
    --dry-run) dry_run=1 ;;
    host) wanted+=("${host_packages[@]}"); groups=1 ;;
    windows) wanted+=("${windows_packages[@]}"); groups=1 ;;
    qemu) wanted+=("${qemu_packages[@]}"); groups=1 ;;
    -*) echo "setup: unknown option '$arg' (use --dry-run, host, windows, qemu or package names)" >&2; exit 2 ;;
    *) wanted+=("$arg") ;;
  esac
done
[ $groups = 1 ] || wanted=("${host_packages[@]}" "${wanted[@]}")

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

install=(apt-get install -y --no-install-recommends "${missing[@]}")
if [ "$(id -u)" != 0 ]; then
  echo "setup: missing Debian packages: ${missing[*]}" >&2
  echo "setup: install them as root with: apt-get update && ${install[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
if [ $dry_run = 1 ]; then
  echo "would run: apt-get update"
  echo "would run: ${install[*]}"
  exit 0
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${install[@]}" -qq
