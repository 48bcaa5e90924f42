#include "simulation/peer/FunctionFSEndpoints.h"

#include "simulation/peer/RealPeerError.h"

#include <linux/usb/functionfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace simulation {

namespace {

constexpr std::size_t eventSize = sizeof(usb_functionfs_event);
static_assert(eventSize == 12);
constexpr std::size_t containerHeaderSize = 12;
constexpr std::uint32_t unknownContainerLength = 0xFFFFFFFF;

std::uint32_t littleEndian32(std::span<const std::byte> bytes) {
    return std::to_integer<std::uint32_t>(bytes[0]) | std::to_integer<std::uint32_t>(bytes[1]) << 8 |
           std::to_integer<std::uint32_t>(bytes[2]) << 16 | std::to_integer<std::uint32_t>(bytes[3]) << 24;
}

bool isHostToDevice(const usb::ControlSetup& setup) {
    return !setup.isDeviceToHost();
}

} // namespace

// Replies and the host wake-up, collected while m_mutex is held and delivered after it is released:
// a reply goes back into the file system, and the wake-up into the bus, neither of which may wait for
// this object's lock.
class FunctionFSEndpoints::Outbox {
public:
    explicit Outbox(const FunctionFSEndpoints& owner) : m_owner(owner) {}
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;
    ~Outbox() { deliver(); }

    void data(std::unique_ptr<EndpointIO> io, std::vector<std::byte> bytes) {
        m_replies.push_back({std::move(io), Kind::data, std::move(bytes), 0});
    }
    void written(std::unique_ptr<EndpointIO> io, std::size_t count) {
        m_replies.push_back({std::move(io), Kind::written, {}, count});
    }
    void error(std::unique_ptr<EndpointIO> io, int error) {
        m_replies.push_back({std::move(io), Kind::error, {}, static_cast<std::size_t>(error)});
    }
    void wakeHost() { m_wake = true; }

    /// Delivers what was collected; the owner's lock must not be held.
    void deliver() {
        auto replies = std::move(m_replies);
        m_replies.clear();
        for (Reply& reply : replies) {
            switch (reply.kind) {
            case Kind::data:
                reply.io->replyData(reply.bytes);
                break;
            case Kind::written:
                reply.io->replyWritten(reply.value);
                break;
            case Kind::error:
                reply.io->replyError(static_cast<int>(reply.value));
                break;
            }
        }
        if (std::exchange(m_wake, false)) {
            std::function<void()> wake;
            {
                std::lock_guard lock(m_owner.m_mutex);
                wake = m_owner.m_hostWake;
            }
            if (wake) {
                wake();
            }
        }
    }

private:
    enum class Kind { data, written, error };
    struct Reply {
        std::unique_ptr<EndpointIO> io;
        Kind kind;
        std::vector<std::byte> bytes;
        std::size_t value;
    };
    const FunctionFSEndpoints& m_owner;
    std::vector<Reply> m_replies;
    bool m_wake = false;
};

FunctionFSEndpoints::FunctionFSEndpoints(platform::Clock& clock) : m_clock(clock) {}

FunctionFSEndpoints::~FunctionFSEndpoints() {
    shutdown();
}

FunctionFSEndpoints::EndpointFile* FunctionFSEndpoints::fileLocked(std::size_t file) {
    if (file == 0 || file > m_files.size()) {
        return nullptr;
    }
    return &m_files[file - 1];
}

FunctionFSEndpoints::EndpointFile* FunctionFSEndpoints::fileForAddress(std::uint8_t address) {
    for (EndpointFile& file : m_files) {
        if (file.descriptor.address == address) {
            return &file;
        }
    }
    return nullptr;
}

int FunctionFSEndpoints::open(std::size_t file) {
    std::lock_guard lock(m_mutex);
    if (m_stage == Stage::closed) {
        return ENODEV;
    }
    if (file == 0) {
        return 0;
    }
    // Endpoint files exist once the descriptors have declared them.
    if (m_stage != Stage::bound || fileLocked(file) == nullptr) {
        return ENODEV;
    }
    return 0;
}

