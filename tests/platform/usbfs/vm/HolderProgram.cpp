// The helper modes of the machine's test program: another program that holds the MTP interface (as the
// desktop's MTP service does, optionally answering GVfs's D-Bus calls), an unprivileged user, and a
// check that the gadget answers before the suite starts.
#include "VmHelper.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/usbfs/LinuxBus.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <iostream>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace usbfs::vm {

namespace {

struct Holder {
    int fd = -1;
    unsigned interface = 0;
};

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// What GVfs's mount tracker answers: one mount, served by this process.
int listMounts(sd_bus_message* call, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    const char* self = nullptr;
    sd_bus_get_unique_name(sd_bus_message_get_bus(call), &self);
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_open_container(reply, 'a', "(sossssssbay(aya{sv})ay)");
    sd_bus_message_open_container(reply, 'r', "sossssssbay(aya{sv})ay");
    sd_bus_message_append(reply, "sossssssb", self, "/org/gtk/vfs/mount/1", "VM Phone", "mtp", "", "", "", "",
                          1);
    sd_bus_message_append_array(reply, 'y', "", 0);
    sd_bus_message_open_container(reply, 'r', "aya{sv}");
    sd_bus_message_append_array(reply, 'y', "/", 1);
    sd_bus_message_append(reply, "a{sv}", 1, "type", "s", "mtp");
    sd_bus_message_close_container(reply);
    sd_bus_message_append_array(reply, 'y', "/", 1);
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
    const int sent = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return sent;
}

// The mount's Unmount: the back end closes the device, which gives the interface back.
int unmount(sd_bus_message* call, void* data, sd_bus_error*) {
    auto* holder = static_cast<Holder*>(data);
    if (holder->fd >= 0) {
        ::ioctl(holder->fd, USBDEVFS_RELEASEINTERFACE, &holder->interface);
        ::close(holder->fd);
        holder->fd = -1;
        say("unmounted");
    }
    return sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable trackerTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListMounts", "", "a(sossssssbay(aya{sv})ay)", listMounts, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable mountTable[] = {SD_BUS_VTABLE_START(0),
                                    SD_BUS_METHOD("Unmount", "sou", "", unmount, SD_BUS_VTABLE_UNPRIVILEGED),
                                    SD_BUS_VTABLE_END};

bool inputEnded(int timeoutMilliseconds) {
    pollfd input{0, POLLIN, 0};
    if (::poll(&input, 1, timeoutMilliseconds) <= 0) {
        return false;
    }
    char byte = 0;
    return ::read(0, &byte, 1) <= 0;
}

int hold(const std::string& name, const std::string& node, unsigned interface, bool servesGVfs) {
    ::prctl(PR_SET_NAME, name.c_str());
    Holder holder{::open(node.c_str(), O_RDWR | O_CLOEXEC), interface};
    if (holder.fd < 0 || ::ioctl(holder.fd, USBDEVFS_CLAIMINTERFACE, &holder.interface) != 0) {
        say("error: cannot claim");
        return 1;
    }
    if (!servesGVfs) {
        say("held");
        while (!inputEnded(-1)) {
        }
        return 0;
    }
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/gtk/vfs/mounttracker", "org.gtk.vfs.MountTracker",
                                 trackerTable, &holder) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/gtk/vfs/mount/1", "org.gtk.vfs.Mount", mountTable,
                                 &holder) < 0 ||
        sd_bus_request_name(bus, "org.gtk.vfs.Daemon", 0) < 0) {
        say("error: no session bus");
        return 1;
    }
    say("held");
    while (true) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        pollfd descriptors[2] = {{0, POLLIN, 0},
                                 {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}};
        ::poll(descriptors, 2, 100);
        if ((descriptors[0].revents & (POLLIN | POLLHUP)) != 0 && inputEnded(0)) {
            break;
        }
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}

int openAsNobody() {
    constexpr uid_t nobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
        say("error: cannot become nobody");
        return 2;
    }
    LinuxBusOptions options;
    options.holderRelease = nullptr;
    const auto bus = LinuxBus::create(std::move(options));
    for (const auto& entry : bus->matchingEntries(usb::interfaceClassName)) {
        try {
            bus->open(entry.id, usb::OpenMode::exclusive);
            say("opened");
            return 1;
        } catch (const usb::USBError& error) {
            say(error.what());
            return error.status() == usb::Status::notPermitted ? 0 : 1;
        }
    }
    say("error: no interface");
    return 1;
}

// A session opened and closed: the device is there and its responder serves it.
int answers() {
    const auto bus = LinuxBus::create();
    const usb::ScopedDefaultBus scoped(bus);
    const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces(iokit::MainPort::forBus(bus));
    if (found.empty()) {
        std::cerr << "answers: no MTP interface on the bus" << std::endl;
        return 1;
    }
    try {
        const auto device = corvane::MTPDevice::connect(found.front(), corvane::TransportKind::iousbLib);
        device->hold()->open();
        device->close();
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "answers: " << error.what() << std::endl;
        return 1;
    }
}

} // namespace

std::optional<int> runHelperMode(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if ((mode == "--hold" || mode == "--gvfs") && argc == 5) {
        return hold(argv[2], argv[3], static_cast<unsigned>(std::atoi(argv[4])), mode == "--gvfs");
    }
    if (mode == "--open-as-nobody") {
        return openAsNobody();
    }
    if (mode == "--answers") {
        return answers();
    }
    return std::nullopt;
}

} // namespace usbfs::vm
