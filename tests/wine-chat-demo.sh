#!/bin/sh
# Runs lobbylink-chat's demo under Wine: the .exe starts the lobby host and
# three clients as Windows processes of itself, each loading lobbylink.dll
# from beside it. Then the .exe in a console (tmux plays it) hosts a private
# lobby with an invite code of its own making typed at the prompt, which must
# not be echoed. A private copy of the agents' Wine prefix
# (tests/agents/wine-prefix.sh), its own so that it may run beside the other
# Wine tests: wine-chat-demo.sh WINDOWS-BUILD-DIR TEMPLATE
set -eu
dir=$1 template=$2
prefixes="$(cd "$(dirname "$0")" && pwd)/agents/wine-prefix.sh"
export WINEPREFIX="$dir/wineprefix-chat" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sh "$prefixes" copy "$template" "$WINEPREFIX"
cd "$dir"
work=$(mktemp -d)
unset TMUX
t() { tmux -S "$work/tmux" "$@"; }
cleanup() {
  t kill-server 2>/dev/null || true
  sh "$prefixes" drop "$WINEPREFIX"
  rm -rf "$work"
}
trap cleanup EXIT
status=0
timeout 240 wine lobbylink-chat.exe demo || status=$?

screen() { t capture-pane -p -J -S - -t console; }
wait_for() { # PATTERN: on the screen within a deadline
  deadline=$(($(date +%s) + 60))
  until screen | grep -qE -- "$1"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      echo "FAILED: the console never showed: $1"; screen; exit 1
    fi
    sleep 0.2
  done
}
code=$(wine lobbylink-chat.exe invite | tr -d '\r')
echo "$code" | grep -qxE '[2-9a-km-np-z]{12}' || { echo "FAILED: not an invite code: $code"; exit 1; }
t new-session -d -s console -x 100 -y 20 "wine lobbylink-chat.exe host --private vault; echo \"[exit status \$?]\"; exec sleep 600"
for prompt in secret again; do # the lobby host's secret, typed twice
  wait_for "^$prompt:"
  t send-keys -t console -l "$code"
  t send-keys -t console Enter
done
wait_for 'private lobby open on port [0-9]+ as vault'
t send-keys -t console -l /who
t send-keys -t console Enter
wait_for 'a private lobby: only players who know its secret join'
t send-keys -t console -l /quit
t send-keys -t console Enter
wait_for '\[exit status 0\]'
echo "--- the console"
screen | grep -v '^$'
if screen | grep -qF -- "$code"; then echo "FAILED: the secret is on the screen"; exit 1; fi
exit $status
