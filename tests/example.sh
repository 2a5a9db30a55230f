#!/usr/bin/env bash
# Runs the example program (examples/lobby.c) as a lobby host and a client
# over loopback and checks that they met, talked and left:
#   example.sh PROGRAM [VERSION]
# A PROGRAM ending in .exe runs under Wine (the caller sets WINEPREFIX). With
# VERSION, both must report that version of the library.
set -euo pipefail
program=$1 version=${2:-}
port=$(sed -n 's/^ *LobbyPort = \([0-9]*\),.*/\1/p' "$(dirname "$0")/../include/lobbylink/lobbylink.h")
case $program in
  *.exe) run=(wine "$program") ;;
  *) run=("$program") ;;
esac
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

timeout 120 "${run[@]}" host gold >"$out/host" 2>&1 &
host=$!
# The client joins once the lobby is open (the search listens from then on).
for _ in $(seq 600); do
  grep -q '^lobby open' "$out/host" && break
  kill -0 $host 2>/dev/null || break
  sleep 0.1
done
status=0
timeout 120 "${run[@]}" join red 127.0.0.1 >"$out/client" 2>&1 || status=1
wait $host || status=1

sed -i 's/\r$//' "$out/host" "$out/client" # Windows ends lines with CR LF
expect() { # FILE LINE (a regular expression)
  grep -qx -- "$2" "$out/$1" || { echo "$1 did not print: $2"; status=1; }
}
[ -z "$version" ] || { expect host "lobbylink $version"; expect client "lobbylink $version"; }
expect host "lobby open on port $port as gold"
expect host "red joined as member 2"
expect host "member 2: hello from red"
expect host "red left"
expect host "the last player has left: closing the lobby"
expect client "joined the lobby as red"
expect client "gold joined as member 1"
expect client "member 1: welcome, red"
for who in host client; do sed "s/^/$who: /" "$out/$who"; done
exit $status
