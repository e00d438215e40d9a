#!/usr/bin/env bash
# Shows demo/models/view-models.qml in a real X11 window on a virtual screen (Xvfb) and
# saves a picture of it, for the docs.
# Usage: demo/screenshot.sh BUILD_DIR [OUT.png]   (default: docs/images/models-demo.png)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: screenshot.sh BUILD_DIR [OUT.png]}" && pwd)
out=$(realpath -m "${2:-$here/../docs/images/models-demo.png}")
mkdir -p "$(dirname "$out")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"

export XDG_RUNTIME_DIR="$work/runtime" QML_DISK_CACHE_PATH="$work/qml-cache"
export QML2_IMPORT_PATH="$build/qml" QT_QPA_PLATFORM=xcb QT_QUICK_BACKEND=software
export ZEPHYN_ACTIVITIES_FILE="${ZEPHYN_ACTIVITIES_FILE:-$here/models/activities.json}"
rm -f "$out"
timeout 120 xvfb-run --auto-servernum --server-args="-screen 0 800x400x24" \
  qml "$here/models/view-models.qml" -- "$out"
[ -s "$out" ] || { echo "no picture was written" >&2; exit 1; }
echo "wrote $out"
