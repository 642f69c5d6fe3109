#!/usr/bin/env bash
# The Debian 13 ("trixie") chroot with wine 10 that tools/windows.sh runs the Windows checks in.
#   bash tools/wine-chroot.sh ROOT [MIRROR]   makes ROOT (minbase, then wine), stamp written last
# Sourced (by tools/wine-checks.sh): chroot_mount / chroot_unmount.
# Mounts are made in a private mount namespace only (unshare --mount): the host never sees them,
# so a run that was killed leaves nothing mounted and `rm -rf build-windows` stays safe.

# What a complete chroot holds; a stamp that differs makes it again.
CHROOT_RECIPE="trixie minbase; wine wine64 (no recommends); apt cache removed"
CHROOT_STAMP=.velmorith-chroot

chroot_mounted=()

# chroot_mount ROOT [DIR...]: /proc, /dev, /dev/pts, /sys, then each DIR at its own path inside.
chroot_mount() {
    local root=$1 dir
    shift
    for dir in /proc /dev /dev/pts /sys "$@"; do
        mkdir -p "$root$dir"
        mount --bind "$dir" "$root$dir" || return 1
        chroot_mounted+=("$root$dir")
    done
}

# chroot_unmount: undoes chroot_mount, the last first; for every exit path (trap).
chroot_unmount() {
    local i
    for ((i = ${#chroot_mounted[@]} - 1; i >= 0; i--)); do
        umount "${chroot_mounted[$i]}" 2>/dev/null || umount -l "${chroot_mounted[$i]}" 2>/dev/null || true
    done
    chroot_mounted=()
}

# Mount points at or under ROOT in this namespace, the deepest first.
chroot_mounts_under() {
    awk -v root="$1" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    root=$(realpath -m "$1")
    mirror=${2:-http://deb.debian.org/debian}
    trap chroot_unmount EXIT
    trap 'exit 130' INT TERM HUP
    # debootstrap mounts /proc and /sys in the target itself: here they stay in this namespace.
    debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.log" 2>&1 ||
        { echo "debootstrap failed, see $root.log" >&2; exit 1; }
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    chroot_mount "$root"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive sh -c '
        apt-get update -qq &&
        apt-get install -y -qq --no-install-recommends wine wine64 >/dev/null &&
        apt-get clean && rm -rf /var/lib/apt/lists/*' >>"$root.log" 2>&1 ||
        { echo "installing wine in the chroot failed, see $root.log" >&2; exit 1; }
    chroot_unmount
    echo "$CHROOT_RECIPE" >"$root/$CHROOT_STAMP"
fi
