#!/usr/bin/env bash
# Installs a Linux build into a fresh prefix and checks the installed tree:
# exactly the expected files, the versioned library with its SONAME and links.
#   install.sh BUILD-DIR PREFIX VERSION
set -euo pipefail
build=$1 prefix=$2 version=$3
major=${version%%.*}
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"
lib=$(find . -name "liblobbylink.so.$version" | sed 's|^\./||')
libdir=$(dirname "$lib")

expected="bin/lobbylink-chat
include/lobbylink/hostmap.h
include/lobbylink/lobbylink.h
include/lobbylink/version.h
$libdir/cmake/lobbylink/lobbylinkConfig.cmake
$libdir/cmake/lobbylink/lobbylinkConfigVersion.cmake
$libdir/cmake/lobbylink/lobbylinkTargets-CONFIG.cmake
$libdir/cmake/lobbylink/lobbylinkTargets.cmake
$libdir/liblobbylink.so
$libdir/liblobbylink.so.$major
$libdir/liblobbylink.so.$version
$libdir/liblobbylink_hostmap.a
$libdir/pkgconfig/lobbylink-hostmap.pc
$libdir/pkgconfig/lobbylink.pc"
actual=$(find . -type f -o -type l | sed -e 's|^\./||' -e 's|Targets-[a-z]*\.cmake$|Targets-CONFIG.cmake|' |
  LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "liblobbylink.so.$major" ] || { echo "SONAME is '$soname'"; exit 1; }
[ "$(readlink "$libdir/liblobbylink.so.$major")" = "liblobbylink.so.$version" ] &&
  [ "$(readlink "$libdir/liblobbylink.so")" = "liblobbylink.so.$major" ] ||
  { echo "the library's links are wrong"; ls -l "$libdir"; exit 1; }
echo "SONAME $soname"
find . -type f -o -type l | LC_ALL=C sort
