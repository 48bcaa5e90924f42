#pragma once

#include "platform/usb/Endpoint.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace usb {

/// How a device function answers one request from the bus.
enum class Reply {
    done,       // the request was served
    notYet,     // NAK: nothing to send or no room yet; the bus asks again after FunctionLink::dataReady()
                // or gives up at the host's time-out. A function that never answers this way times out.
    stall,      // halt the endpoint: the host's transfer fails as stalled until it clears the stall
    disconnect, // the device vanishes from the bus, as if unplugged
};

/// What a function puts on a bulk-IN or interrupt-IN endpoint: the bytes of one device transfer.
///
/// On the wire the bus splits the bytes into packets of the endpoint's size. A host read ends at a short
/// packet, at a zero-length packet, or when its buffer is full; it never ends at the boundary between two
/// full packets. So:
/// - a transfer whose length is not a whole number of packets ends the host's read by itself;
/// - one that is a whole number of packets (or empty) ends it only with a zero-length packet, which the
///   bus appends when zeroLengthPacket is `whenAligned` (the default). An empty transfer is always one ZLP.
/// - with `never`, the bytes run on into the next transfer the function produces. That is how a large
///   data phase streams in pieces (each piece a whole number of packets), and how a device that forgets
///   its ZLP looks to the host.
struct InTransfer {
    enum class ZeroLengthPacket { whenAligned, never };
    std::vector<std::byte> data;
    ZeroLengthPacket zeroLengthPacket = ZeroLengthPacket::whenAligned;
};

struct InReply {
    Reply reply = Reply::notYet;
    InTransfer transfer; // used when reply is done

    static InReply send(std::vector<std::byte> data,
                        InTransfer::ZeroLengthPacket zlp = InTransfer::ZeroLengthPacket::whenAligned) {
        return {Reply::done, {std::move(data), zlp}};
    }
    static InReply of(Reply reply) { return {reply, {}}; }
};

struct ControlReply {
    Reply reply = Reply::stall;
    std::vector<std::byte>
        data; // the data stage of a device-to-host request; at most wLength bytes reach the host

    static ControlReply accept(std::vector<std::byte> data = {}) { return {Reply::done, std::move(data)}; }
    static ControlReply of(Reply reply) { return {reply, {}}; }
};

/// What a function may tell the bus, from any of its own threads, at any time. It stays valid after the
/// device has gone; its calls then do nothing.
class FunctionLink {
public:
    virtual ~FunctionLink() = default;
    /// Something changed: host transfers that got `notYet` are retried now instead of at their time-out.
    virtual void dataReady() = 0;
    /// The device leaves the bus, as if unplugged.
    virtual void disconnect() = 0;
    /// False once the device has been unplugged.
    virtual bool isAttached() const = 0;
};

/// The device side of a USB device: what a simulated phone implements to sit on a bus.
///
/// The bus calls one function from one thread at a time (it serialises the calls per device), never
/// while holding its own locks, so a function may call back into the bus. Calls must return promptly:
/// a device that is busy answers `Reply::notYet` and calls FunctionLink::dataReady() when it can go on;
/// the host's time-out runs on the bus's clock meanwhile. Endpoint addresses are bEndpointAddress values
/// (0x81 is IN endpoint 1); transfers only arrive for endpoints the device's interfaces declare.
class DeviceFunction {
public:
    virtual ~DeviceFunction() = default;

    /// The device is on the bus; the link is for dataReady() and disconnect(). Called once, before any
    /// transfer.
    virtual void attached(std::shared_ptr<FunctionLink> link) { (void)link; }

    /// One host write on a bulk-OUT endpoint, whole: the host's transfer boundaries are kept, and a
    /// zero-length packet arrives as an empty span. `notYet` makes the bus offer the same bytes again later.
    virtual Reply receiveOut(std::uint8_t endpoint, std::span<const std::byte> data) = 0;

    /// The host reads on an IN endpoint and the bus has nothing left of the previous transfer: the next
    /// transfer, or `notYet` when the device has nothing to send now. packetSize is the endpoint's.
    virtual InReply produceIn(std::uint8_t endpoint, std::size_t packetSize) = 0;

    /// A class, vendor or unhandled standard request on the default control pipe, with the host's
    /// data stage when it sends one (the PTP class requests: 0x66 Device Reset, 0x64 Cancel, 0x67 Get
    /// Device Status). The bus answers Set/Get Configuration and Clear Feature (halt) itself.
    virtual ControlReply handleControl(const ControlSetup& setup, std::span<const std::byte> data) = 0;

    /// The host cleared a halt on the endpoint (both ends), after a stall or to resynchronise.
    virtual void haltCleared(std::uint8_t endpoint) { (void)endpoint; }

    /// The host set a configuration; 0 deconfigures the device. Device state tied to the old
    /// configuration (sessions, queued data) should be dropped.
    virtual void configurationChanged(std::uint8_t value) { (void)value; }
};

} // namespace usb