// --- ep0 ---------------------------------------------------------------------------------------------

void FunctionFSEndpoints::queueEvent(std::uint8_t type, const usb::ControlSetup* setup, Outbox& outbox) {
    std::array<std::byte, eventSize> event{};
    if (setup != nullptr) {
        usb_ctrlrequest request{};
        request.bRequestType = setup->requestType;
        request.bRequest = setup->request;
        request.wValue = setup->value; // little-endian on every machine this runs on
        request.wIndex = setup->index;
        request.wLength = setup->length;
        std::memcpy(event.data(), &request, sizeof request);
    }
    event[8] = std::byte{type};
    m_events.push_back(event);
    serveEventReads(outbox);
}

void FunctionFSEndpoints::serveEventReads(Outbox& outbox) {
    m_changed.notify_all();
    while (!m_eventReads.empty() && !m_events.empty()) {
        HeldRead read = std::move(m_eventReads.front());
        m_eventReads.pop_front();
        std::vector<std::byte> bytes;
        // As many whole events as fit; a set-up request is the last one a read returns, since the
        // function answers it before it reads on.
        while (!m_events.empty() && bytes.size() + eventSize <= read.size) {
            const auto event = m_events.front();
            m_events.pop_front();
            bytes.insert(bytes.end(), event.begin(), event.end());
            if (std::to_integer<std::uint8_t>(event[8]) == FUNCTIONFS_SETUP) {
                if (m_control) {
                    m_control->delivered = true;
                }
                break;
            }
        }
        outbox.data(std::move(read.io), std::move(bytes));
    }
}

void FunctionFSEndpoints::readControl(std::size_t size, std::unique_ptr<EndpointIO> io, Outbox& outbox) {
    if (m_stage != Stage::bound && m_stage != Stage::closed) {
        outbox.error(std::move(io), EBADFD);
        return;
    }
    if (m_control && m_control->delivered && !m_control->answer) {
        if (!isHostToDevice(m_control->setup)) {
            // Reading during an IN request is how a function refuses it.
            m_control->answer = usb::ControlReply::of(usb::Reply::stall);
            ++m_statistics.controlRequestsStalled;
            outbox.wakeHost();
            outbox.error(std::move(io), EL2HLT);
            return;
        }
        m_control->answer = usb::ControlReply::accept();
        ++m_statistics.controlRequestsAnswered;
        outbox.wakeHost();
        if (m_control->setup.length > 0) {
            std::vector<std::byte> bytes = m_control->hostData;
            bytes.resize(std::min(bytes.size(), size));
            outbox.data(std::move(io), std::move(bytes));
            return;
        }
        // A request without data is acknowledged by a zero-length read, which no file system passes
        // on; the function's next read of ep0 shows that it went on, so the request stands accepted
        // and this read waits for events like any other.
    }
    if (size < eventSize) {
        outbox.error(std::move(io), EINVAL);
        return;
    }
    if (m_events.empty() && m_stage == Stage::closed) {
        outbox.error(std::move(io), ENODEV);
        return;
    }
    m_eventReads.push_back({size, {}, std::move(io)});
    serveEventReads(outbox);
}

