#!/usr/bin/env bash
# Runs zeld once in a private sandbox (own mounts and network, tmpfs /run and /dev/shm,
# loopback up, /dev/log shown on this terminal): start, debug toggles, orderly stop.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "demo: needs root (private mount and network namespaces)" >&2
  exit 1
fi
exec "$build/bin/zel-sandbox" -- /bin/bash -c '
  zeld=$1 fpsim=$2
  # zeld waits for a forwarding plane: the stand-in, on a small shared block.
  mount -t tmpfs tmpfs /etc/default && echo small > /etc/default/sim_size
  echo "demo: starting fp-sim serve"
  "$fpsim" serve &
  fp=$!
  sleep 0.5
  echo "demo: starting zeld -f"
  "$zeld" -f &
  pid=$!
  sleep 1
  echo "demo: SIGUSR1 twice (debugging off, then all on)"
  kill -USR1 "$pid"; sleep 0.3; kill -USR1 "$pid"; sleep 0.5
  echo "demo: SIGUSR2 (orderly stop)"
  kill -USR2 "$pid"
  status=0
  wait "$pid" || status=$?
  echo "demo: zeld exited with status $status"
  kill "$fp"; wait "$fp" || true
  exit "$status"
' demo "$build/bin/zeld" "$build/bin/fp-sim"
