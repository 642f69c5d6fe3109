#!/usr/bin/env bash
# velmorith-flash through Linux's own FTDI driver: Debian's kernel under QEMU (TCG) with QEMU's
# emulated FT232 on an xHCI controller; behind the chip, the simulated device (velmorith-sim) on
# a host pseudo-terminal. The guest has no disk: an initramfs with busybox, the program and its
# libraries, the USB and FTDI modules and udevd (tools/linux-ftdi-guest.sh is its init and the
# command loop this script drives over the serial console). The adapter is plugged and pulled
# through QMP. Checks, each one line with its time:
#  - the port list in the guest (--list) names the port with the driver's strings;
#  - a whole update of an image that ends mid-block: exit 0, the flash exact, "$MJAPP" once;
#  - the latency timer: 16 in sysfs before a run, 1 while it runs, 16 again after it, also
#    after a run that went through an erase retry cycle; the log says so;
#  - a silent device: exit 4 after the give-up time;
#  - the adapter pulled at about a third of an update and plugged back 3 s later while the
#    program runs, in front of another unit: the same run erases again and writes the whole
#    image, that unit's flash ends exact, the adapter back under its name;
#  - the same while another program holds the port's node, so that the adapter comes back under
#    another name: the program finds it by its serial number;
#  - two adapters, an update on each at once, both pulled and plugged back in the other order so
#    that their names swap: each run follows its own adapter by its serial number.
# The kernel package is fetched once into build-linux-ftdi/ (made again when missing). Where
# QEMU or the kernel cannot be had, one line says so and it exits 0.
# VELMORITH_QEMU_ACCEL=kvm tries KVM instead of TCG.
set -euo pipefail
cd "$(dirname "$0")/.."
HARNESS_WHAT="Linux FTDI check"
. tools/harness.sh
. tools/setup.sh
began=$(harness_now_ms)

work=$PWD/build-linux-ftdi
run=$work/run
skip() {
    echo "== Linux FTDI driver check skipped: $*"
    exit 0
}

mkdir -p "$work"
velmorith_need "${VELMORITH_BUILD_PACKAGES[@]}"
(velmorith_need qemu-system-x86 busybox-static udev socat) >"$work/packages.log" 2>&1 ||
    skip "qemu-system-x86, busybox-static, udev or socat cannot be installed: $(tail -n 1 "$work/packages.log")"
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64"
rm -rf "$run"
mkdir -p "$run"

# --- The kernel: Debian's package, unpacked once -------------------------------------------------

