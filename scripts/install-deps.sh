#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, skipping those already present.
set -euo pipefail
pkgs=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libevent-dev libndpi-dev libyang2-dev libyang2-tools libpcap-dev
  util-linux iproute2 procps
  # dpdk-test-acl is the tests' independent first-match oracle and the benchmarks' speed peer.
  dpdk dpdk-dev
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
