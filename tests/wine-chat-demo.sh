#!/bin/sh
# Runs lobbylink-chat's demo under Wine: the .exe starts the lobby host and
# three clients as Windows processes of itself, each loading lobbylink.dll
# from beside it. A private Wine prefix in the build tree, its own so that it
# may run beside the other Wine test: wine-chat-demo.sh WINDOWS-BUILD-DIR
set -eu
dir=$1
export WINEPREFIX="$dir/wineprefix-chat" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cd "$dir"
status=0
timeout 240 wine lobbylink-chat.exe demo || status=$?
wineserver -k 2>/dev/null || true
exit $status
