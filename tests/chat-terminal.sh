#!/usr/bin/env bash
# lobbylink-chat as a person uses it: a lobby host and a client in terminals
# of their own (tmux: keys in with send-keys, screens read with capture-pane),
# and a script following the same lobby with --json --trace from a pipe. In
# three parts, each a test of its own:
#   conversation  broken handshakes, a client joining over IPv6 ([::1]:PORT),
#                 typing with a correction, a message arriving while a line
#                 is half typed, bad commands, /who, the lobby port already
#                 taken, a text too long for the queue, a kick, a lost lobby host;
#   private       a lobby host that is not there (at its port or another),
#                 a name too long, find on loopback; then a private lobby,
#                 its secret typed without echo;
#   relay         given a directory for tests/turn/turn.sh's network (root,
#                 coturn, nftables, openssl), a private lobby hosted from
#                 behind a NAT through coturn, joined from the Internet and
#                 from behind another NAT, until coturn goes.
# Usage: chat-terminal.sh PART LOBBYLINK-CHAT [TURN-DIR]
set -euo pipefail
part=$1 chat=$2 turn_dir=${3:-} relay_net=
turn=$(dirname "$0")/turn/turn.sh
# The lobby's fixed numbers, as the public header gives them.
header() { sed -n "s/^ *$1 = \([0-9]*\),.*/\1/p" "$(dirname "$0")/../include/lobbylink/lobbylink.h"; }
port=$(header LobbyPort) longest_name=$(header LobbyMaxNameLength) queue=$(header LobbyQueueBytes)
longest_text=$((queue - $(header LobbyClientFrameOverhead) - 1))
work=$(mktemp -d)
unset TMUX
watcher=
cleanup() {
  tmux -S "$work/tmux" kill-server 2>/dev/null || true
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
  [ -n "$relay_net" ] && sh "$turn" down "$turn_dir" "$relay_net"
  rm -rf "$work"
}
trap cleanup EXIT

t() { tmux -S "$work/tmux" "$@"; }
# The whole pane, with what scrolled away.
screen() { t capture-pane -p -J -S - -t "chat:$1"; }
fail() {
  echo "FAILED: $*"
  for w in $(t list-windows -t chat -F '#W' 2>/dev/null); do
    echo "--- screen of $w"
    screen "$w" | grep -v '^$'
  done
  [ -f "$work/watcher.json" ] && { echo "--- watcher"; cat "$work/watcher.json"; }
  exit 1
}
# Every wait has a deadline.
wait_for() { # WINDOW TEXT: the screen shows TEXT (a whole line)
  local deadline=$((SECONDS + 30))
  until screen "$1" | grep -qxF -- "$2"; do
    [ $SECONDS -lt $deadline ] || fail "$1 never showed: $2"
    sleep 0.02
  done
}
wait_json() { # TEXT: the watcher wrote TEXT as one line
  local deadline=$((SECONDS + 30))
  until grep -qxF -- "$1" "$work/watcher.json"; do
    [ $SECONDS -lt $deadline ] || fail "the watcher never wrote: $1"
    sleep 0.02
  done
}
wait_dead() { # WINDOW STATUS: the program in WINDOW ended with STATUS
  wait_for "$1" "[exit status $2]"
}
# Runs COMMAND in a new window. The shell around it prints its exit status
# and stays, so nothing races tmux's handling of an ending pane.
run_in_window() { # WINDOW COMMAND...
  t new-window -d -t chat -n "$1" "$(printf '%q ' "${@:2}"); echo \"[exit status \$?]\"; exec sleep 600"
}
start() { run_in_window "$1" "$chat" "${@:2}"; } # WINDOW ARGS...: lobbylink-chat ARGS
type_line() { t send-keys -t "chat:$1" -l -- "$2"; t send-keys -t "chat:$1" Enter; }
last_line() { screen "$1" | grep -v '^$' | tail -n 1; }
type_secret() { # WINDOW SECRET [PROMPT]: at the prompt, "secret" or "again"
  local deadline=$((SECONDS + 30))
  until last_line "$1" | grep -qE "^${3:-secret}: ?$"; do
    [ $SECONDS -lt $deadline ] || fail "$1 never asked: ${3:-secret}"
    sleep 0.1
  done
  type_line "$1" "$2"
}

