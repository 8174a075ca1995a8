#!/bin/sh
# CPU seconds per 100,000 raw events: rawmice --input=x11 against
# `xinput test-xi2 --root` (its output to /dev/null), both watching the same
# stream of XTest motions on one Xvfb, in one session.
#   bench/x11-vs-xinput.sh [EVENTS] [BUILD_DIR]     (defaults: 100000 build/default)
# Needs Xvfb, xinput, and the rawmice and xfake targets built.
set -eu

events=${1:-100000}
build=${2:-build/default}
rawmice=$build/app/rawmice
xfake=$build/tests/xfake
for tool in "$rawmice" "$xfake"; do
    [ -x "$tool" ] || { echo "x11-vs-xinput: $tool is missing (cmake --build $build --target rawmice xfake)" >&2; exit 2; }
done
command -v Xvfb >/dev/null || { echo "x11-vs-xinput: Xvfb is not installed" >&2; exit 2; }
command -v xinput >/dev/null || { echo "x11-vs-xinput: xinput is not installed" >&2; exit 2; }
rawmice=$(cd "$(dirname "$rawmice")" && pwd)/$(basename "$rawmice")

work=$(mktemp -d)
xvfb_pid= rawmice_pid= xinput_pid=
cleanup() {
    for pid in $rawmice_pid $xinput_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Waits (up to $2 tenths of a second) until the shell command $1 succeeds.
wait_for() {
    tries=0
    until eval "$1"; do
        tries=$((tries + 1))
        [ "$tries" -lt "$2" ] || return 1
        sleep 0.1
    done
}

# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
wait_for '[ -s "$work/display" ]' 300 || { echo "x11-vs-xinput: Xvfb did not start" >&2; exit 1; }
display=:$(head -n 1 "$work/display")
export DISPLAY=$display

# One master of our own; its XTEST pointer makes the stream, away from any window.
set -- $("$xfake" --keep "add 1 bench")
master=$4 pointer=$5
"$xfake" "warp $master 1000 700"

xinput test-xi2 --root >/dev/null 2>&1 &
xinput_pid=$!
(cd "$work" && QT_QPA_PLATFORM=offscreen exec "$rawmice" --input=x11 >/dev/null 2>"$work/rawmice.err") &
rawmice_pid=$!
# Ready once a probe move makes a line in its log.
lines() { if [ -f "$work/log.txt" ]; then wc -l <"$work/log.txt"; else echo 0; fi; }
wait_for '"$xfake" "move $pointer 1 0"; [ "$(lines)" -gt 0 ]' 300 ||
    { echo "x11-vs-xinput: rawmice reports nothing:" >&2; cat "$work/rawmice.err" >&2; exit 1; }
wait_for '[ "$(cpu_ticks "$xinput_pid")" -gt 0 ]' 50 || true

start_lines=$(lines)
rawmice_before=$(cpu_ticks "$rawmice_pid")
xinput_before=$(cpu_ticks "$xinput_pid")
hz=$(getconf CLK_TCK)

"$xfake" "shake $pointer $events"
# rawmice is done when its log holds every line; xinput when its CPU time stops moving.
wait_for '[ "$(lines)" -ge $((start_lines + events)) ]' 6000 ||
    { echo "x11-vs-xinput: rawmice reported $(($(lines) - start_lines)) of $events" >&2; exit 1; }
last=-1
while [ "$(cpu_ticks "$xinput_pid")" != "$last" ]; do
    last=$(cpu_ticks "$xinput_pid")
    sleep 1
done

rawmice_ticks=$(($(cpu_ticks "$rawmice_pid") - rawmice_before))
xinput_ticks=$(($(cpu_ticks "$xinput_pid") - xinput_before))
awk -v e="$events" -v r="$rawmice_ticks" -v x="$xinput_ticks" -v hz="$hz" 'BEGIN {
    rs = r / hz * 100000 / e; xs = x / hz * 100000 / e
    printf "events: %d XTest motions on %s\n", e, ENVIRON["DISPLAY"]
    printf "rawmice --input=x11:          %.3f CPU s per 100,000 events\n", rs
    printf "xinput test-xi2 --root:       %.3f CPU s per 100,000 events\n", xs
    if (xs > 0) printf "ratio rawmice / xinput:       %.1f\n", rs / xs
}'
