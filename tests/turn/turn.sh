#!/bin/sh
# A relay server on "the Internet" and players behind NATs, in network namespaces on loopback-range
# addresses only, with coturn started here as a process (never as a system service):
#
#   PREFIX-host 127.81.0.2 -- PREFIX-nat1 127.91.0.2 --+
#   PREFIX-peer 127.93.0.2 ---------------------------- PREFIX-inet (routes; coturn on 127.90.0.1:3478)
#   PREFIX-behind 127.82.0.2 -- PREFIX-nat2 127.92.0.2 -+
#
# The NATs masquerade and let nothing in. Every namespace loads the loopback guard. 127.x addresses
# have host scope, and masquerade needs an address of global scope: every address here gets one.
# coturn takes loopback-range peers only with --allow-loopback-peers, and plain TCP clients on a
# relayed address only with --server-relay. Credentials are its REST ones (user "EXPIRY:NAME",
# password base64(HMAC-SHA1(secret, user))); nonces go stale after STALE seconds (default 1, so
# that the relay task's scenario meets stale nonces; the lobby scenarios give coturn's usual 600).
#
#   sh turn.sh up DIR PREFIX SECRET [STALE] | kill DIR PREFIX | down DIR PREFIX | sweep DIR
# "kill" ends coturn at once; "sweep" takes down whatever "up" left in DIR. coturn logs to
# DIR/PREFIX.log. Needs root, iproute2, nftables and coturn.
set -eu
cmd=$1; dir=$2; p=${3:-turn}; secret=${4:-}; stale=${5:-1}
here=$(cd "$(dirname "$0")" && pwd)
stop() { [ -f "$dir/$p.pid" ] && kill -9 "$(cat "$dir/$p.pid")" 2>/dev/null || true; rm -f "$dir/$p.pid"; }
case $cmd in
  sweep) for f in "$dir"/*.up; do [ -f "$f" ] && sh "$0" down "$dir" "$(basename "$f" .up)"; done; exit 0 ;;
  kill) stop; exit 0 ;;
  down)
    stop
    for n in host nat1 inet peer nat2 behind; do ip netns del "$p-$n" 2>/dev/null || true; done
    rm -f "$dir/$p.up" "$dir/$p.db" "$dir/$p.turnserver.pid"
    exit 0 ;;
esac
mkdir -p "$dir"
touch "$dir/$p.up"
for n in host nat1 inet peer nat2 behind; do
  ip netns add "$p-$n"
  ip netns exec "$p-$n" sh -c '
    sysctl -qw net.ipv6.conf.default.disable_ipv6=1 net.ipv6.conf.all.disable_ipv6=1
    ip link set lo up
    ip route del local 127.0.0.0/8 dev lo table local   # only 127.0.0.1 stays local: other 127.x are routed
    sysctl -qw net.ipv4.conf.all.route_localnet=1 net.ipv4.conf.default.route_localnet=1
    sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 net.ipv4.ip_forward=1
    nft -f "$0"' "$here/../support/loopback-guard.nft"
done
# link A IFA ADDRA B IFB ADDRB: a veth pair between two namespaces, a /24 each side; A routes via B.
link() {
  ip link add "$2" netns "$p-$1" type veth peer name "$5" netns "$p-$4"
  ip -n "$p-$1" addr add "$3/24" dev "$2" scope global; ip -n "$p-$1" link set "$2" up
  ip -n "$p-$4" addr add "$6/24" dev "$5" scope global; ip -n "$p-$4" link set "$5" up
  ip -n "$p-$1" route add default via "$6" src "$3"
}
link peer eth0 127.93.0.2 inet top 127.93.0.1
for n in 1:host 2:behind; do
  i=${n%%:*}; who=${n#*:}
  link "nat$i" wan "127.9$i.0.2" inet "to$i" "127.9$i.0.1"
  link "$who" eth0 "127.8$i.0.2" "nat$i" lan "127.8$i.0.1"
  ip netns exec "$p-nat$i" nft -f - <<'NFT'
table ip nat {
  chain forward { type filter hook forward priority 0; policy drop; ct state established,related accept; iifname "lan" accept; }
  chain postrouting { type nat hook postrouting priority 100; oifname "wan" masquerade; }
}
NFT
done
ip -n "$p-inet" addr add 127.90.0.1/32 dev lo scope global
# Port 3479 of the server's address swallows every packet: a server that never answers.
ip netns exec "$p-inet" nft 'add table ip silent; add chain ip silent input { type filter hook input priority 0; };
  add rule ip silent input tcp dport 3479 drop'
ip netns exec "$p-inet" turnserver -n --no-cli --no-tls --no-dtls --no-udp --no-udp-relay \
  -L 127.90.0.1 --allow-loopback-peers --server-relay --realm lobbylink.test \
  --use-auth-secret --static-auth-secret="$secret" --stale-nonce="$stale" \
  --db "$dir/$p.db" --pidfile "$dir/$p.turnserver.pid" --log-file "$dir/$p.log" --simple-log \
  --no-stdout-log -v >/dev/null 2>&1 &
echo $! > "$dir/$p.pid"
for _ in $(seq 50); do # ready once it listens
  ip netns exec "$p-inet" ss -Hltn 'sport = :3478' | grep -q . && exit 0
  sleep 0.1
done
echo "coturn did not start:"; cat "$dir/$p.log"; exit 1
