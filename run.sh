#!/usr/bin/env bash
# Builds VelmorithUpdate and starts it; with --demo, the rehearsal program against the
# simulated device instead. Installs what is missing first (Debian).
set -euo pipefail
cd "$(dirname "$0")"
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
