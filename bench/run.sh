#!/usr/bin/env bash
# Runs every benchmark program the build made, then the scripts that measure the
# programs from outside (streaming to clients, the front end against PostgreSQL).
# Each prints its anchor, its own figure and the ratio.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
shopt -s nullglob
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "=== $(basename "$b") ==="
  "$b"
done
echo "=== streaming: n_range_bif against a recursive CTE ==="
"$here/streaming.sh" "$build"
echo "=== front end against PostgreSQL ==="
"$here/frontend.sh" "$build"
