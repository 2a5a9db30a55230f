#!/bin/sh
# Runs the Windows host program against the cross-built DLL under Wine, with
# a private copy of the agents' Wine prefix (tests/agents/wine-prefix.sh):
#   wine-run.sh WINDOWS-BUILD-DIR TEMPLATE
set -eu
dir=$1 template=$2
prefixes="$(cd "$(dirname "$0")" && pwd)/agents/wine-prefix.sh"
run=$dir/wine-run
mkdir -p "$run"
cp "$dir/tests/windows/winhost.exe" "$run/"
# Copies of the DLL under other names load as independent instances: one
# plays the lobby host, the others clients.
for n in "" 2 3; do cp "$dir/lobbylink.dll" "$run/lobbylink$n.dll"; done
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sh "$prefixes" copy "$template" "$WINEPREFIX"
trap 'sh "$prefixes" drop "$WINEPREFIX"' EXIT
cd "$run"
status=0
timeout 240 wine winhost.exe lobbylink.dll lobbylink2.dll lobbylink3.dll || status=$?
exit $status
