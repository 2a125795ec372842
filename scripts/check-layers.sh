#!/usr/bin/env bash
# Checks that the layers point one way only: no include from a lower layer
# into a higher one. Lists every offending include and fails if there is any.
#   programs (update-tool/, autorun-agent/)  platform headers and their own only
#   operator/                                 may use wince/ and board/
#   wince/                                    may use board/, never operator/ or tools/
#   board/                                    knows nothing of Windows or the layers above
#                                             (os_windows.cpp is the system layer itself)
set -euo pipefail
cd "$(dirname "$0")/.."

bad=0
offend() { echo "layers: $1: $2"; bad=1; }

# Includes of the files under the given folders, as "file:line:text".
includes() { git grep -nE '^\s*#\s*include' -- "$@" || true; }

while IFS= read -r hit; do
  file=${hit%%:*}
  name=$(sed -nE 's/.*#\s*include\s*[<"]([^">]+)[">].*/\1/p' <<<"${hit#*:*:}")
  dir=$(dirname "$file")
  case $name in
    windows.h|commctrl.h|commdlg.h|cderr.h|ceddk.h|pkfuncs.h|msgqueue.h|pnp.h|string.h|stdlib.h|stdio.h) ;;
    *) [ -f "$dir/$name" ] || offend "$file" "includes <$name>, which is neither a platform header nor its own" ;;
  esac
done < <(includes 'update-tool/*.cpp' 'update-tool/*.h' 'autorun-agent/*.cpp' 'autorun-agent/*.h')

while IFS= read -r hit; do
  offend "${hit%%:*}" "reaches up: ${hit#*:*:}"
done < <(includes 'wince/*' | grep -E '[<"](operator/|operator_|operators\.h|binimage|tool_options|judge\.h)' || true)

while IFS= read -r hit; do
  offend "${hit%%:*}" "reaches up: ${hit#*:*:}"
done < <(includes 'board/*' ':!board/src/os_windows.cpp' |
         grep -E '[<"](wince/|operator/|operator_|operators\.h|windows\.h|commctrl\.h|ceddk\.h|pkfuncs\.h|binimage|image\.h|update_tool\.h|autorun\.h)' || true)

while IFS= read -r hit; do
  offend "${hit%%:*}" "reaches into the tools: ${hit#*:*:}"
done < <(includes 'operator/*' | grep -E '[<"](binimage|tool_options|judge\.h|image\.h)' || true)

[ $bad = 0 ] && echo "layers: every include points down"
exit $bad
