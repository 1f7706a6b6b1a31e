#!/usr/bin/env bash
# The installation: layout, exports, run paths, DESTDIR, registry values and
# settings of a new installation, settings kept on reinstall, and a C host
# built against the installation with pkg-config.
#   install_test.sh BUILD_DIR SOURCE_DIR REGISTRY_ROOT DOCUMENTS_ROOT [EXTRA_CFLAGS]
set -euo pipefail
build=$1 source=$2 registry_root=$3 documents_root=$4 extra_cflags=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/mlframe-install.XXXXXX")
# Named objects of the C host go under the test run's namespace, and go with the test.
objects="${ML_OBJECT_NAMESPACE:-mltest}install$$."
trap 'rm -rf "$work"; find /dev/shm -depth -name "$objects*" -exec rm -rf {} + 2>/dev/null || true' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] || fail "missing $1"; }
expect_content() { [ "$(cat "$1" 2>/dev/null)" = "$2" ] || fail "$1 holds '$(cat "$1" 2>/dev/null)', not '$2'"; }
clsid_key='HKEY_CLASSES_ROOT/CLSID/{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}/InprocServer32'
install_key=HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/APPSW/MorlindLogon
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# 1. A staged installation (DESTDIR) with the configured roots.
DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/mlcm >/dev/null
stage=$work/stage
moddir=$stage/opt/mlcm/lib/mlcardmanx
for f in libmlcardmanx.so libmlplatform.so libmlcardmanb.so libmlcardmand.so ct32.so \
    libmldialog.so languages.ini mlsettings.ini; do
    expect_file "$moddir/$f"
done
expect_file "$stage/opt/mlcm/bin/mlhost"
expect_file "$stage/opt/mlcm/bin/mlcardsim"
expect_file "$stage/opt/mlcm/include/mlcardmanx/mlcardmanx.h"
expect_file "$stage/opt/mlcm/include/mlcardmanx/platform/windef.h"
expect_content "$stage$registry_root/$install_key/Path" /opt/mlcm/lib/mlcardmanx
expect_content "$stage$registry_root/$install_key/Release" "$version"
expect_content "$stage$registry_root/$clsid_key/@" /opt/mlcm/lib/mlcardmanx/libmldialog.so
settings=$stage$documents_root/Kestrel/MorlindLogon/Settings
grep -qx 'CardreaderName=' "$settings/mlsettings.ini" || fail "no empty CardreaderName"
grep -qx 'CurrentPort=1' "$settings/mlsettings.ini" || fail "no CurrentPort=1"
grep -qx 'CurrentLanguage=1033' "$settings/mlsettings.ini" || fail "no CurrentLanguage=1033"
grep -qx 'Debug=0' "$settings/mldebug.ini" || fail "no Debug=0"
[ -d "$stage$documents_root/Kestrel/MorlindLogon/Diagnostics" ] || fail "no Diagnostics folder"
grep -q '^prefix=/opt/mlcm$' "$stage/opt/mlcm"/lib*/pkgconfig/mlcardmanx.pc 2>/dev/null ||
    find "$stage/opt/mlcm" -name mlcardmanx.pc | xargs grep -q '^prefix=/opt/mlcm$' ||
    fail "pkg-config file does not name the prefix"
# Only the three exports leave the module.
exports=$(nm -D --defined-only "$moddir/libmlcardmanx.so" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$exports" = "GetLoginData SetLanguage SetLoginData " ] || fail "exports: $exports"
readelf -d "$moddir/libmlcardmanx.so" | grep -q 'R.*PATH.*\[\$ORIGIN\]' || fail "module run path"
readelf -d "$stage/opt/mlcm/bin/mlhost" | grep -q 'R.*PATH.*\[\$ORIGIN/../lib/mlcardmanx\]' ||
    fail "mlhost run path"

# 2. An installation with roots of its own, its settings kept on reinstall.
prefix=$work/prefix
install_to() {
    env -u DESTDIR cmake -DCMAKE_INSTALL_PREFIX="$prefix" -DML_REGISTRY_ROOT="$work/registry" \
        -DML_DOCUMENTS_ROOT="$work/documents" -P "$build/cmake_install.cmake" >/dev/null
}
install_to
settings=$work/documents/Kestrel/MorlindLogon/Settings
printf '[LogonDevice]\nCardreaderName=My Reader\n' >"$settings/mlsettings.ini"
printf '[LogonDevice]\nDebug=1\n' >"$settings/mldebug.ini"
echo stale >"$work/registry/$install_key/Path"
install_to
grep -qx 'CardreaderName=My Reader' "$settings/mlsettings.ini" || fail "settings overwritten"
grep -qx 'Debug=1' "$settings/mldebug.ini" || fail "debug settings overwritten"
expect_content "$work/registry/$install_key/Path" "$prefix/lib/mlcardmanx"
printf '[LogonDevice]\nCardreaderName=\n[Config]\nCurrentLanguage=1033\n' >"$settings/mlsettings.ini"

# 3. A C host built the usual way against that installation.
pc=$(dirname "$(find "$prefix" -name mlcardmanx.pc | head -n 1)")
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror $extra_cflags -o "$work/c_host" "$source/frame/tests/c_host.c" \
    $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs mlcardmanx) || fail "C host does not build"
if [ -x "$work/c_host" ]; then
    # No card service and no terminal to ask on: the read fails with the
    # German notice.
    out=$(cd "$work" && env ML_REGISTRY_ROOT="$work/registry" ML_COMMON_DOCUMENTS="$work/documents" \
        ML_OBJECT_NAMESPACE="$objects" PCSCLITE_CSOCK_NAME="$work/no-pcscd" \
        setsid -w ./c_host </dev/null 2>&1) || fail "C host failed: $out"
    case $out in
    *"error: 57 Die Anmeldedaten konnten nicht von der Karte gelesen werden."*) ;;
    *) fail "C host printed: $out" ;;
    esac
fi

[ "$failures" -eq 0 ] && echo "install test: all checks passed"
exit "$failures"
