#!/usr/bin/env bash
# Builds the example program (examples/lobby.c) and the version check against
# an installed lobbylink only, through its CMake package or through
# pkg-config, and runs them (a lobby host and a client of the example talk
# over loopback); then the installed lobbylink-chat, run from bin/, joins the
# example's lobby, so it finds the library in the prefix:
#   linux.sh cmake|pkg-config PREFIX VERSION WORK-DIR
set -euo pipefail
how=$1 prefix=$2 version=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
case $how in
  cmake)
    cmake -S "$here/find-package" -B "$work" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DLOBBYLINK_VERSION="$version" | grep 'lobbylink '
    cmake --build "$work" >/dev/null ;;
  pkg-config)
    PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name lobbylink.pc)")
    export PKG_CONFIG_PATH
    pkg-config --exact-version="$version" lobbylink lobbylink-hostmap
    libdir=$(pkg-config --variable=libdir lobbylink)
    echo "pkg-config: $(pkg-config --cflags --libs lobbylink-hostmap)"
    for program in "$here/../../examples/lobby.c" "$here/version.c"; do
      # shellcheck disable=SC2046
      cc -Wall -Wextra -Werror $(pkg-config --cflags lobbylink-hostmap) "$program" \
        $(pkg-config --libs lobbylink-hostmap) -Wl,-rpath,"$libdir" \
        -o "$work/$(basename "$program" .c)"
    done ;;
  *) echo "usage: $0 cmake|pkg-config PREFIX VERSION WORK-DIR"; exit 2 ;;
esac

# Linked by SONAME, and loaded from the prefix.
objdump -p "$work/lobby" | grep -q "NEEDED *liblobbylink\.so\.${version%%.*}\$" ||
  { echo "lobby does not need liblobbylink.so.${version%%.*}"; exit 1; }
loaded=$(ldd "$work/lobby" | awk '/liblobbylink/ {print $3}')
case $loaded in
  "$prefix"/*) echo "loads $loaded" ;;
  *) echo "lobby loads liblobbylink from '$loaded', not from $prefix"; exit 1 ;;
esac
"$work/version" "$version"
"$here/../example.sh" "$work/lobby" "$version"

chat="$prefix/bin/lobbylink-chat"
timeout 60 "$work/lobby" host gold >"$work/host.out" 2>&1 &
host=$!
for _ in $(seq 600); do
  grep -q '^lobby open' "$work/host.out" && break
  kill -0 $host 2>/dev/null || break
  sleep 0.1
done
# The end of its input leaves the lobby, after the line is sent.
echo "hello from the chat" | timeout 60 "$chat" join blue 127.0.0.1 >"$work/chat.out" 2>&1 || true
sed 's/^/chat: /' "$work/chat.out"
grep -qx -- "\\* joined the lobby at 127.0.0.1 as blue" "$work/chat.out" ||
  { echo "$chat did not join"; kill $host; exit 1; }
wait $host || true
for line in "blue joined as member 2" "member 2: hello from the chat" "blue left"; do
  grep -qx -- "$line" "$work/host.out" || { echo "host did not print: $line"; cat "$work/host.out"; exit 1; }
done
