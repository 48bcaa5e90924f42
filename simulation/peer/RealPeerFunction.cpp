#include "simulation/peer/RealPeerFunction.h"

#include "simulation/peer/FunctionFSEndpoints.h"

#include <utility>

namespace simulation {

RealPeerFunction::RealPeerFunction(std::shared_ptr<FunctionFSEndpoints> endpoints)
    : m_endpoints(std::move(endpoints)) {}

void RealPeerFunction::attached(std::shared_ptr<usb::FunctionLink> link) {
    // The link outlives the device and does nothing once it is gone, so holding it is safe.
    m_endpoints->setHostWake([link = std::move(link)] { link->dataReady(); });
    m_endpoints->enable();
}

usb::Reply RealPeerFunction::receiveOut(std::uint8_t endpoint, std::span<const std::byte> data) {
    return m_endpoints->acceptOut(endpoint, data) ? usb::Reply::done : usb::Reply::notYet;
}

usb::InReply RealPeerFunction::produceIn(std::uint8_t endpoint, std::size_t packetSize) {
    (void)packetSize; // the endpoints were declared with the function's own packet sizes
    if (auto transfer = m_endpoints->takeIn(endpoint)) {
        return usb::InReply{usb::Reply::done, std::move(*transfer)};
    }
    return usb::InReply::of(usb::Reply::notYet);
}

usb::ControlReply RealPeerFunction::handleControl(const usb::ControlSetup& setup,
                                                  std::span<const std::byte> data) {
    return m_endpoints->control(setup, data);
}

void RealPeerFunction::configurationChanged(std::uint8_t value) {
    if (value == 0) {
        m_endpoints->disable();
    } else {
        m_endpoints->enable();
    }
}

} // namespace simulation
