# The window's checks under wine, sourced by tools/wine-checks.sh (whose display, in_wine, device_start,
# device_stop, device_end, problem, expect_device, count, lines_like, report and image they use):
#   run_window_set DIR   the checks one after the other, beside the console sets; DIR/report and
#                        DIR/failures as theirs
# VelmorithUpdate.exe runs from C:\Bench (the package and the image) on the checks' Xvfb display,
# without a window manager: wine draws the frames itself and gives the X focus to the window it
# activates. It is driven as an operator drives it: the pointer clicks Start, Return closes each
# box once it has the keyboard. What it shows is read from its debug stream, its update log, the
# devices' summaries and its pictures, whose texts tesseract reads. The FTDI driver's entries in
# the prefix's registry make COM9 and COM10 FTDI USB serial ports in Windows' port list, which the
# window's own search goes through.

# A pulled cable: the window says to plug it back in, and the same update goes on once it is. The
# whole text is wider than the window's status bar, which shows its start (the tooltip has it all).
lost_text="Connection to the device lost - plug the USB cable back in"

# FTDI serial numbers (the adapters' own, with "A" for the chip's first port).
declare -A window_serial=([COM9]=A1B2C3D4A [COM10]=F7E6D5C4A)
# Where the window's parts are in its client area (431x434, as its form gives it; wine draws the
# frame around it): the empty menu and tool bars put the central widget 12 rows below its top; the
# status bar's text lies in its last 40 rows, below everything else (its height follows the font).
client_w=431 client_h=434
central_top=12
start_x=$((170 + 91 / 2))
start_y=$((central_top + 10 + 31 / 2))
bar_row=$((central_top + 90 + 23 / 2))

# window_ports COM...: the FTDI driver's entries for exactly these of COM9 and COM10, as the
# driver leaves them for a plugged adapter. Wine's SetupAPI lists a Ports-class device from the
# registry alone; the port is valid while dosdevices/comN leads to a live pty.
window_ports() {
    local file=$wdir/ports.reg com key enum='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\FTDIBUS'
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        for com in "${!window_serial[@]}"; do
            printf '[-%s\\VID_0403+PID_6001+%s]\r\n\r\n' "$enum" "${window_serial[$com]}"
        done
        for com in "$@"; do
            key="$enum\\VID_0403+PID_6001+${window_serial[$com]}\\0000"
            printf '[%s]\r\n' "$key"
            printf '"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"\r\n"Class"="Ports"\r\n"Mfg"="FTDI"\r\n'
            printf '"DeviceDesc"="USB Serial Port"\r\n"FriendlyName"="USB Serial Port (%s)"\r\n' "$com"
            # REG_MULTI_SZ: UTF-16 with two terminating NULs.
            printf '"HardwareID"=hex(7):%s00,00,00,00\r\n\r\n' "$(printf 'FTDIBUS\\COMPORT&VID_0403&PID_6001' |
                iconv -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//')"
            # 1 ms, as the README advises: the update's end then carries no latency hint.
            printf '[%s\\Device Parameters]\r\n"PortName"="%s"\r\n"LatencyTimer"=dword:00000001\r\n\r\n' "$key" "$com"
        done
    } | iconv -t UTF-16LE | cat <(printf '\xff\xfe') - >"$file"
    # reg import: a console program, no window to come up.
    in_wine / "$wine64" reg import "$(winpath "$file")" >/dev/null 2>&1 || problem "reg import $file failed"
}

# What the set did when, for a failure's reader: DIR/steps.
note() { echo "$(harness_seconds $(($(harness_now_ms) - set_began)))  ${check%%:*}: $*" >>"$wdir/steps"; }

