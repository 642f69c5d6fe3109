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
# Tests and fuzz targets leave nothing behind: they get a temporary directory of their own, which
# must be empty once they are done.
scratch=$(mktemp -d)
chmod 711 "$scratch" # a test runs the console program as an ordinary user too
runtime=$(mktemp -d)
trap 'rm -rf "$scratch" "$runtime"' EXIT
export TMPDIR=$scratch XDG_RUNTIME_DIR=$runtime
nothing_left() {
    if [ -n "$(ls -A "$scratch")" ]; then
        echo "test.sh: $1 left this behind in the temporary directory:" >&2
        ls -lA "$scratch" >&2
        exit 1
    fi
}
# Most tests wait on pseudo-terminals rather than compute, so CTest runs twice as many at once.

echo "== Sanitizer build (address, undefined), Qt 5"
cmake -S . -B build-asan -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_SANITIZE=ON -DVELMORITH_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j "$jobs"
UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$((jobs * 2))"
nothing_left "the sanitizer build's suite"

if [ -d fuzz ] && [ -f fuzz/CMakeLists.txt ] && grep -q add_executable fuzz/CMakeLists.txt; then
    echo "== Fuzz targets (${FUZZ_SECONDS:-30} s each)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_FUZZ=ON \
        -DFUZZ_SECONDS="${FUZZ_SECONDS:-30}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-fuzz -j "$jobs" --target fuzz_targets
    ctest --test-dir build-fuzz --output-on-failure -L fuzz
    nothing_left "the fuzz targets"
fi

echo "== Plain build, Qt 5"
cmake -S . -B build -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$((jobs * 2))"
nothing_left "the Qt 5 suite"

echo "== Plain build, Qt 6"
started=$(date +%s)
cmake -S . -B build-qt6 -G Ninja -DVELMORITH_QT_MAJOR=6 -DVELMORITH_WERROR=ON >/dev/null
cmake --build build-qt6 -j "$jobs"
ctest --test-dir build-qt6 --output-on-failure -j "$((jobs * 2))"
nothing_left "the Qt 6 suite"
echo "== Qt 6 part: $(($(date +%s) - started)) s"
