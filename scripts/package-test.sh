#!/usr/bin/env bash
# Builds the Debian package from the Release build, installs it on this
# machine, uses the installed tools only (no build folder on PATH, a fresh
# board in a temporary folder), then removes the package and checks that its
# files went with it. Must run as root (dpkg). Closes with "N passed, N failed".
#   scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "package-test: must run as root: it installs and removes a Debian package with dpkg" >&2
  exit 1
fi

package=wince-board-tools
tools=(vboard mkbin inspectbin)
passed=0
failed=0
installed_by_us=0
work=$(mktemp -d /tmp/package-test.XXXXXX)

cleanup() {
  if [ $installed_by_us = 1 ] && dpkg-query -W "$package" >/dev/null 2>&1; then
    dpkg -r "$package" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME COMMAND...: one check, counted; its output goes to $work/last.log
  local name=$1
  shift
  if "$@" >"$work/last.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok:   $name"
  else
    failed=$((failed + 1))
    echo "FAIL: $name"
    sed 's/^/      /' "$work/last.log"
  fi
}

# The installed tools as a user has them: the system's PATH, no build folder.
installed() { env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$work" "$@" </dev/null; }

# dpkg-shlibdeps (dpkg-dev) names the package's library dependencies.
bash scripts/setup.sh dpkg-dev
cmake --preset release >/dev/null
cmake --build --preset release
rm -f build/release/"$package"_*.deb
(cd build/release && cpack -G DEB)
deb=$(ls build/release/"$package"_*.deb)
echo "package-test: $deb"
# The version the tools must print: the project's, as CMake has it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)

check "the package names its dependencies" sh -c "dpkg-deb -f '$deb' Depends | grep -q libstdc++"
check "the package holds no test or benchmark" sh -c "! dpkg-deb -c '$deb' | grep -Eq '/(test_|bench_|fuzz_)'"
installed_by_us=1
dpkg -i "$deb"

board=$work/board
for tool in "${tools[@]}"; do
  check "$tool is on the system's PATH" sh -c "[ \"\$(env -i PATH=/usr/local/bin:/usr/bin:/bin sh -c 'command -v $tool')\" = /usr/bin/$tool ]"
done
check "the board's programs are not on PATH" sh -c "! env -i PATH=/usr/local/bin:/usr/bin:/bin sh -c 'command -v image-update-tool'"
check "the docs are installed" test -f /usr/share/doc/$package/README.md
for tool in "${tools[@]}"; do
  check "$tool --version says $version" sh -c "[ \"\$(env -i PATH=/usr/bin:/bin $tool --version)\" = '$tool $version' ]"
done
check "vboard create" installed vboard create "$board"
check "mkbin --sample 1M" installed mkbin --sample 1M "$board/files/nk.bin"
check "inspectbin --board" installed inspectbin "$board/files/nk.bin" --board "$board"
# A reboot ends the run with 0, and the board's log has it.
check "vboard run image-update-tool /r" installed vboard run "$board" image-update-tool /r
check "vboard log shows the reboot" sh -c "env -i PATH=/usr/bin:/bin vboard log '$board' | grep -q ' reboot '"

dpkg -r "$package"
installed_by_us=0
for tool in "${tools[@]}"; do
  check "$tool is gone" test ! -e /usr/bin/$tool
done
check "the programs' folder is gone" test ! -e /usr/libexec/$package
check "the docs are gone" test ! -e /usr/share/doc/$package

echo "$passed passed, $failed failed"
[ $failed = 0 ]
