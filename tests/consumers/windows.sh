#!/usr/bin/env bash
# Builds the example program (examples/lobby.c) and the version check as
# Windows hosts with mingw-w64 against a release folder only (win32 or
# win64, each with its own compiler), once linking
# liblobbylink.dll.a and once linking lobbylink.lib (no LoadLibrary in
# either), and runs both under Wine with a private copy of the agents' Wine
# prefix (tests/agents/wine-prefix.sh); two steps, each a test of its own:
#   windows.sh build RELEASE-DIR WORK-DIR
#   windows.sh run RELEASE-DIR WORK-DIR TEMPLATE
# The example gets the release's dictionary helpers: linked as the static
# library with the MinGW import library, built from their C source (allocating
# through msvcrt.dll by name, as a Visual C++ host builds it) with the other.
set -euo pipefail
step=$1 release=$2 work=$3 template=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
version=$(basename "$release" | sed -E 's/^lobbylink-(.*)-win(32|64)$/\1/')
target=i686-w64-mingw32
[[ $release == *-win64 ]] && target=x86_64-w64-mingw32
cc=$target-gcc
flags=(-std=c99 -O2 -Wall -Wextra -Werror -I"$release/include")

mkdir -p "$work"
work=$(cd "$work" && pwd)
build() {
  # The programs' sources compile alike for both import libraries: once, side
  # by side, and then each is linked twice.
  objects=$work/objects
  rm -rf "$objects"
  mkdir "$objects"
  $cc "${flags[@]}" -c "$here/../../examples/lobby.c" -o "$objects/lobby.o" & lobbyJob=$!
  $cc "${flags[@]}" -c "$here/version.c" -o "$objects/version.o" & versionJob=$!
  # As a host of another C runtime builds the helpers: from msvcrt.dll's heap.
  $cc "${flags[@]}" -DLL_MAP_MSVCRT -c "$release/src/hostmap.c" -o "$objects/hostmap.o"
  wait $lobbyJob
  wait $versionJob
  for how in mingw-import msvc-import; do
    rm -rf "${work:?}/$how"
    mkdir "$work/$how"
    if [ $how = mingw-import ]; then
      link=(-L"$release" -llobbylink) helpers=(-llobbylink_hostmap)
    else
      link=("$release/lobbylink.lib") helpers=("$objects/hostmap.o")
    fi
    $cc "$objects/lobby.o" "${helpers[@]}" "${link[@]}" -o "$work/$how/lobby.exe"
    $cc "$objects/version.o" "${link[@]}" -lversion -o "$work/$how/version.exe"
    # The programs import the library by name and need no other DLL of ours
    # or of the compiler.
    for program in lobby:"KERNEL32.dll lobbylink.dll msvcrt.dll " \
                   version:"KERNEL32.dll VERSION.dll lobbylink.dll msvcrt.dll "; do
      dlls=$($target-objdump -p "$work/$how/${program%%:*}.exe" | sed -n 's/^\tDLL Name: //p' |
        LC_ALL=C sort | tr '\n' ' ')
      if [ "$dlls" != "${program#*:}" ]; then
        echo "$how: ${program%%:*}.exe imports $dlls"
        exit 1
      fi
    done
    cp "$release/lobbylink.dll" "$work/$how/"
  done
}

run() {
  export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  prefixes=$here/../agents/wine-prefix.sh
  sh "$prefixes" copy "$template" "$WINEPREFIX"
  trap 'sh "$prefixes" drop "$WINEPREFIX"' EXIT
  status=0
  for how in mingw-import msvc-import; do
    echo "== $how"
    (cd "$work/$how" && timeout 60 wine version.exe "$version" &&
      "$here/../example.sh" lobby.exe "$version") || { status=1; echo "$how: FAILED"; }
  done
  return $status
}

case $step in
build) build ;;
run) run ;;
*) echo "usage: $0 build|run RELEASE-DIR WORK-DIR [TEMPLATE]" >&2; exit 2 ;;
esac
