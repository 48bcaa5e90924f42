#!/usr/bin/env bash
# Inside the machine of scripts/usb-vm (run by scripts/usb-vm-tests): umtprd serves a folder as a real
# USB device, and the Linux USB backend is tested against it: its own test program, the FUSE mount of
# the device through mount-tandalo (cp out and in, checked against the folder), the application seeing
# and mounting the device through the backend, and the benchmark.
#   suite.sh BUILD_FOLDER
set -uo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/gadget.sh"

work=/run/tandalo-vm
mkdir -p "$work/store/seed" "$work/mount"
echo "hello from the folder" >"$work/store/seed/hello.txt"
head -c 5242880 /dev/urandom >"$work/store/seed/big.bin"
gadget_up "$work/store" "$build/tests/platform/usbfs/vm/usbfs_vm_tests" --answers || exit 1

# A session bus for the polite-release test: the desktop's MTP service is reached over D-Bus.
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address 2>/dev/null) || unset DBUS_SESSION_BUS_ADDRESS
export TANDALO_VM_GADGET=$gadget TANDALO_VM_UDC=$(gadget_udc) TANDALO_VM_STORE=$work/store \
    TANDALO_VM_PLUGGED=$gadget_plugged_file

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
    # The user's own folder: the mount helper refuses a folder others may write into.
    chown 65534:65534 "$work/refused"
    output=$(setpriv --reuid=65534 --regid=65534 --clear-groups \
        "$build/tools/mount-tandalo" -f -t tandalo "mtp://$gadget_serial" "$work/refused" 2>&1)
    echo "$output"
    [[ "$output" == *"/dev/bus/usb/"*"udev rule"* ]]
}

# The application on the real backend: it finds the gadget through the kernel and mounts it, its window's
# Eject and Mount buttons work, an unplug during a copy leaves a clean folder, and a plug mounts it again.
app_control() { "$build/tools/tandalo-control" "$work/app/control.sock" "$@"; }
app_state() { app_control rows 2>/dev/null | awk -F'\t' -v id="$gadget_serial" '$1 == id { print $3 }'; }
wait_until() { # <seconds> <command...>
    local limit=$((SECONDS + $1))
    while [ $SECONDS -lt $limit ]; do
        "${@:2}" && return 0
        sleep 0.1
    done
    echo "application: gave up waiting for: ${*:2}"
    return 1
}
app_mounted() { [[ "$(app_state)" == "mounted "* ]] && mountpoint -q "$(app_state | cut -c9-)"; }
app_folder_gone() { ! mountpoint -q "$1" && [ ! -e "$1" ]; }
app_unlisted() { [ -z "$(app_state)" ]; }
# A program has written something, or has ended. Asked of the process, not of the mount: a look into the
# mount may wait behind the very copy it asks about.
writing() {
    local field value
    [ -e "/proc/$1" ] || return 0
    while read -r field value; do
        [ "$field" = wchar: ] && [ "$value" -gt 0 ] && return 0
    done <"/proc/$1/io"
    return 1
}

application() {
    local app=$work/app pid folder storage copier status=0
    mkdir -p "$app/home/Tandalo" "$app/run" "$app/prefs" && chmod 700 "$app/run"
    # The mount folder inside the machine, not the real home folder's, which is the host's; no set-up guide.
    printf 'mountRootBookmark=string:%s\nhasCompletedOnboarding=bool:true\n' "$app/home/Tandalo" \
        >"$app/prefs/tandalo.prefs"
    HOME=$app/home XDG_RUNTIME_DIR=$app/run XDG_CONFIG_HOME=$app/config TANDALO_PREFERENCES_DIR=$app/prefs \
        QT_QPA_PLATFORM=offscreen TANDALO_TEST_CONTROL=$app/control.sock "$build/tools/tandalo" >"$app/log" 2>&1 &
    pid=$!
    head -c 3145735 /dev/urandom >"$app/in.bin"
    head -c 33554432 /dev/urandom >"$app/large.bin"
    {
        wait_until 120 app_mounted && folder=$(app_state | cut -c9-) && storage=$(ls "$folder" | head -1) &&
            echo "application: mounted on $folder" &&
            cp "$folder/$storage/seed/big.bin" "$app/out.bin" && cmp "$app/out.bin" "$work/store/seed/big.bin" &&
            cp "$app/in.bin" "$folder/$storage/seed/in.bin" && sync "$folder/$storage/seed/in.bin" &&
            cmp "$app/in.bin" "$work/store/seed/in.bin" && echo "application: cp out and in, byte for byte" &&
            app_control press "$gadget_serial" eject >/dev/null && wait_until 60 app_folder_gone "$folder" &&
            [ "$(app_state)" = unmounted ] && echo "application: ejected with the window's button" &&
            app_control press "$gadget_serial" mount >/dev/null && wait_until 120 app_mounted &&
            folder=$(app_state | cut -c9-) && echo "application: mounted again with the window's button" &&
            { cp "$app/large.bin" "$folder/$storage/seed/large.bin" 2>/dev/null & } && copier=$! &&
            wait_until 60 writing "$copier" && gadget_unplug &&
            wait_until 120 app_folder_gone "$folder" && wait_until 60 app_unlisted &&
            echo "application: unplugged during a copy, the folder is gone" &&
            gadget_plug && wait_until 120 app_mounted &&
            echo "application: plugged in again, mounted again $((($(date +%s%N) - gadget_plugged) / 1000000)) ms" \
                "after the kernel had the device"
    } || status=1
    kill -TERM "$pid"
    wait "$pid" || { echo "application: ended with $?"; status=1; }
    if grep -q " fuse.tandalo " /proc/self/mountinfo; then
        echo "application: mounts are left after quitting"
        status=1
    fi
    [ -n "$(cat "$gadget/UDC")" ] || gadget_plug
    [ "$status" -eq 0 ] || tail -n 40 "$app/log"
    rm -f "$work/store/seed/in.bin" "$work/store/seed/large.bin"
    return $status
}

check "Linux USB backend against the kernel" "$build/tests/platform/usbfs/vm/usbfs_vm_tests" --gtest_brief=1
check "mount-tandalo: cp out and in through the kernel, byte for byte" mounted_copies
check "mount-tandalo without access to the device node names it" refused_mount
check "the application: the device mounted, cp, eject and mount with its window, unplug during a copy" application
if [ -x "$build/tools/tandalo-usb-bench" ]; then
    check "benchmark: whole objects against the mounted folder" "$build/tools/tandalo-usb-bench" \
        "$work/mount" "$work/store/seed"
    # Three rounds, each on a fresh mount, give the spread that one figure hides on a loaded machine;
    # TANDALO_TREE_ROUNDS=1 keeps a quick run short, and TANDALO_TREE_HELPERS (mount helpers separated by
    # spaces) measures other builds in the same boot.
    for helper in ${TANDALO_TREE_HELPERS:-$build/tools/mount-tandalo}; do
        check "benchmark: a tree of small files and a large file through $helper" \
            "$build/tools/tandalo-usb-bench" --tree "$work/mount" "$work/store/seed" "${TANDALO_TREE_ROUNDS:-3}" "$helper"
    done
fi
echo "$passed passed, $failed failed"
# What the device saw tells a failure of the device from one of ours.
[ "$failed" -eq 0 ] || { echo "== umtprd's log"; tail -n 40 /run/umtprd.log; }
[ "$failed" -eq 0 ]
