#!/usr/bin/env bash
# Builds VelmorithUpdate and starts it; with --demo, the rehearsal program against the
# simulated device instead. Installs what is missing first (Debian).
set -euo pipefail
cd "$(dirname "$0")"
# The window needs a display: said plainly here rather than by Qt after the build.
if [ "$(uname -s)" = Linux ] && [ -z "${QT_QPA_PLATFORM:-}" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: the window needs a display, and there is none (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
    echo "On a machine without one, run it on a virtual display: apt-get install xvfb, then xvfb-run -a ./run.sh" >&2
    exit 1
fi
. tools/setup.sh
velmorith_need "${VELMORITH_BUILD_PACKAGES[@]}"
program=VelmorithUpdate
if [ "${1:-}" = "--demo" ]; then
    program=VelmorithUpdateDemo
    shift
fi
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target "$program"
exec "build/bin/$program" "$@"
