#!/usr/bin/env bash
# Fails when an include points up the layers: protocol/ knows no Qt and nothing above it,
# serial/ knows no widgets and nothing of the window, and neither knows cli/ or sim/;
# cli/ knows no widgets, nothing of the window and nothing of the simulator.
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"

qt_include=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)
widgets=()
if [ -d "$qt_include/QtWidgets" ]; then
  mapfile -t widgets < <(ls "$qt_include/QtWidgets")
fi

# Header names of a folder, as they would be included: "frmmain.h".
headers_of() { find "$1" -maxdepth 1 -name '*.h' -printf '%f\n' 2>/dev/null; }

status=0
complain() { echo "check-layers: $1"; status=1; }

# includes FOLDER: "file:line:name" for every #include in FOLDER's sources.
includes() {
  grep -HnoE '^\s*#\s*include\s*[<"][^>"]+[>"]' "$1"/*.cpp "$1"/*.h 2>/dev/null |
    sed -E 's/#\s*include\s*[<"]([^>"]+)[>"]/\1/; s/:\s+/:/'
}

forbid_local() { # FOLDER UPPER-FOLDER...
  local folder=$1; shift
  for upper in "$@"; do
    for h in $(headers_of "$upper"); do
      includes "$folder" | grep -E ":${h//./\\.}$" | while read -r hit; do
        echo "check-layers: $hit: $folder/ includes $upper/$h"
      done
    done
  done
}

out=$(forbid_local protocol serial app cli sim; forbid_local serial app cli sim; forbid_local cli app sim)
[ -n "$out" ] && { echo "$out"; status=1; }

while IFS= read -r hit; do
  complain "$hit: protocol/ must not include Qt"
done < <(includes protocol | grep -E ':(Q|Qt)[A-Za-z]*(/|$)' || true)

forbid_widgets() { # FOLDER
  local hit name w
  while IFS= read -r hit; do
    name=${hit##*:}; name=${name#QtWidgets/}
    for w in "${widgets[@]}" QtWidgets; do
      if [ "$name" = "$w" ]; then complain "$hit: $1/ must not include a Widgets header"; break; fi
    done
  done < <(includes "$1")
}
forbid_widgets serial
# quillmark-cli runs where no widget library is installed.
forbid_widgets cli
if [ -f cli/CMakeLists.txt ] && grep -qE 'Widgets|quillmark_window' cli/CMakeLists.txt; then
  complain "cli/ links Qt Widgets or the window"
fi

if grep -qE 'Widgets' serial/CMakeLists.txt protocol/CMakeLists.txt; then
  complain "serial/ or protocol/ links Qt Widgets"
fi
if grep -qE 'Qt6?::' protocol/CMakeLists.txt; then
  complain "protocol/ links Qt"
fi

[ $status -eq 0 ] && echo "check-layers: includes point down (protocol <- serial <- app, cli)"
exit $status
