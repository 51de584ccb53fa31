#!/usr/bin/env bash
# cmake --install of a build tree into a temporary prefix, checked from outside:
#   1. exactly the expected files, the library's links, the unit naming the installed server;
#   2. the installed programs start from there (their RPATH finds the installed libvarrow);
#   3. a small program configures with find_package(Varrow) against the prefix, builds and runs.
# Usage: check-install.sh BUILD_DIR CONSUMER_SOURCE_DIR (the environment comes from CTest).
set -euo pipefail
build=$1 consumer=$2
: "${CMAKE_COMMAND:=cmake}" "${CMAKE_GENERATOR:=Ninja}" "${LIBDIR:=lib}"
: "${QUILLET_VERSION:?}" "${VARROW_VERSION:?}"
soversion=${VARROW_VERSION%%.*}

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

"$CMAKE_COMMAND" --install "$build" --prefix "$prefix" >"$work/install.log" \
    || { cat "$work/install.log"; fail "cmake --install"; }

# 1. The files.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" | tr '[:upper:]' '[:lower:]')
expected=$(printf '%s\n' \
    bin/quillet \
    bin/quillet-server \
    include/varrow/Socket.h \
    include/varrow/varrow_export.h \
    "$LIBDIR/cmake/Varrow/VarrowConfig.cmake" \
    "$LIBDIR/cmake/Varrow/VarrowConfigVersion.cmake" \
    "$LIBDIR/cmake/Varrow/VarrowTargets.cmake" \
    "$LIBDIR/cmake/Varrow/VarrowTargets-${build_type:-noconfig}.cmake" \
    "$LIBDIR/libquillet-peer-tcp.so" \
    "$LIBDIR/libvarrow.so" \
    "$LIBDIR/libvarrow.so.$soversion" \
    "$LIBDIR/libvarrow.so.$VARROW_VERSION" \
    lib/systemd/system/quillet-server.service \
    share/applications/quillet.desktop \
    share/icons/hicolor/scalable/apps/quillet.svg | sort)
installed=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
if [[ "$installed" != "$expected" ]]; then
    diff <(echo "$expected") <(echo "$installed") >&2 || true
    fail "installed files differ from the expected ones (< expected, > installed)"
fi
[[ $(readlink "$prefix/$LIBDIR/libvarrow.so") == "libvarrow.so.$soversion" ]] \
    || fail "libvarrow.so does not point at the soname"
[[ $(readlink "$prefix/$LIBDIR/libvarrow.so.$soversion") == "libvarrow.so.$VARROW_VERSION" ]] \
    || fail "the soname link does not point at the library"
[[ -x "$prefix/bin/quillet" && -x "$prefix/bin/quillet-server" ]] || fail "programs not executable"
grep -qx "ExecStart=$prefix/bin/quillet-server --listen 127.0.0.1 --port 2727" \
    "$prefix/lib/systemd/system/quillet-server.service" \
    || fail "the unit does not start the installed server"
cmp -s "$prefix/share/icons/hicolor/scalable/apps/quillet.svg" "$(dirname "$0")/../../data/quillet.svg" \
    || fail "the installed icon differs from data/quillet.svg"

# 2. The programs run from the prefix: libvarrow comes from there, not from the build tree.
for program in quillet quillet-server; do
    lib=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/$program" | awk '/libvarrow/ { print $3 }')
    [[ "$lib" -ef "$prefix/$LIBDIR/libvarrow.so.$soversion" ]] \
        || fail "$program loads libvarrow from '$lib', not from the prefix"
done
help=$(env -u LD_LIBRARY_PATH "$prefix/bin/quillet-server" --help 2>&1) \
    || fail "quillet-server --help: $help"
grep -q -- '--listen' <<<"$help" || fail "quillet-server --help says nothing of --listen: $help"

# 3. A program built against the installed package.
"$CMAKE_COMMAND" -S "$consumer" -B "$work/consumer" -G "$CMAKE_GENERATOR" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release ${CXX:+-DCMAKE_CXX_COMPILER="$CXX"} \
    -DEXPECTED_VARROW_VERSION="$VARROW_VERSION" -DFORBIDDEN_PATH="$(realpath "$build")" \
    >"$work/consumer.log" 2>&1 \
    || { cat "$work/consumer.log"; fail "the consumer project does not configure against the prefix"; }
"$CMAKE_COMMAND" --build "$work/consumer" >>"$work/consumer.log" 2>&1 \
    || { cat "$work/consumer.log"; fail "the consumer project does not build"; }
out=$("$work/consumer/varrow_consumer" 2>&1) || fail "the consumer program failed: $out"
echo "consumer: $out"
echo "install tree: $(wc -l <<<"$expected") files as expected; programs and the Varrow package work from the prefix"
