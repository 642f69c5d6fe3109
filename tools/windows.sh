#!/usr/bin/env bash
# The programs for the operators' Windows PCs: cross-built with MinGW-w64 against the Qt for
# Windows (warnings as errors), packaged for the bench PC (a folder and its zip), and checked
# under wine 10 in a Debian 13 chroot (build-windows/trixie, made once), one wine server for all
# the checks (tools/wine-checks.sh):
#  - every DLL the programs load is in the package or comes with Windows;
#  - velmorith-flash on COM ports linked to the simulated device (velmorith-sim, on the host)
#    through Qt's Windows serial code: whole updates (also through the erase cycle, lost answers
#    and a pulled cable), a silent device, a refused image, a port that does not exist; from the
#    package folder and from one outside the ANSI code page, side by side;
#  - beside them, the window driven with the pointer and keys (tools/wine-window.sh): Start, its
#    search for the FTDI port through Windows' port list (the FTDI driver's entries in the
#    registry), whole updates, no FTDI port, a choice of two, a pulled cable; a picture at the end.
# Where the chroot cannot be made (no root, no debootstrap, no archive), the checks that need
# nothing received run under the host's wine instead. VELMORITH_DEBIAN_MIRROR: the archive.
# The Qt for Windows: $QT_WINDOWS (a tarball, or an unpacked folder), else the tarball in
# ../shared/windows/ (beside this repository or the one it was cloned from). Everything goes
# into build-windows/. Installs what is missing (Debian).
# --screenshot FILE: keep the window's picture there too (docs/window-windows.png).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
. tools/harness.sh
HARNESS_WHAT="Windows check"
screenshot=""
[ "${1:-}" = "--screenshot" ] && screenshot=$(realpath -m "$2")
velmorith_need "${VELMORITH_BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 xvfb \
    x11-utils xdotool imagemagick tesseract-ocr tesseract-ocr-eng zip
started=$(date +%s)
work=$PWD/build-windows
mkdir -p "$work"

# Each step says how long the one before took.
step_began=""
step() {
    [ -z "$step_began" ] || echo "($(harness_since "$step_began") s)"
    step_began=$(harness_now_ms)
    echo "== Windows: $*"
}

step "Qt for Windows"
qt_source=$(velmorith_windows_qt)
[ -n "$qt_source" ] || harness_fail "no Qt for Windows: set QT_WINDOWS, or put ../shared/windows/qt-5.15.8-mingw64.tar.xz beside the repository"
if [ -d "$qt_source" ]; then
    qt=$(cd "$qt_source" && pwd)