void FunctionFSEndpoints::writeControl(std::vector<std::byte> data, std::unique_ptr<EndpointIO> io,
                                       Outbox& outbox) {
    switch (m_stage) {
    case Stage::descriptors:
        try {
            m_descriptors = FunctionFSDescriptors::parse(data);
        } catch (const RealPeerError& error) {
            m_bindFailure = error.what();
            m_changed.notify_all();
            outbox.error(std::move(io), EINVAL);
            return;
        }
        // Built in place: the held requests inside an endpoint file are never copied.
        m_files = std::vector<EndpointFile>(m_descriptors->endpoints.size());
        for (std::size_t index = 0; index < m_files.size(); ++index) {
            m_files[index].descriptor = m_descriptors->endpoints[index];
            m_files[index].packetSize = std::max<std::size_t>(1, m_files[index].descriptor.packetSize());
        }
        m_stage = Stage::strings;
        outbox.written(std::move(io), data.size());
        return;
    case Stage::strings:
        try {
            m_strings = FunctionFSStrings::parse(data);
        } catch (const RealPeerError& error) {
            m_bindFailure = error.what();
            m_changed.notify_all();
            outbox.error(std::move(io), EINVAL);
            return;
        }
        m_stage = Stage::bound;
        outbox.written(std::move(io), data.size());
        // The function is complete: the gadget binds it at once, as one whose UDC is already chosen.
        queueEvent(FUNCTIONFS_BIND, nullptr, outbox);
        m_changed.notify_all();
        return;
    case Stage::bound:
        break;
    case Stage::closed:
        outbox.error(std::move(io), ENODEV);
        return;
    }
    if (m_control && m_control->delivered && !m_control->answer) {
        if (isHostToDevice(m_control->setup)) {
            // Writing during an OUT request is how a function refuses it.
            m_control->answer = usb::ControlReply::of(usb::Reply::stall);
            ++m_statistics.controlRequestsStalled;
            outbox.wakeHost();
            outbox.error(std::move(io), EL2HLT);
            return;
        }
        const std::size_t count = data.size();
        data.resize(std::min<std::size_t>(data.size(), m_control->setup.length));
        m_control->answer = usb::ControlReply::accept(std::move(data));
        ++m_statistics.controlRequestsAnswered;
        outbox.wakeHost();
        outbox.written(std::move(io), count);
        return;
    }
    ++m_statistics.unexpectedControlWrites;
    outbox.error(std::move(io), EINVAL);
}

// --- Endpoint files ----------------------------------------------------------------------------------

void FunctionFSEndpoints::read(std::size_t file, std::size_t size, std::unique_ptr<EndpointIO> io) {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    if (file == 0) {
        readControl(size, std::move(io), outbox);
        return;
    }
    EndpointFile* endpoint = fileLocked(file);
    if (m_stage == Stage::closed || endpoint == nullptr) {
        outbox.error(std::move(io), ENODEV);
        return;
    }
    if (endpoint->descriptor.direction() != usb::Direction::out) {
        outbox.error(std::move(io), EINVAL);
        return;
    }
    endpoint->reads.push_back({size, {}, std::move(io)});
    serveRead(*endpoint, outbox);
    m_changed.notify_all();
}

void FunctionFSEndpoints::write(std::size_t file, std::vector<std::byte> data,
                                std::unique_ptr<EndpointIO> io) {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    if (file == 0) {
        writeControl(std::move(data), std::move(io), outbox);
        return;
    }
    EndpointFile* endpoint = fileLocked(file);
    if (m_stage == Stage::closed || endpoint == nullptr) {
        outbox.error(std::move(io), ENODEV);
        return;
    }
    if (endpoint->descriptor.direction() != usb::Direction::in) {
        outbox.error(std::move(io), EINVAL);
        return;
    }
    if (endpoint->descriptor.transferType() == usb::TransferType::interrupt && m_enabled) {
        if (endpoint->interruptPackets.size() >= interruptQueueLimit) {
            endpoint->interruptPackets.pop_front();
            ++m_statistics.interruptPacketsDropped;
        }
        ++m_statistics.interruptPacketsQueued;
        const std::size_t count = data.size();
        endpoint->interruptPackets.push_back(std::move(data));
        outbox.written(std::move(io), count);
        outbox.wakeHost();
        return;
    }
    // A bulk write (or any write while disabled, which waits for ENABLE as FunctionFS makes it) is held
    // until the host takes it.
    endpoint->writes.push_back({std::move(data), std::move(io)});
    if (m_enabled) {
        outbox.wakeHost();
        m_changed.notify_all();
    }
}

void FunctionFSEndpoints::interrupt(std::uint64_t key) {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    const auto takeFrom = [&](auto& held) {
        const auto found =
            std::find_if(held.begin(), held.end(), [&](const auto& each) { return each.io->key() == key; });
        if (found == held.end()) {
            return false;
        }
        ++m_statistics.interruptedRequests;
        outbox.error(std::move(found->io), EINTR);
        held.erase(found);
        return true;
    };
    if (takeFrom(m_eventReads)) {
        return;
    }
    for (EndpointFile& file : m_files) {
        if (takeFrom(file.reads) || takeFrom(file.writes)) {
            return;
        }
    }
}

