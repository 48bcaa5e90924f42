#include "platform/usbfs/UsbfsDevice.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace usbfs {

namespace {

using namespace std::chrono_literals;

// One URB carries at most this much. usbfs takes its memory from a budget that all programs share
// (usbfs_memory_mb, 16 MiB by default), so a request far beyond this goes out in pieces.
constexpr std::size_t largestUrb = 4 * 1024 * 1024;
// The smallest piece tried when the kernel is short of that budget.
constexpr std::size_t smallestUrb = 16 * 1024;
// An IN transfer starts with small pieces, since most are a response or a dataset of a few hundred
// bytes, and a URB costs the kernel more the larger its buffer, whatever arrives: in the USB machine a
// GetObjectInfo whose dataset was read into a megabyte URB took 7-8 ms, against 5.2-5.7 ms with 16 KiB
// and 4.5-4.6 ms with 512 bytes (interleaved, one boot). A transfer that fills a piece goes on into the
// next, larger one, and then into the rest of the buffer. After a large read that came back full, the
// next one on the endpoint most likely goes on with the same transfer of the device and starts large; a
// smaller full read is most often the exact rest of a container, after which a response comes. The small
// pieces are whole packets at every speed.
constexpr std::array<std::size_t, 2> smallInPieces{1024, 16 * 1024};
constexpr std::size_t largeRead = 256 * 1024;
constexpr std::size_t setupLength = 8;
// How long a transfer that failed on the line waits for the kernel to report the device gone.
constexpr auto disconnectSettle = std::chrono::seconds(1);
constexpr auto century = std::chrono::hours(24 * 365 * 100);
// A leading caller looks at the clock at least this often, so its deadline holds on any clock.
constexpr auto leaderPollSlice = std::chrono::milliseconds(50);

std::string describe(const std::filesystem::path& node, const char* request, int error) {
    return std::string(request) + " on " + node.string() + " (" + std::strerror(error) + ")";
}

int ioctlRetrying(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

} // namespace

usb::Status statusFromErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return usb::Status::notPermitted;
    case EBUSY:
        return usb::Status::exclusiveAccess;
    case ENODEV:
    case ESHUTDOWN:
    case ENXIO:
    case ENOENT:
        return usb::Status::noDevice;
    case ETIMEDOUT:
        return usb::Status::timeout;
    case EPIPE:
        return usb::Status::stalled;
    case EOVERFLOW:
        return usb::Status::overrun;
    case EINVAL:
        return usb::Status::badArgument;
    default:
        return usb::Status::error;
    }
}

// A URB in flight and what its waiter needs to know about its end. The kernel writes into `urb` (and,
// for IN, into the caller's buffer) only while it is reaped, so the waiter does not return before
// `reaped` is set.
struct UsbfsDevice::Urb {
    std::uint64_t owner = 0;
    bool reaped = false;
    std::optional<usb::Status> endedBy; // set by a time-out, an abort or a close before the kernel's end
    usbdevfs_urb* request = nullptr;    // what the kernel sees; on the waiter's stack
};

std::unique_ptr<UsbfsDevice> UsbfsDevice::open(const std::filesystem::path& node, platform::Clock& clock) {
    platform::UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            throw usb::USBError(usb::Status::notPermitted,
                                "open " + node.string() +
                                    ": permission denied; the device node needs a udev rule that gives the "
                                    "user access (see the README) or membership of the group that owns it");
        }
        throw usb::USBError(statusFromErrno(error), describe(node, "open", error));
    }
    platform::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        throw usb::USBError(usb::Status::error, describe(node, "eventfd", errno));
    }
    return std::unique_ptr<UsbfsDevice>(new UsbfsDevice(node, std::move(fd), std::move(wake), clock));
}

UsbfsDevice::UsbfsDevice(std::filesystem::path node, platform::UniqueFd fd, platform::UniqueFd wake,
                         platform::Clock& clock)
    : m_node(std::move(node)), m_fd(std::move(fd)), m_wake(std::move(wake)), m_clock(clock) {
    m_reaper = std::jthread([this] { reap(); });
}

UsbfsDevice::~UsbfsDevice() {
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
        m_reaped.notify_all();
    }
    wakeReaper();
    m_reaper = std::jthread();
    // Closing the node (m_fd's destructor) kills whatever is still in flight without touching our memory.
}

void UsbfsDevice::wakeReaper() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake.get(), &one, sizeof one);
}

void UsbfsDevice::fail(const char* request, int error) const {
    throw usb::USBError(statusFromErrno(error), describe(m_node, request, error));
}

