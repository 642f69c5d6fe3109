#!/usr/bin/env bash
# The programs for the operators' Windows PCs: cross-built with MinGW-w64 against the Qt for
# Windows (warnings as errors), packaged for the bench PC (a folder and its zip), and checked
# under wine, one wine server for all the checks:
#  - every DLL the programs load is in the package or comes with Windows;
#  - the window starts and names its program path and folder in Windows form; a picture of it
#    as Windows draws it;
#  - from a folder outside the ANSI code page, the image beside the program is found;
#  - velmorith-flash on a COM port linked to a pseudo-terminal: a refused image exits 3 with
#    nothing sent, a device that never answers exits 4 after the erase arrived byte for byte,
#    a COM port that does not exist exits 2.
# The Qt for Windows: $QT_WINDOWS (a tarball, or an unpacked folder), else the tarball in
# ../shared/windows/ (beside this repository or the one it was cloned from). Everything goes
# into build-windows/. Installs what is missing (Debian).
# --screenshot FILE: keep the picture there too (docs/window-windows.png).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh
screenshot=""
[ "${1:-}" = "--screenshot" ] && screenshot=$(realpath -m "$2")
velmorith_need cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 xvfb x11-utils \
    imagemagick zip python3
started=$(date +%s)
work=$PWD/build-windows
mkdir -p "$work"

step() { echo "== Windows: $*"; }
fail() { echo "Windows check FAILED: $*" >&2; exit 1; }

step "Qt for Windows"
qt_source=$(velmorith_windows_qt)
[ -n "$qt_source" ] || fail "no Qt for Windows: set QT_WINDOWS, or put ../shared/windows/qt-5.15.8-mingw64.tar.xz beside the repository"
if [ -d "$qt_source" ]; then
    qt=$(cd "$qt_source" && pwd)