void FunctionFSEndpoints::serveRead(EndpointFile& file, Outbox& outbox) {
    if (!m_enabled) {
        return;
    }
    bool drained = false;
    while (!file.reads.empty()) {
        HeldRead& read = file.reads.front();
        bool complete = read.gathered.size() >= read.size;
        while (!complete && !file.host.empty()) {
            HostTransfer& transfer = file.host.front();
            if (transfer.data.empty()) {
                // A zero-length packet ends the read with what it has, possibly nothing.
                file.host.pop_front();
                drained = file.host.empty();
                complete = true;
                break;
            }
            const std::size_t take =
                std::min(transfer.data.size() - transfer.offset, read.size - read.gathered.size());
            const auto begin = transfer.data.begin() + static_cast<std::ptrdiff_t>(transfer.offset);
            read.gathered.insert(read.gathered.end(), begin, begin + static_cast<std::ptrdiff_t>(take));
            transfer.offset += take;
            if (transfer.offset == transfer.data.size()) {
                // A transfer that is not whole packets ends in a short packet, which ends the read; one of
                // whole packets runs on into the next.
                const bool shortPacket = transfer.data.size() % file.packetSize != 0;
                file.host.pop_front();
                drained = file.host.empty();
                if (shortPacket) {
                    complete = true;
                }
            }
            if (read.gathered.size() >= read.size) {
                complete = true;
            }
        }
        if (!complete) {
            break;
        }
        outbox.data(std::move(read.io), std::move(read.gathered));
        file.reads.pop_front();
    }
    if (drained) {
        outbox.wakeHost(); // a host write that was refused for want of room may go now
    }
}

usb::InTransfer::ZeroLengthPacket FunctionFSEndpoints::endOfWrite(EndpointFile& file,
                                                                  std::span<const std::byte> data) {
    using ZLP = usb::InTransfer::ZeroLengthPacket;
    ContainerTracker& tracker = file.tracker;
    bool endsAlignedContainer = false;
    std::size_t offset = 0;
    while (offset < data.size()) {
        if (tracker.left == 0 && !tracker.unknownLength) {
            // A container starts here. A header cut by the write is not followed: the write that cut it
            // is the function's own packet boundary.
            if (data.size() - offset < 4) {
                break;
            }
            tracker.length = littleEndian32(data.subspan(offset, 4));
            if (tracker.length == unknownContainerLength) {
                tracker.unknownLength = true; // the data runs until a short packet
            } else {
                tracker.left = std::max<std::uint64_t>(tracker.length, containerHeaderSize);
            }
        }
        const std::size_t rest = data.size() - offset;
        if (tracker.unknownLength) {
            if (rest % file.packetSize != 0) {
                tracker.unknownLength = false;
            }
            break;
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(tracker.left, rest));
        tracker.left -= take;
        offset += take;
        endsAlignedContainer = tracker.left == 0 && tracker.length % file.packetSize == 0;
    }
    if (!tracker.unknownLength && tracker.left > 0 && data.size() % file.packetSize != 0) {
        // The host's read ends here, in the middle of the container; a host that reads on still gets
        // the rest, so the container is followed by its length all the same.
        ++m_statistics.shortWritesInsideContainers;
    }
    if (endsAlignedContainer && data.size() % file.packetSize == 0) {
        ++m_statistics.zeroLengthPacketsAdded;
        return ZLP::whenAligned;
    }
    return ZLP::never;
}

// --- Lifecycle ---------------------------------------------------------------------------------------

bool FunctionFSEndpoints::waitUntilBound(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    m_clock.waitFor(lock, m_changed, limit, {}, [&] {
        return m_stage == Stage::bound || m_stage == Stage::closed || !m_bindFailure.empty();
    });
    return m_stage == Stage::bound;
}