void UsbfsDevice::claimInterface(std::uint8_t number) {
    unsigned int interface = number;
    if (ioctlRetrying(m_fd.get(), USBDEVFS_CLAIMINTERFACE, &interface) != 0) {
        fail("claim interface", errno);
    }
}

void UsbfsDevice::releaseInterface(std::uint8_t number) noexcept {
    unsigned int interface = number;
    // EINVAL: not claimed through this node, which is what we wanted.
    ioctlRetrying(m_fd.get(), USBDEVFS_RELEASEINTERFACE, &interface);
}

void UsbfsDevice::disconnectAndClaim(std::uint8_t number) {
    usbdevfs_disconnect_claim request{};
    request.interface = number;
    request.flags = 0; // whoever holds it: a kernel driver or another program's claim
    if (ioctlRetrying(m_fd.get(), USBDEVFS_DISCONNECT_CLAIM, &request) != 0) {
        fail("take over interface", errno);
    }
}

void UsbfsDevice::setConfiguration(std::uint8_t value) {
    // -1 unconfigures; 0 would select a configuration numbered 0, which some broken devices have.
    int configuration = value == 0 ? -1 : value;
    if (ioctlRetrying(m_fd.get(), USBDEVFS_SETCONFIGURATION, &configuration) != 0) {
        fail("set configuration", errno);
    }
}

void UsbfsDevice::reset() {
    if (ioctlRetrying(m_fd.get(), USBDEVFS_RESET, nullptr) != 0) {
        fail("reset", errno);
    }
}

void UsbfsDevice::clearHalt(std::uint8_t endpoint) {
    unsigned int address = endpoint;
    if (ioctlRetrying(m_fd.get(), USBDEVFS_CLEAR_HALT, &address) != 0) {
        fail("clear halt", errno);
    }
}

std::size_t UsbfsDevice::transfer(TransferType type, std::uint8_t endpoint, std::span<std::byte> buffer,
                                  usb::Timeout timeout, std::uint64_t owner, const char* request) {
    const auto deadline =
        timeout == usb::noTimeout || timeout >= century
            ? platform::Clock::TimePoint::max()
            : m_clock.deadlineAfter(std::chrono::duration_cast<platform::Clock::Duration>(timeout));
    const bool in = (endpoint & 0x80) != 0;
    auto& continues = m_inContinues[endpoint & 0x0F];
    const bool startsSmall =
        in && type != TransferType::control && buffer.size() > smallInPieces[0] && !continues.load();
    std::size_t smallPiece = 0;
    std::size_t piece = startsSmall ? smallInPieces[0] : largestUrb;
    std::size_t moved = 0;
    do {
        const auto part = buffer.subspan(moved, std::min(piece, buffer.size() - moved));
        const auto got = submitAndWait(type, endpoint, part, deadline, owner, request);
        if (!got) {
            // The shared usbfs budget is short: a smaller piece may still fit.
            if (piece <= smallestUrb) {
                throw usb::USBError(usb::Status::error, describe(m_node, request, ENOMEM));
            }
            piece /= 2;
            continue;
        }
        moved += *got;
        // A control transfer is one request whatever it moved; an IN transfer ends at its first short
        // piece; an OUT one goes on until the buffer is sent.
        if (type == TransferType::control || (*got < part.size() && (in || *got == 0))) {
            break;
        }
        if (startsSmall && smallPiece < smallInPieces.size()) {
            ++smallPiece;
            piece = smallPiece < smallInPieces.size() ? smallInPieces[smallPiece] : largestUrb;
        }
    } while (moved < buffer.size());
    if (in && type != TransferType::control) {
        continues.store(moved == buffer.size() && buffer.size() >= largeRead);
    }
    return moved;
}

std::vector<std::byte> UsbfsDevice::control(const usb::ControlSetup& setup, std::span<const std::byte> data,
                                            usb::Timeout timeout, std::uint64_t owner, const char* request) {
    std::vector<std::byte> buffer(setupLength + setup.length);
    const std::uint8_t packet[setupLength] = {
        setup.requestType,
        setup.request,
        static_cast<std::uint8_t>(setup.value & 0xFF),
        static_cast<std::uint8_t>(setup.value >> 8),
        static_cast<std::uint8_t>(setup.index & 0xFF),
        static_cast<std::uint8_t>(setup.index >> 8),
        static_cast<std::uint8_t>(setup.length & 0xFF),
        static_cast<std::uint8_t>(setup.length >> 8),
    };
    std::memcpy(buffer.data(), packet, setupLength);
    if (!setup.isDeviceToHost()) {
        std::copy_n(data.begin(), std::min<std::size_t>(data.size(), setup.length),
                    buffer.begin() + setupLength);
    }
    const std::size_t moved =
        transfer(TransferType::control, usb::controlEndpoint, buffer, timeout, owner, request);
    if (!setup.isDeviceToHost()) {
        return {};
    }
    // The kernel counts the data stage only, and writes it after the set-up packet.
    const std::size_t received = std::min<std::size_t>(moved, setup.length);
    return {buffer.begin() + setupLength,
            buffer.begin() + static_cast<std::ptrdiff_t>(setupLength + received)};
}

