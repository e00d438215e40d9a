#!/usr/bin/env bash
# Runs the QML tests of the module under Qt Quick Test's qmltestrunner, headless, from a
# scratch folder that holds a copy of each test and the store file it writes.
# Usage: run_qml_tests.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run_qml_tests.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here"/qml/tst_*.qml "$work/"
mkdir -m 700 "$work/runtime"

export XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=offscreen
# No GPU here: Qt Quick draws with its software renderer.
export QT_QUICK_BACKEND=software
export ZEPHYN_ACTIVITIES_FILE="$work/activities.json"
# The tests write the store with XMLHttpRequest, which Qt allows only when asked.
export QML_XHR_ALLOW_FILE_WRITE=1
timeout 300 qmltestrunner -import "$build/qml" -input "$work"
