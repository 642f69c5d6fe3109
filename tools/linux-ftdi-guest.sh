#!/bin/busybox sh
# /init of the guest that tools/linux-ftdi.sh boots (busybox sh): mounts, loads the USB and FTDI
# modules, starts udevd, then serves the host on the serial console. The host sends a line
# "ID COMMAND ARG..."; the answer is the lines up to "@@end ID STATUS". The adapters are plugged
# and unplugged by the host; here nothing waits a fixed time, only polls with a bound.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin HOME=/root LANG=C.UTF-8
/bin/busybox mkdir -p /proc /sys /dev /run /tmp /root /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /run
exec </dev/console >/dev/console 2>&1
# The host reads what it sent as commands, not echoed; and lines end in a bare line feed.
stty -echo -onlcr

for module in $(cat /modules/order); do
    insmod "/modules/$module.ko" || echo "@@ insmod $module failed"
done
if [ -x /lib/systemd/systemd-udevd ]; then
    mkdir -p /run/udev
    /lib/systemd/systemd-udevd --daemon --resolve-names=never 2>/dev/null || echo "@@ udevd did not start"
fi

flash=/opt/velmorith/velmorith-flash
out=/tmp/out
mkdir -p "$out"

# The sampling below uses builtins only: a fork costs milliseconds under TCG.
# now: NOW, ms since boot.
now() {
    read -r up _ </proc/uptime
    # Hundredths as given ("07"), not as an octal number.
    NOW=$((${up%.*} * 1000 + 10 * (1${up#*.} - 100)))
}

# nodes: NODES, the ttyUSB nodes and /dev/serial/by-id links there are now, on one line.
nodes() {
    NODES=""
    for node in /dev/ttyUSB*; do [ -e "$node" ] && NODES="$NODES${node#/dev/} "; done
    NODES="$NODES|"
    for link in /dev/serial/by-id/*; do [ -L "$link" ] && NODES="$NODES ${link##*/}"; done
}

# cpu PID: CPU, the CPU time in ms the process has used (user and system, counted in 10 ms).
cpu() {
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    set -- ${stat##*) }
    CPU=$(((${12} + ${13}) * 10))
}

latency_file() { echo "/sys/bus/usb-serial/devices/$1/latency_timer"; }
# latency_now PORT: LATENCY, what the driver says of PORT's latency timer, or "gone".
latency_now() { read -r LATENCY 2>/dev/null <"/sys/bus/usb-serial/devices/$1/latency_timer" || LATENCY=gone; }

# serial_of PORT: SERIAL, the USB serial number of the adapter behind PORT (sysfs resolves the
# ".." from the port's own directory, the adapter's two levels up), or empty.
serial_of() { read -r SERIAL 2>/dev/null <"/sys/bus/usb-serial/devices/$1/../../serial" || SERIAL=""; }

# plugged SECONDS [SERIAL]: an adapter's ttyUSB node (the one with that serial number, if given)
# and udev's work on it are done; says which.
plugged() {
    local deadline port=""
    now
    deadline=$((NOW + $1 * 1000))
    while now && [ "$NOW" -lt "$deadline" ]; do
        for node in /dev/ttyUSB*; do
            [ -e "$node" ] && [ -e "$(latency_file "${node#/dev/}")" ] || continue
            serial_of "${node#/dev/}"
            [ -z "${2:-}" ] || [ "$SERIAL" = "$2" ] || continue
            port=${node#/dev/}
            break 2
        done
        sleep 0.05
    done
    [ -n "$port" ] || return 1
    command -v udevadm >/dev/null && udevadm settle --timeout=20
    nodes
    echo "port=$port"
    echo "nodes=$NODES"
}

# unplugged SECONDS: no ttyUSB node left.
unplugged() {
    local deadline
    now
    deadline=$((NOW + $1 * 1000))
    nodes
    while [ -n "${NODES%%|*}" ]; do
        now
        [ "$NOW" -lt "$deadline" ] || return 1
        sleep 0.05
        nodes
    done
}

# latency PORT [MS]: the driver's latency timer, written first when MS is given.
latency() {
    [ -z "${2:-}" ] || echo "$2" >"$(latency_file "$1")" || return 1
    echo "latency=$(cat "$(latency_file "$1")")"
}

# usb PORT: what the kernel knows of the adapter behind PORT.
usb() {
    local device
    device=$(readlink -f "/sys/class/tty/$1/device")/../..
    echo "usb=$(cat "$device/idVendor"):$(cat "$device/idProduct"), manufacturer '$(cat "$device/manufacturer")', product '$(cat "$device/product")', serial '$(cat "$device/serial" 2>/dev/null)'"
    echo "driver=$(basename "$(readlink -f "/sys/class/tty/$1/device/driver")")"
    for link in /dev/serial/by-id/*; do
        [ -e "$link" ] && echo "by-id=$link -> $(readlink "$link")"
    done
    return 0
}

# hold PORT: another program holds /dev/PORT open, so that the kernel keeps the name while the
# adapter is gone; release PID lets it go.
hold() {
    sleep 100000 <>"/dev/$1" &
    echo "holder=$!"
}
release() { kill "$1"; }

list() {
    local status=0
    $flash --list >"$out/list" 2>&1 || status=$?
    sed 's/^/out:/' "$out/list"
    echo "code=$status"
}

# run NAME PORT IMAGE OPTION...: velmorith-flash on /dev/PORT. While it runs: the latency
# timer of PORT and the nodes, each time they change, with the program's CPU time. Then its
# exit code, time, output (stderr's lines timed), the log's lines other than the per-block
# ones, and the kernel's lines of the time.
run() {
    local name=$1 port=$2 image=$3 pid stamper began status=0 seen="" nodes_seen="" deadline changed=""
    shift 3
    dmesg >"$out/$name.dmesg-before"
    rm -f "$out/$name.errpipe"
    mkfifo "$out/$name.errpipe"
    now
    began=$NOW
    # Each progress line with the time it came, on the same clock as the nodes' changes.
    while IFS= read -r text; do
        now
        echo "$((NOW - began)) ms: $text"
    done <"$out/$name.errpipe" >"$out/$name.err" &
    stamper=$!
    $flash --port "/dev/$port" --image "/images/$image" "$@" >"$out/$name.out" 2>"$out/$name.errpipe" &
    pid=$!
    : >"$out/$name.watch"
    deadline=$((began + 180000))
    CPU=0
    while kill -0 "$pid" 2>/dev/null; do
        latency_now "$port"
        # Only what was read while the program still ran counts.
        kill -0 "$pid" 2>/dev/null && [ "$LATENCY" != "${seen##* }" ] && seen="$seen $LATENCY"
        cpu "$pid" || true
        nodes
        now
        if [ "$NODES" != "$nodes_seen" ]; then
            echo "$((NOW - began)) ms: $NODES (the program's CPU time so far: $CPU ms)" >>"$out/$name.watch"
            nodes_seen=$NODES
            [ -n "$changed" ] || changed=$NOW
        elif [ -n "$changed" ] && [ $((NOW - changed)) -ge 500 ]; then
            # Half a second after the first of a burst of changes, before the program looks for
            # a pulled adapter again: what it does with the dead port alone.
            echo "$((NOW - began)) ms: the same (the program's CPU time so far: $CPU ms)" >>"$out/$name.watch"
            changed=""
        fi
        if [ "$NOW" -gt "$deadline" ]; then
            kill "$pid"
            echo "@@ $name: still running after 180 s, ended"
        fi
        sleep 0.05
    done
    wait "$pid" || status=$?
    wait "$stamper"
    now
    echo "code=$status"
    echo "ms=$((NOW - began))"
    echo "cpu_ms=$CPU"
    echo "latency_during=${seen# }"
    latency_now "$port"
    echo "latency_after=$LATENCY"
    nodes
    echo "nodes_after=$NODES"
    sed 's/^/watch:/' "$out/$name.watch"
    sed 's/^/out:/' "$out/$name.out"
    sed 's/^/err:/' "$out/$name.err"
    local log
    log=$(sed -n 's/^Log of this update: //p' "$out/$name.out")
    [ -z "$log" ] || grep -v -E '^ +[0-9]+  (String Len: [0-9]+|d)$' "$log" | sed 's/^/log:/'
    dmesg | tail -n +"$(($(wc -l <"$out/$name.dmesg-before") + 1))" | sed 's/^/dmesg:/'
    return 0
}

# start NAME PORT IMAGE OPTION...: run in the background, so that several run at once and the
# loop stays free for the host's other commands; collect NAME SECONDS: its answer once it ended.
start() {
    rm -f "$out/$1.result" "$out/$1.done"
    (
        run "$@" >"$out/$1.result" 2>&1
        : >"$out/$1.done"
    ) &
    echo "started=$!"
}
collect() {
    local deadline
    now
    deadline=$((NOW + $2 * 1000))
    while [ ! -e "$out/$1.done" ]; do
        now
        [ "$NOW" -lt "$deadline" ] || return 1
        sleep 0.1
    done
    cat "$out/$1.result"
}

now
echo "@@ready $NOW"
while IFS= read -r line; do
    set -- $line
    id=$1
    shift
    status=0
    "$@" || status=$?
    echo "@@end $id $status"
done
poweroff -f