printf 'set -g default-shell /bin/sh\nset -g history-limit 200\n' >"$work/tmux.conf"
t -f "$work/tmux.conf" new-session -d -s chat -n idle -x 100 -y 30 "exec sleep 600"
conversation() {
  start gold host gold
  wait_for gold "* lobby open on port $port as gold"

  # Two handshakes that go wrong: the lobby host names each and admits again.
  raw_client() { # BYTES: connects to the lobby, sends BYTES, hangs up
    local deadline=$((SECONDS + 30))
    until exec 5<>"/dev/tcp/127.0.0.1/$port"; do
      [ $SECONDS -lt $deadline ] || fail "cannot connect to the lobby"
      sleep 0.1
    done 2>/dev/null
    printf '%s' "$1" >&5
    exec 5>&-
}
raw_client "$(printf '%0*d' $((longest_name + 7)) 0)"
wait_for gold "! a client was turned away: its name is longer than $longest_name bytes"
raw_client ""
wait_for gold "! a client was lost during its handshake"

start red join red "[::1]:$port"
wait_for red "* joined the lobby at [::1]:$port as red"
wait_for red "* gold [1] joined"
wait_for gold "* red [2] joined"

# A script follows the lobby: JSON events and raw inbox entries, its input a pipe.
mkfifo "$work/in"
"$chat" --json --trace join watcher <"$work/in" >"$work/watcher.json" 2>&1 &
watcher=$!
exec 3>"$work/in"
wait_for gold "* watcher [3] joined"
wait_for red "* watcher [3] joined"

# Typing with a correction.
t send-keys -t chat:red -l "hellp"
t send-keys -t chat:red BSpace
type_line red "o gold"
wait_for red "you -> everybody (id 1): hello gold"
wait_for gold "red [2] (id 1): hello gold"

# Bad input gets a word and the program goes on.
type_line gold "/frobnicate"
wait_for gold "! unknown command /frobnicate (try /help)"
type_line red "/id 300"
wait_for red "! '300' is not a message id: use 1 to 124 or 128 to 255"
type_line red "/msg 9 anyone?"
wait_for red "! no member has id 9 (see /who)"
type_line red "/kick 1"
wait_for red "! only the lobby host can kick"
type_line gold "/who"
wait_for gold "- gold [1] lobby host (you)"
wait_for gold "- red [2], queue room $queue bytes"
wait_for gold "- watcher [3], queue room $queue bytes"

# A message arrives while red is half-way through a line: it appears above,
# the half-typed line stays below.
t send-keys -t chat:red -l "still typ"
wait_for red "> still typ"
type_line gold "/msg 2 are you there?"
wait_for red "gold [1] (id 1): are you there?"
[ "$(last_line red)" = "> still typ" ] || fail "red's half-typed line is gone: $(last_line red)"
type_line red "ing"
wait_for gold "red [2] (id 1): still typing"
type_line gold "héllo"
wait_for red "gold [1] (id 1): héllo"

# The watcher: a text too long for its queue is refused, not sent; a control
# byte reaches the lobby host's screen as \x01. Typed once the watcher has
# shown the last message, so its transcript has one order.
wait_json '{"event":"message","from":1,"name":"gold","id":1,"text":"héllo"}'
printf '%*s\n' $((longest_text + 1)) '' | tr ' ' x >&3
printf '/id 200\na\001b\n' >&3
wait_for gold 'watcher [3] (id 200): a\x01b'

# A second lobby on this machine finds the port taken, says so, and goes on.
start other host other
wait_for other "! port $port is in use (another lobby on this machine?); trying again every second"
type_line other "/quit"
wait_dead other 0

type_line gold "/kick 3"
wait_for gold "* you kicked watcher [3]"
wait_for red "* watcher [3] left"
status=0
wait "$watcher" || status=$?
watcher=
[ $status = 1 ] || fail "the kicked watcher ended with status $status, expected 1"
exec 3>&-

sed -E 's/"time":"[0-9:.]{12}"/"time":"T"/' "$work/watcher.json" >"$work/watcher.norm"
cat >"$work/watcher.expected" <<EOF
{"event":"info","text":"joining the lobby at this machine as watcher"}
{"event":"trace","time":"T","usr":1,"id":126,"length":4,"hex":"676f6c64"}
{"event":"info","text":"joined the lobby at this machine as watcher"}
{"event":"join","member":1,"name":"gold"}
{"event":"trace","time":"T","usr":2,"id":126,"length":3,"hex":"726564"}
{"event":"join","member":2,"name":"red"}
{"event":"trace","time":"T","usr":2,"id":1,"length":10,"hex":"68656c6c6f20676f6c64"}
{"event":"message","from":2,"name":"red","id":1,"text":"hello gold"}
{"event":"trace","time":"T","usr":2,"id":1,"length":12,"hex":"7374696c6c20747970696e67"}
{"event":"message","from":2,"name":"red","id":1,"text":"still typing"}
{"event":"trace","time":"T","usr":1,"id":1,"length":6,"hex":"68c3a96c6c6f"}
{"event":"message","from":1,"name":"gold","id":1,"text":"héllo"}
{"event":"error","text":"too long to send: $((longest_text + 1)) bytes, the send queue has room for $longest_text"}
{"event":"info","text":"message id is now 200"}
{"event":"sent","to":255,"id":200,"text":"a\u0001b"}
{"event":"trace","time":"T","usr":0,"id":125,"length":5,"hex":"6572726f72"}
{"event":"lost","text":"lost the connection to the lobby host"}
EOF
diff -u "$work/watcher.expected" "$work/watcher.norm" || fail "the watcher's JSON differs"

echo "--- gold's screen"
screen gold | grep -v '^$'
echo "--- red's screen"
screen red | grep -v '^$'

# The lobby host goes away: the client says so and ends with status 1.
type_line gold "/quit"
wait_for gold "* closing the lobby"
wait_dead gold 0
wait_for red "! lost the connection to the lobby host"
wait_dead red 1
}