kernel=$work/kernel
if [ ! -s "$kernel/.from" ]; then
    step_began=$(harness_now_ms)
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    command -v apt-get >/dev/null || skip "no apt-get to fetch Debian's kernel package with"
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    if [ -z "$package" ]; then
        $sudo apt-get update -qq >"$work/apt.log" 2>&1 || true
        package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    fi
    [ -n "$package" ] || skip "the package archive names no Debian kernel (linux-image-amd64)"
    rm -rf "$kernel"
    mkdir -p "$kernel/deb"
    # As root, apt would hand the download to its sandbox user, who may not write here.
    (cd "$kernel/deb" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$package") >"$work/apt.log" 2>&1 ||
        skip "Debian's kernel package $package cannot be fetched: $(tail -n 1 "$work/apt.log")"
    dpkg -x "$kernel"/deb/*.deb "$kernel/root" || harness_fail "dpkg -x $(ls "$kernel"/deb/*.deb)"
    rm -rf "$kernel/deb"
    echo "$package" >"$kernel/.from"
    fetched="$package fetched and unpacked: $(harness_since "$step_began") s"
fi
vmlinuz=$(ls "$kernel"/root/boot/vmlinuz-* 2>/dev/null | head -n 1)
modules=$(ls -d "$kernel"/root/lib/modules/* 2>/dev/null | head -n 1)
[ -f "$vmlinuz" ] && [ -d "$modules" ] || harness_fail "no kernel or modules in $kernel (remove it to fetch again)"

# Said only once nothing can skip the checks any more.
echo "== Linux FTDI driver: set-up"
[ -z "${fetched:-}" ] || echo "$fetched"
step_began=$(harness_now_ms)
nice cmake -S . -B build -G Ninja -DVELMORITH_QT_MAJOR=5 >/dev/null
nice cmake --build build --target velmorith-flash velmorith-sim >"$run/build.log" ||
    harness_fail "build: $(tail -n 20 "$run/build.log")"
echo "velmorith-flash and velmorith-sim: $(harness_since "$step_began") s"
flash=$PWD/build/bin/velmorith-flash
sim=$PWD/build/bin/velmorith-sim

# --- The guest's initramfs -----------------------------------------------------------------------

step_began=$(harness_now_ms)
root=$run/initramfs
mkdir -p "$root"/{bin,modules,images,opt/velmorith,lib/systemd,lib/udev/rules.d}
# The guest's only shell and tools, before any library is there: busybox-static's.
! ldd /bin/busybox >/dev/null 2>&1 || harness_fail "/bin/busybox is not the static one (busybox-static)"
cp /bin/busybox "$root/bin/busybox"
cp tools/linux-ftdi-guest.sh "$root/init"
chmod +x "$root/init"
strip -o "$root/opt/velmorith/velmorith-flash" "$flash"
# udevd gives the port list its USB strings and makes the /dev/serial/by-id/ links.
cp /bin/udevadm "$root/bin/udevadm"
ln -s ../../bin/udevadm "$root/lib/systemd/systemd-udevd"
cp /lib/udev/rules.d/60-serial.rules "$root/lib/udev/rules.d/"
for binary in "$flash" /bin/udevadm; do
    for library in $(ldd "$binary" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
done

# The modules and those they depend on, each after its dependencies, as modinfo's depends= says.
module_order=()
add_module() {
    local name=$1 file dependency
    [[ " ${module_order[*]} " == *" $name "* ]] && return 0
    file=$(find "$modules/kernel" \( -name "$name.ko" -o -name "$name.ko.xz" -o -name "${name//-/_}.ko" \
        -o -name "${name//-/_}.ko.xz" -o -name "${name//_/-}.ko" -o -name "${name//_/-}.ko.xz" \) | head -n 1)
    [ -n "$file" ] || harness_fail "kernel module $name is not in $modules"
    case $file in
    *.xz) xz -dc "$file" >"$root/modules/$name.ko" ;;
    *) cp "$file" "$root/modules/$name.ko" ;;
    esac
    for dependency in $(tr '\0' '\n' <"$root/modules/$name.ko" | sed -n 's/^depends=//p' | head -n 1 | tr , ' '); do
        add_module "$dependency"
    done
    module_order+=("$name")
}
add_module xhci-pci
add_module ftdi_sio
echo "${module_order[*]}" >"$root/modules/order"

# The images: each ends mid-block, so that the last block is short and the fill runs past the end.
head -c $((0x4000 + 0x805)) /dev/urandom >"$root/images/whole.bin"
# The second unit's, for updates on two units at once.
head -c $((0x4000 + 0x805)) /dev/urandom >"$root/images/other.bin"
images=$root/images
(cd "$root" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) >"$run/initramfs.cpio"
echo "initramfs: $(($(stat -c %s "$run/initramfs.cpio") / 1048576)) MiB, modules ${module_order[*]} ($(harness_since "$step_began") s)"

# Blocks a complete update programs: the image's, then zero blocks up to the next 4 KiB.
blocks_of() {
    local size bytes blocks
    size=$(stat -c %s "$1")
    bytes=$((size - 0x4000))
    blocks=$(((bytes + 31) / 32))
    echo $((blocks + ((size + 4095) / 4096 * 4096 - 0x4000 - blocks * 32) / 32))
}

# --- QEMU, its console and QMP -------------------------------------------------------------------

echo "== Linux FTDI driver: the guest"
step_began=$(harness_now_ms)
# The QMP socket's path must stay short.
sockets=$(mktemp -d /tmp/velmorith-qemu.XXXXXX)
harness_on_exit "rm -rf '$sockets'"
console_log=$run/console.log
mkfifo "$run/console.in" "$run/console.out"
: >"$console_log"
# Both ends opened read-write: nothing waits for the other side to open.
cat <>"$run/console.out" >"$console_log" &
harness_track $!
exec {console}<>"$run/console.in"
qemu_path() { echo "${1//,/,,}"; }
qemu-system-x86_64 -nodefaults -no-user-config -display none -machine pc -accel "${VELMORITH_QEMU_ACCEL:-tcg}" \
    -m 512 -smp 1 -no-reboot -kernel "$vmlinuz" -initrd "$run/initramfs.cpio" \
    -append "console=ttyS0 loglevel=1 panic=-1" \
    -chardev "pipe,id=console,path=$(qemu_path "$run/console")" -serial chardev:console \
    -qmp "unix:$(qemu_path "$sockets/qmp"),server=on,wait=off" -device qemu-xhci,id=xhci \
    </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!
harness_track $qemu_pid

# guest SECONDS COMMAND ARG...: a command of tools/linux-ftdi-guest.sh; its lines in $run/answer,
# its status in guest_status; false when it failed. guest_send and guest_wait split it in two.
guest_seq=0
guest_send() {
    guest_seq=$((guest_seq + 1))
    guest_id=g$guest_seq
    guest_command="$*"
    guest_from=$(wc -l <"$console_log")
    echo "$guest_id $*" >&"$console"
}
guest_done() { grep -q "^@@end $guest_id " "$console_log" || ! kill -0 "$qemu_pid" 2>/dev/null; }
guest_wait() {
    harness_wait "$1" guest_done || true
    grep -q "^@@end $guest_id " "$console_log" ||
        harness_fail "the guest did not finish '$guest_command' within $1 s (QEMU $(kill -0 "$qemu_pid" 2>/dev/null && echo runs || echo ended): $console_log, $run/qemu.log)"
    tail -n +$((guest_from + 1)) "$console_log" | sed "/^@@end $guest_id /q" >"$run/answer"
    guest_status=$(tail -n 1 "$run/answer" | cut -d ' ' -f 3)
    sed -i '$d' "$run/answer"
    [ "$guest_status" = 0 ]
}
guest() {
    local limit=$1
    shift
    guest_send "$@"
    guest_wait "$limit"
}
answer() { sed -n "s/^$1=//p" "$run/answer" | head -n 1; }

ready() { grep -q '^@@ready' "$console_log" || ! kill -0 "$qemu_pid" 2>/dev/null; }
harness_wait 120 ready || true
grep -q '^@@ready' "$console_log" ||
    harness_fail "the guest did not come up within 120 s (QEMU $(kill -0 "$qemu_pid" 2>/dev/null && echo runs || echo ended): $console_log, $run/qemu.log: $(tail -n 3 "$run/qemu.log"))"
grep -q "^@@ " "$console_log" && harness_fail "the guest's start: $(grep '^@@ ' "$console_log" | tr '\n' ' ')"

qmp_socket_ready() { [ -S "$sockets/qmp" ]; }
harness_wait 10 qmp_socket_ready || harness_fail "no QMP socket"
coproc QMP { exec socat - "UNIX-CONNECT:$sockets/qmp"; }
harness_track "$QMP_PID"
qmp_events=$run/qmp-events
: >"$qmp_events"
qmp_mark=0
# qmp_read SECONDS: QEMU's next line into qmp_line; events also go to $qmp_events.
qmp_read() {
    qmp_line=""
    IFS= read -r -t "$1" qmp_line <&"${QMP[0]}" || return 1
    qmp_line=${qmp_line%$'\r'}
    echo "$qmp_line" >>"$run/qmp.log"
    [[ $qmp_line != *'"event"'* ]] || echo "$qmp_line" >>"$qmp_events"
}
# qmp COMMAND [ARGUMENTS]: false with QEMU's error (or the lack of an answer) in qmp_line.
qmp() {
    local request="{\"execute\": \"$1\"${2:+, \"arguments\": $2}}" deadline
    [ -n "${QMP[1]:-}" ] || harness_fail "QMP is gone (QEMU $(kill -0 "$qemu_pid" 2>/dev/null && echo runs || echo ended): $run/qemu.log)"
    echo "$request" >>"$run/qmp.log"
    echo "$request" >&"${QMP[1]}"
    deadline=$(($(harness_now_ms) + 10000))
    while [ "$(harness_now_ms)" -lt "$deadline" ]; do
        qmp_read 1 || continue
        [[ $qmp_line == '{"return"'* ]] && return 0
        [[ $qmp_line == '{"error"'* ]] && return 1
    done
    qmp_line="no answer within 10 s"
    return 1
}
# qmp_event PATTERN SECONDS: an event matching PATTERN since qmp_mark was set.
qmp_event() {
    local deadline=$(($(harness_now_ms) + $2 * 1000))
    until tail -n +$((qmp_mark + 1)) "$qmp_events" | grep -q -- "$1"; do
        [ "$(harness_now_ms)" -lt "$deadline" ] || return 1
        qmp_read 1 || true
    done
}
qmp_read 10 && [[ $qmp_line == '{"QMP"'* ]] || harness_fail "QMP greeting: '$qmp_line'"
qmp qmp_capabilities || harness_fail "qmp_capabilities: $qmp_line"
echo "guest up: $(harness_since "$step_began") s (QEMU $(qemu-system-x86_64 --version | head -n 1 | sed 's/.*version //'), $(basename "$vmlinuz"), ${VELMORITH_QEMU_ACCEL:-tcg})"

# --- The adapter and the device behind it --------------------------------------------------------

adapter_serial=VELM0024
# plug ID PTY [SERIAL]: an emulated FT232 (serial number SERIAL, else $adapter_serial) on the xHCI
# bus, its chip's serial line on PTY; ID names both the adapter and its line in QEMU.
plug() {
    local id=$1 pty=$2 serial=${3:-$adapter_serial}
    qmp chardev-add "{\"id\": \"$id\", \"backend\": {\"type\": \"serial\", \"data\": {\"device\": \"$pty\"}}}" ||
        harness_fail "chardev-add $pty: $qmp_line"
    qmp device_add "{\"driver\": \"usb-serial\", \"id\": \"$id\", \"chardev\": \"$id\", \"bus\": \"xhci.0\", \"serial\": \"$serial\"}" ||
        harness_fail "device_add usb-serial $serial: $qmp_line"
}
unplug() {
    local id=$1
    qmp_mark=$(wc -l <"$qmp_events")
    qmp device_del "{\"id\": \"$id\"}" || harness_fail "device_del $id: $qmp_line"
    qmp_event "\"DEVICE_DELETED\".*\"device\": \"$id\"" 10 || harness_fail "no DEVICE_DELETED within 10 s of device_del $id"
    qmp chardev-remove "{\"id\": \"$id\"}" || harness_fail "chardev-remove $id: $qmp_line"
}

# device_start NAME OPTION...: velmorith-sim on a new pty; sets device_pty (and device_name). Its
# stdin is a FIFO it holds open itself, so that it runs until it is ended.
declare -A device_pids
device_said() { [[ $(head -n 1 "$run/$device_name.device") == /dev/pts/* ]] || ! kill -0 "${device_pids[$device_name]}" 2>/dev/null; }
device_start() {
    device_name=$1
    shift
    mkfifo "$run/$device_name.stdin"
    "$sim" "$@" <>"$run/$device_name.stdin" >"$run/$device_name.device" 2>"$run/$device_name.device-err" &
    device_pids[$device_name]=$!
    harness_track $!
    harness_wait 20 device_said || true
    device_pty=$(head -n 1 "$run/$device_name.device")
    [[ $device_pty == /dev/pts/* ]] ||
        harness_fail "the simulated device $device_name did not start: $(cat "$run/$device_name.device-err")"
}
# device_stop [NAME]: ends it (else the latest started); its summary into summary. Only once its
# pty is unplugged: QEMU's chip detaches itself when the pty ends.
device_stop() {
    local name=${1:-$device_name}
    harness_end "${device_pids[$name]}" 15
    summary=$(sed -n 2p "$run/$name.device")
}
# adapter_in NAME OPTION...: a new device, plugged; port is the node the guest gave it.
adapter_in() {
    device_start "$@"
    plug ftdi "$device_pty"
    guest 40 plugged 30 || harness_fail "no ttyUSB node within 30 s of the plug: $(cat "$run/answer")"
    port=$(answer port)
}
# adapter_out: pulled, its device ended (summary), and the guest has no ttyUSB node left.
adapter_out() {
    unplug ftdi
    device_stop
    guest 30 unplugged 20 || harness_fail "a ttyUSB node still there 20 s after the unplug"
}
# another_unit FILE: the flash of a unit this update never saw: its bootloader's part below 0x4000
# erased, above it bytes of its own.
another_unit() { { head -c $((0x4000)) /dev/zero | tr '\0' '\377' && head -c $((0xC000)) /dev/urandom; } >"$1"; }

# --- Checks ----------------------------------------------------------------------------------------

failed=()
check_begin() {
    check=$1
    check_began=$(harness_now_ms)
    problems=()
}
problem() { problems+=("$*"); }
check_end() {
    local took
    took=$(harness_since "$check_began")
    if [ ${#problems[@]} = 0 ]; then
        echo "$check: $* ($took s)"
    else
        echo "$check: FAILED ($took s)"
        printf '  %s\n' "${problems[@]}"
        failed+=("$check")
    fi
}
# expect_device FRAGMENT...: each stands in the device's summary as a whole item.
expect_device() { harness_summary "$summary" problem "$@"; }
# run_send NAME PORT IMAGE OPTION..., run_wait SECONDS: velmorith-flash in the guest; what it
# did in $run/NAME.answer and $run/result, which result and result_lines read.
run_send() {
    run_name=$1
    guest_send run "$@"
}
run_wait() {
    guest_wait "$1" || problem "the guest's run $run_name: $(cat "$run/answer")"
    cp "$run/answer" "$run/$run_name.answer"
    cp "$run/answer" "$run/result"
}
# run_start NAME PORT IMAGE OPTION..., run_collect NAME SECONDS: the same, several at once.
run_start() { guest 30 start "$@" || problem "the guest did not start the run $1: $(cat "$run/answer")"; }
run_collect() {
    run_name=$1
    guest_send collect "$1" "$(($2 - 10))"
    run_wait "$2"
}
result() { sed -n "s/^$1=//p" "$run/result" | head -n 1; }
result_lines() { sed -n "s/^$1://p" "$run/result"; }
expect_code() { [ "$(result code)" = "$1" ] || problem "exit $(result code), expected $1; stdout: $(result_lines out | tr '\n' '|')"; }
outcome() { result_lines out | grep . | tail -n 1; }
log_line() { result_lines log | { grep -m 1 -- "$1" || true; } | sed 's/^ *[0-9]*  //'; }
# log_ms TEXT: the time of the log's first line with TEXT, in ms since the update started (0 if none).
log_ms() { result_lines log | { grep -m 1 -- "  $1" || echo 0; } | awk '{ print $1 }'; }
# expect_written_again BYTES: the log's outcome and stdout's last line say that the connection
# was lost once and the image written again.
again='; the connection was lost once, for [0-9]+\.[0-9] s in all; the image was written again from the start once the connection was back'
expect_written_again() {
    local pattern="^Update complete: $1 bytes in [0-9]+\\.[0-9] s$again\$"
    [[ $(outcome) =~ $pattern ]] || problem "last line on stdout: '$(outcome)'"
    pattern="^ *[0-9]+  Outcome: update complete after [0-9]+\\.[0-9] s; image .*$again\$"
    [[ $(result_lines log | tail -n 1) =~ $pattern ]] || problem "the log ends with '$(result_lines log | tail -n 1)'"
}

whole_blocks=$(blocks_of "$images/whole.bin")
whole_bytes=$(($(stat -c %s "$images/whole.bin") - 0x4000))
echo "== Linux FTDI driver: checks over /dev/ttyUSB0 and /dev/ttyUSB1"

check_begin "port list (--list)"
adapter_in list --image "$images/whole.bin"
plug_took=$(harness_since "$check_began")
guest 30 usb "$port" || problem "the adapter in sysfs: $(cat "$run/answer")"
usb=$(answer usb)
driver=$(answer driver)
by_id=$(answer by-id)
guest 60 list || problem "--list: exit $(answer code): $(cat "$run/answer")"
listed=$(sed -n "s/^out:\($port: \)/\1/p" "$run/answer")
[ "$driver" = ftdi_sio ] || problem "the port's driver is '$driver', not ftdi_sio"
[ "$usb" = "0403:6001, manufacturer 'QEMU', product 'QEMU USB SERIAL', serial '$adapter_serial'" ] ||
    problem "sysfs: $usb"
[[ $listed == "$port: QEMU, QEMU USB SERIAL, USB 0403:6001, serial number $adapter_serial - does not qualify: not made by FTDI, latency timer "* ]] ||
    problem "--list: '$listed'"
[[ $listed == *"; by id: ${by_id%% -> *}" ]] || problem "--list names no by-id link (${by_id%% -> *}): '$listed'"
check_end "'$listed'; sysfs: $port, USB $usb, driver $driver; by-id: ${by_id:-none}; plugged in $plug_took s"

check_begin "whole update, image ending mid-block"
run_send whole "$port" whole.bin
run_wait 200
adapter_out
expect_code 0
expect_device "erases 1" "blocks programmed $whole_blocks" "application starts 1" "flash matches the image"
[[ $(outcome) == "Update complete: $whole_bytes bytes in "* ]] || problem "last line on stdout: '$(outcome)'"
[[ $(result_lines log | tail -n 1) =~ ^\ *[0-9]+\ \ Outcome:\ update\ complete\ after ]] ||
    problem "the log ends with '$(result_lines log | tail -n 1)'"
! result_lines err | grep -q 'Connection to the device lost' || problem "stderr: 'Connection to the device lost'"
check_end "exit 0 after $(harness_seconds "$(result ms)") s, flash exact ($whole_blocks blocks), \$MJAPP once; log: '$(log_line 'Port: ')', '$(log_line 'Latency timer: ')'"

check_begin "latency timer, after an erase retry cycle and after a plain update"
# The device leaves its first two erases unanswered: the first run goes through an erase retry
# cycle, whose own close and reopen put the flag back too; the second is a plain update.
adapter_in latency --image "$images/whole.bin" --silent-erases 2
plugged_latency="" before=""
guest 30 latency "$port" && plugged_latency=$(answer latency) || problem "sysfs: $(cat "$run/answer")"
guest 30 latency "$port" 16 && before=$(answer latency) || problem "writing 16: $(cat "$run/answer")"
run_send latency-retry "$port" whole.bin
run_wait 200
expect_code 0
retry_during=$(result latency_during)
retry_after=$(result latency_after)
retry_said=$(log_line 'Latency timer: ')
cycle=$(log_line 'Port closed, to be reopened')
run_send latency "$port" whole.bin
run_wait 200
expect_code 0
during=$(result latency_during)
after=$(result latency_after)
said=$(log_line 'Latency timer: ')
adapter_out
expect_device "erases 4" "application starts 2" "flash matches the image"
[ "$before" = 16 ] || problem "sysfs read '$before' after 16 was written"
[ -n "$cycle" ] || problem "the first run went through no erase retry cycle (its log has no 'Port closed, to be reopened')"
# Between the cycle's close and its reopen the driver has its flag back: 16 between two 1s.
[[ " $retry_during " == *" 1 16 1 "* ]] || problem "sysfs while the run with the erase retry cycle ran: '$retry_during'"
[[ " $during " == *" 1 "* ]] || problem "sysfs never read 1 while the plain run ran: '$during'"
[ "$retry_said" = "Latency timer: 1 ms (set)" ] && [ "$said" = "Latency timer: 1 ms (set)" ] ||
    problem "logs: '$retry_said', '$said'"
[ "$retry_after" = "$before" ] || problem "sysfs reads $retry_after after the run with the erase retry cycle, not the $before found before it"
[ "$after" = "$before" ] || problem "sysfs reads $after after the plain run, not the $before found before it"
check_end "sysfs: $plugged_latency after the plug, $before once 16 was written; through the erase retry cycle $retry_during while the program ran, $retry_after after it ended; a plain update $during, then $after; the logs: '$said'"

check_begin "silent device, --give-up-after 3"
adapter_in silent --silent --record "$run/silent.wire"
run_send silent "$port" whole.bin --give-up-after 3
run_wait 60
adapter_out
expect_code 4
# From the port's opening, as the log times it: the program's own start (loading Qt under TCG)
# takes from 1 s to several on a busy host.
took=$(($(log_ms Outcome:) - $(log_ms 'Test Port')))
[ "$took" -ge 3000 ] && [ "$took" -lt 10000 ] || problem "gave up $took ms after the port was opened"
[[ $(outcome) == "Gave up: the device did not answer for "* ]] || problem "last line on stdout: '$(outcome)'"
[ "$(cat "$run/silent.wire")" = "\$MERASE,4000,C000*5DCA" ] && [ "$(wc -c <"$run/silent.wire")" = 23 ] ||
    problem "the device received '$(cat -A "$run/silent.wire")', expected '\$MERASE,4000,C000*5DCA' and a line feed"
check_end "exit 4, $(harness_seconds "$took") s after the port was opened, the device received the erase command alone; '$(outcome)'"

# The third of an update that the device has received when its adapter is pulled.
third=$(((whole_blocks + 2) / 3))
# pause_from MS SECONDS: the deliberate pause, the cable out for SECONDS since MS.
pause_from() {
    local left=$(($1 + $2 * 1000 - $(harness_now_ms)))
    [ "$left" -le 0 ] || sleep "$((left / 1000)).$(printf '%03d' $((left % 1000)))"
}
# at_third WIRE: the device recording to WIRE has received a third of the update.
at_third() { [ "$(wc -l <"$1")" -ge "$third" ]; }
# reopened_line: the log's one "Port reopened after" line, else what it has of them.
reopened_line() { result_lines log | sed -n 's/^ *[0-9]*  \(Port reopened after .*\)/\1/p'; }
erase_again=": the unit behind the cable may have changed, so the update starts again from the erase"

# replugged NAME same|another [held]: the adapter pulled once the device has received a third of
# an update and plugged back 3 s later; behind it then the same unit (its flash as the update left
# it) or another one, whose flash holds bytes of its own. "held": another program holds the port's
# node meanwhile, so that the kernel gives the adapter another name.
replugged() {
    local name=$1 unit=$2 held=${3:-} unplugged_at holder=""
    rm -f "$run/$name"-*.flash
    adapter_in "$name-a" --image "$images/whole.bin" --flash "$run/$name-a.flash" --record "$run/$name-a.wire"
    if [ -n "$held" ]; then
        guest 10 hold "$port" || problem "hold: $(cat "$run/answer")"
        holder=$(answer holder)
    fi
    run_send "$name" "$port" whole.bin --give-up-after 20
    harness_wait 120 at_third "$run/$name-a.wire" || harness_fail "the device did not receive $third messages within 120 s"
    unplugged_at=$(harness_now_ms)
    unplug ftdi
    device_stop
    expect_device "erases 1" "application starts 0"
    if [ "$unit" = another ]; then
        another_unit "$run/$name-b.flash"
    else
        cp "$run/$name-a.flash" "$run/$name-b.flash"
    fi
    device_start "$name-b" --image "$images/whole.bin" --flash "$run/$name-b.flash"
    pause_from "$unplugged_at" 3
    plug ftdi "$device_pty"
    run_wait 200
    [ -z "$holder" ] || guest 10 release "$holder" || problem "release: $(cat "$run/answer")"
    guest 40 plugged 30 || problem "no ttyUSB node after the replug: $(cat "$run/answer")"
    back_as=$(answer port)
    adapter_out
    expect_code 0
    # Erased again and written whole: only then does a unit with other bytes end with the image.
    expect_device "erases 1" "application starts 1" "flash matches the image"
    expect_written_again "$whole_bytes"
    reopened=$(reopened_line)
    [ "$(grep -c . <<<"$reopened")" = 1 ] || problem "the log says '${reopened:-no Port reopened after}'"
}
# details NAME: what a replugged run did, for the one who looks into a failure.
details() {
    local answer=$run/$1.answer
    echo "  $1:"
    sed -n 's/^err:/  stderr, ms into the run: /p; s/^watch:/  ttyUSB nodes | by-id links, ms into the run: /p' "$answer"
    sed -n 's/^log:/  log: /p' "$answer" | grep -E '[A-Za-z]{3}' || true
    sed -n 's/^dmesg:/  kernel: /p' "$answer" | grep -i -E 'ftdi|ttyUSB|disconnect|new full-speed' || true
}

check_begin "USB unplug at a third of an update, another unit behind the adapter plugged back 3 s later"
replugged unplug another
# Told at once (not by the next write) and the dead port closed at once: no spinning on it (a
# hung-up tty reads end-of-file without end, which would take all the CPU the guest gives until
# the next write fails, 2.4 s on), and the adapter gets its name back. Measured over the half
# second after the pull, before the program first looks for the adapter again (a second after
# it was told): Qt's port list costs a quarter of the CPU and more under TCG on a busy host.
watch_lines=$(sed -n 's/^watch://p' "$run/unplug.answer")
pulled_line=$(grep -m 1 '^[0-9]* ms: |' <<<"$watch_lines" || true)
after_line=$(grep -A 100 -F -x -- "$pulled_line" <<<"$watch_lines" | grep -m 1 '^[0-9]* ms: the same' || true)
ms_at() { sed -n 's/^\([0-9]*\) ms: .*/\1/p' <<<"$1"; }
cpu_at() { sed -n 's/.*CPU time so far: \([0-9]*\) ms.*/\1/p' <<<"$1"; }
spin="" spin_ms=""
if [ -n "$pulled_line" ] && [ -n "$after_line" ]; then
    spin_ms=$(($(ms_at "$after_line") - $(ms_at "$pulled_line")))
    spin=$((100 * ($(cpu_at "$after_line") - $(cpu_at "$pulled_line")) / spin_ms))
fi
[ -n "$spin" ] && [ "$spin" -lt 50 ] || problem "in the ${spin_ms:-?} ms after the pull, the program used ${spin:-?} % of the CPU"
[ "$back_as" = ttyUSB0 ] || problem "the adapter came back as $back_as, not ttyUSB0"
[[ $reopened =~ ^Port\ reopened\ after\ [0-9]+\.[0-9]\ s$erase_again$ ]] || problem "the log says '$reopened'"
[ ${#problems[@]} = 0 ] || details unplug
check_end "the same run completed: exit 0, the erase sent again, the other unit's flash exact, the adapter back as $back_as, '$reopened', ${spin:-?} % CPU in the $(harness_seconds "${spin_ms:-0}") s after the pull; the latency timer $(result latency_during) while it ran"

check_begin "USB unplug while another program holds the port: the adapter followed to its new name"
replugged follow same held
[ "$back_as" = ttyUSB1 ] || problem "the adapter came back as $back_as, not ttyUSB1"
followed="^Port reopened after [0-9]+\.[0-9] s as ttyUSB1 \(was ttyUSB0; the same adapter, serial number $adapter_serial\)$erase_again\$"
[[ $reopened =~ $followed ]] || problem "the log says '$reopened'"
[ ${#problems[@]} = 0 ] || details follow
check_end "the same run completed: exit 0, the erase sent again, flash exact; '$reopened'"

# Two adapters, a unit behind each and an update on each at once; both pulled and plugged back in
# the other order, so that the kernel gives each the other's name: each update follows its own
# adapter by its serial number, and each unit ends with its own image.
check_begin "two adapters pulled and plugged back in the other order: each update follows its own"
rm -f "$run"/swap-*.flash
serials=(VELMA001 VELMB002)
units=(a b)
swap_images=(whole.bin other.bin)
for i in 0 1; do
    unit=${units[$i]}
    device_start "swap-$unit" --image "$images/${swap_images[$i]}" --flash "$run/swap-$unit.flash" --record "$run/swap-$unit.wire"
    plug "ftdi$unit" "$device_pty" "${serials[$i]}"
    guest 40 plugged 30 "${serials[$i]}" || harness_fail "no ttyUSB node for ${serials[$i]} within 30 s of the plug: $(cat "$run/answer")"
    swap_ports[$i]=$(answer port)
done
[ "${swap_ports[*]}" = "ttyUSB0 ttyUSB1" ] || problem "plugged as ${swap_ports[*]}, not ttyUSB0 ttyUSB1"
for i in 0 1; do run_start "swap-${units[$i]}" "${swap_ports[$i]}" "${swap_images[$i]}" --give-up-after 30; done
for i in 0 1; do
    harness_wait 120 at_third "$run/swap-${units[$i]}.wire" || harness_fail "device ${units[$i]} did not receive $third messages within 120 s"
done
unplugged_at=$(harness_now_ms)
for i in 0 1; do
    unplug "ftdi${units[$i]}"
    device_stop "swap-${units[$i]}"
    expect_device "erases 1" "application starts 0"
done
guest 30 unplugged 20 || problem "a ttyUSB node still there 20 s after both unplugs: $(cat "$run/answer")"
# Each unit goes on behind its own adapter, its flash as its update left it.
for i in 0 1; do
    unit=${units[$i]}
    cp "$run/swap-$unit.flash" "$run/swap-$unit-back.flash"
    device_start "swap-$unit-back" --image "$images/${swap_images[$i]}" --flash "$run/swap-$unit-back.flash"
    swap_ptys[$i]=$device_pty
done
pause_from "$unplugged_at" 3
for i in 1 0; do
    plug "ftdi${units[$i]}" "${swap_ptys[$i]}" "${serials[$i]}"
    guest 40 plugged 30 "${serials[$i]}" || harness_fail "no ttyUSB node for ${serials[$i]} within 30 s of the replug: $(cat "$run/answer")"
    swapped_ports[$i]=$(answer port)
done
[ "${swapped_ports[*]}" = "ttyUSB1 ttyUSB0" ] ||
    problem "plugged back as ${swapped_ports[*]} (${serials[*]}), not ttyUSB1 ttyUSB0: the names did not swap"
swap_said=()
for i in 0 1; do
    unit=${units[$i]}
    run_collect "swap-$unit" 200
    expect_code 0
    expect_written_again "$(($(stat -c %s "$images/${swap_images[$i]}") - 0x4000))"
    reopened=$(reopened_line)
    was=${swap_ports[$i]} now=${swapped_ports[$i]}
    followed="^Port reopened after [0-9]+\.[0-9] s as $now \(was $was; the same adapter, serial number ${serials[$i]}\)$erase_again\$"
    [[ $reopened =~ $followed ]] || problem "run $unit's log says '$reopened'"
    swap_said+=("'$reopened'")
    # Said where the run looked at its old name while the other adapter had it (how often it
    # looks decides whether it does); udev may not have told the serial number yet.
    other=$(log_line "is now another adapter")
    other_said="^$was is now another adapter \(serial number (${serials[1 - i]}|not reported)\); waiting for ${serials[$i]}\$"
    [ -z "$other" ] || [[ $other =~ $other_said ]] || problem "run $unit's log says '$other'"
    [ "$(result_lines log | grep -c 'is now another adapter')" -le 1 ] || problem "run $unit's log says more than once that another adapter has its name"
    [ -z "$other" ] || swap_said+=("'$other'")
done
for i in 0 1; do
    unplug "ftdi${units[$i]}"
    device_stop "swap-${units[$i]}-back"
    expect_device "erases 1" "application starts 1" "flash matches the image"
done
guest 30 unplugged 20 || problem "a ttyUSB node still there 20 s after both unplugs: $(cat "$run/answer")"
if [ ${#problems[@]} != 0 ]; then
    details swap-a
    details swap-b
fi
check_end "both runs completed, exit 0, each unit's flash exact with its own image; ${serials[*]} as ${swap_ports[*]}, back as ${swapped_ports[*]}; ${swap_said[*]}"

qmp quit || true
harness_end "$qemu_pid" 10
echo "== Linux FTDI driver: $(harness_since "$began") s"
[ ${#failed[@]} = 0 ] || harness_fail "${#failed[@]} of 7 checks: $(printf '%s; ' "${failed[@]}")their files: $run"
