#!/usr/bin/env bash
# Makes the Windows releases, one per DLL: dist/lobbylink-<version>-win32/
# and dist/lobbylink-<version>-win64/, each also zipped (.zip beside it),
# holding lobbylink.dll, lobbylink.def, the import libraries
# liblobbylink.dll.a (MinGW) and lobbylink.lib (Microsoft's linker), the
# headers, the dictionary helpers (liblobbylink_hostmap.a for MinGW,
# src/hostmap.c for any compiler) and README.txt for Windows hosts.
#
#   bash scripts/dist.sh [WINDOWS-BUILD-DIR [OUT-DIR]]
#
# Cross-builds both DLLs with mingw-w64 (Release) in build-dist (32-bit) and
# build-dist64 (64-bit), or makes the one release of a Windows build already
# made (the test command passes each of its own); writes to dist/ unless
# given another directory. Needs mingw-w64 and llvm-dlltool (bash
# scripts/install-deps.sh installs them). The first build of each DLL also
# cross-builds libsodium for it, as root (scripts/sodium-mingw.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

# release WINDOWS-BUILD-DIR OUT-DIR: the folder and zip of one build.
release() {
  local build=$1 out=$2 version bits name actual zipped
  cmake --build "$build" >/dev/null
  [ -f "$build/lobbylink.dll" ] || { echo "dist: $build is not a Windows build" >&2; exit 1; }
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  bits=32
  file "$build/lobbylink.dll" | grep -q 'PE32+' && bits=64
  name=lobbylink-$version-win$bits
  mkdir -p "$out"
  rm -rf "${out:?}/$name" "$out/$name.zip"
  cmake --install "$build" --prefix "$out/$name" --strip >/dev/null
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
}

# Each release holds exactly these files, in the folder and in the zip.
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

if [ $# -gt 0 ]; then
  release "$1" "${2:-dist}"
  exit 0
fi
for bits in 32 64; do
  build=build-dist toolchain=mingw-i686
  [ $bits = 64 ] && build=build-dist64 toolchain=mingw-x86_64
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/$toolchain.cmake \
      -DCMAKE_BUILD_TYPE=Release -DLL_TESTS=OFF -DLL_BENCH=OFF >/dev/null
  fi
  release "$build" dist
done