private() {
  # Nobody hosts any more: the port tried is named, the lobby's or another.
  start late join blue 127.0.0.1
  start elsewhere join blue "[::1]:9"
  wait_for late "! cannot join the lobby at 127.0.0.1: no lobby host answers there (port $port)"
  wait_dead late 1
  wait_for elsewhere "! cannot join the lobby at [::1]:9: no lobby host answers there (port 9)"
  wait_dead elsewhere 1

  long=$(printf '%*s' $((longest_name + 1)) '' | tr ' ' n)
  start long host "$long"
  wait_for long "! cannot open a lobby: the name is longer than $longest_name bytes"
  wait_dead long 1
  # With loopback alone, find says that no lobby can be found from here.
  "$chat" find | grep -qxF "* no lobby can be found from here: this machine is on loopback only (no network with a broadcast address); join a lobby on it by address instead" ||
    fail "find on loopback alone: $("$chat" find)"
  # A private lobby. Its lobby host types the secret, an invite code, at the
  # prompt, where it is not echoed; a player typing a wrong one is refused, a
  # player without --private is not admitted, and one with the secret in the
  # variable joins.
  code=$("$chat" invite)
  [[ $code =~ ^[2-9a-km-np-z]{12}$ ]] || fail "not an invite code: $code"
  [ "$("$chat" invite)" != "$code" ] || fail "two invite codes alike: $code"
  # The lobby host types it twice: two that differ open nothing.
  start typo host --private vault
  type_secret typo "$code"
  type_secret typo "x$code" again
  wait_for typo "! the two secrets differ: nothing was opened"
  wait_dead typo 1
  start vault host --private vault
  type_secret vault "$code"
  type_secret vault "$code" again
  wait_for vault "* private lobby open on port $port as vault"
  start thief join --private thief 127.0.0.1
  type_secret thief "x$code"
  wait_for thief "! cannot join the lobby at 127.0.0.1: the secret is wrong"
  wait_dead thief 1
  start stranger join stranger 127.0.0.1
  wait_for stranger "! cannot join the lobby at 127.0.0.1: a private lobby answers there (join it with --private)"
  wait_dead stranger 1
  run_in_window key env "LOBBYLINK_SECRET=$code" "$chat" join --private key 127.0.0.1
  wait_for key "* joined the private lobby at 127.0.0.1 as key"
  wait_for vault "* key [2] joined"
  type_line key "/who"
  wait_for key "* a private lobby: only players who know its secret join"
  type_line vault "only we read this"
  wait_for key "vault [1] (id 1): only we read this"
  for w in typo vault thief key; do
    ! screen "$w" | grep -qF -- "$code" || fail "the secret is on the screen of $w"
  done
  ! screen vault | grep -qE 'thief|stranger' || fail "the lobby host admitted a player without the secret"
  type_line key "/quit"
  wait_dead key 0
  wait_for vault "* key [2] left"
  type_line vault "/quit"
  wait_dead vault 0
  echo "--- the private lobby's screens"
  screen vault | grep -v '^$'
  screen thief | grep -v '^$'
  screen stranger | grep -v '^$'

}

