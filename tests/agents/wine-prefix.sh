#!/bin/sh
# Private Wine prefixes for the agent tests. A prefix is made once; every test
# process then runs its Windows agents in a copy of its own, because Wine
# opens sockets in the wineserver, which serves one prefix: a wineserver of
# its own keeps each test's sockets in that test's network namespace.
#   wine-prefix.sh make TEMPLATE      makes TEMPLATE unless it is there
#   wine-prefix.sh copy TEMPLATE DIR  a fresh DIR like TEMPLATE (drive_c as hard links: only read)
#   wine-prefix.sh drop DIR           ends DIR's wineserver and its processes, removes DIR
set -eu
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Debian's Wine names the directory of a prefix's wineserver in the file
# "wineserver" inside the prefix; a copy must not share it.
serverDir() { [ -f "$1/wineserver" ] && echo "${TMPDIR:-/tmp}/$(cat "$1/wineserver")" || true; }
case $1 in
make)
  t=$2
  [ -f "$t/system.reg" ] && exit 0
  rm -rf "$t.new"
  mkdir -p "$(dirname "$t")"
  # A 64-bit prefix, which runs the agents of the 32-bit DLL and the 64-bit one.
  WINEARCH=win64 WINEPREFIX="$t.new" wineboot -i
  WINEPREFIX="$t.new" wineserver -w
  s=$(serverDir "$t.new"); [ -n "$s" ] && rm -rf "$s"
  rm -f "$t.new/wineserver"
  # (The build may have made the directory, empty, before this runs.)
  rm -rf "$t"
  mv "$t.new" "$t" ;;
copy)
  t=$2 d=$3
  sh "$0" drop "$d"
  mkdir -p "$d"
  for f in "$t"/* "$t"/.[!.]*; do
    case ${f##*/} in
      drive_c) cp -al "$f" "$d/" ;;
      wineserver) ;;
      *) cp -a "$f" "$d/" ;;
    esac
  done ;;
drop)
  d=$2
  [ -d "$d" ] || exit 0
  WINEPREFIX="$d" wineserver -k 2>/dev/null || true
  s=$(serverDir "$d"); [ -n "$s" ] && rm -rf "$s"
  rm -rf "$d" ;;
*) echo "usage: $0 make TEMPLATE | copy TEMPLATE DIR | drop DIR" >&2; exit 2 ;;
esac
