#pragma once

#include "platform/usb/DeviceFunction.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace simulation {

class FunctionFSEndpoints;

/// The device side of a real peer on the simulated bus: it hands the host's bulk and control transfers
/// to the peer's FunctionFS endpoints and the peer's transfers back to the host, and turns the bus's
/// configuration changes into ENABLE and DISABLE. Packets follow the endpoints' rules (see
/// FunctionFSEndpoints); nothing here waits.
class RealPeerFunction final : public usb::DeviceFunction {
public:
    explicit RealPeerFunction(std::shared_ptr<FunctionFSEndpoints> endpoints);

    /// The device comes up configured, so the function is enabled at once.
    void attached(std::shared_ptr<usb::FunctionLink> link) override;
    usb::Reply receiveOut(std::uint8_t endpoint, std::span<const std::byte> data) override;
    usb::InReply produceIn(std::uint8_t endpoint, std::size_t packetSize) override;
    usb::ControlReply handleControl(const usb::ControlSetup& setup, std::span<const std::byte> data) override;
    void configurationChanged(std::uint8_t value) override;

private:
    const std::shared_ptr<FunctionFSEndpoints> m_endpoints;
};

} // namespace simulation
