#!/usr/bin/env bash
# Runs every libFuzzer target for longer than the test command does:
#   bash scripts/fuzz.sh [SECONDS per target, default 600]
# The targets run side by side on the committed starting corpus; new inputs go to
# build/fuzz/corpus/<target>, findings to build/fuzz/findings/ (add a fixed
# finding's input to fuzz/corpus/<target>/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-600}

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

mkdir -p build/fuzz/findings
pids=()
for target in signature_block stamp arguments collect_event; do
  mkdir -p "build/fuzz/corpus/$target"
  build/fuzz/bin/fuzz_$target -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/findings/$target- \
    "build/fuzz/corpus/$target" "fuzz/corpus/$target" > "build/fuzz/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for target in signature_block stamp arguments collect_event; do
  echo "== $target: $(grep -E 'stat::number_of_executed_units' build/fuzz/$target.log | awk '{print $2}') runs"
  grep -E 'ERROR|SUMMARY' "build/fuzz/$target.log" || echo "   no finding"
done
exit $status
