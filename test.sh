#!/usr/bin/env bash
# Builds everything and runs every test: the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a bounded time, then the plain suite, all
# with Qt 5; then a plain build and the whole suite with Qt 6. Installs what is missing first
# (Debian). FUZZ_SECONDS sets the time per fuzz target.
set -euo pipefail
cd "$(dirname "$0")"
. tools/setup.sh
velmorith_need "${VELMORITH_BUILD_PACKAGES[@]}" "${VELMORITH_QT6_PACKAGES[@]}" clang libclang-rt-14-dev
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# Most tests wait on pseudo-terminals rather than compute, so CTest runs twice as many at once.

echo "== Sanitizer build (address, undefined), Qt 5"
cmake -S . -B build-asan -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_SANITIZE=ON -DVELMORITH_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j "$jobs"
UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$((jobs * 2))"

if [ -d fuzz ] && [ -f fuzz/CMakeLists.txt ] && grep -q add_executable fuzz/CMakeLists.txt; then
    echo "== Fuzz targets (${FUZZ_SECONDS:-30} s each)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_FUZZ=ON \
        -DFUZZ_SECONDS="${FUZZ_SECONDS:-30}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzz_targets
    ctest --test-dir build-fuzz --output-on-failure -L fuzz
fi

echo "== Plain build, Qt 5"
cmake -S . -B build -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$((jobs * 2))"

echo "== Plain build, Qt 6"
started=$(date +%s)
cmake -S . -B build-qt6 -G Ninja -DVELMORITH_QT_MAJOR=6 -DVELMORITH_WERROR=ON >/dev/null
cmake --build build-qt6 -j "$jobs"
ctest --test-dir build-qt6 --output-on-failure -j "$((jobs * 2))"
echo "== Qt 6 part: $(($(date +%s) - started)) s"
