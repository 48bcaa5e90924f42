# Inside the machine of scripts/usb-vm: umtprd serves a folder as a USB MTP gadget on the dummy device
# controller, which the same kernel's dummy host controller enumerates as a plugged-in device.
# Sourced by suite.sh; needs configfs on /sys/kernel/config and the usb_f_fs and dummy_hcd modules.

gadget=/sys/kernel/config/usb_gadget/tandalo
gadget_serial=0123456789ABCDEF
# "1" while the cable is in, "0" while it is out; whoever changes it, or binds or unbinds the gadget,
# holds a lock on it (flock), so that the keeper below never binds a gadget someone has just unplugged.
gadget_plugged_file=/run/tandalo-gadget-plugged

# gadget_up STORE [COMMAND...]: umtprd serves STORE; returns once the host side has the device to stay
# and, given a COMMAND that talks to it, once the device has answered that command.
gadget_up() {
    local store=$1 limit
    mkdir -p "$gadget"
    echo 0x18D1 >"$gadget/idVendor"
    echo 0x4EE1 >"$gadget/idProduct"
    echo 0x0200 >"$gadget/bcdUSB"
    mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1/strings/0x409" "$gadget/functions/ffs.mtp"
    echo "$gadget_serial" >"$gadget/strings/0x409/serialnumber"
    echo "VM Maker" >"$gadget/strings/0x409/manufacturer"
    echo "VM Phone" >"$gadget/strings/0x409/product"
    echo MTP >"$gadget/configs/c.1/strings/0x409/configuration"
    ln -sf "$gadget/functions/ffs.mtp" "$gadget/configs/c.1/"
    mkdir -p /run/ffs-mtp
    mount -t functionfs mtp /run/ffs-mtp
    # umtprd reports changes it sees in its folder as events on the interrupt endpoint, and stops serving
    # while nobody reads them; the host side here reads no events, so it is told not to watch.
    cat >/run/umtprd.conf <<CONF
loop_on_disconnect 1
storage "$store" "Internal storage" "rw"
manufacturer "VM Maker"
product "VM Phone"
serial "$gadget_serial"
firmware_version "1"
interface "MTP"
usb_vendor_id 0x18D1
usb_product_id 0x4EE1
usb_class 0x6
usb_subclass 0x1
usb_protocol 0x1
usb_dev_version 0x3008
usb_functionfs_mode 0x1
usb_dev_path "/run/ffs-mtp/ep0"
usb_epin_path "/run/ffs-mtp/ep1"
usb_epout_path "/run/ffs-mtp/ep2"
usb_epint_path "/run/ffs-mtp/ep3"
usb_max_packet_size 0x200
no_inotify 0x1
usb_max_rd_buffer_size 0x100000
usb_max_wr_buffer_size 0x100000
CONF
    umtprd -conf /run/umtprd.conf >/run/umtprd.log 2>&1 &
    # FunctionFS refuses a bind until the program has written its descriptors and the endpoints exist.
    limit=$((SECONDS + ${TANDALO_GADGET_WAIT:-180}))
    until [ -e /run/ffs-mtp/ep1 ] || [ $SECONDS -ge $limit ]; do
        sleep 0.1
    done
    echo 1 >"$gadget_plugged_file"
    gadget_keep_plugged &
    gadget_plug || return 1
    # umtprd can be there for the host's enumeration and still not answer yet on a loaded machine; an
    # unplug and plug makes it start over.
    [ $# -lt 2 ] && return 0
    until timeout 60 "${@:2}"; do
        if [ $SECONDS -ge $limit ]; then
            echo "gadget: the device does not answer ${*:2}" >&2
            cat /run/umtprd.log >&2
            return 1
        fi
        gadget_unplug && gadget_plug || return 1
    done
}

gadget_udc() {
    ls /sys/class/udc | head -1
}

# The gadget's node on the host side ("/dev/bus/usb/001/002") once the host has it configured, with its
# MTP interface and that interface's name read (the kernel adds the name after the interface itself);
# nothing while it has not.
gadget_node() {
    local folder serial bus address interface class node
    for folder in /sys/bus/usb/devices/*; do
        { read -r serial <"$folder/serial" && [ "$serial" = "$gadget_serial" ] &&
            read -r bus <"$folder/busnum" && read -r address <"$folder/devnum"; } 2>/dev/null || continue
        for interface in "$folder/${folder##*/}":*; do
            { read -r class <"$interface/bInterfaceClass" && [ "$class" = 06 ] &&
                [ -e "$interface/interface" ]; } 2>/dev/null || continue
            printf -v node '/dev/bus/usb/%03d/%03d' "$bus" "$address"
            [ -c "$node" ] && echo "$node"
            return
        done
    done
    return 1
}

# umtprd takes an error on its endpoints (after a reset, or a transfer that a loaded machine made late)
# for an unplug, and then declares its function anew, which unbinds the gadget: the device leaves the
# host for good, where a phone would come back. So while the cable is in, an unbound gadget is bound
# again; FunctionFS refuses that until umtprd has declared its function.
gadget_keep_plugged() {
    local wanted bound
    while sleep 0.2; do
        {
            flock 9
            read -r wanted <&9
            read -r bound <"$gadget/UDC"
            [ "$wanted" = 1 ] && [ -z "$bound" ] && gadget_udc >"$gadget/UDC"
        } 9<"$gadget_plugged_file" 2>/dev/null
    done
}

# The cable goes in. The bind is repeated until the host has had the device, under the same node, for two
# seconds without a break: umtprd may unbind the gadget once more while it deals with an earlier unplug,
# and tests that start before then find no device, or lose it under their first transfers.
# gadget_plugged is when the host had it (date +%s%N). TANDALO_GADGET_WAIT bounds the wait.
gadget_plug() {
    local limit=$((SECONDS + ${TANDALO_GADGET_WAIT:-180})) node seen="" now
    flock "$gadget_plugged_file" sh -c "echo 1 >'$gadget_plugged_file'"
    while [ $SECONDS -lt $limit ]; do
        [ -n "$(cat "$gadget/UDC")" ] || gadget_udc 2>/dev/null >"$gadget/UDC"
        now=$(date +%s%N)
        node=$(gadget_node) || node=""
        if [ -z "$node" ] || [ "$node" != "$seen" ]; then
            seen=$node gadget_plugged=$now
        elif [ $((now - gadget_plugged)) -ge 2000000000 ]; then
            return 0
        fi
        sleep 0.1
    done
    echo "gadget: the device did not stay on the host side within ${TANDALO_GADGET_WAIT:-180} s" \
        "(UDC: '$(cat "$gadget/UDC")', last seen: '${seen:-nothing}')" >&2
    ls /sys/bus/usb/devices >&2
    cat /run/umtprd.log >&2
    return 1
}

# The cable comes out. umtprd may unbind the gadget once more after the next bind, while it deals with
# this unplug: the keeper and gadget_plug bind it again.
gadget_unplug() {
    flock "$gadget_plugged_file" sh -c "echo 0 >'$gadget_plugged_file' && echo >'$gadget/UDC'"
}