else
    [ -f "$qt_source" ] || fail "no Qt for Windows at $qt_source (set QT_WINDOWS)"
    # Unpacked once per tarball; never under /opt, where the DLLs' built-in plugin path points
    # and would hide a plugin missing from the package.
    stamp="$(realpath "$qt_source") $(stat -c '%s %Y' "$qt_source")"
    if [ "$(cat "$work/qt/.from" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$work/qt" && mkdir -p "$work/qt"
        tar -C "$work/qt" -xJf "$qt_source"
        echo "$stamp" >"$work/qt/.from"
    fi
    config=$(find "$work/qt" -path '*/lib/cmake/Qt5/Qt5Config.cmake' | head -n 1)
    [ -n "$config" ] || fail "no Qt 5 in $qt_source"
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
  Device Manager > Ports (COM & LPT) > USB Serial Port (COMn) > Properties > Port Settings >
  Advanced... > Latency Timer (msec): 1 > OK. Windows keeps it per port.
EOF
(cd "$work" && zip -qr "$name.zip" "$name")

step "wine"
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine decodes the command line by the locale: UTF-8, so that folder names arrive whole.
export LC_ALL=C.UTF-8
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT
"$wineserver" -k 2>/dev/null || true
# One server for all the checks, up until the end.
setsid "$wineserver" -p </dev/null >/dev/null 2>&1 &
"$wine" wineboot -i >/dev/null 2>&1
# Wine passes no QT_* variable from here: the window's debug stream goes to stderr by the registry.
"$wine" reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
winpath() { echo "Z:$1" | tr / '\\'; }

step "check: what the programs load"
system32=$WINEPREFIX/drive_c/windows/system32
for binary in "$package"/*.exe "$package"/*.dll "$package"/*/*.dll; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p'); do
        [ -n "$(find "$package" "$system32" -maxdepth 1 -iname "$dll" | head -n 1)" ] ||
            fail "$(basename "$binary") needs $dll, which is neither in the package nor part of Windows"
    done
done

step "check: the window starts"
# A display of its own: Xvfb picks a free number and says it once it is ready.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=:$(cat "$work/display")
DISPLAY=$display "$wine" "$package/VelmorithUpdate.exe" >/dev/null 2>"$work/window.err" &
window=$!
pids+=($window)
for _ in $(seq 300); do
    xwininfo -display "$display" -root -tree 2>/dev/null | grep -q '"Autoloader Update"' &&
        [ "$(grep -c . "$work/window.err")" -ge 2 ] && break
    sleep 0.1
done
expected=$(printf '%s\n%s\\' "$(winpath "$package/VelmorithUpdate.exe")" "$(winpath "$package")")
actual=$(head -n 2 "$work/window.err" | tr -d '\r')
[ "$actual" = "$expected" ] || fail "the window's first lines: expected
$expected
got
$actual"
echo "$actual"
kill "$window" 2>/dev/null || true
wait "$window" 2>/dev/null || true
# The picture: in a wine desktop, which draws the frame and caption as Windows does.
DISPLAY=$display "$wine" explorer /desktop=Bench,470x490 "$(winpath "$package/VelmorithUpdate.exe")" >/dev/null 2>&1 &
pids+=($!)
frame=""
for _ in $(seq 300); do
    frame=$(xwininfo -display "$display" -root -tree 2>/dev/null |
        sed -n 's/^ *\(0x[0-9a-f]*\) "Autoloader Update".*/\1/p' | head -n 1)
    [ -n "$frame" ] && break
    sleep 0.1
done
[ -n "$frame" ] || fail "no window in the wine desktop"
sleep 3 # drawn
import -display "$display" -window "$frame" "$work/window-windows.png"
[ -n "$screenshot" ] && cp "$work/window-windows.png" "$screenshot"
"$wine" taskkill /f /im VelmorithUpdate.exe >/dev/null 2>&1 || true

if [[ " ${targets[*]} " == *" velmorith-flash "* ]]; then
    step "check: the console program on a COM port with a pseudo-terminal behind it"
    wire=$work/com9.bin
    : >"$wire"
    coproc RECORDER { exec python3 tools/ptyrecord.py "$wire"; }
    pids+=($RECORDER_PID)
    read -r slave <&"${RECORDER[0]}"
    ln -sfn "$slave" "$WINEPREFIX/dosdevices/com9"
    # What was sent, and nothing more: everything written before a mark on the pseudo-terminal
    # has arrived once the mark has.
    sent() {
        printf '\001' >"$slave"
        for _ in $(seq 100); do grep -q $'\001' "$wire" && break; sleep 0.05; done
        tr -d '\001' <"$wire"
        : >"$wire"
    }
    flash() {
        local code=0
        "$wine" "$@" >"$work/flash.out" 2>"$work/flash.err" || code=$?
        echo "$code"
    }
    good=$work/VelmorithAL_full.bin
    head -c $((0x4000 + 0x800)) /dev/urandom >"$good"
    head -c $((0x4000)) /dev/urandom >"$work/small.bin"

    code=$(flash "$package/velmorith-flash.exe" --port COM9 --image "$(winpath "$work/small.bin")")
    [ "$code" = 3 ] && [ -z "$(sent)" ] || fail "refused image: exit $code, $(cat "$work/flash.out")"
    echo "refused image: exit 3, nothing sent: $(tail -n 1 "$work/flash.out" | tr -d '\r')"

    begun=$(date +%s%N)
    code=$(flash "$package/velmorith-flash.exe" --port COM9 --image "$(winpath "$good")" --give-up-after 1)
    took=$((($(date +%s%N) - begun) / 1000000))
    wired=$(sent)
    [ "$code" = 4 ] && [ "$wired" = '$MERASE,4000,C000*5DCA' ] ||
        fail "silent device: exit $code, sent '$wired', $(cat "$work/flash.out")"
    echo "silent device: exit 4 after $took ms, sent $wired"

    code=$(flash "$package/velmorith-flash.exe" --port COM42 --image "$(winpath "$good")")
    [ "$code" = 2 ] || fail "no such port: exit $code, $(cat "$work/flash.out")"
    echo "no such port: exit 2: $(tail -n 1 "$work/flash.out" | tr -d '\r')"

    step "check: a folder outside the ANSI code page"
    # Windows hands argv[0] over in the ANSI code page, in which "Ελληνικά" does not exist.
    folder='C:\Prüfstand\Ελληνικά'
    unix=$WINEPREFIX/drive_c/Prüfstand/Ελληνικά
    rm -rf "$WINEPREFIX/drive_c/Prüfstand" && mkdir -p "$unix" && cp -r "$package"/. "$unix/"
    cp "$good" "$unix/VelmorithAL_full.bin"
    code=$(flash "$folder\\velmorith-flash.exe" --port COM9 --give-up-after 1)
    wired=$(sent)
    log=$(sed -n 's/^Log of this update: //p' "$work/flash.out" | tr -d '\r' | sed 's/^C:/drive_c/; s/\\/\//g')
    header=""
    [ -n "$log" ] && header=$(grep -m 1 '^Image: ' "$WINEPREFIX/$log" || true)
    [ "$code" = 4 ] && [ "$wired" = '$MERASE,4000,C000*5DCA' ] &&
        [[ "$header" == "Image: $folder\\VelmorithAL_full.bin, 18432 bytes, SHA-256 "* ]] ||
        fail "image beside the program in $folder: exit $code, sent '$wired', $(cat "$work/flash.out"), log: $header"
    echo "$header"
    exec {RECORDER[1]}>&-
fi

echo "== Windows: package $package.zip ($(du -k "$package.zip" | cut -f1) KiB), checks passed in $(($(date +%s) - started)) s"
