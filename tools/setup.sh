# Sourced by run.sh and test.sh: installs the Debian packages that are missing, once.
velmorith_need() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        local sudo=""
        if [ "$(id -u)" -ne 0 ]; then
            command -v sudo >/dev/null 2>&1 || {
                echo "Missing Debian packages: ${missing[*]}. Install them as root (su -c 'apt-get update && apt-get install ${missing[*]}'), then run this again." >&2
                exit 1
            }
            sudo="sudo"
        fi
        echo "Installing: ${missing[*]}"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}
VELMORITH_BUILD_PACKAGES=(build-essential cmake ninja-build qtbase5-dev libqt5serialport5-dev)
VELMORITH_QT6_PACKAGES=(qt6-base-dev qt6-serialport-dev qt6-base-dev-tools)

# The Qt for Windows that tools/windows.sh builds with: $QT_WINDOWS, else the tarball in the
# shared folder beside this repository or beside the one it was cloned from. Prints nothing
# when there is none.
velmorith_windows_qt() {
    if [ -n "${QT_WINDOWS:-}" ]; then
        [ -e "$QT_WINDOWS" ] && echo "$QT_WINDOWS"
        return 0
    fi
    local origin
    origin=$(git config --get remote.origin.url 2>/dev/null || true)
    for top in "$PWD" "${origin#file://}"; do
        [ -n "$top" ] && [ -f "$top/../shared/windows/qt-5.15.8-mingw64.tar.xz" ] &&
            realpath "$top/../shared/windows/qt-5.15.8-mingw64.tar.xz" && return 0
    done
    return 0
}
