#!/usr/bin/env bash
# cpack -G DEB of a build tree into a temporary directory, checked with dpkg-deb: the four packages
# are there, each holds its own files under /usr, and their dependencies hold together.
# Usage: check-debs.sh BUILD_DIR (the environment comes from CTest).
set -euo pipefail
build=$1
: "${CPACK_COMMAND:=cpack}" "${LIBDIR:=lib}"
: "${QUILLET_VERSION:?}" "${VARROW_VERSION:?}"
soversion=${VARROW_VERSION%%.*}
arch=$(dpkg --print-architecture)

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-debs.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$CPACK_COMMAND" -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack -G DEB"; }

deb() { echo "$work/$1_${QUILLET_VERSION}_$arch.deb"; }
for name in quillet quillet-server libvarrow1 libvarrow-dev; do
    [[ -f $(deb "$name") ]] || { ls "$work" >&2; fail "no package $name"; }
done

# Files: each path must be in the package (dpkg-deb -c lists ./usr/... with links as "a -> b").
contents() { dpkg-deb -c "$(deb "$1")" | awk '{ print $6 }' | sed 's|^\./|/|'; }
holds() {
    local name=$1; shift
    local list; list=$(contents "$name")
    for path in "$@"; do
        grep -qx -- "$path" <<<"$list" || { echo "$list" >&2; fail "$name does not hold $path"; }
    done
}
holds quillet /usr/bin/quillet "/usr/$LIBDIR/libquillet-peer-tcp.so" /usr/share/applications/quillet.desktop \
    /usr/share/icons/hicolor/scalable/apps/quillet.svg
holds quillet-server /usr/bin/quillet-server /usr/lib/systemd/system/quillet-server.service
holds libvarrow1 "/usr/$LIBDIR/libvarrow.so.$VARROW_VERSION" "/usr/$LIBDIR/libvarrow.so.$soversion"
holds libvarrow-dev /usr/include/varrow/Socket.h /usr/include/varrow/varrow_export.h \
    "/usr/$LIBDIR/libvarrow.so" "/usr/$LIBDIR/cmake/Varrow/VarrowConfig.cmake" \
    "/usr/$LIBDIR/cmake/Varrow/VarrowConfigVersion.cmake" "/usr/$LIBDIR/cmake/Varrow/VarrowTargets.cmake"
# No file in two packages (they could not be installed together).
dupes=$(for n in quillet quillet-server libvarrow1 libvarrow-dev; do contents "$n" | grep -v '/$'; done \
    | sort | uniq -d)
[[ -z "$dupes" ]] || fail "files in more than one package: $dupes"

# The unit starts the packaged server, and is not enabled by the package (no maintainer scripts).
unit=$(dpkg-deb --fsys-tarfile "$(deb quillet-server)" | tar -xO ./usr/lib/systemd/system/quillet-server.service)
grep -qx 'ExecStart=/usr/bin/quillet-server --listen 127.0.0.1 --port 2727' <<<"$unit" \
    || fail "the packaged unit does not start /usr/bin/quillet-server"
control=$(dpkg-deb --ctrl-tarfile "$(deb quillet-server)" | tar -t)
if grep -Eq 'postinst|prerm' <<<"$control"; then
    fail "quillet-server has maintainer scripts (the unit must not be enabled)"
fi

# Dependencies: shared libraries from dpkg-shlibdeps, libvarrow1 of this version, the SVG plugin.
depends() { dpkg-deb -f "$(deb "$1")" Depends; }
needs() {
    local name=$1; shift
    local have; have=$(depends "$name")
    for dep in "$@"; do
        grep -Eq "(^|, )$dep( |,|$)" <<<"$have" || fail "$name does not depend on $dep: $have"
    done
}
needs quillet libvarrow1 libqt6svg6 libqt6widgets6 libqt6network6 libqt6dbus6 libc6
needs quillet-server libvarrow1 libqt6core6 libc6
needs libvarrow1 libqt6core6 libc6
needs libvarrow-dev libvarrow1 qt6-base-dev
shlibs=$(dpkg-deb --ctrl-tarfile "$(deb libvarrow1)" | tar -xO ./shlibs)
grep -q "^libvarrow $soversion libvarrow1" <<<"$shlibs" \
    || fail "libvarrow1 has no shlibs entry for libvarrow $soversion: $shlibs"

for name in quillet quillet-server libvarrow1 libvarrow-dev; do
    echo "$(basename "$(deb "$name")"): $(contents "$name" | grep -vc '/$') files; Depends: $(depends "$name")"
done
