#include "tools/BenchDevice.h"

#include "Corvane/usb/USBDeviceDiscovery.h"

#include <algorithm>
#include <span>
#include <stdexcept>

namespace tandalo::tools {

BenchDevice::BenchDevice(std::shared_ptr<usb::USBBus> bus) {
    const auto port = iokit::MainPort::forBus(std::move(bus));
    m_transports = corvane::TransportFactory::forPort(port);
    const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces(port);
    if (found.size() != 1) {
        throw std::runtime_error("the bus shows " + std::to_string(found.size()) +
                                 " MTP interfaces, not one");
    }
    corvane::MTPDevice::Context context{&platform::Clock::system(), &m_environment, &m_logStore};
    context.transportFactory = &m_transports;
    m_device =
        corvane::MTPDevice::connect(found.front(), std::nullopt, corvane::TakeOver::never, {}, context);
}

void BenchDevice::sendFilled(std::uint32_t storage, const std::string& name, std::uint64_t size,
                             std::byte fill) const {
    m_device->exclusive([&](corvane::MTPDevice::Session& session) {
        session.createFile(storage, 0xFFFFFFFF, name, size, std::nullopt);
        session.sendObject(size, [fill](std::span<std::byte> into) {
            std::fill(into.begin(), into.end(), fill);
            return into.size();
        });
    });
}

} // namespace tandalo::tools
