#include "platform/usbfs/HolderRelease.h"

#include "platform/foundation/Logger.h"

#include <memory>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace usbfs {

namespace {

// A method call may wait this long for its reply: an unmount gives the back end time to close the device.
constexpr std::uint64_t callTimeoutMicroseconds = 10'000'000;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error must be freed whatever happened.
struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
};

struct Mount {
    std::string busName;    // the back end's own connection: the process that serves the mount
    std::string objectPath; // the mount's object in that process
    std::string displayName;
};

const oslog::Logger& log() {
    static const oslog::Logger logger("usbfs", "release");
    return logger;
}

// The mounts the GVfs daemon tracks; empty when it does not run (it is not started for this).
std::vector<Mount> listMounts(sd_bus* bus) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, "org.gtk.vfs.Daemon", "/org/gtk/vfs/mounttracker",
                                       "org.gtk.vfs.MountTracker", "ListMounts") < 0) {
        return {};
    }
    const Message call(raw);
    sd_bus_message_set_auto_start(call.get(), 0);
    Error error;
    sd_bus_message* replyRaw = nullptr;
    if (sd_bus_call(bus, call.get(), callTimeoutMicroseconds, &error.error, &replyRaw) < 0) {
        return {};
    }
    const Message reply(replyRaw);
    std::vector<Mount> mounts;
    if (sd_bus_message_enter_container(reply.get(), 'a', "(sossssssbay(aya{sv})ay)") <= 0) {
        return {};
    }
    while (sd_bus_message_enter_container(reply.get(), 'r', "sossssssbay(aya{sv})ay") > 0) {
        const char* busName = nullptr;
        const char* objectPath = nullptr;
        const char* displayName = nullptr;
        if (sd_bus_message_read(reply.get(), "sos", &busName, &objectPath, &displayName) < 0 ||
            sd_bus_message_skip(reply.get(), "sssssbay(aya{sv})ay") < 0 ||
            sd_bus_message_exit_container(reply.get()) < 0) {
            break; // a reply of another shape: nothing more can be read from it safely
        }
        mounts.push_back({busName, objectPath, displayName});
    }
    return mounts;
}

std::int64_t processOf(sd_bus* bus, const std::string& busName) {
    Error error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "GetConnectionUnixProcessID", &error.error, &raw, "s", busName.c_str()) < 0) {
        return -1;
    }
    const Message reply(raw);
    std::uint32_t pid = 0;
    return sd_bus_message_read(reply.get(), "u", &pid) < 0 ? -1 : std::int64_t{pid};
}

class GVfsHolderRelease final : public HolderRelease {
public:
    bool requestRelease(const usb::ProcessIdentity& holder) override {
        sd_bus* raw = nullptr;
        if (sd_bus_open_user(&raw) < 0) {
            return false; // no session bus: nobody to ask
        }
        const Bus bus(raw);
        sd_bus_set_method_call_timeout(bus.get(), callTimeoutMicroseconds);
        for (const auto& mount : listMounts(bus.get())) {
            if (processOf(bus.get(), mount.busName) != holder.pid) {
                continue;
            }
            // The mount source ("", "/") is the one that asks no questions: nothing here could answer them.
            Error error;
            const int result =
                sd_bus_call_method(bus.get(), mount.busName.c_str(), mount.objectPath.c_str(),
                                   "org.gtk.vfs.Mount", "Unmount", &error.error, nullptr, "sou", "", "/", 0u);
            if (result < 0) {
                log().error("%{public}s (pid %d) would not unmount %{public}s: %{public}s", holder.name,
                            holder.pid, mount.displayName,
                            error.error.message != nullptr ? error.error.message : "no reason given");
                return false;
            }
            log().notice("asked %{public}s (pid %d) to unmount %{public}s", holder.name, holder.pid,
                         mount.displayName);
            return true;
        }
        return false;
    }
};

} // namespace

std::shared_ptr<HolderRelease> gvfsHolderRelease() {
    return std::make_shared<GVfsHolderRelease>();
}

} // namespace usbfs
