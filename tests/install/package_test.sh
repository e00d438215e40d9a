#!/usr/bin/env bash
# Builds the Debian packages into a scratch folder, checks their names, dependencies and
# contents with dpkg-deb and the whole of them with lintian, then installs them with dpkg into a scratch root that knows the
# system's installed packages (so that dependencies are really checked) and runs the
# installed programs from there.
# Usage: package_test.sh BUILD_DIR PREFIX ENGINES_DIR QML_DIR; exit 77 (skipped) when the
# install step cannot run (dpkg needs root).
set -euo pipefail
build=$1 prefix=$2 engines=$3 qml=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack --config CPackConfig.cmake -B "$work/packages") > "$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; fail "cpack"; }

deb() { ls "$work/packages/$1"_*.deb 2>/dev/null || fail "no package $1"; }

# package | the files it must hold | what it must depend on
while IFS='|' read -r package files depends; do
  file=$(deb "$package")
  info=$(dpkg-deb --field "$file" Package Architecture Depends)
  grep -qx "Package: $package" <<<"$info" || fail "$file: $info"
  grep -qx "Architecture: amd64" <<<"$info" || fail "$package: not amd64: $info"
  for need in $depends; do
    grep -q "^Depends:.*\b$need\b" <<<"$info" || fail "$package does not depend on $need: $info"
  done
  contents=$(dpkg-deb --contents "$file" | awk '{print $6}' | sed 's#^\.##')
  for path in $files; do
    grep -qxF "$path" <<<"$contents" || fail "$package lacks $path:"$'\n'"$contents"
  done
done <<EOF_TABLE
quendrix|$prefix/bin/quendrix $prefix/share/man/man1/quendrix.1.gz $prefix/share/doc/quendrix/changelog.gz|libquendrix-t libc6
libquendrix-t|$prefix/lib/libquendrix-t.so|libsqlite3-0 libreadline8
capi|$engines/capi.so $prefix/share/doc/capi/capi.md|cryptoapi libssl3
cryptoapi|$prefix/lib/libcryptoapi.so $prefix/bin/cryptoapi-admin $prefix/share/man/man1/cryptoapi-admin.1.gz|libssl3
zephyn-models-component-plugin|$qml/org/zephyn/models/qmldir $qml/org/zephyn/models/plugins.qmltypes $qml/org/zephyn/models/libzephyn-models-component-plugin.so|zephyn-models jyxcore libqt5qml5
zephyn-models|$prefix/lib/libzephyn-models.so|libqt5core5a
jyxcore|$prefix/lib/libjyxcore.so|libqt5core5a
EOF_TABLE
[ "$(ls "$work/packages"/*.deb | wc -l)" = 7 ] || fail "expected 7 packages: $(ls "$work/packages")"

# Debian's own checks of packages find no error in them. The suite's owners have not
# chosen its licence yet, so there is no copyright file to carry. A build for another
# prefix than /usr (make install's /usr/local) makes packages of that layout, which
# Debian's rules refuse by design: only `make package` (prefix /usr) is held to them.
suppressed=no-copyright-file
[ "$prefix" = /usr ] || suppressed+=,file-in-usr-local,dir-in-usr-local,no-changelog
lintian --fail-on error --suppress-tags "$suppressed" "$work/packages"/*.deb > "$work/lintian.log" 2>&1 \
  || { cat "$work/lintian.log"; fail "lintian"; }

[ "$(id -u)" = 0 ] || { echo "dpkg --root needs root: skipping the install"; exit 77; }

# A scratch root whose package database is a copy of the system's.
new_root() {
  mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/log"
  cp /var/lib/dpkg/status "$1/var/lib/dpkg/status"
  touch "$1/var/lib/dpkg/available"
}
dpkg_in() { local root=$1; shift; dpkg --root="$root" --force-script-chrootless --log=/dev/null "$@"; }

# A deliverable without the stand-in it needs is refused.
new_root "$work/partial"
if dpkg_in "$work/partial" -i "$(deb capi)" > "$work/partial.log" 2>&1; then
  fail "capi installed without cryptoapi"
fi
grep -q "depends on cryptoapi" "$work/partial.log" || { cat "$work/partial.log"; fail "no dependency error"; }

# All of them install together, and what they install runs.
root="$work/root"
new_root "$root"
dpkg_in "$root" -i "$work/packages"/*.deb > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
status=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Package} ${Status}\n' \
         quendrix libquendrix-t capi cryptoapi zephyn-models-component-plugin zephyn-models jyxcore)
[ "$(grep -c 'install ok installed' <<<"$status")" = 7 ] || fail "not all installed: $status"

out=$("$root$prefix/bin/quendrix" --database "$work/t.db" --execute "select my_aref(my_vector(1, 'x'), 1)")
[ "$out" = x ] || fail "packaged quendrix printed '$out'"
CRYPTOAPI_HOME="$work/cryptoapi" "$root$prefix/bin/cryptoapi-admin" list providers | grep -q . \
  || fail "packaged cryptoapi-admin"
OPENSSL_ENGINES="$root$engines" CRYPTOAPI_HOME="$work/cryptoapi" openssl engine -t capi \
  | grep -qF '[ available ]' || fail "openssl does not load the packaged engine"
echo "Debian packages: OK"
