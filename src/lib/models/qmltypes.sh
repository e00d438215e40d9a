#!/usr/bin/env bash
# The module's type description for QML tooling (Qt Creator, qmllint), made by Qt's
# qmlplugindump from the built plug-in.
#   qmltypes.sh BUILD_DIR --check    fails when plugins.qmltypes here is out of date
#   qmltypes.sh BUILD_DIR --update   writes it to plugins.qmltypes here
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: qmltypes.sh BUILD_DIR --check|--update}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"

# Headless, with an empty store and no debug line: only the types matter here. Run from the
# build folder with a relative import path, so that the header names no local folder.
(cd "$build" && XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
   QML_DISK_CACHE_PATH="$work/cache" ZEPHYN_ACTIVITIES_FILE="$work/none.json" JYX_DEBUG_OFF=0 \
   timeout 120 qmlplugindump -nonrelocatable org.zephyn.models 0.1 qml) \
  > "$work/plugins.qmltypes" 2> "$work/errors" || { cat "$work/errors" >&2; exit 1; }

case ${2:-} in
--check)
  if ! diff -u "$here/plugins.qmltypes" "$work/plugins.qmltypes"; then
    echo "plugins.qmltypes is out of date: run 'cmake --build BUILD --target update-qmltypes'" >&2
    exit 1
  fi
  echo "plugins.qmltypes is up to date";;
--update) cp "$work/plugins.qmltypes" "$here/plugins.qmltypes";;
*) echo "usage: qmltypes.sh BUILD_DIR --check|--update" >&2; exit 2;;
esac
