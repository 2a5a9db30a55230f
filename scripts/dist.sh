#!/usr/bin/env bash
# Makes the Windows release: dist/lobbylink-<version>-win32/ and
# dist/lobbylink-<version>-win32.zip, holding lobbylink.dll, lobbylink.def, the
# import libraries liblobbylink.dll.a (MinGW) and lobbylink.lib (Microsoft's
# linker), the headers, the dictionary helpers (liblobbylink_hostmap.a for
# MinGW, src/hostmap.c for any compiler) and README.txt for Windows hosts.
#
#   bash scripts/dist.sh [WINDOWS-BUILD-DIR [OUT-DIR]]
#
# Cross-builds the DLL with mingw-w64 (Release) in build-dist unless given the
# directory of a Windows build already made (the test command passes its own);
# writes to dist/ unless given another directory. Needs mingw-w64 and
# llvm-dlltool (bash scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-dist}
out=${2:-dist}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DLL_TESTS=OFF -DLL_BENCH=OFF >/dev/null
fi
cmake --build "$build" >/dev/null
[ -f "$build/lobbylink.dll" ] || { echo "dist: $build is not a Windows build" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=lobbylink-$version-win32
mkdir -p "$out"
rm -rf "${out:?}/$name" "$out/$name.zip"
cmake --install "$build" --prefix "$out/$name" --strip >/dev/null

# The release holds exactly these files, in the folder and in the zip.
expected="README.txt
include/lobbylink/hostmap.h
include/lobbylink/lobbylink.h
include/lobbylink/version.h
liblobbylink.dll.a
liblobbylink_hostmap.a
lobbylink.def
lobbylink.dll
lobbylink.lib
src/hostmap.c"
actual=$(cd "$out/$name" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  printf 'dist: %s holds\n%s\ninstead of\n%s\n' "$name" "$actual" "$expected" >&2
  exit 1
fi
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
zipped=$(cd "$out" && cmake -E tar tf "$name.zip" | grep -v '/$' | sed "s|^$name/||" | LC_ALL=C sort)
if [ "$zipped" != "$expected" ]; then
  printf 'dist: %s.zip holds\n%s\n' "$name" "$zipped" >&2
  exit 1
fi
echo "$out/$name.zip:"
(cd "$out" && find "$name" -type f | LC_ALL=C sort | xargs ls -l | awk '{print "  " $5 "\t" $9}')
