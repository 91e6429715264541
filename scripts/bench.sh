#!/usr/bin/env bash
# Runs the benchmarks of a build directory and writes their results to bench/results/.
#   scripts/bench.sh [BUILD_DIR]
# Each topic is one function; a topic whose programs are not built is skipped.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
results=$root/bench/results
mkdir -p "$results"

machine() {
  echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/Mem:/ {print $2}') GiB RAM"
}

# Policy compiler on the ClassBench sets against DPDK's rte_acl, compile times, and the interpreter's rate.
bench_compiler() {
  local bin=$build/bin/zel_bench_compiler zelc=$build/bin/zelc sets=$build/bin/bench_compiler_sets
  local data=${ZEL_CLASSBENCH_DIR:-$root/../shared/data/classbench}
  [ -f "$build/build.ninja" ] && cmake --build "$build" -j2 --target zel_bench_compiler zelc bench_compiler_sets >&2 || true
  if [ ! -x "$bin" ] || [ ! -x "$zelc" ] || [ ! -d "$data" ]; then
    echo "bench: compiler: skipped (needs $bin, $zelc and $data)" >&2
    return 0
  fi
  local out=$results/compiler.md tmp
  tmp=$(mktemp)
  {
    echo "# Policy compiler: ClassBench sets, zeld compiler vs DPDK rte_acl"
    echo
    echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'). Machine: $(machine); load average at the start: $(cut -d' ' -f1-3 /proc/loadavg). Build: $(basename "$build") ($(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=\(..*\)/\1/p' "$build/CMakeCache.txt" | grep . || echo RelWithDebInfo))."
    echo "DPDK: $(pkg-config --modversion libdpdk 2>/dev/null || echo absent)."
    echo
    echo "Command: \`bench/compiler/run_sets.sh BUILD\` (one process per set; columns as its header says)."
    echo
  } > "$tmp"
  "$root/bench/compiler/run_sets.sh" "$build" >> "$tmp" 2>/dev/null || echo "bench: compiler: run_sets: exit $?" >&2
  if [ -x "$sets" ]; then
    {
      echo
      echo "## Compile time per set, best of 5"
      echo
      echo "\`$(basename "$sets") SET.rules...\` with program memory of 1048576 blocks (128 MiB, the largest filter"
      echo "memory). Here each ClassBench rule places only its own fields (no MATCH_ANY), five leaf tables. rc 12 = out"
      echo "of program memory: \"image bytes\" is then the lower bound at which the compiler stopped."
      echo
      echo "| rule set | rules | rc | image bytes | root classes | wall ms | CPU ms |"
      echo "|---|---|---|---|---|---|---|"
      "$sets" "$data"/*_1000.rules "$data"/*_10000.rules 2>/dev/null | tail -n +2 |
        awk '{ printf "| %s | %s | %s | %s%s | %s | %s | %s |\n", $1, $2, $3, ($3 == 12 ? ">= " : ""), $4, ($3 == 12 ? "-" : $5), $6, $7 }'
    } >> "$tmp"
  fi
  {
    echo
    echo "## Interpreter and dpdk-test-acl on the 1000-rule traces"
    echo
    echo "\`zelc classify --bench --format classbench SET.rules SET.trace\` and"
    echo "\`dpdk-test-acl --no-huge --no-pci -l 0 -m 1024 -- --rulesf=SET.rules --tracef=SET.trace --iter=100\`"
    echo "(its own scalar-or-vector default algorithm)."
    echo
    echo "| set | zelc classify | dpdk-test-acl |"
    echo "|---|---|---|"
    for s in acl1 fw1 ipc1; do
      [ -f "$data/${s}_1000.trace" ] || continue
      local z d
      z=$("$zelc" classify --bench --format classbench "$data/${s}_1000.rules" "$data/${s}_1000.trace" | sed 's/ (checksum.*//')
      d=-
      if command -v dpdk-test-acl > /dev/null; then
        d=$(dpdk-test-acl --no-huge --no-pci -l 0 -m 1024 --file-prefix=zelc-bench --log-level=1 -- \
              --rulesf="$data/${s}_1000.rules" --tracef="$data/${s}_1000.trace" --iter=100 2>/dev/null |
            grep -o '[0-9.]* cycles/pkt, [0-9.]* pkt/sec' | tail -1) || d=-
      fi
      echo "| ${s}_1000 | $z | $d |"
    done
  } >> "$tmp"
  mv "$tmp" "$out"
  echo "bench: compiler: results in $out" >&2
}

# AVL tree against std::set, the timer wheel, the message queues: their figures go to the
# terminal; bench/results/{avl,timer,msgq}.md hold the runs quoted in BENCHMARKS.md.
bench_runtime() {
  [ -f "$build/build.ninja" ] && cmake --build "$build" -j2 --target bench_avl bench_timer bench_msgq >&2 || true
  local b
  for b in "bench_avl 1000000 5" "bench_timer 1000000 3" "bench_msgq"; do
    set -- $b
    if [ -x "$build/bin/$1" ]; then
      echo "bench: $b" >&2
      "$build/bin/$1" "${@:2}"
    else
      echo "bench: $1: skipped (not built)" >&2
    fi
  done
}

bench_compiler
bench_runtime
