#pragma once

// Helpers shared by the extension's tests: a private preferences folder, and descriptors of devices.

#include "Corvane/usb/USBDeviceDescriptor.h"
#include "FileSystemExtension/DeviceStatus.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/Preferences.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace tandalo::testing {

/// A preferences folder of the test's own, named by TANDALO_PREFERENCES_DIR in an environment that only
/// the code under test reads, and removed at the end.
class TemporaryPreferences {
public:
    TemporaryPreferences() {
        std::random_device random;
        m_folder = std::filesystem::temp_directory_path() /
                   ("tandalo-extension-tests-" + std::to_string(random()) + "-" + std::to_string(random()));
        std::filesystem::create_directories(m_folder);
        m_environment.set("TANDALO_PREFERENCES_DIR", m_folder.string());
    }
    ~TemporaryPreferences() {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    TemporaryPreferences(const TemporaryPreferences&) = delete;
    TemporaryPreferences& operator=(const TemporaryPreferences&) = delete;

    const std::filesystem::path& folder() const { return m_folder; }
    const platform::Environment& environment() const { return m_environment; }
    /// The shared app group's suite, as the application would open it.
    platform::Preferences suite() const {
        return *platform::Preferences::suite(DeviceStatus::suiteName, m_folder);
    }

private:
    std::filesystem::path m_folder;
    platform::MemoryEnvironment m_environment;
};

inline corvane::USBDeviceDescriptor descriptor(std::string serial, std::uint64_t registryID = 0x1000,
                                               std::uint8_t interfaceNumber = 0) {
    corvane::USBDeviceDescriptor result;
    result.registryEntryID = registryID;
    result.vendorID = 0x18D1;
    result.productID = 0x4EE1;
    result.vendorName = "Google";
    result.productName = "Pixel 7";
    result.serialNumber = std::move(serial);
    result.locationID = 0x14200000;
    result.interfaceNumber = interfaceNumber;
    result.interfaceName = "MTP";
    return result;
}

} // namespace tandalo::testing
