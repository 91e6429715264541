#!/usr/bin/env bash
# The main job: zeld among its stand-in peers in a private sandbox (own mounts and network,
# tmpfs /run and /dev/shm, loopback up, syslog shown on this terminal). It starts the
# configuration database, the forwarding plane, krod, pxrd and the system manager, then zeld;
# commits an example policy configuration, shows its binding at pxrd and two packets through the
# published program, shows the policy and its counters (cdb-cli show), clears its counters, loads the
# example access lists and shows one attached at pxrd and counting packets, reports a TLOC, toggles
# debugging, and stops everything in order. It ends by itself.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "demo: needs root (private mount and network namespaces)" >&2
  exit 1
fi
exec "$build/bin/zel-sandbox" -- /bin/bash -c '
  set -u
  bin=$1 src=$2
  work=$(mktemp -d)
  trap "rm -rf $work" EXIT
  say() { echo "demo: $*"; }
  wait_for() {  # FILE TEXT: up to 5 s
    for _ in $(seq 50); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    say "timed out waiting for \"$2\" in $1"; return 1
  }
  publish() {  # EXAMPLE PATTERN: loads an example and shows what pxrd-sim heard; $found: its filter
    say "cdb-cli load examples/$1"
    "$bin/cdb-cli" load "$src/examples/$1"
    wait_for "$work/pxrd.out" "$2" || true
    # A commit runs a pass per priority: the last message is where the program settled.
    sleep 1
    local line; line=$(grep -- "$2" "$work/pxrd.out" | tail -1 || true)
    say "pxrd-sim: $line"
    found=$(echo "$line" | grep -o "\"filter_index\": *[0-9]*" | grep -o "[0-9]*$" || true)
  }
  # A small forwarding plane: a 64 MiB shared block.
  mount -t tmpfs tmpfs /etc/default && echo small > /etc/default/sim_size

  say "starting cdb-sim, fp-sim, krod-sim, pxrd-sim, sysmgr-sim"
  "$bin/cdb-sim" --phase 2 --state-dir "$work" > "$work/cdb.out" 2>&1 &
  cdb=$!
  "$bin/fp-sim" serve > "$work/fp.out" 2>&1 &
  fp=$!
  mkfifo "$work/krod.in"
  "$bin/krod-sim" < "$work/krod.in" > "$work/krod.out" 2>&1 &
  krod=$!
  exec 3> "$work/krod.in"
  "$bin/sysmgr-sim" > "$work/sysmgr.out" 2>&1 < /dev/null &
  sysmgr=$!
  sleep 0.5

  say "starting zeld -f"
  "$bin/zeld" -f &
  zeld=$!
  "$bin/pxrd-sim" > "$work/pxrd.out" 2>&1 < /dev/null &
  pxrd=$!
  wait_for "$work/krod.out" "\"index\":1" && say "krod-sim: $(grep -c "\"type\":1" "$work/krod.out") requests from zeld"
  wait_for "$work/sysmgr.out" "$zeld" && say "sysmgr-sim: hello from pid $zeld"

  for _ in $(seq 50); do "$bin/cdb-cli" status 2>/dev/null | grep -q zeld && break; sleep 0.1; done
  say "cdb-sim: zeld registered $("$bin/cdb-cli" status | grep -o "\"path\"" | wc -l) subscription points"
  say "cdb-cli read-priority 0x7 (the daemons that read their configuration before zeld are done)"
  "$bin/cdb-cli" read-priority 0x7
  sleep 0.3
  publish data-policy.json "\"bind\""
  filter=$found
  if [ -n "$filter" ]; then
    # 10.1.0.5 (a branch server) to port 443 over TCP, and a DNS query from elsewhere.
    printf "167837701\t167772162\t1000\t443\t6\t0\t0\n167772161\t167772162\t1000\t53\t17\t0\t0\n" > "$work/trace"
    say "fp-sim run --filter $filter: two packets through the published program"
    "$bin/fp-sim" run --filter "$filter" "$work/trace" || true
    say "cdb-cli show data-policy-filters; data-policy-vpnlist corp-data; data-policy-policers corp-data corp-vpns"
    "$bin/cdb-cli" show data-policy-filters || true
    "$bin/cdb-cli" show data-policy-vpnlist corp-data || true
    "$bin/cdb-cli" show data-policy-policers corp-data corp-vpns || true
    say "cdb-cli show data-policy-counters corp-data corp-vpns: what the two packets counted"
    "$bin/cdb-cli" show data-policy-counters corp-data corp-vpns || true
    say "cdb-cli request zel_clear_data_policy name corp-data, and the counters again"
    "$bin/cdb-cli" request zel_clear_data_policy name corp-data || true
    "$bin/cdb-cli" show data-policy-counters corp-data corp-vpns --json || true
  fi
  publish access-lists.json "\"attach\".*\"acl-guest-in\""
  acl=$found
  if [ -n "$acl" ]; then
    # A guest (192.168.50.7) to a management host (10.100.0.9) over TCP and UDP, then to elsewhere.
    printf "3232248327\t174325769\t1000\t22\t6\t0\t0\n3232248327\t174325769\t1000\t161\t17\t0\t0\n3232248327\t167837697\t1000\t22\t6\t0\t0\n" > "$work/acl-trace"
    say "fp-sim run --filter $acl: three packets through the access list, two counted as guest-to-mgmt"
    "$bin/fp-sim" run --filter "$acl" "$work/acl-trace" || true
    say "cdb-cli show access-policy-counter-list acl-guest-in: what the access list counted"
    "$bin/cdb-cli" show access-policy-counter-list acl-guest-in || true
  fi
  say "cdb-cli request zel_debug_policy: its marker in operational data, then zel_debug_disable_all"
  "$bin/cdb-cli" request zel_debug_policy || true
  sleep 0.2
  "$bin/cdb-cli" show-oper /debugs || true
  "$bin/cdb-cli" request zel_debug_disable_all || true

  say "krod-sim: locator update 10.0.0.1 mpls ipsec"
  echo "update 10.0.0.1 mpls ipsec" >&3
  sleep 0.3

  say "SIGUSR1 twice (debugging off, then all on)"
  kill -USR1 "$zeld"; sleep 0.3; kill -USR1 "$zeld"; sleep 0.3
  say "SIGUSR2 (orderly stop)"
  kill -USR2 "$zeld"
  status=0
  wait "$zeld" || status=$?
  say "zeld exited with status $status"
  echo quit >&3; exec 3>&-
  kill "$pxrd" "$sysmgr" "$fp" "$cdb" 2>/dev/null || true
  wait 2>/dev/null || true

  say "the compiler on its own: zelc over a ClassBench set"
  rules=$src/../shared/data/classbench/acl1_100.rules
  if [ -f "$rules" ]; then "$bin/zelc" compile --format classbench "$rules" | tail -6; fi
  exit "$status"
' demo "$build/bin" "$src"
