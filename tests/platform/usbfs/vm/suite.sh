#!/usr/bin/env bash
# Inside the machine of scripts/usb-vm (run by scripts/usb-vm-tests): umtprd serves a folder as a real
# USB device, and the Linux USB backend is tested against it: its own test program, the FUSE mount of
# the device through mount-tandalo (cp out and in, checked against the folder), and the benchmark.
#   suite.sh BUILD_FOLDER
set -uo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/gadget.sh"

work=/run/tandalo-vm
mkdir -p "$work/store/seed" "$work/mount"
echo "hello from the folder" >"$work/store/seed/hello.txt"
head -c 5242880 /dev/urandom >"$work/store/seed/big.bin"
gadget_up "$work/store" || exit 1

# A session bus for the polite-release test: the desktop's MTP service is reached over D-Bus.
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address 2>/dev/null) || unset DBUS_SESSION_BUS_ADDRESS
export TANDALO_VM_GADGET=$gadget TANDALO_VM_UDC=$(gadget_udc) TANDALO_VM_STORE=$work/store

passed=0
failed=0
check() { # <title> <command...>
    local title=$1 began=$SECONDS
    shift
    echo "== $title"
    if "$@"; then
        passed=$((passed + 1))
        echo "== $title: passed ($((SECONDS - began)) s)"
    else
        failed=$((failed + 1))
        echo "== $title: FAILED ($((SECONDS - began)) s)"
    fi
}

mounted_copies() {
    local mount=$work/mount storage status=0
    "$build/tools/mount-tandalo" -t tandalo "mtp://$gadget_serial" "$mount" || return 1
    storage=$(ls "$mount" | head -1)
    head -c 3145735 /dev/urandom >"$work/in.bin"
    cp "$mount/$storage/seed/big.bin" "$work/out.bin" && cmp "$work/out.bin" "$work/store/seed/big.bin" &&
        cp "$work/in.bin" "$mount/$storage/seed/in.bin" && sync "$mount/$storage/seed/in.bin" &&
        cmp "$work/in.bin" "$work/store/seed/in.bin" &&
        [ "$(cat "$mount/$storage/seed/hello.txt")" = "hello from the folder" ] || status=1
    umount "$mount" || status=1
    rm -f "$work/store/seed/in.bin"
    return $status
}

# A user who may not open the device node is told which node, and what would let them.
refused_mount() {
    local output
    mkdir -p "$work/refused"
    chmod 777 "$work/refused"
    output=$(setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$build/tools/mount-tandalo" -f -t tandalo "mtp://$gadget_serial" "$work/refused" 2>&1)
    echo "$output"
    [[ "$output" == *"/dev/bus/usb/"*"udev rule"* ]]
}

check "Linux USB backend against the kernel" "$build/tests/platform/usbfs/vm/usbfs_vm_tests" --gtest_brief=1
check "mount-tandalo: cp out and in through the kernel, byte for byte" mounted_copies
check "mount-tandalo without access to the device node names it" refused_mount
if [ -x "$build/tools/tandalo-usb-bench" ]; then
    check "benchmark: whole objects against the mounted folder" "$build/tools/tandalo-usb-bench" \
        "$work/mount" "$work/store/seed"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
