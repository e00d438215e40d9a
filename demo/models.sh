#!/usr/bin/env bash
# Lists the rows of ActivityModel and ResourceModel from a QML document, run headless by
# Qt's own `qml` runtime, which loads the plug-in through the module org.zephyn.models.
# $1: the absolute build directory. The activities come from the sample store shipped
# here unless ZEPHYN_ACTIVITIES_FILE names another one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: models.sh BUILD_DIR}

export QML2_IMPORT_PATH="$build/qml${QML2_IMPORT_PATH:+:$QML2_IMPORT_PATH}"
export ZEPHYN_ACTIVITIES_FILE="${ZEPHYN_ACTIVITIES_FILE:-$here/models/activities.json}"
export QT_QPA_PLATFORM=offscreen
# The offscreen platform wants a private runtime directory; give it a fresh one, and
# keep the QML engine's cache of compiled documents there too, out of the user's home.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR="$runtime"
export QML_DISK_CACHE_PATH="$runtime/qml-cache"

echo "store: $ZEPHYN_ACTIVITIES_FILE"
# The runtime prints through Qt's message handler, on standard error.
exec 2>&1
# A document that fails to load makes qml exit non-zero; never wait on a stuck one.
timeout 60 qml "$here/models/list-models.qml"
