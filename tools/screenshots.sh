#!/usr/bin/env bash
# Pictures of the operator's window, taken from the rehearsal program (the real window and
# engine against the simulated Autoloader, paced at 38400 baud) on a virtual X display:
#   docs/window-start.png     the window as it opens
#   docs/window-updating.png  in the middle of an update: bar part-filled
#   docs/window-complete.png  the update done: bar full, completion text in the status bar
# Start and the two instruction boxes are clicked and answered as an operator would.
#
# Usage: tools/screenshots.sh [BUILD_DIR]     (default: build; JOBS=n for the build, default 1)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
case $build in /*) ;; *) build=$PWD/$build ;; esac
docs=$root/docs
demo=$build/bin/VelmorithUpdateDemo

# --- What the build and the pictures need: a virtual display, a pointer and keyboard, a
# grabber, fonts.
. "$root/tools/setup.sh"
velmorith_need "${VELMORITH_BUILD_PACKAGES[@]}" xvfb xdotool imagemagick fonts-dejavu-core

# --- The rehearsal program.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja
fi
cmake --build "$build" -j"${JOBS:-1}" --target VelmorithUpdateDemo

work=$(mktemp -d)
xvfb_pid=
demo_pid=
cleanup() {
    set +e
    # The rehearsal quits cleanly on SIGTERM and removes its sample image's folder.
    if [ -n "$demo_pid" ]; then
        kill "$demo_pid" 2>/dev/null
        wait "$demo_pid" 2>/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "screenshots: $*" >&2
    echo "--- rehearsal's debug output (last lines):" >&2
    grep -v -e '^String Len:' -e '^d$' "$work/demo.log" 2>/dev/null | tail -n 20 >&2 || true
    exit 1
}

# --- A virtual display of its own (Xvfb picks a free number), the screen of a small laptop.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -n 1 "$work/display")

QT_QPA_PLATFORM=xcb "$demo" >"$work/demo.out" 2>"$work/demo.log" &
demo_pid=$!

# Waits until a condition holds, up to $1 tenths of a second.
wait_for() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
main_window() { xdotool search --onlyvisible --name '^Autoloader Update' 2>/dev/null | head -n 1; }
# A message box: a visible window of the program other than the main window.
box_window() { xdotool search --onlyvisible --classname VelmorithUpdateDemo 2>/dev/null | grep -vx "$window" | head -n 1; }
has_box() { [ -n "$(box_window)" ]; }
no_box() { [ -z "$(box_window)" ]; }
has_window() { [ -n "$(main_window)" ]; }
blocks_sent() { grep -c '^String Len:' "$work/demo.log" || true; }
sent_at_least() { [ "$(blocks_sent)" -ge "$1" ]; }
verdict_seen() { grep -q '^Rehearsal flash check after start 1:' "$work/demo.log"; }
engine_ended() { grep -q '^Chain:' "$work/demo.log"; }

grab() {
    # Stripped, so that a picture that did not change stays the same file.
    import -window "$window" -strip "png:$1"
    echo "wrote ${1#"$root"/}"
}

wait_for 200 has_window || fail "the window did not appear"
window=$(main_window)
# Let it paint.
sleep 1
mkdir -p "$docs"
grab "$docs/window-start.png"

# Start, in the middle of the button (170, 10, 91 x 31 below the menu and tool bars).
xdotool mousemove --window "$window" 215 42 click 1
for box in 1 2; do
    wait_for 100 has_box || fail "instruction box $box did not appear"
    sleep 0.5
    # OK is the default button.
    xdotool mousemove --window "$(box_window)" 20 20 key Return
    wait_for 50 no_box || wait_for 50 has_box || fail "instruction box $box did not close"
done

# The image is 1024 blocks: grab a little under half-way.
wait_for 600 sent_at_least 420 || fail "the update did not get going"
grab "$docs/window-updating.png"

wait_for 900 verdict_seen || fail "the device was not told to start its application"
# The engine ends a second after "$MJAPP" (its "Chain:" line); the status text follows on the
# window's next 200 ms tick.
wait_for 50 engine_ended || fail "the update did not end"
sleep 0.6
grab "$docs/window-complete.png"
grep '^Rehearsal flash check after start 1:' "$work/demo.log"
grep -q '^Rehearsal flash check after start 1: OK' "$work/demo.log" || fail "the simulated flash is wrong"