else
    [ -f "$qt_source" ] || harness_fail "no Qt for Windows at $qt_source (set QT_WINDOWS)"
    # Unpacked once per tarball; never under /opt, where the DLLs' built-in plugin path points
    # and would hide a plugin missing from the package.
    stamp="$(realpath "$qt_source") $(stat -c '%s %Y' "$qt_source")"
    if [ "$(cat "$work/qt/.from" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$work/qt" && mkdir -p "$work/qt"
        tar -C "$work/qt" -xJf "$qt_source"
        echo "$stamp" >"$work/qt/.from"
    fi
    config=$(find "$work/qt" -path '*/lib/cmake/Qt5/Qt5Config.cmake' | head -n 1)
    [ -n "$config" ] || harness_fail "no Qt 5 in $qt_source"
    qt=$(dirname "$(dirname "$(dirname "$(dirname "$config")")")")
fi
echo "$qt"

step "build"
export VELMORITH_WINDOWS_QT=$qt
cmake -S . -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVELMORITH_WERROR=ON -DVELMORITH_QT_MAJOR=5 -DQt5_DIR="$qt/lib/cmake/Qt5" >/dev/null
targets=(VelmorithUpdate)
[ -f cli/CMakeLists.txt ] && targets+=(velmorith-flash)
cmake --build "$work/build" -j "$(nproc)" --target "${targets[@]}"

step "package"
version=$(sed -n 's/^project(VelmorithUpdate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=VelmorithUpdate-$version-win64
package=$work/$name
rm -rf "$package" "$package.zip"
mkdir -p "$package/platforms" "$package/styles"
for target in "${targets[@]}"; do
    x86_64-w64-mingw32-strip -o "$package/$target.exe" "$work/build/bin/$target.exe"
done
for module in Core Gui Widgets SerialPort; do cp "$qt/bin/Qt5$module.dll" "$package/"; done
cp "$qt/plugins/platforms/qwindows.dll" "$package/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$package/styles/"
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
# Debian ships the MinGW runtime with its debugging symbols: 24 MiB that the bench PC does not need.
for dll in "$runtime/libstdc++-6.dll" "$runtime/libgcc_s_seh-1.dll" /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll; do
    x86_64-w64-mingw32-strip --strip-unneeded -o "$package/$(basename "$dll")" "$dll"
done
sed 's/$/\r/' >"$package/README.txt" <<EOF
VelmorithUpdate $version for 64-bit Windows
=========================================

VelmorithUpdate.exe   the update window: press Start and follow the two boxes.
velmorith-flash.exe   the same update from a console or a script (velmorith-flash --help).

Keep this folder together: the programs need the DLLs and the platforms and styles folders
beside them. Copy the whole folder to the bench PC, e.g. C:\\Tools\\VelmorithUpdate.

The firmware image
  Put VelmorithAL_full.bin into this folder, beside VelmorithUpdate.exe. The programs refuse,
  before anything is erased, an image that is missing, holds nothing beyond 16384 bytes, or is
  larger than the device's 64 KiB. velmorith-flash can be given another file with --image.

The update logs
  Every update writes a log: %LOCALAPPDATA%\\VelmorithUpdate\\logs (the newest 100 are kept).
  After a failed update, send the newest log to the engineers. The window's status bar
  tooltip names the log of the update just finished.

The FTDI latency timer (makes the update about a third faster)
  The FTDI cable holds each short answer of the device for its latency timer, 16 ms by default.
  The programs read it from the driver and measure it; when it costs time, the end of the
  update says how much. Only an administrator can lower it:
  Device Manager > Ports (COM & LPT) > USB Serial Port (COMn) > Properties > Port Settings >
  Advanced... > Latency Timer (msec): 1 > OK. Windows keeps it per port.
EOF
(cd "$work" && zip -qr "$name.zip" "$name")

step "the simulated device and the modem-line shim (host builds)"
# build/ is test.sh's; made here when missing, so that this script runs on its own.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja -DVELMORITH_QT_MAJOR=5 -DVELMORITH_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target velmorith-sim
sim=$PWD/build/bin/velmorith-sim
shim=$work/wine-ptymodem.so
gcc -shared -fPIC -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror -o "$shim" tools/wine-ptymodem.c
# It goes into an older or newer Debian than the one it is built on: nothing past glibc 2.34.
newest=$(objdump -T "$shim" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)
[ "$(printf '%s\nGLIBC_2.34\n' "$newest" | sort -V | tail -n 1)" = GLIBC_2.34 ] || harness_fail "the shim needs $newest"

step "wine 10: the Debian 13 chroot"
. tools/wine-chroot.sh
root=$work/trixie
mirror=${VELMORITH_DEBIAN_MIRROR:-http://deb.debian.org/debian}
no_chroot=""
if [ "$(id -u)" != 0 ]; then
    no_chroot="not root"
elif ! unshare --mount --propagation private true 2>/dev/null; then
    no_chroot="no mount namespace to be had"
elif [ "$(cat "$root/$CHROOT_STAMP" 2>/dev/null)" = "$CHROOT_RECIPE" ]; then
    echo "$root (made before)"
elif ! velmorith_need debootstrap wget >/dev/null 2>&1; then
    no_chroot="debootstrap cannot be installed"
elif ! timeout 60 wget -q -T 20 -t 2 -O /dev/null "$mirror/dists/trixie/Release"; then
    no_chroot="$mirror cannot be reached"
else
    # Mounts are only ever made in a namespace of their own; one left here by other means goes first.
    for mount in $(chroot_mounts_under "$root"); do umount -l "$mount" || true; done
    [ -z "$(chroot_mounts_under "$root")" ] || harness_fail "still mounted under $root: $(chroot_mounts_under "$root")"
    begun=$(date +%s)
    rm -rf "$root" "$work/wine10"
    mkdir -p "$root"
    if unshare --mount --propagation private bash tools/wine-chroot.sh "$root" "$mirror"; then
        echo "$root made in $(($(date +%s) - begun)) s ($(du -sm "$root" | cut -f1) MB)"
    else
        no_chroot="making it failed ($root.log)"
    fi
fi

step "the checks"
export WINCHECK_WORK=$work WINCHECK_PACKAGE=$package WINCHECK_SIM=$sim WINCHECK_SCREENSHOT=$screenshot
if [ -z "$no_chroot" ]; then
    WINCHECK_ROOT=$root WINCHECK_SHIM=$shim unshare --mount --propagation private bash tools/wine-checks.sh
else
    echo "== Windows: no wine 10 chroot ($no_chroot): no whole update is checked; the checks that need nothing received run under the host's wine"
    velmorith_need wine64
    bash tools/wine-checks.sh
fi

echo "($(harness_since "$step_began") s)"
echo "== Windows: package $package.zip ($(du -k "$package.zip" | cut -f1) KiB), checks passed in $(($(date +%s) - started)) s"
