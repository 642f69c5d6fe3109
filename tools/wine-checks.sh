#!/usr/bin/env bash
# The Windows package's checks under wine, one wine server for all of them; tools/windows.sh
# calls it with these set:
#   WINCHECK_WORK        build-windows/ (absolute)
#   WINCHECK_PACKAGE     the package folder
#   WINCHECK_SIM         velmorith-sim, the simulated device (host build)
#   WINCHECK_ROOT        the trixie chroot with wine 10; this script then runs in a mount namespace
#                        of its own (unshare --mount) and runs whole updates. Empty: the host's
#                        wine, and only the checks that need nothing received.
#   WINCHECK_SHIM        wine-ptymodem.so, preloaded into wine in the chroot
#   WINCHECK_SCREENSHOT  a copy of the window's picture at the end of an update goes here too (may
#                        be empty)
# The device runs on the host, on a pseudo-terminal that wine reaches as a COM port. The console
# sets (velmorith-flash on COM5 and COM6) and the window's set (tools/wine-window.sh, on COM9 and
# COM10) run side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/harness.sh
. tools/wine-window.sh
HARNESS_WHAT="Windows check"

work=$WINCHECK_WORK
package=$WINCHECK_PACKAGE
sim=$WINCHECK_SIM
root=${WINCHECK_ROOT:-}
checks=$work/checks
rm -rf "$checks"
mkdir -p "$checks"

winpath() { echo "Z:$1" | tr / '\\'; }

# A display of its own: Xvfb picks a free number and says it once it is ready. Wine in the chroot
# reaches it through the abstract socket, which a chroot shares. Every wine program is given it:
# the first to need the desktop (Qt's console programs too) starts it on its display, for all.
# Qt centres the window on a screen of 1024x768, whatever its size: this one holds it whole.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$checks/display" >/dev/null 2>&1 &
harness_track $!
harness_wait 60 test -s "$checks/display" || harness_fail "Xvfb did not start"
display=:$(cat "$checks/display")

