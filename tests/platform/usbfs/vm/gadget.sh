# Inside the machine of scripts/usb-vm: umtprd serves a folder as a USB MTP gadget on the dummy device
# controller, which the same kernel's dummy host controller enumerates as a plugged-in device.
# Sourced by suite.sh; needs configfs on /sys/kernel/config and the usb_f_fs and dummy_hcd modules.

gadget=/sys/kernel/config/usb_gadget/tandalo
gadget_serial=0123456789ABCDEF

# gadget_up STORE: umtprd serves STORE; returns once the host side has the device's interface.
gadget_up() {
    local store=$1 tries
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
    for tries in $(seq 200); do
        [ -e /run/ffs-mtp/ep1 ] && break
        sleep 0.1
    done
    gadget_plug
}

gadget_udc() {
    ls /sys/class/udc | head -1
}

# FunctionFS refuses the bind until the program has declared its function, and umtprd declares it anew
# (unbinding the gadget meanwhile) after an unplug: the bind is repeated until the device stays.
gadget_plug() {
    local tries
    for tries in $(seq 400); do
        [ -n "$(cat "$gadget/UDC")" ] || gadget_udc 2>/dev/null >"$gadget/UDC"
        sleep 0.1
        [ -n "$(cat "$gadget/UDC")" ] && ls /sys/bus/usb/devices/*:1.0 >/dev/null 2>&1 && return 0
    done
    echo "gadget: the device did not appear on the host side" >&2
    cat /run/umtprd.log >&2
    return 1
}

gadget_unplug() {
    echo "" >"$gadget/UDC"
}