std::optional<std::size_t> UsbfsDevice::submitAndWait(TransferType type, std::uint8_t endpoint,
                                                      std::span<std::byte> buffer,
                                                      platform::Clock::TimePoint deadline,
                                                      std::uint64_t owner, const char* request) {
    usbdevfs_urb kernelUrb{};
    Urb urb;
    urb.owner = owner;
    urb.request = &kernelUrb;
    kernelUrb.type = static_cast<unsigned char>(type);
    kernelUrb.endpoint = endpoint;
    kernelUrb.buffer = buffer.data();
    kernelUrb.buffer_length = static_cast<int>(buffer.size());
    kernelUrb.usercontext = &urb;

    std::unique_lock lock(m_mutex);
    if (m_gone) {
        throw usb::USBError(usb::Status::noDevice, describe(m_node, request, ENODEV));
    }
    // An owner closed between its look-up and now: usbfs would take the given-back claim again for it.
    if (const auto ended = m_ended.find(owner); ended != m_ended.end()) {
        throw usb::USBError(ended->second, std::string(request) + " on " + m_node.string());
    }
    // Listed before it is submitted, so an abort from another thread finds it from the first moment.
    m_inFlight.push_back(&urb);
    const auto listed = std::prev(m_inFlight.end());
    if (ioctlRetrying(m_fd.get(), USBDEVFS_SUBMITURB, &kernelUrb) != 0) {
        const int error = errno;
        m_inFlight.erase(listed);
        if (error == ENOMEM && buffer.size() > smallestUrb) {
            return std::nullopt;
        }
        fail(request, error);
    }
    // The caller of a bulk or control transfer reaps by itself while no other caller does: it wakes
    // straight from the kernel when its URB ends, where a hand-over from the reaper thread cost a few
    // thread switches per URB (about 1.5 ms a transaction on the USB machine's slow processors). An
    // interrupt transfer waits for the device's events, and leaves the reaping to the others.
    const bool mayLead = type != TransferType::interrupt;
    const auto canLead = [&] { return mayLead && !m_leading && m_callersLead; };
    if (!canLead()) {
        m_reaped.notify_all(); // the reaper thread sleeps while there is nothing for it to reap
    }
    bool discarded = false;
    while (!urb.reaped) {
        const auto until = discarded ? platform::Clock::TimePoint::max() : deadline;
        if (canLead()) {
            lead(lock, urb, until);
        } else {
            m_clock.waitUntil(lock, m_reaped, until, {}, [&] { return urb.reaped || canLead(); });
        }
        if (!urb.reaped && !discarded && m_clock.now() >= deadline) {
            if (!urb.endedBy) {
                urb.endedBy = usb::Status::timeout;
            }
            // EINVAL: it completed meanwhile; it is reaped either way.
            ioctlRetrying(m_fd.get(), USBDEVFS_DISCARDURB, &kernelUrb);
            discarded = true;
        }
    }
    m_inFlight.erase(listed);
    const int status = -kernelUrb.status;
    if (status == 0) {
        return static_cast<std::size_t>(std::max(kernelUrb.actual_length, 0));
    }
    if (urb.endedBy && (status == ENOENT || status == ECONNRESET)) {
        throw usb::USBError(*urb.endedBy, std::string(request) + " on " + m_node.string());
    }
    // A device that is pulled out fails the transfers in flight with a protocol error first (the
    // controller lost the link), and only then does the kernel notice that it has gone. Such an error is
    // given the moment it takes the kernel to tell the two apart.
    const bool lineError = status == EPROTO || status == EILSEQ || status == ETIME;
    if (lineError) {
        m_clock.waitUntil(lock, m_reaped, m_clock.deadlineAfter(disconnectSettle), {},
                          [&] { return m_gone; });
    }
    if (m_gone || status == ESHUTDOWN || status == ENODEV) {
        throw usb::USBError(usb::Status::noDevice, describe(m_node, request, ENODEV));
    }
    fail(request, status);
}

