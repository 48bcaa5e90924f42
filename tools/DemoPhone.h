#pragma once

#include "simulation/PhoneUSBFunction.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"

#include <cstdint>
#include <memory>
#include <string>

// A simulated phone with a small sample tree, plugged into a simulated bus of its own.
namespace tandalo::tools {

struct DemoPhone {
    std::shared_ptr<simulation::SimulatedBus> bus;
    std::shared_ptr<simulation::SimulatedPhone> phone;
    simulation::PluggedDevice plugged;
    std::uint32_t storage = 0;
    std::string serialNumber;
    std::string deviceName;

    /// DCIM/Camera with three small photos, Download/readme.txt, an empty Music and a sparse 64 MiB
    /// video.mp4 at the top.
    static DemoPhone make(std::uint64_t largeFileSize = 64ull << 20);
    /// The bytes of the sample photo number index.
    static std::string photoBytes(int index);
};

} // namespace tandalo::tools
