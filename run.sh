#!/usr/bin/env bash
# Builds VelmorithUpdate and starts it. Installs what is missing first (Debian).
set -euo pipefail
cd "$(dirname "$0")"
. tools/setup.sh
velmorith_need "${VELMORITH_BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target VelmorithUpdate
exec build/bin/VelmorithUpdate "$@"
