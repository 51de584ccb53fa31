#!/usr/bin/env bash
# Makes the README's pictures, docs/images/{main,login,privatechat,canvas}.png, from the real
# client code: quillet-server on loopback and three scripted clients (client/tests/
# privatechat_driver: the real windows, driven by commands) on a virtual X display (Xvfb), each
# window saved as the client draws it.
#
#   scripts/screenshots.sh [BUILD_DIR]     (default build/default; needs xvfb and xauth)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/default}")
out=$root/docs/images

if [[ -z "${QUILLET_SCREENSHOTS_DISPLAY:-}" ]]; then
    command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (make deps)" >&2; exit 1; }
    [[ -f "$build/CMakeCache.txt" ]] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build "$build" --target quillet-server privatechat_driver -j2 >/dev/null
    QUILLET_SCREENSHOTS_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" "$0" "$build"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-shots.XXXXXX")
pids=()
cleanup() {
    exec 3>&- 5>&- 7>&- 2>/dev/null || true # the drivers end at the end of their input
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [[ -n "${server:-}" ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "screenshots: $*" >&2; for f in "$work"/*.log; do echo "--- $f" >&2; cat "$f" >&2; done; exit 1; }

"$build/bin/quillet-server" --listen 127.0.0.1 --port 0 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.log")
    [[ -n "$port" ]] && break
    sleep 0.1
done
[[ -n "$port" ]] || fail "quillet-server did not start"

# One scripted client per user, its commands through a pair of FIFOs on the given descriptors.
client() { # NAME FD_IN FD_OUT
    mkfifo "$work/$1.in" "$work/$1.out"
    QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=1 "$build/bin/privatechat_driver" \
        <"$work/$1.in" >"$work/$1.out" 2>"$work/$1.log" &
    pids+=($!)
    eval "exec $2>\"\$work/\$1.in\" $3<\"\$work/\$1.out\""
}
ask() { # FD_IN FD_OUT COMMAND...
    local in=$1 from=$2 answer; shift 2
    echo "$*" >&"$in"
    read -r -t 60 answer <&"$from" || fail "no answer to: $*"
    [[ "$answer" == ok* ]] || fail "$* -> $answer"
}
ann() { ask 3 4 "$@"; }
bob() { ask 5 6 "$@"; }
carol() { ask 7 8 "$@"; }
client ann 3 4
client bob 5 6
client carol 7 8
mkdir -p "$out"

ann login-shot ann "$port" "$out/login.png"
bob login bob "$port"
carol login carol "$port"
ann wait-room "carol joined the room."
carol say N "Morning all! Fresh coffee in the kitchen."
bob say I "On my way."
ann say B "Who has the slides for the 10 o'clock?"
carol say N "Wave!"
bob say N "I do, sending them in a private chat."
ann wait-room "sending them in a private chat"
ann select bob
ann shoot main "$out/main.png"

bob request ann "the slides"
ann accept
ann wait-shown
bob wait-shown
bob type "Hi Ann, the slides are on the share, folder talks.\\n"
ann wait-recv "Hi Ann, the slides are on the share, folder talks.\\n"
ann type "Thanks! Let me sketch the room plan."
bob wait-recv "Thanks! Let me sketch the room plan."
bob type "Go on"
ann wait-recv "Hi Ann, the slides are on the share, folder talks.\\nGo on"
ann shoot chat "$out/privatechat.png"

bob canvas
bob draw dark-green 20,120 80,40 140,120 20,120
bob draw red 200,80 260,30 320,80 260,130 200,80
ann wait-status
ann canvas
ann draw navy 40,140 40,60 150,60 150,140 40,140
ann draw navy 30,65 95,20 160,65
ann draw dark-red 80,140 80,100 105,100 105,140
ann draw blue 55,75 70,75 70,90 55,90 55,75
ann draw blue 120,75 135,75 135,90 120,90 120,75
ann draw orange 300,40 320,30 340,40 350,60 340,80 320,90 300,80 290,60 300,40
ann draw dark-green 180,140 230,120 280,140 330,125 370,140
ann drawing partner
ann shoot canvas "$out/canvas.png"
echo "screenshots: $(cd "$out" && ls *.png | tr '\n' ' ')in $out"
