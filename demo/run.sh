#!/usr/bin/env bash
# Runs the main job of each deliverable on an embedded default.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
status=0
for part in quendrix capi models; do
  if [ -x "$here/$part.sh" ]; then
    echo "=== $part ==="
    "$here/$part.sh" "$build" || { echo "*** $part demo failed"; status=1; }
    echo
  fi
done
exit $status
