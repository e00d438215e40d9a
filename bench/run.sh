#!/usr/bin/env bash
# Runs every benchmark program the build made.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shopt -s nullglob
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "=== $(basename "$b") ==="
  "$b"
done
