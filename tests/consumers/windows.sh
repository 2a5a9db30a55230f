#!/usr/bin/env bash
# Builds the consumer program as a Windows host with mingw-w64 against the
# release folder only, once linking liblobbylink.dll.a and once linking
# lobbylink.lib (no LoadLibrary in either), and runs both under Wine with a
# private Wine prefix:  windows.sh RELEASE-DIR WORK-DIR
set -euo pipefail
release=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
version=$(basename "$release" | sed -E 's/^lobbylink-(.*)-win32$/\1/')
cc=i686-w64-mingw32-gcc
flags=(-std=c99 -O2 -Wall -Wextra -Werror -DLOBBY_OWN_DICTIONARY -I"$release/include")
sources=("$here/lobby.c" "$here/hostdict.c")

mkdir -p "$work"
work=$(cd "$work" && pwd)
for how in mingw-import msvc-import; do
  rm -rf "${work:?}/$how"
  mkdir "$work/$how"
  if [ $how = mingw-import ]; then
    $cc "${flags[@]}" "${sources[@]}" -L"$release" -llobbylink -lversion -o "$work/$how/lobby.exe"
  else
    $cc "${flags[@]}" "${sources[@]}" "$release/lobbylink.lib" -lversion -o "$work/$how/lobby.exe"
  fi
  # The program imports the library by name and needs no other DLL of ours
  # or of the compiler.
  dlls=$(i686-w64-mingw32-objdump -p "$work/$how/lobby.exe" | sed -n 's/^\tDLL Name: //p' | LC_ALL=C sort | tr '\n' ' ')
  if [ "$dlls" != "KERNEL32.dll VERSION.dll lobbylink.dll msvcrt.dll " ]; then
    echo "$how: lobby.exe imports $dlls"
    exit 1
  fi
  cp "$release/lobbylink.dll" "$work/$how/"
done

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0
for how in mingw-import msvc-import; do
  echo "== $how"
  (cd "$work/$how" && timeout 240 wine lobby.exe "$version") || { status=1; echo "$how: FAILED"; }
done
wineserver -k 2>/dev/null || true
exit $status