# Wine decodes file names and the command line by the locale: UTF-8, so that folder names arrive whole.
wine_env=(PATH=/usr/bin:/bin WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=" LC_ALL=C.UTF-8 "DISPLAY=$display")
# Every wine command is bounded, so that a hang fails its check instead of stopping CI.
wine_limit=300
if [ -n "$root" ]; then
    prefix=$work/wine10
    tmp=$root/tmp
    # XDG_RUNTIME_DIR: wine 10's Wayland driver complains on stderr without one.
    wine_user=root
    wine_env+=(HOME=/root USER=root "WINEPREFIX=$prefix" "LD_PRELOAD=$WINCHECK_SHIM" "XDG_RUNTIME_DIR=$work/wine10-run")
    mkdir -p -m 0700 "$work/wine10-run"
    server_command=(chroot "$root" /usr/bin/env -i "${wine_env[@]}")
    # in_wine DIR [NAME=VALUE...] COMMAND...: in the chroot, from DIR (the same path on both sides).
    in_wine() {
        local dir=$1
        shift
        timeout -k 10 "$wine_limit" chroot "$root" /usr/bin/env -C "$dir" -i "${wine_env[@]}" "$@"
    }
else
    prefix=$work/wine
    tmp=/tmp
    wine_user=$(id -un)
    wine_env+=("HOME=$HOME" "USER=$wine_user" "WINEPREFIX=$prefix")
    server_command=(env -i "${wine_env[@]}")
    in_wine() {
        local dir=$1
        shift
        (cd "$dir" && timeout -k 10 "$wine_limit" env -i "${wine_env[@]}" "$@")
    }
fi
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64

began=$(harness_now_ms)
if [ -n "$root" ]; then
    # The package, the prefix, the device's files and the shim: build-windows/ at its own path.
    chroot_mount "$root" "$work" || harness_fail "cannot bind-mount into $root"
fi
mkdir -p "$prefix"
# Names of devices a killed run left behind: they lead to ptys that are gone (or another program's).
for link in "$prefix"/dosdevices/com*; do
    if [[ $(readlink "$link") == /dev/pts/* ]]; then rm -f "$link"; fi
done
# One server for all the checks, up until the end. It takes the first pty it opens as its
# controlling terminal, and Debian's build dumps every object when that hangs up: stderr to a file.
# A server left by a run that was killed goes first. This one outlives a pause between two
# programs, but not a run that is killed for long.
"${server_command[@]}" "$wineserver" -k 2>/dev/null || true
setsid "${server_command[@]}" "$wineserver" -f -p300 </dev/null >/dev/null 2>"$work/wineserver.log" &
server=$!
# Its wine programs end with it (the exit commands run before the tracked processes end).
harness_on_exit '"${server_command[@]}" "$wineserver" -k 2>/dev/null; wait "$server" 2>/dev/null'
harness_track "$server"
harness_on_exit chroot_unmount
# Its socket, once it is ready: in /tmp/.wine-UID (wine 8) or a /tmp/wine-XXXXXX of its own (wine 10).
server_id=server-$(stat -c '%d %i' "$prefix" | awk '{ printf "%x-%x", $1, $2 }')
server_up() {
    local socket
    for socket in "$tmp/.wine-$(id -u)/$server_id/socket" "$tmp"/wine-*/"$server_id"/socket; do
        [ -S "$socket" ] && return 0
    done
    return 1
}
harness_wait 60 server_up || harness_fail "no wine server came up (see $work/wineserver.log)"
in_wine / "$wine64" wineboot -i >/dev/null 2>&1 || harness_fail "wineboot -i failed"
# Wine passes no QT_* variable from here: the window's debug stream goes to stderr by the registry.
in_wine / "$wine64" reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
# No window manager: wine then draws the windows' frames and captions itself, as Windows does.
in_wine / "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
echo "wine $(in_wine / "$wine64" --version 2>/dev/null | tr -d '\r'), prefix ready in $(harness_since "$began") s"

echo "== Windows: check: what the programs load"
system32=$prefix/drive_c/windows/system32
for binary in "$package"/*.exe "$package"/*.dll "$package"/*/*.dll; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p'); do
        [ -n "$(find "$package" "$system32" -maxdepth 1 -iname "$dll" | head -n 1)" ] ||
            harness_fail "$(basename "$binary") needs $dll, which is neither in the package nor part of Windows"
    done
done

# --- velmorith-flash against the simulated device on a COM port ----------------------------------

image=$work/VelmorithAL_full.bin
# Ends mid-block, so that the last block is short and the fill runs past the image's end.
head -c $((0x4000 + 0x800 + 5)) /dev/urandom >"$image"
image_bytes=$(($(stat -c %s "$image") - 0x4000))
image_sha=$(sha256sum "$image" | cut -d' ' -f1)
blocks=$(((image_bytes + 31) / 32))
fill_end=$((($(stat -c %s "$image") + 4095) / 4096 * 4096))
blocks=$((blocks + (fill_end - 0x4000 - blocks * 32) / 32))
head -c $((0x4000)) /dev/urandom >"$checks/small.bin"
printf '$MERASE,4000,C000*5DCA\n' >"$checks/erase.wire"

# device_start DIR NAME COM OPTION...: the device on a new pty, plugged in as COM: it makes the
# name dosdevices/COM itself and takes it away as it hangs up or ends, as Windows does with a pulled
# adapter's port, so that the name never leads to a pty handed out since (to another set's device,
# or to any program). Sets device_pid.
declare -A device_link device_pty
device_start() {
    local dir=$1 name=$2 com=$3 slave="" link=$prefix/dosdevices/$3
    shift 3
    [ -p "$dir/stdin" ] || mkfifo "$dir/stdin"
    # stdin open at both ends, by the device alone: it ends on SIGTERM.
    "$sim" --link "$link" "$@" <>"$dir/stdin" >"$dir/$name.device" 2>"$dir/$name.device-err" &
    device_pid=$!
    device_link[$device_pid]=$link
    # Its first line, once the name is made, is its pty.
    harness_wait 60 device_up
    if [[ $slave != /dev/pts/* ]]; then
        device_error="the device did not start: $(cat "$dir/$name.device-err")"
        return 1
    fi
    device_pty[$device_pid]=$slave
    [ "$(readlink "$link")" = "$slave" ] || {
        device_error="dosdevices/$com leads to '$(readlink "$link")', not to the device's $slave"
        return 1
    }
}
device_up() {
    slave=$(head -n 1 "$dir/$name.device" 2>/dev/null)
    [[ $slave == /dev/pts/* ]] || ! kill -0 "$device_pid" 2>/dev/null
}

# device_end PID: the device ends (it takes in what is on its way, sums up and takes its name away);
# one that has to be killed cannot, and its name goes here. A device ended before is left alone.
device_end() {
    local pid=$1 link=${device_link[$1]:-} pty=${device_pty[$1]:-}
    [ -n "$link" ] || return 0
    harness_end "$pid" 30
    unset "device_link[$pid]" "device_pty[$pid]"
    if [ -n "$pty" ] && [ "$(readlink "$link")" = "$pty" ]; then
        echo "the device on $pty was killed: it did not end within 30 s" >&2
        rm -f "$link"
    fi
}

# device_stop DIR NAME: ends the device; its summary goes to $summary.
device_stop() {
    device_end "$device_pid"
    summary=$(sed -n 2p "$1/$2.device")
}

echo "== Windows: check: velmorith-flash on COM9, a simulated device behind it"
started=$(harness_now_ms)
device_start "$checks" refused com9 --record "$checks/refused.wire" || harness_fail "refused image: $device_error"
code=0
in_wine "$package" "$wine64" "$package/velmorith-flash.exe" --port COM9 \
    --image "$(winpath "$checks/small.bin")" >"$checks/refused.out" 2>&1 || code=$?
device_stop "$checks" refused
[ "$code" = 3 ] && [ ! -s "$checks/refused.wire" ] && [[ $summary == *"bytes received 0,"* ]] ||
    harness_fail "refused image: exit $code, $(tr -d '\r' <"$checks/refused.out"), device: $summary"
echo "refused image: exit 3, nothing sent: $(tail -n 1 "$checks/refused.out" | tr -d '\r') ($(harness_since "$started") s)"

started=$(harness_now_ms)
code=0
in_wine "$package" "$wine64" "$package/velmorith-flash.exe" --port COM42 \
    --image "$(winpath "$image")" >"$checks/com42.out" 2>&1 || code=$?
[ "$code" = 2 ] || harness_fail "no such port: exit $code, $(tr -d '\r' <"$checks/com42.out")"
echo "no such port: exit 2: $(tail -n 1 "$checks/com42.out" | tr -d '\r') ($(harness_since "$started") s)"

# --- The sets of checks side by side: two of velmorith-flash, one per folder, and the window's -----

# What a set's check says, for the set in $lane, the check in $check (ok: none said so far).
problem() {
    echo "$check: $*" >>"$lane/failures"
    ok=no
}
report() {
    if [ "$ok" = yes ]; then
        echo "$check: $* ($(harness_seconds "$took") s)" >>"$lane/report"
    else
        echo "$check: FAILED ($(harness_seconds "$took") s), see below" >>"$lane/report"
    fi
}
start() { device_start "$lane" "$@" || problem "$device_error"; }
# expect_device FRAGMENT...: each stands in the device's summary, as a whole item.
expect_device() { harness_summary "$summary" problem "$@"; }
count() { sed -n "s/.*$1 \([0-9]*\).*/\1/p" <<<"$summary" | head -n 1; }
# lines_like PATTERN FILE: how many of its lines match (0 for a file never written).
lines_like() { cat "$2" 2>/dev/null | grep -c -- "$1" || true; }

# A set: LANE COM FOLDER EXE [IMAGE OPTION...]. Writes LANE/report (a line per check) and
# LANE/failures; returns once all its checks have run.
run_set() {
    local lane=$1 com=$2 folder=$3 exe=$4
    shift 4
    local image_option=("$@") ok check name code took outcome log logfile summary device_pid
    mkdir -p "$lane"
    : >"$lane/report"
    : >"$lane/failures"
    trap '[ -n "${device_pid:-}" ] && kill "$device_pid" 2>/dev/null; exit 1' TERM

    # flash NAME OPTION...: velmorith-flash from its folder on the set's port.
    flash() {
        name=$1
        shift
        local begun
        begun=$(harness_now_ms)
        code=0
        in_wine "$folder" "$wine64" "$exe" --port "${com^^}" "${image_option[@]}" "$@" \
            >"$lane/$name.out" 2>"$lane/$name.err" || code=$?
        took=$(($(harness_now_ms) - begun))
        echo "$code $took" >"$lane/$name.code"
        flash_read "$name"
    }
    # flash_read NAME: what a run of flash left in its files (one run in the background, say).
    flash_read() {
        name=$1
        read -r code took <"$lane/$name.code"
        tr -d '\r' <"$lane/$name.out" >"$lane/$name.stdout"
        outcome=$(grep . "$lane/$name.stdout" | tail -n 1 || true)
        log=$(sed -n 's/^Log of this update: //p' "$lane/$name.stdout")
        logfile=$prefix/$(echo "$log" | sed 's/^[Cc]:/drive_c/; s/\\/\//g')
    }
    expect_exit() {
        [[ " $* " == *" $code "* ]] || problem "exit $code, expected $*; stdout: $(tr '\n' '|' <"$lane/$name.stdout")"
    }
    expect_outcome() { [[ $outcome == $1 ]] || problem "last line on stdout: '$outcome', expected '$1'"; }
    # expect_log OUTCOME: the log named on stdout is in the prefix and ends with the outcome.
    expect_log() {
        if [ -z "$log" ]; then
            problem "no 'Log of this update:' line on stdout"
        elif [ ! -f "$logfile" ]; then
            problem "the log $log is not in the prefix ($logfile)"
        else
            # Written in text mode: on Windows its lines end in CR LF.
            local last
            last=$(tail -n 1 "$logfile" | tr -d '\r')
            [[ $last =~ ^\ *[0-9]+\ \ Outcome:\ $1 ]] || problem "the log ends with '$last', expected 'Outcome: $1...'"
            if [ ${#image_option[@]} = 0 ]; then
                local header expected_header="Image: ${exe%\\*}\\VelmorithAL_full.bin, $((image_bytes + 0x4000)) bytes, SHA-256 $image_sha"
                header=$(grep -m 1 '^Image: ' "$logfile" | tr -d '\r' || true)
                [ "$header" = "$expected_header" ] || problem "log: '$header', expected '$expected_header'"
            fi
        fi
    }
    log_count() { if [ -f "$logfile" ]; then grep -c -- "$1" "$logfile" || true; else echo 0; fi; }

    if [ "$whole" = yes ]; then
        check="a. whole update, hung up after the start"
        ok=yes
        start a "$com" --image "$image" --hang-up-after-start
        flash a
        device_stop "$lane" a
        expect_exit 0
        expect_device "erases 1" "blocks programmed $blocks" "application starts 1" "flash matches the image"
        expect_outcome "Update complete: $image_bytes bytes in * s"
        expect_log "update complete after "
        # The link ending once "$MJAPP" is out is the new firmware taking it, not news.
        ! grep -q 'Connection to the device lost' "$lane/a.err" ||
            problem "stderr: $(grep -m 1 'Connection to the device lost' "$lane/a.err" | tr -d '\r')"
        # The FTDI driver's latency timer, as the registry below gives it for this port.
        local latency=${latency_of[$com]} said held
        said=$(grep -m 1 'Latency timer: ' "$logfile" 2>/dev/null | tr -d '\r' | sed 's/^ *[0-9]*  //' || true)
        if [ "$latency" -gt 2 ]; then
            [ "$said" = "Latency timer: $latency ms (cannot be changed: the FTDI driver's setting, which only an administrator may change)" ] ||
                problem "log: '$said'"
            grep -q "^The update took .*; with the port's latency timer at 1 ms it would take about .* (Device Manager: Ports (COM & LPT) > USB Serial Port (${com^^}) > " \
                <(tr -d '\r' <"$lane/a.err") || problem "no latency hint on stderr: $(tail -n 2 "$lane/a.err" | tr '\r\n' '  ')"
        else
            [ "$said" = "Latency timer: $latency ms (nothing to gain)" ] || problem "log: '$said'"
            # The engine times the answers too: on a busy machine it may find them held, and says so,
            # but with the timer low already that is no reason to lower it.
            held=$(tr -d '\r' <"$logfile" 2>/dev/null | grep -o 'Answers held [0-9.]* ms' || true)
            ! grep -q 'latency timer at 1 ms' "$lane/a.err" || problem "a latency hint on stderr with $latency ms"
        fi
        report "exit 0, flash exact ($blocks blocks), \$MJAPP once, outcome last on stdout, log ends with it; latency timer $latency ms: ${said#Latency timer: }${held:+; the engine measured '$held' beyond the wire time (a busy machine), and gave no hint}"

        check="b. erase cycle, first two erases unanswered"
        ok=yes
        start b "$com" --image "$image" --silent-erases 2
        flash b
        device_stop "$lane" b
        expect_exit 0
        expect_device "erases 3" "application starts 1" "flash matches the image"
        expect_outcome "Update complete: $image_bytes bytes in * s"
        expect_log "update complete after "
        [ "$(log_count 'Port closed, to be reopened')" = 1 ] && [ "$(log_count 'Port reopened')" = 1 ] ||
            problem "log: port closed $(log_count 'Port closed, to be reopened'), reopened $(log_count 'Port reopened') times, expected once each; $(grep -m 3 'Port ' "$logfile" 2>/dev/null | tr '\n' '|')"
        report "exit 0, flash exact, 3 erases, the port closed and reopened once"

        check="c. one answer in ten lost"
        ok=yes
        start c "$com" --image "$image" --lose-reply-every 10
        flash c
        device_stop "$lane" c
        local lost
        lost=$(count "lost replies")
        expect_exit 0
        expect_device "application starts 1" "flash matches the image"
        [ -n "$lost" ] && [ "$lost" -gt 0 ] || problem "no answer was lost: $summary"
        expect_device "blocks programmed $((blocks + ${lost:-0}))"
        [ "$(log_count ' sent again: no answer')" = "${lost:-0}" ] ||
            problem "log: $(log_count ' sent again: no answer') resends for ${lost:-0} lost answers"
        expect_outcome "Update complete: $image_bytes bytes in * s"
        expect_log "update complete after "
        report "exit 0, flash exact, ${lost:-0} answers lost and as many blocks resent"
    fi

    check="d. silent device, --give-up-after 1"
    ok=yes
    start d "$com" --silent --record "$lane/d.wire"
    flash d --give-up-after 1
    device_stop "$lane" d
    expect_exit 4
    cmp -s "$lane/d.wire" "$checks/erase.wire" || problem "received '$(cat -A "$lane/d.wire")', expected '\$MERASE,4000,C000*5DCA\\n'"
    expect_outcome "Gave up: the device did not answer for *"
    expect_log "gave up: the device did not answer for "
    report "exit 4, received \$MERASE,4000,C000*5DCA and its line feed, nothing else"

    if [ "$whole" = yes ]; then
        check="e. cable pulled at message 40, another unit plugged in 2 s later"
        ok=yes
        start e1 "$com" --image "$image" --unplug-at 40 --hang-up --record "$lane/e1.wire"
        local began pulled_at back_at erases starts reopened
        began=$(harness_now_ms)
        flash e --give-up-after 60 &
        local run=$!
        harness_track "$run"
        # The program saw the cable go: its progress says so on stderr.
        noticed() { grep -q 'Connection lost - plug the USB cable back in' "$lane/e.err" 2>/dev/null; }
        harness_wait 120 noticed || problem "stderr never said 'Connection lost - plug the USB cable back in'"
        pulled_at=$(harness_now_ms)
        device_stop "$lane" e1
        expect_device "erases 1" "blocks programmed 38" "application starts 0" "unplugs 1" "hung up: yes"
        # The name went with the device, as a pulled adapter's COM port goes.
        [ ! -L "$prefix/dosdevices/$com" ] || problem "dosdevices/$com still leads to '$(readlink "$prefix/dosdevices/$com")'"
        # Another unit: old firmware where the image goes, nothing below it.
        { head -c $((0x4000)) /dev/zero | tr '\0' '\377' && head -c $((0xC000)) /dev/urandom; } >"$lane/e2.flash"
        sleep 2 # the cable stays out
        back_at=$(harness_now_ms)
        start e2 "$com" --image "$image" --flash "$lane/e2.flash" --record "$lane/e2.wire"
        wait "$run" || true
        flash_read e
        device_stop "$lane" e2
        erases=$(($(lines_like '^\$MERASE,' "$lane/e1.wire") + $(lines_like '^\$MERASE,' "$lane/e2.wire")))
        starts=$(lines_like '^\$MJAPP' "$lane/e2.wire")
        expect_exit 0
        expect_device "erases 1" "application starts 1" "flash matches the image"
        [ "$erases" = 2 ] || problem "the erase sent $erases times in all, expected twice (once to each unit)"
        [ "$(head -n 1 "$lane/e2.wire" 2>/dev/null)" = '$MERASE,4000,C000*5DCA' ] ||
            problem "the unit plugged in received '$(head -n 1 "$lane/e2.wire" 2>/dev/null)' first, not the erase"
        [ "$starts" = 1 ] || problem "\$MJAPP sent $starts times to the unit plugged in"
        local again="the image was written again from the start once the connection was back"
        expect_outcome "Update complete: $image_bytes bytes in * s; the connection was lost once, for * s in all; $again"
        expect_log "update complete after [0-9.]* s; image .*, [0-9]* bytes; the connection was lost once, for [0-9.]* s in all; $again\$"
        reopened=$(grep -o -m 1 '  Port reopened after .*' "$logfile" 2>/dev/null | tr -d '\r' | sed 's/^  //' || true)
        [[ $reopened == "Port reopened after "*" s: the unit behind the cable may have changed, so the update starts again from the erase" ]] ||
            problem "the log's reopening: '$reopened', expected 'Port reopened after ... s: the unit behind the cable may have changed, so the update starts again from the erase'"
        [ "$(log_count '  Port reopened after ')" = 1 ] || problem "the port reopened $(log_count '  Port reopened after ') times, expected once"
        report "the same run completed: exit 0; the cable went $(harness_seconds $((pulled_at - began))) s into the run, \
${com^^}'s name with it; another unit plugged in $(harness_seconds $((back_at - pulled_at))) s later: ${reopened%%:*}, \
$(grep -o 'lost once, for [0-9.]* s' <<<"$outcome"); the erase twice in all, the new unit's flash exact \
($(count "blocks programmed") blocks written), \$MJAPP once; the outcome and the log say the image was written again"
    fi
    touch "$lane/finished"
}

echo "== Windows: check: the FTDI driver's latency timer in the registry"
# Where FTDI's driver keeps it; under wine the system lists COM1 only, so --list is read there.
ftdi_entry() { # COM MS
    local key="HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+FT$1A\\0000\\Device Parameters"
    in_wine / "$wine64" reg add "$key" /v PortName /d "$1" /f >/dev/null 2>&1 &&
        in_wine / "$wine64" reg add "$key" /v LatencyTimer /t REG_DWORD /d "$2" /f >/dev/null 2>&1 ||
        harness_fail "reg add $key"
}
declare -A latency_of=([com5]=16 [com6]=1)
for ms in 16 1; do
    ftdi_entry COM1 "$ms"
    listed=$(in_wine "$package" "$wine64" "$package/velmorith-flash.exe" --list 2>&1 | tr -d '\r' | grep '^COM1: ' || true)
    gain="at 1 ms updates run faster"
    [ "$ms" -gt 2 ] || gain="nothing to gain"
    [[ $listed == *", latency timer $ms ms ($gain)" ]] || harness_fail "--list with $ms ms: '$listed'"
    echo "--list, $ms ms: $listed"
done
ftdi_entry COM5 "${latency_of[com5]}"
ftdi_entry COM6 "${latency_of[com6]}"

whole=no
[ -n "$root" ] && whole=yes
unicode='C:\Prüfstand\Ελληνικά'
unicode_unix=$prefix/drive_c/Prüfstand/Ελληνικά
# Windows hands argv[0] over in the ANSI code page (1252 here), in which "Ελληνικά" does not exist.
rm -rf "$prefix/drive_c/Prüfstand" && mkdir -p "$unicode_unix" && cp -r "$package"/. "$unicode_unix/"
cp "$image" "$unicode_unix/VelmorithAL_full.bin"
if [ "$whole" = yes ]; then
    echo "== Windows: check: whole updates through Qt's Windows serial code, from two folders and from the window, side by side"
    window_checks=(window_flow window_no_ftdi window_two_ports window_pulled_cable)
else
    echo "== Windows: check: a silent device from two folders, and the window without an FTDI port, side by side"
    window_checks=(window_no_ftdi)
fi
started=$(harness_now_ms)
run_set "$checks/package" com5 "$package" "$(winpath "$package")\\velmorith-flash.exe" --image "$(winpath "$image")" &
lanes=($!)
run_set "$checks/unicode" com6 "$unicode_unix" "$unicode\\velmorith-flash.exe" &
lanes+=($!)
run_window_set "$checks/window" "${window_checks[@]}" &
lanes+=($!)
harness_track "${lanes[@]}"
for lane in "${lanes[@]}"; do wait "$lane" || true; done
sets=(package unicode window)
declare -A set_name=(
    [package]="velmorith-flash from $(winpath "$package")\\ on COM5, --image given"
    [unicode]="velmorith-flash from $unicode\\ on COM6, the image beside the program"
    [window]="the window from C:\\Bench\\, driven with the pointer and keys")
for set in "${sets[@]}"; do
    echo "${set_name[$set]}:"
    sed 's/^/  /' "$checks/$set/report"
done
echo "the sets took $(harness_since "$started") s together"
if [ -f "$checks/window/window-windows.png" ]; then
    cp "$checks/window/window-windows.png" "$work/window-windows.png"
    [ -z "${WINCHECK_SCREENSHOT:-}" ] || cp "$checks/window/window-windows.png" "$WINCHECK_SCREENSHOT"
    echo "the window's picture at the end of the update: $work/window-windows.png"
fi
failed=no
for set in "${sets[@]}"; do
    # A set that ended before its end (a fault of this script) fails too.
    [ -f "$checks/$set/finished" ] || echo "the set ended before its end" >>"$checks/$set/failures"
    [ -s "$checks/$set/failures" ] || continue
    [ $failed = yes ] || echo "Windows check FAILED:" >&2
    failed=yes
    echo "${set_name[$set]}:" >&2
    sed 's/^/  /' "$checks/$set/failures" >&2
done
[ $failed = no ] || harness_fail "(their files: $checks)"
