#include "platform/usbfs/Uevent.h"

#include "platform/usb/USBError.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <string_view>
#include <sys/socket.h>

namespace usbfs {

namespace {

// The kernel's uevent multicast group; udevd re-sends processed events on group 2.
constexpr unsigned kernelGroup = 1;
// Large enough for the bursts a hub with many devices sends at once.
constexpr int receiveBuffer = 1024 * 1024;

} // namespace

std::optional<Uevent> parseUevent(std::span<const std::byte> message) {
    const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
    const auto headerEnd = text.find('\0');
    const std::string_view header = text.substr(0, headerEnd);
    if (headerEnd == std::string_view::npos || header.find('@') == std::string_view::npos) {
        return std::nullopt;
    }
    Uevent event;
    for (std::size_t start = headerEnd + 1; start < text.size();) {
        auto end = text.find('\0', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view field = text.substr(start, end - start);
        if (const auto equals = field.find('='); equals != std::string_view::npos && equals > 0) {
            event.fields.insert_or_assign(std::string(field.substr(0, equals)),
                                          std::string(field.substr(equals + 1)));
        }
        start = end + 1;
    }
    const auto field = [&](const char* key) {
        const auto found = event.fields.find(key);
        return found == event.fields.end() ? std::string() : found->second;
    };
    event.action = field("ACTION");
    event.devicePath = field("DEVPATH");
    event.subsystem = field("SUBSYSTEM");
    if (event.action.empty() || event.subsystem.empty()) {
        return std::nullopt;
    }
    return event;
}

platform::UniqueFd openUeventSocket() {
    platform::UniqueFd socket(
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!socket) {
        throw usb::USBError(usb::Status::unavailable,
                            std::string("kernel uevent socket: ") + std::strerror(errno));
    }
    // Best effort: a smaller buffer only makes an overrun (and a full rescan) more likely.
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = kernelGroup;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw usb::USBError(usb::Status::unavailable,
                            std::string("kernel uevent socket bind: ") + std::strerror(errno));
    }
    return socket;
}

} // namespace usbfs
