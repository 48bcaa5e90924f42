#pragma once

#include "simulation/PhoneUSBFunction.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"

#include <cstdint>
#include <memory>
#include <string>

namespace simulation {

/// The demo's phone: a simulated phone with a small sample tree, plugged into a simulated bus.
struct DemoPhone {
    static constexpr std::uint64_t defaultLargeFileSize = 64ull << 20;

    std::shared_ptr<SimulatedBus> bus;
    std::shared_ptr<SimulatedPhone> phone;
    PluggedDevice plugged;
    std::uint32_t storage = 0;
    std::string serialNumber;
    std::string deviceName;

    /// The phone on a simulated bus of its own.
    static DemoPhone make(std::uint64_t largeFileSize = defaultLargeFileSize);
    /// The phone, made with the sample tree, plugged into the bus as the identity says.
    static DemoPhone plugInto(std::shared_ptr<SimulatedBus> bus, std::shared_ptr<SimulatedPhone> phone,
                              const PhoneUSBIdentity& identity);
    /// Adds a storage with the sample tree: DCIM/Camera with three small photos, Download/readme.txt, an
    /// empty Music and a sparse video.mp4 of the size at the top. Returns the storage's ID.
    static std::uint32_t addSampleTree(SimulatedPhone& phone,
                                       std::uint64_t largeFileSize = defaultLargeFileSize);
    /// The bytes of the sample photo number index.
    static std::string photoBytes(int index);
};

} // namespace simulation
