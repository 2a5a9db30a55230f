#!/usr/bin/env bash
# Builds libsodium for a Windows DLL: Debian's own source package,
# cross-compiled with mingw-w64 as a static library, installed into a cache
# directory that later runs reuse as it is.
#
#   bash scripts/sodium-mingw.sh CACHE-DIR [HOST]
#
# HOST is the mingw-w64 target: i686-w64-mingw32 (the 32-bit DLL, the
# default) or x86_64-w64-mingw32 (the 64-bit one). CACHE-DIR/lib/libsodium.a
# and CACHE-DIR/include/ are the result (each Windows build passes a directory
# inside its build tree); a cache made for the other HOST is built again. Debian ships no Windows
# build of libsodium, so the first run, as root, adds a source entry for the
# archives the machine's package sources already use, fetches the source
# with `apt-get source libsodium` and builds it (about a minute and a half on
# two cores); it installs dpkg-dev, autoconf, automake and libtool if missing.
set -euo pipefail
cache=${1:?usage: $0 CACHE-DIR [HOST]}
host=${2:-i686-w64-mingw32}
case $host in
  i686-w64-mingw32 | x86_64-w64-mingw32) ;;
  *) echo "$0: HOST is i686-w64-mingw32 or x86_64-w64-mingw32, not $host" >&2; exit 2 ;;
esac
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
stamp=$cache/built-from

if [ -f "$cache/lib/libsodium.a" ] && [ -f "$cache/include/sodium.h" ] && [ -f "$stamp" ] &&
  grep -q "static for $host\$" "$stamp"; then
  echo "libsodium for $host: cached in $cache ($(cat "$stamp"))"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "libsodium for $host is not built yet in $cache: run this script as root once" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# A deb-src entry beside each deb822 "Types: deb" stanza of Debian's archives,
# in a file of its own so the machine's entries stay as they are.
ensure_source_entries() {
  local list=/etc/apt/sources.list.d/debian-src.sources
  if grep -rqs '^[[:space:]]*\(Types:.*deb-src\|deb-src \)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  local main=/etc/apt/sources.list.d/debian.sources
  if [ -f "$main" ]; then
    awk 'BEGIN{RS=""; ORS="\n\n"} /(^|\n)Types:[^\n]*deb/ && /URIs:[^\n]*debian/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$main" >"$list"
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb [^ ]*debian' /etc/apt/sources.list | sed 's/^deb /deb-src /' >/etc/apt/sources.list.d/debian-src.list
  fi
  apt-get update -q >/dev/null
}

command -v $host-gcc >/dev/null ||
  { echo "$host-gcc not found: bash scripts/install-deps.sh installs mingw-w64" >&2; exit 1; }
missing=()
for p in dpkg-dev autoconf automake libtool make; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
ensure_source_entries

work=$cache/source
rm -rf "$work"
mkdir -p "$work"
# Unpacked, with Debian's patches, by dpkg-source.
(cd "$work" && apt-get source -q libsodium >"$work/source.log" 2>&1) ||
  { tail -n 30 "$work/source.log" >&2; exit 1; }
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source libsodium unpacked nothing in $work" >&2; exit 1; }
version=$(cd "$work" && ls libsodium_*.dsc | sed 's/^libsodium_\(.*\)\.dsc$/\1/')

cd "$src"
# The orig tarball has no configure script.
autoreconf -fi >/dev/null 2>&1
./configure --host=$host --prefix="$cache" --disable-shared --enable-static \
  CFLAGS="-O2 -ffunction-sections -fdata-sections" >"$work/configure.log" 2>&1 ||
  { tail -n 30 "$work/configure.log" >&2; exit 1; }
nice make -j "$(nproc)" >"$work/make.log" 2>&1 || { tail -n 30 "$work/make.log" >&2; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; exit 1; }
cp LICENSE "$cache/LICENSE"
echo "libsodium $version from Debian's source package, static for $host" >"$stamp"
rm -rf "$work"
echo "libsodium for $host: built into $cache ($(cat "$stamp"))"