relay() {
  [ -n "$turn_dir" ] || { echo "chat-terminal: relay: no relay network given"; exit 1; }
  code=$("$chat" invite)
  # Hosting through a relay: coturn on "the Internet" of turn.sh's network, the
  # lobby host behind a NAT that lets nothing in. Its REST credentials, as a
  # studio's service makes them from the shared secret.
  relay_net=llchat$$ studio=$("$chat" invite)
  sh "$turn" sweep "$turn_dir" # what a run that was killed left
  sh "$turn" up "$turn_dir" "$relay_net" "$studio" 600 >/dev/null || fail "the relay network did not come up"
  in_ns() { run_in_window "$1" ip netns exec "$relay_net-$2" "${@:3}"; } # WINDOW SIDE COMMAND...
  user="$(($(date +%s) + 3600)):far"
  password=$(printf '%s' "$user" | openssl dgst -sha1 -hmac "$studio" -binary | base64)
  in_ns nowhere host "$chat" host --relay 127.90.0.1:3480 far
  wait_for nowhere "! no relay server answered at 127.90.0.1:3480: players outside your network cannot join through it"
  type_line nowhere /quit
  wait_dead nowhere 0
  in_ns wrong host "$chat" host --relay 127.90.0.1 --relay-user "$user" far
  type_secret wrong "x$password" "relay password"
  wait_for wrong "! the relay server at 127.90.0.1 refused to relay (a wrong user or password, or no relay for you there)"
  type_line wrong /quit
  wait_dead wrong 0
  in_ns far host env "LOBBYLINK_SECRET=$code" "LOBBYLINK_RELAY_PASSWORD=$password" \
    "$chat" host --private --relay 127.90.0.1 --relay-user "$user" far
  deadline=$((SECONDS + 30))
  until addr=$(screen far | sed -n 's/^\* players anywhere join through the relay at //p') && [ -n "$addr" ]; do
    [ $SECONDS -lt $deadline ] || fail "far never gave the relayed address"
    sleep 0.1
  done
  wait_for far "* invite: lobbylink-chat join --private NAME $addr (and the secret you give them)"
  in_ns out peer env "LOBBYLINK_SECRET=$code" "$chat" join --private out "$addr"
  wait_for out "* joined the private lobby at $addr as out"
  wait_for far "* out [2] joined"
  in_ns behind behind env "LOBBYLINK_SECRET=$code" "$chat" join --private behind "$addr"
  wait_for far "* behind [3] joined"
  type_line out "hello from outside"
  wait_for behind "out [2] (id 1): hello from outside"
  type_line far "/msg 3 and you behind yours"
  wait_for behind "far [1] (id 1): and you behind yours"
  # coturn gone: the relay is lost, and with it everybody who came through it.
  sh "$turn" kill "$turn_dir" "$relay_net"
  wait_for far "! the relay is lost (its server is gone or refused to keep it): nobody can join at $addr any more"
  for w in out behind; do
    wait_for "$w" "! lost the connection to the lobby host"
    wait_dead "$w" 1
  done
  wait_for far "* out [2] left"
  wait_for far "* behind [3] left"
  type_line far /quit
  wait_dead far 0
  for w in nowhere wrong far out behind; do
    ! screen "$w" | grep -qF -e "$password" -e "$code" || fail "a secret is on the screen of $w"
  done
  echo "--- the relayed lobby's screen"
  screen far | grep -v '^$'
}

case $part in
conversation | private | relay) $part ;;
*) echo "usage: $0 conversation|private|relay LOBBYLINK-CHAT [TURN-DIR]" >&2; exit 2 ;;
esac
echo "chat-terminal: $part: passed"
