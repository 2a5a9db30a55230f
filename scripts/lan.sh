#!/usr/bin/env bash
# A LAN of network namespaces on this one machine, to find lobbies on: on
# loopback alone there is no network to search (lobbylink-chat find says
# so). The namespaces sit on one bridge with loopback-range addresses only
# (route_localnet lets 127.x travel between them), IPv6 off, and a guard
# that drops anything sent beyond 127.0.0.0/8; the LAN's broadcast address
# is 127.66.0.255. The LAN test (tests/lan) builds its LANs with this script.
#
#   127.66.0.0/24 on the bridge:  .2 a  .3 b  .4 c  .5 p  .1 gw -- 127.67.0.2 far
#
#   bash scripts/lan.sh [try [LOBBYLINK-CHAT]]   two lobbies that announce, in a and
#                                                b, and a find in p (build/lobbylink-chat)
#   bash scripts/lan.sh up NAME | down NAME      the LAN alone: namespaces NAME-a,
#                                                NAME-b, ... (ip netns exec NAME-p ...)
# As root (namespaces, nftables); `try` takes the LAN down again at its end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
members=(sw a b c p gw far)

# Every namespace: loopback up, no IPv6, 127.x routed like any address (the
# local route for 127.0.0.0/8 narrowed to 127.0.0.1), the guard.
setup() { # NAMESPACE
  ip netns exec "$1" sh -ec "
    sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv6.conf.all.disable_ipv6=1
    ip link set lo up
    ip route del local 127.0.0.0/8 dev lo table local
    sysctl -qw net.ipv4.conf.all.route_localnet=1 net.ipv4.conf.default.route_localnet=1
    sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0
    nft -f '$here/tests/support/loopback-guard.nft'"
}

up() { # NAME
  local n=$1 m host
  for m in "${members[@]}"; do
    ip netns add "$n-$m"
    setup "$n-$m"
  done
  ip -n "$n-sw" link add br0 type bridge
  ip -n "$n-sw" link set br0 up
  for m in a:2 b:3 c:4 p:5 gw:1; do
    host=${m#*:} m=${m%%:*}
    ip link add eth0 netns "$n-$m" type veth peer name "v$m" netns "$n-sw"
    ip -n "$n-sw" link set "v$m" master br0 up
    ip -n "$n-$m" addr add "127.66.0.$host/24" brd + dev eth0
    ip -n "$n-$m" link set eth0 up
    # src: 127.x addresses have host scope, which a route through a gateway
    # does not pick on its own.
    [ "$m" = gw ] || ip -n "$n-$m" route add 127.67.0.0/24 via 127.66.0.1 src "127.66.0.$host"
  done
  ip link add eth1 netns "$n-gw" type veth peer name eth0 netns "$n-far"
  ip -n "$n-gw" addr add 127.67.0.1/24 brd + dev eth1
  ip -n "$n-gw" link set eth1 up
  ip -n "$n-far" addr add 127.67.0.2/24 brd + dev eth0
  ip -n "$n-far" link set eth0 up
  ip -n "$n-far" route add 127.66.0.0/24 via 127.67.0.1 src 127.67.0.2
  ip netns exec "$n-gw" sysctl -qw net.ipv4.ip_forward=1
}

down() { # NAME
  local m
  for m in "${members[@]}"; do ip netns del "$1-$m" 2>/dev/null || true; done
}

try() { # LOBBYLINK-CHAT
  local chat n=lltry
  chat=$(realpath "$1")
  [ -x "$chat" ] || { echo "no $1: build it first (README: Building and testing)" >&2; exit 1; }
  down $n
  trap 'down lltry' EXIT
  up $n
  # Each lobby host quits when its input (a sleep) ends.
  echo "+ ip netns exec $n-a lobbylink-chat host --announce gold"
  ip netns exec $n-a sh -c "sleep 6 | '$chat' host --announce gold" >/dev/null &
  echo "+ ip netns exec $n-b lobbylink-chat host --announce silver"
  ip netns exec $n-b sh -c "sleep 6 | '$chat' host --announce silver" >/dev/null &
  local deadline=$((SECONDS + 5))
  until ip netns exec $n-a ss -Hlun sport = 31903 | grep -q . &&
    ip netns exec $n-b ss -Hlun sport = 31903 | grep -q .; do
    [ $SECONDS -lt $deadline ] || { echo "the lobbies did not open" >&2; exit 1; }
    sleep 0.1
  done
  echo "+ ip netns exec $n-p lobbylink-chat find"
  ip netns exec $n-p "$chat" find
  wait
}

case ${1:-try} in
  try) try "${2:-$here/build/lobbylink-chat}" ;;
  up) up "${2:?usage: $0 up NAME}" ;;
  down) down "${2:?usage: $0 down NAME}" ;;
  *) echo "usage: $0 [try [LOBBYLINK-CHAT]] | up NAME | down NAME" >&2; exit 2 ;;
esac
