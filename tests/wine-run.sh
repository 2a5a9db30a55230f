#!/bin/sh
# Runs the Windows host program against the cross-built DLL under Wine, with
# a private Wine prefix in the build tree: wine-run.sh WINDOWS-BUILD-DIR
set -eu
dir=$1
run=$dir/wine-run
mkdir -p "$run"
cp "$dir/tools/winhost.exe" "$run/"
# Two copies of the DLL under two names load as two independent instances:
# one plays the lobby host, the other the client.
cp "$dir/lobbylink.dll" "$run/lobbylink.dll"
cp "$dir/lobbylink.dll" "$run/lobbylink2.dll"
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cd "$run"
status=0
timeout 240 wine winhost.exe lobbylink.dll lobbylink2.dll || status=$?
wineserver -k 2>/dev/null || true
exit $status