bool FunctionFSEndpoints::waitUntilSettled(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    const auto handled = [&] {
        const bool waitsForHost =
            m_enabled && std::any_of(m_files.begin(), m_files.end(),
                                     [](const EndpointFile& file) { return !file.writes.empty(); });
        return (m_events.empty() && !m_eventReads.empty()) || waitsForHost;
    };
    m_clock.waitFor(lock, m_changed, limit, {}, [&] { return handled() || m_stage == Stage::closed; });
    return handled() && m_stage != Stage::closed;
}

bool FunctionFSEndpoints::waitUntilWaitingForHost(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_clock.waitFor(lock, m_changed, limit, {}, [&] {
        return m_enabled && std::any_of(m_files.begin(), m_files.end(), [](const EndpointFile& file) {
                   return file.descriptor.transferType() == usb::TransferType::bulk &&
                          (!file.reads.empty() || !file.writes.empty());
               });
    });
}

bool FunctionFSEndpoints::isBound() const {
    std::lock_guard lock(m_mutex);
    return m_stage == Stage::bound;
}

std::string FunctionFSEndpoints::bindFailure() const {
    std::lock_guard lock(m_mutex);
    return m_bindFailure;
}

std::optional<FunctionFSDescriptors> FunctionFSEndpoints::descriptors() const {
    std::lock_guard lock(m_mutex);
    return m_descriptors;
}

std::optional<FunctionFSStrings> FunctionFSEndpoints::strings() const {
    std::lock_guard lock(m_mutex);
    return m_strings;
}

void FunctionFSEndpoints::enable() {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    if (m_stage != Stage::bound) {
        return;
    }
    if (m_enabled) {
        disableLocked(outbox);
    }
    m_enabled = true;
    queueEvent(FUNCTIONFS_ENABLE, nullptr, outbox);
    m_changed.notify_all();
    // I/O that waited for the function to be enabled goes on now.
    for (EndpointFile& file : m_files) {
        serveRead(file, outbox);
        if (!file.writes.empty()) {
            outbox.wakeHost();
        }
    }
}

void FunctionFSEndpoints::disable() {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    disableLocked(outbox);
}

void FunctionFSEndpoints::disableLocked(Outbox& outbox) {
    if (!m_enabled) {
        return;
    }
    m_enabled = false;
    if (m_control && !m_control->answer) {
        m_control->answer = usb::ControlReply::of(usb::Reply::stall);
    }
    failHeldEndpointIO(ESHUTDOWN, outbox);
    for (EndpointFile& file : m_files) {
        file.host.clear();
        file.interruptPackets.clear();
        file.tracker = {};
    }
    queueEvent(FUNCTIONFS_DISABLE, nullptr, outbox);
    outbox.wakeHost();
}

void FunctionFSEndpoints::failHeldEndpointIO(int error, Outbox& outbox) {
    for (EndpointFile& file : m_files) {
        for (HeldRead& read : file.reads) {
            outbox.error(std::move(read.io), error);
        }
        file.reads.clear();
        for (HeldWrite& write : file.writes) {
            outbox.error(std::move(write.io), error);
        }
        file.writes.clear();
    }
}

void FunctionFSEndpoints::shutdown() {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    if (m_stage == Stage::closed) {
        return;
    }
    disableLocked(outbox);
    const bool wasBound = m_stage == Stage::bound;
    m_stage = Stage::closed;
    if (wasBound) {
        queueEvent(FUNCTIONFS_UNBIND, nullptr, outbox);
    }
    failHeldEndpointIO(ENODEV, outbox);
    for (HeldRead& read : m_eventReads) {
        outbox.error(std::move(read.io), ENODEV);
    }
    m_eventReads.clear();
    m_changed.notify_all();
}

bool FunctionFSEndpoints::isEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

// --- Host side ---------------------------------------------------------------------------------------

void FunctionFSEndpoints::setHostWake(std::function<void()> wake) {
    std::lock_guard lock(m_mutex);
    m_hostWake = std::move(wake);
}

