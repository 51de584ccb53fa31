#!/usr/bin/env bash
# Installs the build and test tools Quillet needs, if any are missing.
# Debian/Ubuntu only (apt-get, as root or through sudo); elsewhere it says what to install.
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev   # qt6-base-dev: Core, Network, Widgets, DBus, Test
    libssl-dev                          # SHA-256 of file transfers with the CPU's SHA instructions
    fonts-dejavu-core
    clang libclang-rt-14-dev            # the fuzz build: clang, its libFuzzer and sanitizer runtimes
    libqt6svg6                          # Qt's SVG icon engine: draws the program icon
    dpkg-dev file desktop-file-utils    # the .deb packages (dpkg-shlibdeps) and their tests
    xvfb xauth                          # scripts/screenshots.sh: the client on a virtual X display
)

missing=()
if command -v dpkg-query >/dev/null 2>&1; then
    for p in "${packages[@]}"; do
        status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
        [[ "$status" == "install ok installed" ]] || missing+=("$p")
    done
else
    echo "quillet: this machine has no dpkg; install by hand: CMake >= 3.25, Ninja, a C++20 compiler," >&2
    echo "         Qt 6 (Core, Network, Widgets, DBus, Test) with its development files." >&2
    command -v cmake >/dev/null && command -v ninja >/dev/null && exit 0
    exit 1
fi

[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "quillet: installing missing packages: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
    SUDO=()
elif command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
else
    echo "quillet: need root or sudo to run: apt-get install ${missing[*]}" >&2
    exit 1
fi
if ! command -v apt-get >/dev/null 2>&1; then
    echo "quillet: no apt-get here; please install: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
