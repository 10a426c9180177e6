#!/usr/bin/env bash
# A private test network with a real UPnP Internet gateway, made of network namespaces.
#
#   testbed.sh up [PREFIX]     create it (needs root, ip netns, miniupnpd-nftables, nftables)
#   testbed.sh down [PREFIX]   remove it and stop the gateway daemon
#   testbed.sh map [PREFIX] CLIENT PORT PROTO   add a mapping for another LAN address (e.g. 10.77.0.3 7175 TCP)
#
# Layout (PREFIX defaults to "vt"):
#   PREFIX-lan  the host under test: 10.77.0.2/24 on veth PREFIX-h0; run the server here with `ip netns exec PREFIX-lan ...`
#   PREFIX-gw   the gateway: 10.77.0.1/24 on PREFIX-g0 (LAN side), 45.45.45.7/24 on PREFIX-w0 (WAN side); runs miniupnpd
#   PREFIX-wan  the WAN peer: 45.45.45.1/24 on PREFIX-p0
# Nothing here is routed outside these namespaces. miniupnpd refuses to map ports when its WAN address is a
# private or documentation address, so the WAN side uses an address that looks public; it exists only inside
# the namespaces. SSDP discovery from PREFIX-lan reaches only PREFIX-gw.
#
# The gateway's log is written to /tmp/PREFIX-miniupnpd.log; its pid to /tmp/PREFIX-miniupnpd.pid.
set -euo pipefail

cmd=${1:-}
P=${2:-vt}
LAN=$P-lan GW=$P-gw WAN=$P-wan
RUN=/tmp/$P-miniupnpd

need() { command -v "$1" >/dev/null || { echo "testbed: $1 not found (apt-get install $2)" >&2; exit 3; }; }

up() {
  [ "$(id -u)" = 0 ] || { echo "testbed: needs root" >&2; exit 3; }
  need ip iproute2; need nft nftables; need miniupnpd miniupnpd-nftables
  down >/dev/null 2>&1 || true
  ip netns add "$LAN"; ip netns add "$GW"; ip netns add "$WAN"
  ip link add "$P-g0" type veth peer name "$P-h0"
  ip link set "$P-g0" netns "$GW"; ip link set "$P-h0" netns "$LAN"
  ip link add "$P-w0" type veth peer name "$P-p0"
  ip link set "$P-w0" netns "$GW"; ip link set "$P-p0" netns "$WAN"
  ip -n "$GW" addr add 10.77.0.1/24 dev "$P-g0"
  ip -n "$GW" addr add 45.45.45.7/24 dev "$P-w0"
  ip -n "$LAN" addr add 10.77.0.2/24 dev "$P-h0"
  ip -n "$WAN" addr add 45.45.45.1/24 dev "$P-p0"
  for ns in "$LAN" "$GW" "$WAN"; do ip -n "$ns" link set lo up; done
  ip -n "$GW" link set "$P-g0" up; ip -n "$GW" link set "$P-w0" up
  ip -n "$LAN" link set "$P-h0" up; ip -n "$WAN" link set "$P-p0" up
  ip -n "$LAN" route add default via 10.77.0.1
  ip -n "$GW" route add default via 45.45.45.1
  # The chains miniupnpd fills with its forwarding and NAT rules.
  ip netns exec "$GW" nft -f - <<'EOF'
table inet filter {
  chain forward { type filter hook forward priority 0; policy drop; jump miniupnpd; }
  chain miniupnpd { }
}
table inet filter_nat {
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
EOF
  cat > "$RUN.conf" <<EOF
ext_ifname=$P-w0
listening_ip=$P-g0
port=5555
enable_natpmp=no
enable_upnp=yes
secure_mode=no
system_uptime=yes
upnp_nat_table_name=filter_nat
uuid=3c8d1c5a-0000-4000-8000-000000000001
allow 1-65535 10.77.0.0/24 1-65535
deny 0-65535 0.0.0.0/0 0-65535
EOF
  ip netns exec "$GW" miniupnpd -f "$RUN.conf" -d >"$RUN.log" 2>&1 &
  echo $! >"$RUN.pid"
  # Wait until the gateway answers HTTP on its LAN side.
  for _ in $(seq 50); do
    if ip netns exec "$LAN" bash -c 'exec 3<>/dev/tcp/10.77.0.1/5555' 2>/dev/null; then echo "testbed: up ($P)"; return 0; fi
    sleep 0.1
  done
  echo "testbed: gateway did not start; see $RUN.log" >&2; exit 1
}

down() {
  if [ -f "$RUN.pid" ]; then kill "$(cat "$RUN.pid")" 2>/dev/null || true; rm -f "$RUN.pid"; fi
  for ns in "$LAN" "$GW" "$WAN"; do ip netns del "$ns" 2>/dev/null || true; done
  echo "testbed: down ($P)"
}

map() {
  need upnpc miniupnpc
  ip netns exec "$LAN" upnpc -a "$1" "$2" "$2" "$3" >/dev/null
}

case "$cmd" in
  up) up ;;
  down) down ;;
  map) shift 2; map "$@" ;;
  *) sed -n '2,10p' "$0"; exit 2 ;;
esac
