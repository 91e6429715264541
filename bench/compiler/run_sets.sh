#!/usr/bin/env bash
# The compiler against rte_acl on every ClassBench set given (default: the 1000- and 10000-rule sets beside
# the checkout), one process per set: bench/compiler/run_sets.sh BUILD_DIR [SET.rules...]
set -euo pipefail
build=${1:-build}
shift || true
data=${ZEL_CLASSBENCH_DIR:-$(cd "$(dirname "$0")/../.." && pwd)/../shared/data/classbench}
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=("$data"/*_1000.rules "$data"/*_10000.rules)
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bin/zel_bench_compiler" --header
for s in "${sets[@]}"; do
  t=${s%.rules}.trace
  [ -f "$t" ] || t=
  "$build/bin/zel_bench_compiler" "$s" $t 2>/dev/null || echo "| $(basename "$s") | exit $? |"
done
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
