#pragma once

#include "platform/foundation/Clock.h"
#include "platform/usb/DeviceFunction.h"
#include "platform/usb/Endpoint.h"
#include "simulation/peer/FunctionFSDescriptors.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace simulation {

/// One read or write that a function made on an endpoint file and that waits for its answer. The file
/// system that serves the files implements it. Exactly one reply is made, once, from any thread.
class EndpointIO {
public:
    virtual ~EndpointIO() = default;
    /// Identifies the request when the file system reports that its caller was interrupted.
    virtual std::uint64_t key() const = 0;
    virtual void replyData(std::span<const std::byte> data) = 0; // a read's bytes (possibly none)
    virtual void replyWritten(std::size_t count) = 0;            // a write's count
    virtual void replyError(int error) = 0;                      // an errno value
};

/// What the emulation did on its own, for tests and for the report of a run.
struct FunctionFSStatistics {
    /// Zero-length packets appended to function writes that ended a container of whole packets: the
    /// function wrote them, but zero-length writes never reach a file system.
    std::uint64_t zeroLengthPacketsAdded = 0;
    /// Zero-length packets the host sent on a bulk-OUT endpoint.
    std::uint64_t hostZeroLengthPackets = 0;
    /// Function writes that were not whole packets although their container went on: on a real bus
    /// the short packet would have ended the host's read in the middle of the container.
    std::uint64_t shortWritesInsideContainers = 0;
    std::uint64_t interruptPacketsQueued = 0;
    std::uint64_t interruptPacketsDropped = 0;
    /// Control requests the function answered, and those it stalled.
    std::uint64_t controlRequestsAnswered = 0;
    std::uint64_t controlRequestsStalled = 0;
    /// Writes to ep0 outside a control request's data stage.
    std::uint64_t unexpectedControlWrites = 0;
    /// Requests failed because their caller was interrupted by a signal.
    std::uint64_t interruptedRequests = 0;
};

/// The kernel side of a Linux FunctionFS instance, without the kernel: ep0 takes the function's
/// descriptor and string blobs and hands it events (bind, enable, disable, set-up requests, unbind); the
/// other endpoint files carry its bulk and interrupt transfers. The host side (a device function on the
/// simulated bus) feeds it the host's transfers and takes the function's, with the packet rules of USB:
/// - bulk OUT: a function read ends at a short packet, a zero-length packet or a full buffer, never at
///   the boundary between the host's transfers of whole packets;
/// - bulk IN: each function write is one transfer; one that ends a container whose length is a whole
///   number of packets ends with a zero-length packet, which the function wrote but could not pass
///   through a file system (see FunctionFSStatistics);
/// - interrupt IN: always drained, so a function that writes events while holding its own locks never
///   blocks on a host that does not poll; the newest packets wait for the host.
///
/// Nothing here blocks: a request that must wait is held and answered later, from whichever thread makes
/// it possible. Every member may be called from any thread. Time-outs are the host's and the caller's.
class FunctionFSEndpoints {
public:
    /// How many interrupt packets wait for the host before the oldest are dropped.
    static constexpr std::size_t interruptQueueLimit = 64;

    explicit FunctionFSEndpoints(platform::Clock& clock = platform::Clock::system());
    ~FunctionFSEndpoints();
    FunctionFSEndpoints(const FunctionFSEndpoints&) = delete;
    FunctionFSEndpoints& operator=(const FunctionFSEndpoints&) = delete;

    // The function's side: file 0 is ep0, file n is the n-th declared endpoint.

    /// 0 when the file may be opened, else an errno value (ENODEV before the blobs or after shutdown).
    int open(std::size_t file);
    void read(std::size_t file, std::size_t size, std::unique_ptr<EndpointIO> io);
    void write(std::size_t file, std::vector<std::byte> data, std::unique_ptr<EndpointIO> io);
    /// The caller of the request with this key was interrupted: it fails with EINTR if still held.
    void interrupt(std::uint64_t key);

    // Lifecycle.

