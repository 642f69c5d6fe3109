# Sourced by the harness scripts (the wine checks, the real FTDI driver under QEMU): times, bounded
# waits, and the processes a script starts, ended by PID on every way out.
#   harness_track PID...        end this process with the script (TERM, then KILL after 5 s)
#   harness_end PID [SECONDS]   end a tracked process now, the same way (KILL after SECONDS, 5),
#                               and no longer track it
#   harness_on_exit COMMAND     run COMMAND on the way out too, before the tracked processes end
#   harness_wait SECONDS CMD... poll CMD every 0.1 s (HARNESS_POLL seconds, if set) until it
#                               succeeds; false once SECONDS have passed
#   harness_now_ms, harness_seconds MS ("12.3"), harness_since MS (seconds since MS, "12.3")
#   harness_fail TEXT...        says "<what> FAILED: TEXT" on stderr and exits 1 (HARNESS_WHAT names it)
#   harness_subshell            first thing in a background subshell: what it tracks from then on
#                               ends with it (bash resets the traps there, and the lists are copies)
#   harness_summary SUMMARY SAY FRAGMENT...  for each fragment that does not stand in the simulated
#                               device's summary as a whole item, calls SAY with a line about it
#   chroot_mount ROOT [DIR...]  /proc, /dev, /dev/pts, /sys, then each DIR at its own path in ROOT
#   chroot_unmount              undoes chroot_mount, the last first
#   chroot_mounts_under ROOT    mount points at or under ROOT, the deepest first
# Mounts are only ever made in a mount namespace of the script's own (unshare --mount).

harness_pids=()
harness_exit_commands=()

harness_now_ms() { echo $(($(date +%s%N) / 1000000)); }
harness_seconds() { printf '%d.%d' $(($1 / 1000)) $(($1 % 1000 / 100)); }
harness_since() { harness_seconds $(($(harness_now_ms) - $1)); }

harness_fail() {
    echo "${HARNESS_WHAT:-check} FAILED: $*" >&2
    exit 1
}

harness_track() { harness_pids+=("$@"); }
harness_on_exit() { harness_exit_commands+=("$*"); }

# Untracked once reaped: a PID the system hands out again is not ours to end.
harness_end() {
    local pid=$1 limit=${2:-5} i kept=()
    kill "$pid" 2>/dev/null || true
    for ((i = 0; i < limit * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for i in "${harness_pids[@]}"; do [ "$i" = "$pid" ] || kept+=("$i"); done
    harness_pids=("${kept[@]}")
}

harness_summary() {
    local summary=$1 say=$2 fragment
    shift 2
    for fragment in "$@"; do
        [[ "$summary" == *"$fragment,"* || "$summary" == *"$fragment;"* || "$summary" == *"; $fragment" ]] ||
            "$say" "device: '$fragment' expected; it says: $summary"
    done
}

harness_wait() {
    local limit=$1 deadline
    shift
    deadline=$(($(harness_now_ms) + ${limit%.*} * 1000))
    until "$@"; do
        [ "$(harness_now_ms)" -lt "$deadline" ] || return 1
        sleep "${HARNESS_POLL:-0.1}"
    done
}

# Ends whatever is left: the exit commands first (they may need the processes), then every tracked
# process, politely and then not.
harness_cleanup() {
    local command pid i
    for command in "${harness_exit_commands[@]}"; do eval "$command" || true; done
    harness_exit_commands=()
    for pid in "${harness_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for ((i = 0; i < 50; i++)); do
        local alive=no
        for pid in "${harness_pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=yes; done
        [ $alive = no ] && break
        sleep 0.1
    done
    for pid in "${harness_pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    harness_pids=()
}

harness_subshell() {
    harness_pids=()
    harness_exit_commands=()
    trap harness_cleanup EXIT
    trap 'exit 130' INT TERM HUP
}

chroot_mounted=()

chroot_mount() {
    local root=$1 dir
    shift
    for dir in /proc /dev /dev/pts /sys "$@"; do
        mkdir -p "$root$dir"
        mount --bind "$dir" "$root$dir" || return 1
        chroot_mounted+=("$root$dir")
    done
}

chroot_unmount() {
    local i
    for ((i = ${#chroot_mounted[@]} - 1; i >= 0; i--)); do
        umount "${chroot_mounted[$i]}" 2>/dev/null || umount -l "${chroot_mounted[$i]}" 2>/dev/null || true
    done
    chroot_mounted=()
}

chroot_mounts_under() {
    awk -v root="$1" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# A command that fails where set -e ends the script would end it without a word: the last one that
# failed in the script's own shell (not in a $(...) or a subshell) is named on the way out.
harness_failed_command=""
harness_exit() {
    [ "$1" = 0 ] || [ "$1" = 130 ] || [ -z "$harness_failed_command" ] ||
        echo "${HARNESS_WHAT:-check} FAILED: $harness_failed_command" >&2
    harness_cleanup
}
set -E
trap '[ "$BASH_SUBSHELL" != 0 ] || harness_failed_command="line $LINENO: '"'"'$BASH_COMMAND'"'"' exited $?"' ERR
trap 'harness_exit $?' EXIT
trap 'exit 130' INT TERM HUP