# The text in a picture as tesseract reads it, upscaled; PSM 6 a block, 7 one line.
ocr() { # PICTURE PSM [CROP]
    convert "$1" ${3:+-crop "$3" +repage} -colorspace Gray -filter Lanczos -resize 400% "$wdir/ocr.png" &&
        tesseract "$wdir/ocr.png" - --psm "$2" 2>/dev/null | tr -s '\n' ' ' | sed 's/ $//'
}
# reads TEXT READ [whole]: READ, as OCR gave it, holds TEXT (is TEXT, with "whole"). Compared are
# the letters and digits, those OCR mixes up made one, and one slip in 16 characters is let pass.
reads() {
    local wanted got
    wanted=$(normal "$1")
    got=$(normal "$2")
    awk -v p="$wanted" -v t="$got" -v whole="${3:-}" 'BEGIN {
        m = length(p); n = length(t); k = int(m / 16)
        if (whole != "" && (n - m > k || m - n > k)) exit 1
        # The fewest edits that make p a part of t (Sellers).
        for (i = 0; i <= m; i++) prev[i] = i
        best = prev[m]
        for (j = 1; j <= n; j++) {
            cur[0] = 0
            for (i = 1; i <= m; i++) {
                c = prev[i - 1] + (substr(p, i, 1) != substr(t, j, 1))
                if (prev[i] + 1 < c) c = prev[i] + 1
                if (cur[i - 1] + 1 < c) c = cur[i - 1] + 1
                cur[i] = c
            }
            if (cur[m] < best) best = cur[m]
            for (i = 0; i <= m; i++) prev[i] = cur[i]
        }
        exit !(best <= k)
    }'
}
normal() { tr 'a-z' 'A-Z' <<<"$*" | tr 'OQIL|SGBZ' '001115682' | tr -cd 'A-Z0-9'; }

# window_open NAME: the window, its debug stream in NAME.err; waits until it is drawn and has named
# its program path and folder, in Windows form. Sets main (its X window) and its place.
window_open() {
    wname=$1
    in_wine "$bench_unix" "$wine64" "$bench\\VelmorithUpdate.exe" >/dev/null 2>"$wdir/$wname.err" &
    window_pid=$!
    harness_track "$window_pid"
    main=""
    harness_wait 60 window_drawn || { problem "the window did not come up: $(head -c 300 "$wdir/$wname.err")"; return 1; }
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$main")"
    # The client area within the frame: borders alike on three sides, the caption above.
    client_x=$(((WIDTH - client_w) / 2))
    client_y=$((HEIGHT - client_h - client_x))
    main_x=$X main_y=$Y
    note "the window is up: ${WIDTH}x$HEIGHT+$X+$Y, its client area at +$client_x+$client_y"
    local first
    first=$(head -n 2 "$wdir/$wname.err" | tr -d '\r' | tr '\n' '|')
    [ "$first" = "$bench\\VelmorithUpdate.exe|$bench\\|" ] || problem "its first debug lines: '$first'"
}
window_drawn() {
    main=$(xdotool search --onlyvisible --name '^Autoloader Update$' 2>/dev/null | head -n 1)
    [ -n "$main" ] && [ "$(grep -c . "$wdir/$wname.err")" -ge 2 ]
}
window_close() {
    in_wine / "$wine64" taskkill /f /im VelmorithUpdate.exe >/dev/null 2>&1 || true
    kill "$window_pid" 2>/dev/null || true
    wait "$window_pid" 2>/dev/null || true
    harness_wait 30 main_gone || problem "the window did not go"
    window_pid=""
    note "the window is gone"
}
main_gone() { [ -z "$(xdotool search --onlyvisible --name '^Autoloader Update$' 2>/dev/null)" ]; }
window_says() { grep -q -- "$1" <(tr -d '\r' <"$wdir/$wname.err"); }

# dialog_shows TEXT...: the window that has the keyboard (wine gives the X focus to the window it
# activates) is not the main one and reads each TEXT. Each picture is read once.
declare -A read_before
dialog_shows() {
    local id sum wanted
    id=$(xdotool getwindowfocus 2>/dev/null) && [ "$id" != "$main" ] || return 1
    import -display "$display" -window "$id" "$wdir/dialog.ppm" 2>/dev/null || return 1
    sum=$(md5sum <"$wdir/dialog.ppm" | cut -d' ' -f1)
    [ -n "${read_before[$sum]:-}" ] || read_before[$sum]=$(ocr "$wdir/dialog.ppm" 6)
    dialog_read=${read_before[$sum]}
    for wanted in "$@"; do reads "$wanted" "$dialog_read" || return 1; done
}
# expect_dialog TEXT...: it comes up within 60 s (each reading takes seconds on a busy machine); then
# the keys go to it.
expect_dialog() {
    HARNESS_POLL=0.3 harness_wait 60 dialog_shows "$@" || {
        import -display "$display" -window root "$wdir/${wname}-screen.png" 2>/dev/null
        problem "no box reading '$*' has the keyboard; the latest read '${dialog_read:-}' (the screen: $wdir/${wname}-screen.png)"
        return 1
    }
    note "a box reads '$*'"
}

