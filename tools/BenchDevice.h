#pragma once

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/TransportFactory.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/usb/USBBus.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tandalo::tools {

/// What the benchmarks measure with: a device connected to the one MTP interface of a bus through the
/// real transports, with an environment and a log of its own, so no setting of the machine's changes
/// what is measured. Owns all three; the device goes first.
class BenchDevice {
public:
    /// Throws std::runtime_error unless the bus shows exactly one MTP interface; the device's own errors
    /// pass through.
    explicit BenchDevice(std::shared_ptr<usb::USBBus> bus);

    const std::shared_ptr<corvane::MTPDevice>& device() const noexcept { return m_device; }
    corvane::MTPDevice* operator->() const noexcept { return m_device.get(); }

    /// Sends a new file of size bytes, each of them fill, into the storage's top folder in one SendObject.
    void sendFilled(std::uint32_t storage, const std::string& name, std::uint64_t size, std::byte fill) const;

private:
    platform::MemoryEnvironment m_environment;
    oslog::LogStore m_logStore;
    corvane::TransportFactory m_transports;
    std::shared_ptr<corvane::MTPDevice> m_device;
};

} // namespace tandalo::tools
