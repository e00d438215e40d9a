#!/usr/bin/env bash
# Runs the examples of the docs as a reader would: every fenced block tagged `qml` in
# Qt's `qml` runtime, every fenced block tagged `sh` in bash, from a scratch folder that
# sees the build as `build/` and the sources' `demo/` and `docs/`. Blocks with any other
# tag, and indented blocks, are not run. A block fails on a non-zero exit status, and a
# QML block also on any warning or error of the engine.
# Usage: check_examples.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$(cd "${1:?usage: check_examples.sh SOURCE_DIR BUILD_DIR}" && pwd)
build=$(cd "${2:?usage: check_examples.sh SOURCE_DIR BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every runnable block as a file: NN.qml or NN.sh, its origin (file:line) in NN.where.
awk -v out="$work" '
  /^```(qml|sh)[ \t]*$/ && !inside { inside = 1; n++; kind = substr($0, 4); sub(/[ \t]+$/, "", kind)
                        file = sprintf("%s/%02d.%s", out, n, kind)
                        printf "%s:%d (%s)\n", FILENAME, FNR, kind > (out "/" sprintf("%02d", n) ".where")
                        printf "" > file; next }
  /^```/ && inside    { inside = 0; close(file); next }
  inside              { print > file }
' "$src/README.md" "$src"/docs/*.md

runtime="$work/runtime"
mkdir -m 700 "$runtime"
failed=0 ran=0
for block in "$work"/[0-9]*.qml "$work"/[0-9]*.sh; do
  [ -e "$block" ] || continue
  where=$(sed "s#^$src/##" "${block%.*}.where")
  scratch=$(mktemp -d "$work/run.XXXXXX")
  ln -s "$build" "$scratch/build"
  ln -s "$src/demo" "$scratch/demo"
  ln -s "$src/docs" "$scratch/docs"
  status=0
  case $block in
  *.qml)
    cp "$block" "$scratch/example.qml"
    output=$(cd "$scratch" && XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen \
             QT_QUICK_BACKEND=software QML2_IMPORT_PATH="$build/qml" \
             ZEPHYN_ACTIVITIES_FILE="$src/demo/models/activities.json" \
             timeout 60 qml example.qml 2>&1) || status=$?
    # The engine's warnings name the document: file:///...example.qml:LINE:...
    if [ $status = 0 ] && grep -qE 'example\.qml:[0-9]+|Did not load|is not installed' <<<"$output"; then
      status=1
    fi;;
  *.sh)
    output=$(cd "$scratch" && timeout 120 bash -euo pipefail "$block" 2>&1) || status=$?;;
  esac
  ran=$((ran + 1))
  if [ $status = 0 ]; then
    echo "ok   $where"
  else
    failed=$((failed + 1))
    echo "FAIL $where (status $status):"
    sed 's/^/     /' <<<"$output"
  fi
done
echo "docs examples: $ran run, $failed failing"
[ $ran -gt 0 ] && [ $failed = 0 ]
