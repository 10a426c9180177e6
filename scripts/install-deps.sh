#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3
  libuv1-dev libsqlite3-dev sqlite3 rapidjson-dev libminiupnpc-dev libssl-dev openssl
  libreaderwriterqueue-dev googletest libgtest-dev libbenchmark-dev libreadline-dev
  libmicrohttpd-dev prometheus
  libwslay-dev libhttp-parser-dev
  chromium chromium-driver nginx libnginx-mod-stream python3-websockets nodejs node-typescript
  clang clang-format libclang-rt-14-dev
  miniupnpd-nftables nftables miniupnpc iproute2 tmux procps
  dpkg-dev lintian systemd util-linux adduser
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: not root and no sudo; install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi

# The UPnP gateway daemon is only ever run by the tests inside their own network
# namespaces, and Prometheus and nginx only by their tests, on loopback ports of their own:
# keep the packages' maintainer scripts from starting any as a service on this host.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee $policy >/dev/null
  $sudo chmod 755 $policy
  made_policy=1
fi
cleanup() { [[ $made_policy -eq 1 ]] && $sudo rm -f $policy; return 0; }
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
