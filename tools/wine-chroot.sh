#!/usr/bin/env bash
# The Debian 13 ("trixie") chroot with wine 10 that tools/windows.sh runs the Windows checks in.
#   bash tools/wine-chroot.sh ROOT [MIRROR]   makes ROOT (minbase, then wine), stamp written last
# Sourced (by tools/windows.sh): what a complete chroot holds. The mount helpers are
# tools/harness.sh's; mounts are made in a private mount namespace only (unshare --mount): the host
# never sees them, so a run that was killed leaves nothing mounted and `rm -rf build-windows` stays safe.

# What a complete chroot holds; a stamp that differs makes it again.
CHROOT_RECIPE="trixie minbase; wine wine64 (no recommends); apt cache removed"
CHROOT_STAMP=.velmorith-chroot

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    . "$(dirname "$0")/harness.sh"
    root=$(realpath -m "$1")
    mirror=${2:-http://deb.debian.org/debian}
    harness_on_exit chroot_unmount
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
