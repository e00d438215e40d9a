#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR, checks the layout, and runs what was installed
# from there: the programs, the engine through the openssl tool, the QML module through
# Qt's qml runtime.
# Usage: install_test.sh BUILD_DIR PREFIX ENGINES_DIR QML_DIR
set -euo pipefail
build=$1 prefix=$2 engines=$3 qml=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR="$root" cmake --install "$build" > "$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# The layout: every file where its users look for it, and nothing anywhere else.
expected=(
  "$prefix/bin/quendrix"
  "$prefix/bin/cryptoapi-admin"
  "$prefix/lib/libquendrix-t.so"
  "$prefix/lib/libcryptoapi.so"
  "$prefix/lib/libzephyn-models.so"
  "$prefix/lib/libjyxcore.so"
  "$prefix/share/man/man1/quendrix.1.gz"
  "$prefix/share/man/man1/cryptoapi-admin.1.gz"
  "$prefix/share/doc/quendrix/quendrix.md"
  "$prefix/share/doc/capi/capi.md"
  "$prefix/share/doc/capi/openssl-capi.cnf"
  "$prefix/share/doc/zephyn-models-component-plugin/models.md"
  "$prefix/share/doc/quendrix/changelog.gz"
  "$prefix/share/doc/libquendrix-t/changelog.gz"
  "$prefix/share/doc/capi/changelog.gz"
  "$prefix/share/doc/cryptoapi/changelog.gz"
  "$prefix/share/doc/zephyn-models-component-plugin/changelog.gz"
  "$prefix/share/doc/zephyn-models/changelog.gz"
  "$prefix/share/doc/jyxcore/changelog.gz"
  "$engines/capi.so"
  "$qml/org/zephyn/models/qmldir"
  "$qml/org/zephyn/models/plugins.qmltypes"
  "$qml/org/zephyn/models/libzephyn-models-component-plugin.so"
)
for file in "${expected[@]}"; do
  [ -f "$root$file" ] || fail "$file is not installed"
done
(cd "$root" && find . -type f -printf '/%P\n') | sort > "$work/installed"
printf '%s\n' "${expected[@]}" | sort > "$work/expected"
if ! diff -u "$work/expected" "$work/installed"; then fail "unexpected installed files"; fi

# No installed binary may look for libraries in the build tree.
for file in "${expected[@]}"; do
  case $file in *.so|*/bin/*)
    if readelf -d "$root$file" | grep -F "$build" ; then fail "$file has a run path into the build"; fi
  esac
done

# The engine sits where the openssl tool looks for engines by default.
openssl version -e | grep -qxF "ENGINESDIR: \"$engines\"" || fail "OpenSSL looks for engines elsewhere: $(openssl version -e)"

# The installed programs run.
export CRYPTOAPI_HOME="$work/cryptoapi"
out=$("$root$prefix/bin/quendrix" --database "$work/t.db" --execute "select my_aref(my_vector(1, 'x', NULL), 1)")
[ "$out" = x ] || fail "installed quendrix printed '$out'"
"$root$prefix/bin/quendrix" --version | grep -q . || fail "quendrix --version"
"$root$prefix/bin/cryptoapi-admin" list providers | grep -q . || fail "cryptoapi-admin list providers"
OPENSSL_ENGINES="$root$engines" openssl engine -t capi | grep -qF '[ available ]' \
  || fail "openssl does not load the installed engine"

# The installed QML module loads in Qt's own runtime and serves both models.
cat > "$work/store.json" <<'JSON'
{ "activities": [ { "id": "a" }, { "id": "b" } ], "resources": [ { "uri": "u:1", "activity": "a" } ] }
JSON
cat > "$work/check.qml" <<'QML'
import QtQuick 2.15
import org.zephyn.models 0.1
Item {
    ActivityModel { id: activities }
    ResourceModel { id: resources }
    Component.onCompleted: {
        console.log("rows " + activities.rowCount() + " " + resources.rowCount())
        Qt.quit()
    }
}
QML
out=$(QML2_IMPORT_PATH="$root$qml" ZEPHYN_ACTIVITIES_FILE="$work/store.json" \
      QT_QPA_PLATFORM=offscreen timeout 60 qml "$work/check.qml" 2>&1) || true
grep -qF "rows 2 1" <<<"$out" || fail "the installed QML module: $out"
echo "installed layout and programs: OK"