void UsbfsDevice::abort(std::uint64_t owner, std::optional<std::uint8_t> endpoint,
                        usb::Status status) noexcept {
    std::lock_guard guard(m_mutex);
    if (!endpoint) {
        m_ended.try_emplace(owner, status);
    }
    for (Urb* urb : m_inFlight) {
        if (urb->owner == owner && !urb->reaped && (!endpoint || urb->request->endpoint == *endpoint)) {
            if (!urb->endedBy) {
                urb->endedBy = status;
            }
            ioctlRetrying(m_fd.get(), USBDEVFS_DISCARDURB, urb->request);
        }
    }
}

void UsbfsDevice::markGone() noexcept {
    {
        std::lock_guard guard(m_mutex);
        m_gone = true;
        m_reaped.notify_all();
    }
    wakeReaper();
}

void UsbfsDevice::lead(std::unique_lock<std::mutex>& lock, const Urb& urb,
                       platform::Clock::TimePoint deadline) {
    m_leading = true;
    while (!urb.reaped) {
        const auto now = m_clock.now();
        if (now >= deadline) {
            break;
        }
        const auto left = std::min<platform::Clock::Duration>(deadline - now, leaderPollSlice);
        const int milliseconds = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        lock.unlock();
        pollfd descriptor{m_fd.get(), POLLOUT, 0};
        const int ready = ::poll(&descriptor, 1, milliseconds);
        lock.lock();
        const bool hungUp = ready > 0 && (descriptor.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        // A node that hung up reports so for ever: the reaper thread collects what is left at its pace.
        if (hungUp || !reapCompleted()) {
            m_callersLead = false;
            break;
        }
    }
    // Whoever waits takes over: another caller, or the reaper thread.
    m_leading = false;
    m_reaped.notify_all();
}

bool UsbfsDevice::reapCompleted() {
    bool any = false;
    while (true) {
        void* completed = nullptr;
        if (ioctlRetrying(m_fd.get(), USBDEVFS_REAPURBNDELAY, &completed) != 0) {
            const bool gone = errno == ENODEV;
            if (any) {
                m_reaped.notify_all();
            }
            return !gone;
        }
        static_cast<Urb*>(static_cast<usbdevfs_urb*>(completed)->usercontext)->reaped = true;
        any = true;
    }
}

void UsbfsDevice::reap() {
    while (true) {
        bool hungUp = false;
        {
            std::unique_lock lock(m_mutex);
            // While a caller leads, it reaps, and with nothing in flight there is nothing to reap: this
            // thread would only wake with the callers at every URB.
            const auto needed = [&] {
                return !m_leading && std::any_of(m_inFlight.begin(), m_inFlight.end(),
                                                 [](const Urb* urb) { return !urb->reaped; });
            };
            m_reaped.wait(lock, [&] { return needed() || m_gone || (m_stopping && m_inFlight.empty()); });
            if (m_stopping && m_inFlight.empty()) {
                return;
            }
            hungUp = m_gone;
        }
        if (!hungUp) {
            pollfd descriptors[2] = {{m_wake.get(), POLLIN, 0}, {m_fd.get(), POLLOUT, 0}};
            if (::poll(descriptors, 2, -1) < 0) {
                continue; // EINTR; nothing else can fail with two valid descriptors
            }
            if (descriptors[0].revents & POLLIN) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto drained = ::read(m_wake.get(), &count, sizeof count);
            }
            hungUp = (descriptors[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
        {
            std::lock_guard guard(m_mutex);
            if (!m_leading && !reapCompleted()) {
                hungUp = true;
            }
        }
        if (!hungUp) {
            continue;
        }
        // A node whose device has gone reports POLLHUP for ever, and the kernel may hand back the URBs it
        // failed a little after that: they are collected at a gentle pace until none is left.
        std::unique_lock lock(m_mutex);
        m_gone = true;
        m_reaped.notify_all();
        const auto waiting = [&] {
            return std::any_of(m_inFlight.begin(), m_inFlight.end(),
                               [](const Urb* urb) { return !urb->reaped; });
        };
        if (!waiting()) {
            // Nothing can be submitted any more; only the end is left to wait for.
            m_reaped.wait(lock, [&] { return m_stopping; });
            continue;
        }
        lock.unlock();
        m_clock.sleepFor(1ms);
    }
}

} // namespace usbfs