# press_start: a click on Start, then Return for each of the two boxes, each once it shows.
press_start() {
    logs_before=$(ls "$logs" 2>/dev/null || true)
    # No --sync: it waits for a motion that never comes when the pointer is there already.
    xdotool mousemove $((main_x + client_x + start_x)) $((main_y + client_y + start_y)) click 1
    note "Start clicked"
    expect_dialog "With USB Unplugged" "Turn on unit and hold Power button down until LEDS show Red Blue Red" &&
        xdotool key Return &&
        expect_dialog "Plug USB cable from Autoloader To PC" "Wait until USB has chance to install Driver (about 1 minute) and press OK" &&
        xdotool key Return
}

# The status bar as it reads now.
status_read() {
    import -display "$display" -window "$main" "$wdir/window.ppm" 2>/dev/null &&
        shown=$(ocr "$wdir/window.ppm" 7 "$((client_w - 20))x40+$client_x+$((client_y + client_h - 40))")
}
status_is() { status_read && reads "$1" "$shown" "$2"; }
# expect_status TEXT [part]: the status bar reads TEXT (or starts with it) within 30 s (it follows
# the engine every 200 ms; a reading takes seconds on a busy machine).
expect_status() {
    HARNESS_POLL=0.5 harness_wait 30 status_is "$1" "$([ "${2:-}" = part ] || echo whole)" ||
        problem "status bar: '${shown:-}', expected '$1'"
    note "status bar: '$shown'"
}
# The progress bar's middle row, inside its frame, is all one colour: neither white nor the window's.
bar_full() {
    local colours
    colours=$(convert "$wdir/window.ppm" -crop "$((client_w - 20))x1+$((client_x + 10))+$((client_y + bar_row))" +repage \
        -unique-colors txt:- |
        sed -n 's/.* \(#[0-9A-F]\{6\}\).*/\1/p')
    [ "$(wc -w <<<"$colours")" = 1 ] && [ "$colours" != "#FFFFFF" ] && [ "$colours" != "#F5F5F5" ]
}

# The window's update log begun since the latest press (the console sets write theirs beside it).
window_log() {
    local name
    for name in $(ls -t "$logs" 2>/dev/null); do
        grep -qxF "$name" <<<"$logs_before" && continue
        sed -n 2p "$logs/$name" | grep -q '^Program: VelmorithUpdate.exe ' && echo "$logs/$name" && return 0
    done
    return 1
}
log_outcome() { local log; log=$(window_log) && tail -n 1 "$log" | tr -d '\r' | grep -o 'Outcome: .*'; }
outcome_is() { [[ "$(log_outcome)" == "Outcome: $wanted_outcome"* ]]; }
# expect_log_outcome SECONDS OUTCOME: the window's log ends with OUTCOME... in time.
expect_log_outcome() {
    wanted_outcome=$2
    HARNESS_POLL=0.3 harness_wait "$1" outcome_is ||
        problem "the window's log ends: '$(tail -n 1 "$(window_log || echo /dev/null)" | tr -d '\r')', expected 'Outcome: $2...'"
    note "the log: $(log_outcome)"
}
# The seconds the window's log gives for a complete update: the status bar says the same.
complete_in() { log_outcome | sed -n 's/^Outcome: update complete after \([0-9.]*\) s.*/\1/p'; }
expect_log_port() {
    local line log
    log=$(window_log) && line=$(grep -m 1 '^Port: ' "$log" | tr -d '\r')
    [ "${line:-}" = "Port: $1, manufacturer FTDI, serial number ${window_serial[$1]}, USB 0403:6001" ] ||
        problem "log heading: '${line:-}'"
}

