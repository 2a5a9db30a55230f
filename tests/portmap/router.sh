#!/bin/sh
# A real home router for tests: miniupnpd (Debian's miniupnpd-nftables, unpacked, never installed as a
# service) with UPnP-IGD and NAT-PMP, between a LAN host and a WAN peer, each in a network namespace,
# on loopback-range addresses only:
#
#   NS-lan 127.77.0.2 --eth0/lan0-- NS-rtr 127.77.0.1 | 127.88.0.1 --wan0/eth0-- NS-wan 127.88.0.2
#
# The router reports the external address 11.22.33.44; no packet is ever sent to it. A guard table in
# every namespace drops, before they are sent, packets to any address outside 127.0.0.0/8 (miniupnpd's
# own SSDP NOTIFY and NAT-PMP announcements to multicast groups, and any multicast M-SEARCH): tests here
# may send traffic to loopback-range addresses only. Discovery that works in this setup: NAT-PMP to the
# default gateway (127.77.0.1:5351), and an SSDP M-SEARCH sent unicast to the gateway (127.77.0.1:1900).
#
#   sh router.sh up    DIR [PREFIX] [upnp|natpmp|both|none][-refuse|-open]   # namespaces PREFIX-lan/-rtr/-wan (default pm), router running
#   sh router.sh down  DIR [PREFIX]
#   sh router.sh fetch DIR      # only unpack the router daemon (once; "up" does it when needed)
#   sh router.sh sweep DIR      # "down" for every prefix "up" made in DIR and no "down" removed
# DIR holds the unpacked packages, the config and the router's log. Needs root, iproute2 and nftables.
# Modes: "-refuse" denies the lobby port 31903 as 31999 is otherwise ("refuse" alone: both protocols);
# "-open" turns secure mode off: any LAN host may then delete any mapping, as on some home routers (it
# still refuses to replace another host's mapping: UPnP error 718); "none" builds the namespaces and
# starts no daemon (a gateway that answers only port-unreachable; a test may answer in its place).
set -eu
cmd=$1; dir=$2; p=${3:-pm}; mode=${4:-both}
here=$(cd "$(dirname "$0")" && pwd)
root=$dir/root
fetch() {
  mkdir -p "$dir"
  [ -x "$root/usr/sbin/miniupnpd" ] && return 0
  rm -rf "$dir/debs" "$root.new"
  mkdir -p "$dir/debs" "$root.new"
  (cd "$dir/debs" && { apt-get download miniupnpd-nftables libminiupnpc17 >/dev/null 2>&1 ||
    { apt-get update -qq && apt-get download miniupnpd-nftables libminiupnpc17 >/dev/null 2>&1; }; })
  for f in "$dir"/debs/*.deb; do dpkg-deb -x "$f" "$root.new"; done
  rm -rf "$root"; mv "$root.new" "$root"
}
if [ "$cmd" = fetch ]; then fetch; exit 0; fi
if [ "$cmd" = sweep ]; then
  for f in "$dir"/*.up; do [ -f "$f" ] && sh "$0" down "$dir" "$(basename "$f" .up)"; done
  exit 0
fi
if [ "$cmd" = down ]; then
  [ -f "$dir/$p.pid" ] && kill "$(cat "$dir/$p.pid")" 2>/dev/null || true
  rm -f "$dir/$p.pid" "$dir/$p.daemon.pid" "$dir/$p.up"
  for n in lan rtr wan; do ip netns del "$p-$n" 2>/dev/null || true; done
  exit 0
fi
fetch
touch "$dir/$p.up"
for n in lan rtr wan; do
  ip netns add "$p-$n"
  ip netns exec "$p-$n" sh -c '
    sysctl -qw net.ipv6.conf.default.disable_ipv6=1
    ip link set lo up
    ip route del local 127.0.0.0/8 dev lo table local   # only 127.0.0.1 stays local: other 127.x are routed
    sysctl -qw net.ipv4.conf.all.route_localnet=1
    nft -f "$0"' "$here/../support/loopback-guard.nft"
done
ip link add lan0 netns "$p-rtr" type veth peer name eth0 netns "$p-lan"
ip link add wan0 netns "$p-rtr" type veth peer name eth0 netns "$p-wan"
ip -n "$p-rtr" addr add 127.77.0.1/24 dev lan0; ip -n "$p-rtr" link set lan0 up
ip -n "$p-rtr" addr add 127.88.0.1/24 dev wan0; ip -n "$p-rtr" link set wan0 up
ip -n "$p-lan" addr add 127.77.0.2/24 dev eth0; ip -n "$p-lan" link set eth0 up
ip -n "$p-lan" route add default via 127.77.0.1 src 127.77.0.2   # src: 127.x addresses have host scope
ip -n "$p-wan" addr add 127.88.0.2/24 dev eth0; ip -n "$p-wan" link set eth0 up
ip netns exec "$p-rtr" sysctl -qw net.ipv4.ip_forward=1
# The tables miniupnpd's nft backend expects (Debian's nft_init.sh does not work on its own).
ip netns exec "$p-rtr" nft -f - <<'NFT'
table inet filter {
  chain forward { type filter hook forward priority 0; policy drop;
    ct state established,related accept
    iifname "lan0" accept
    jump miniupnpd
  }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept;
    jump prerouting_miniupnpd
  }
  chain postrouting { type nat hook postrouting priority 100; policy accept;
    jump postrouting_miniupnpd
    oifname "wan0" masquerade
  }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
NFT
upnp=yes; natpmp=yes; deny=31999; secure=yes
case $mode in natpmp*) upnp=no ;; upnp*) natpmp=no ;; none) exit 0 ;; esac
case $mode in *refuse) deny=31903 ;; *open) secure=no ;; esac
sed -e "s|@LEASES@|$dir/$p.leases|" -e "s|@UPNP@|$upnp|" -e "s|@NATPMP@|$natpmp|" -e "s|@DENY@|$deny|g" \
  -e "s|@SECURE@|$secure|" \
  "$here/miniupnpd.conf.in" > "$dir/$p.conf"
rm -f "$dir/$p.leases"
# -P: a pid file of this router's own; with the shared default a second router refuses to start
# ("already running"), so routers of tests that run at the same time need it.
LD_LIBRARY_PATH=$root/usr/lib/x86_64-linux-gnu ip netns exec "$p-rtr" "$root/usr/sbin/miniupnpd" -f "$dir/$p.conf" \
  -P "$dir/$p.daemon.pid" -d >"$dir/$p.log" 2>&1 &
echo $! > "$dir/$p.pid"
sleep 1
kill -0 "$(cat "$dir/$p.pid")" 2>/dev/null || { echo "the router daemon ended:"; cat "$dir/$p.log"; exit 1; }