    /// Blocks (on the clock, at most limit) until the function has written both blobs; BIND is then
    /// queued. Returns false at the limit or when a blob was malformed (see bindFailure).
    bool waitUntilBound(std::chrono::milliseconds limit);
    bool isBound() const;
    /// Blocks (on the clock, at most limit) until the function has taken every queued event and waits on
    /// ep0 for the next, which is when it has acted on them, or until it waits for the host to take data
    /// it wrote (it may act on no event before that). Returns false at the limit or after shutdown.
    bool waitUntilSettled(std::chrono::milliseconds limit);
    /// Blocks (on the clock, at most limit) until the function waits for the host: a bulk read of
    /// its is held for want of data, or a bulk write for want of a host read. Returns false at the limit.
    bool waitUntilWaitingForHost(std::chrono::milliseconds limit);
    /// Why a blob was refused, or "".
    std::string bindFailure() const;
    std::optional<FunctionFSDescriptors> descriptors() const;
    std::optional<FunctionFSStrings> strings() const;
    /// The host configured the device: ENABLE (after DISABLE when already enabled).
    void enable();
    /// The host went away or deconfigured the device: DISABLE; held endpoint I/O fails with ESHUTDOWN
    /// and the data queued in either direction is dropped.
    void disable();
    /// The end: disable(), UNBIND, every held request fails and every later one fails at once (ep0
    /// reads still get the events queued before).
    void shutdown();
    bool isEnabled() const;

    // The host's side, for the device function on the bus.

    /// Called, outside every lock, whenever something the host waits for may have arrived.
    void setHostWake(std::function<void()> wake);
    /// The host's transfer on a bulk-OUT endpoint (empty: a zero-length packet). False (a NAK) while the
    /// function has not yet read the previous one, or while the function is disabled.
    bool acceptOut(std::uint8_t endpoint, std::span<const std::byte> data);
    /// The function's next transfer on an IN endpoint, or nothing for now.
    std::optional<usb::InTransfer> takeIn(std::uint8_t endpoint);
    /// A class or vendor request: notYet until the function answers it through ep0.
    usb::ControlReply control(const usb::ControlSetup& setup, std::span<const std::byte> data);

    FunctionFSStatistics statistics() const;

private:
    struct HeldRead {
        std::size_t size = 0;
        std::vector<std::byte> gathered;
        std::unique_ptr<EndpointIO> io;
    };
    struct HeldWrite {
        std::vector<std::byte> data;
        std::unique_ptr<EndpointIO> io;
    };
    struct HostTransfer {
        std::vector<std::byte> data;
        std::size_t offset = 0;
    };
    // Where the function's IN stream stands inside the container it is writing.
    struct ContainerTracker {
        std::uint64_t left = 0;   // bytes of the current container still to come; 0 at a boundary
        std::uint32_t length = 0; // the current container's length field
        bool unknownLength = false;
    };
    struct EndpointFile {
        usb::EndpointDescriptor descriptor;
        std::size_t packetSize = 512;
        std::deque<HeldRead> reads;    // OUT: the function's reads, oldest first
        std::deque<HostTransfer> host; // OUT: host transfers not yet read
        std::deque<HeldWrite> writes;  // IN: the function's writes not yet taken by the host
        std::deque<std::vector<std::byte>> interruptPackets; // interrupt IN: accepted, not yet taken
        ContainerTracker tracker;
    };
    struct Control {
        usb::ControlSetup setup;
        std::vector<std::byte> hostData;
        bool delivered = false; // the SETUP event reached the function
        std::optional<usb::ControlReply> answer;
    };
    enum class Stage { descriptors, strings, bound, closed };

    // Replies and wake-ups decided under m_mutex and made after it is released.
    class Outbox;

    void queueEvent(std::uint8_t type, const usb::ControlSetup* setup, Outbox& outbox);
    void serveEventReads(Outbox& outbox);
    void serveRead(EndpointFile& file, Outbox& outbox);
    void disableLocked(Outbox& outbox);
    void failHeldEndpointIO(int error, Outbox& outbox);
    void readControl(std::size_t size, std::unique_ptr<EndpointIO> io, Outbox& outbox);
    void writeControl(std::vector<std::byte> data, std::unique_ptr<EndpointIO> io, Outbox& outbox);
    usb::InTransfer::ZeroLengthPacket endOfWrite(EndpointFile& file, std::span<const std::byte> data);
    EndpointFile* fileLocked(std::size_t file);
    EndpointFile* fileForAddress(std::uint8_t address);
    bool isForFunctionLocked(const usb::ControlSetup& setup) const;

    platform::Clock& m_clock;
    mutable std::mutex m_mutex; // guards everything below; never held across a reply or the host wake
    std::condition_variable_any m_changed; // bound, events taken, ep0 reads arrived
    Stage m_stage = Stage::descriptors;
    bool m_enabled = false;
    std::string m_bindFailure;
    std::optional<FunctionFSDescriptors> m_descriptors;
    std::optional<FunctionFSStrings> m_strings;
    std::vector<EndpointFile> m_files; // index n-1 is file n
    std::deque<std::array<std::byte, 12>> m_events;
    std::deque<HeldRead> m_eventReads;
    std::optional<Control> m_control;
    std::function<void()> m_hostWake;
    FunctionFSStatistics m_statistics;
};

} // namespace simulation