window_flow() {
    check="1. whole flow: Start, the boxes, COM9 found by the search, the update to its end"
    window_ports COM9
    wstart flow com9 --image "$image" --record "$wdir/flow.wire"
    window_open flow && press_start || return
    harness_wait 60 window_says 'Test Port  "COM9"' || { problem "the window did not start on COM9"; return; }
    expect_log_outcome 90 "update complete after "
    expect_log_port COM9
    expect_status "Update complete in $(complete_in) s"
    bar_full || problem "the progress bar is not at its maximum"
    convert "$wdir/window.ppm" "$wdir/window-windows.png"
    window_close
    device_stop "$wdir" flow
    expect_device "erases 1" "blocks programmed $blocks" "application starts 1" "flash matches the image"
    [ "$(grep -c '^\$MJAPP' "$wdir/flow.wire")" = 1 ] || problem "\$MJAPP sent $(grep -c '^\$MJAPP' "$wdir/flow.wire") times"
    said="status '$shown', the bar full; flash exact, \$MJAPP once; log: $(grep -m 1 '^Port: ' "$(window_log)" | tr -d '\r')"
}

window_no_ftdi() {
    check="2. no FTDI port (the driver's entries removed; a device on COM9 all the same)"
    window_ports
    wstart none com9 --image "$image" --record "$wdir/none.wire"
    window_open none && press_start && expect_dialog "No Device Connected" && xdotool key Return || return
    expect_status "No device found - check the USB cable, then press Start"
    [ "$(tr -d '\r' <"$wdir/none.err" | tail -n 1)" = 0 ] && ! window_says 'Test Port' ||
        problem "an engine started: $(tr -d '\r' <"$wdir/none.err" | tail -n 3 | tr '\n' '|')"
    window_close
    device_stop "$wdir" none
    expect_device "bytes received 0"
    [ ! -s "$wdir/none.wire" ] || problem "the device received $(wc -c <"$wdir/none.wire") bytes"
    said="the box 'No Device Connected', status '$shown'; nothing sent"
}

window_two_ports() {
    check="3. two FTDI ports: the choice, COM10 picked"
    window_ports COM9 COM10
    wstart two9 com9 --image "$image" --record "$wdir/two9.wire"
    local com9_device=$device_pid
    wstart two10 com10 --image "$image"
    window_open two && press_start &&
        expect_dialog "More than one device found. Which one to update?" &&
        # The focus on OK, the list shows its choice plainly: the first, then the second.
        xdotool key Tab && expect_dialog "COM9 - USB Serial Port - A1B2C3D4A" &&
        xdotool key shift+Tab Down Tab && expect_dialog "COM10 - USB Serial Port - F7E6D5C4A" &&
        xdotool key Return || return
    harness_wait 60 window_says 'Test Port  "COM10"' || { problem "the window did not start on COM10"; return; }
    expect_log_outcome 90 "update complete after "
    expect_log_port COM10
    expect_status "Update complete in $(complete_in) s"
    window_close
    device_stop "$wdir" two10
    expect_device "application starts 1" "flash matches the image"
    device_pid=$com9_device
    device_stop "$wdir" two9
    expect_device "bytes received 0"
    said="offered 'COM9 - USB Serial Port - A1B2C3D4A', then 'COM10 - ... - F7E6D5C4A'; COM10's flash exact, nothing sent to COM9"
}