bool FunctionFSEndpoints::acceptOut(std::uint8_t endpoint, std::span<const std::byte> data) {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    EndpointFile* file = fileForAddress(endpoint);
    if (!m_enabled || file == nullptr || file->descriptor.direction() != usb::Direction::out) {
        return false;
    }
    // One host transfer at a time: the next waits until the function has read this one, so a device
    // that stops reading holds the host up as a real one does.
    if (!file->host.empty()) {
        return false;
    }
    if (data.empty()) {
        ++m_statistics.hostZeroLengthPackets;
    }
    file->host.push_back({std::vector<std::byte>(data.begin(), data.end()), 0});
    serveRead(*file, outbox);
    return true;
}

std::optional<usb::InTransfer> FunctionFSEndpoints::takeIn(std::uint8_t endpoint) {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    EndpointFile* file = fileForAddress(endpoint);
    if (!m_enabled || file == nullptr || file->descriptor.direction() != usb::Direction::in) {
        return std::nullopt;
    }
    if (!file->interruptPackets.empty()) {
        usb::InTransfer transfer{std::move(file->interruptPackets.front()),
                                 usb::InTransfer::ZeroLengthPacket::whenAligned};
        file->interruptPackets.pop_front();
        return transfer;
    }
    if (file->writes.empty()) {
        return std::nullopt;
    }
    HeldWrite write = std::move(file->writes.front());
    file->writes.pop_front();
    usb::InTransfer transfer;
    transfer.zeroLengthPacket = file->descriptor.transferType() == usb::TransferType::interrupt
                                    ? usb::InTransfer::ZeroLengthPacket::whenAligned
                                    : endOfWrite(*file, write.data);
    // The function's write completes when its transfer leaves for the host.
    outbox.written(std::move(write.io), write.data.size());
    transfer.data = std::move(write.data);
    return transfer;
}

usb::ControlReply FunctionFSEndpoints::control(const usb::ControlSetup& setup,
                                               std::span<const std::byte> data) {
    Outbox outbox(*this);
    std::lock_guard lock(m_mutex);
    if (m_stage != Stage::bound || !m_enabled || !isForFunctionLocked(setup)) {
        return usb::ControlReply::of(usb::Reply::stall);
    }
    const std::vector<std::byte> hostData(data.begin(), data.end());
    if (m_control && m_control->setup == setup && m_control->hostData == hostData) {
        if (!m_control->answer) {
            return usb::ControlReply::of(usb::Reply::notYet);
        }
        usb::ControlReply answer = std::move(*m_control->answer);
        m_control.reset();
        return answer;
    }
    // A new request. One the host gave up on is forgotten, and its event with it if still queued.
    if (m_control && !m_control->delivered) {
        const auto setupEvent = std::find_if(m_events.begin(), m_events.end(), [](const auto& event) {
            return std::to_integer<std::uint8_t>(event[8]) == FUNCTIONFS_SETUP;
        });
        if (setupEvent != m_events.end()) {
            m_events.erase(setupEvent);
        }
    }
    m_control = Control{setup, hostData, false, std::nullopt};
    queueEvent(FUNCTIONFS_SETUP, &setup, outbox);
    return usb::ControlReply::of(usb::Reply::notYet);
}

bool FunctionFSEndpoints::isForFunctionLocked(const usb::ControlSetup& setup) const {
    // FunctionFS passes on the requests addressed to its interface or one of its endpoints, and the rest
    // only to a function that asked for every recipient.
    if ((m_descriptors->flags & FUNCTIONFS_ALL_CTRL_RECIP) != 0) {
        return true;
    }
    const std::uint8_t recipient = setup.requestType & 0x1F;
    const auto target = static_cast<std::uint8_t>(setup.index & 0xFF);
    if (recipient == 1) {
        return target == m_descriptors->interfaceNumber;
    }
    if (recipient == 2) {
        return std::any_of(m_files.begin(), m_files.end(),
                           [&](const EndpointFile& file) { return file.descriptor.address == target; });
    }
    return false;
}

FunctionFSStatistics FunctionFSEndpoints::statistics() const {
    std::lock_guard lock(m_mutex);
    return m_statistics;
}

} // namespace simulation
