#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its committed seeds:
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to BUILD_DIR/corpus/TARGET (the seeds stay as committed); a crash, a
# sanitizer report or a hang leaves its input in BUILD_DIR/findings/ and fails the run.
set -u
build=$1 seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(pg_connection scram pattern sql_rewrite query value_codec store_index utf)

failed=()
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  dict=()
  [ -f "$here/$t.dict" ] && dict=(-dict="$here/$t.dict")
  echo "== $t: ${seconds}s"
  if ! "$build/bin/${t}_fuzzer" "$corpus" "$here/corpus/$t" "${dict[@]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
        -artifact_prefix="$findings/" -print_final_stats=1 >"$build/$t.log" 2>&1; then
    failed+=("$t")
    grep -E "ERROR|SUMMARY|Test unit written" "$build/$t.log" | head -5
  fi
  grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$build/$t.log" | tr '\n' ' '
  echo
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (logs in $build/*.log, inputs in $build/findings/)"
  exit 1
fi
echo "every fuzz target ran ${seconds}s without a fault"