window_pulled_cable() {
    check="4. cable pulled at message 40, plugged back in on COM9"
    window_ports COM9
    rm -f "$wdir/cable.flash"
    wstart cable1 com9 --image "$image" --unplug-at 40 --hang-up --flash "$wdir/cable.flash" --record "$wdir/cable1.wire"
    window_open cable && press_start || return
    harness_wait 60 window_says 'Connection lost "COM9"' || { problem "no 'Connection lost' on the debug stream"; return; }
    local lost_at
    lost_at=$(harness_now_ms)
    expect_status "$lost_text" part
    local lost=$shown log reopened outcome erases starts
    # Stopped at its 38th block of 128: the bar part way.
    ! bar_full || problem "the progress bar is full while the connection is lost"
    convert "$wdir/window.ppm" "$wdir/cable-lost.png"
    device_stop "$wdir" cable1
    expect_device "blocks programmed 38" "application starts 0" "unplugs 1" "hung up: yes"
    [ ! -L "$prefix/dosdevices/com9" ] || problem "dosdevices/com9 still leads to '$(readlink "$prefix/dosdevices/com9")'"
    # Plugged back in: the same unit (the flash it kept) on a new pty behind the same COM port.
    log=$(window_log)
    wstart cable2 com9 --image "$image" --flash "$wdir/cable.flash" --record "$wdir/cable2.wire"
    note "plugged back in, $(harness_since "$lost_at") s after the loss was seen"
    expect_log_outcome 120 "update complete after "
    [ "$(window_log)" = "$log" ] || problem "a second update log: $(window_log)"
    reopened=$(tr -d '\r' <"${log:-/dev/null}" | grep -o -m 1 '  Port reopened after .*' | sed 's/^  //' || true)
    [[ $reopened == "Port reopened after "*" s: the unit behind the cable may have changed, so the update starts again from the erase" ]] ||
        problem "the log's reopening: '$reopened', expected 'Port reopened after ... s: the unit behind the cable may have changed, so the update starts again from the erase'"
    [ "$(lines_like '  Port reopened after ' "$log")" = 1 ] || problem "the port reopened $(lines_like '  Port reopened after ' "$log") times, expected once"
    outcome=$(log_outcome)
    local again='; the connection was lost once, for [0-9.]+ s in all; the image was written again from the start once the connection was back$'
    [[ $outcome =~ $again ]] ||
        problem "the log's outcome: '$outcome', expected '...; the connection was lost once, for ... s in all; the image was written again from the start once the connection was back'"
    expect_status "Update complete in $(complete_in) s"
    window_close
    device_stop "$wdir" cable2
    expect_device "erases 1" "application starts 1" "flash matches the image"
    erases=$(($(lines_like '^\$MERASE,' "$wdir/cable1.wire") + $(lines_like '^\$MERASE,' "$wdir/cable2.wire")))
    starts=$(lines_like '^\$MJAPP' "$wdir/cable2.wire")
    [ "$erases" = 2 ] || problem "the erase sent $erases times in all, expected twice (before the loss and once back)"
    [ "$starts" = 1 ] || problem "\$MJAPP sent $starts times"
    said="status '$lost' with the bar part way, COM9's name gone; plugged back in, the same update went on without a press: \
${reopened%%:*}, the whole image again from the erase (twice in all; $(count "blocks programmed") blocks written), \
flash exact, \$MJAPP once; \
status 'Update complete in $(complete_in) s'; $(grep -o 'lost once, for [0-9.]* s' <<<"$outcome")"
}

# A busy port is not checked here: wine lets a second program open a COM port that another holds
# (Windows refuses it), so the window would take COM9 from a running update; tests/tst_window.cpp
# checks the rule on the window's port list.
run_window_set() {
    harness_subshell
    lane=$1 wdir=$1
    shift
    mkdir -p "$wdir"
    : >"$wdir/report"
    : >"$wdir/failures"
    bench='C:\Bench'
    bench_unix=$prefix/drive_c/Bench
    logs=$prefix/drive_c/users/$wine_user/AppData/Local/VelmorithUpdate/logs
    rm -rf "$bench_unix" && mkdir -p "$bench_unix" && cp -r "$package"/. "$bench_unix/" &&
        cp "$image" "$bench_unix/VelmorithAL_full.bin" || { echo "cannot copy the package to $bench_unix" >>"$wdir/failures"; return; }
    export DISPLAY=$display
    local each began
    set_began=$(harness_now_ms)
    window_pid=""
    for each in "$@"; do
        began=$(harness_now_ms)
        ok=yes said="" check=$each
        # Failures are collected by problem; errexit would end the set at the first.
        "$each" || true
        [ -z "$window_pid" ] || window_close
        for device_pid in "${window_devices[@]}"; do device_end "$device_pid"; done
        window_devices=()
        took=$(($(harness_now_ms) - began))
        report "$said"
    done
    touch "$wdir/finished"
}
# The window set's devices: ended after each check, however it ends.
window_devices=()
wstart() {
    device_start "$lane" "$@" || problem "$device_error"
    window_devices+=("$device_pid")
    harness_track "$device_pid"
}
