#pragma once

#include "platform/usb/Endpoint.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace usbfs::testing {

/// The raw descriptors a device keeps in sysfs: a device descriptor, then one configuration with one
/// interface setting per entry of `interfaces` (number, alternate setting, endpoints).
struct InterfaceLayout {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::vector<usb::EndpointDescriptor> endpoints;
};

inline std::vector<std::byte> descriptorBlob(std::uint8_t configurationValue,
                                             const std::vector<InterfaceLayout>& interfaces) {
    std::vector<std::uint8_t> bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0xD1, 0x18, 0xE1, 0x4E, 0, 1, 1, 2, 3, 1};
    std::vector<std::uint8_t> configuration{9, 2, 0, 0, 1, configurationValue, 0, 0x80, 50};
    for (const auto& interface : interfaces) {
        configuration.insert(configuration.end(),
                             {9, 4, interface.number, interface.alternate,
                              static_cast<std::uint8_t>(interface.endpoints.size()), 6, 1, 1, 0});
        for (const auto& endpoint : interface.endpoints) {
            configuration.insert(configuration.end(),
                                 {7, 5, endpoint.address, endpoint.attributes,
                                  static_cast<std::uint8_t>(endpoint.maxPacketSize & 0xFF),
                                  static_cast<std::uint8_t>(endpoint.maxPacketSize >> 8), endpoint.interval});
        }
    }
    configuration[2] = static_cast<std::uint8_t>(configuration.size() & 0xFF);
    configuration[3] = static_cast<std::uint8_t>(configuration.size() >> 8);
    bytes.insert(bytes.end(), configuration.begin(), configuration.end());
    std::vector<std::byte> blob(bytes.size());
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        blob[index] = std::byte(bytes[index]);
    }
    return blob;
}

/// A fresh folder that plays a machine's /sys/bus/usb/devices, /dev/bus/usb and /proc, written the way the
/// kernel writes them ("%04x" ids, "%2d" alternate settings, newline-ended texts). Removed at the end.
class SysfsFixture {
public:
    SysfsFixture() {
        std::string pattern = ::testing::TempDir() + "tandalo-usbfs-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        m_root = pattern;
        std::filesystem::create_directories(sysfs());
        std::filesystem::create_directories(proc());
    }
    ~SysfsFixture() {
        std::error_code error;
        std::filesystem::remove_all(m_root, error);
    }
    SysfsFixture(const SysfsFixture&) = delete;
    SysfsFixture& operator=(const SysfsFixture&) = delete;

    std::filesystem::path sysfs() const { return m_root / "sys"; }
    std::filesystem::path dev() const { return m_root / "dev"; }
    std::filesystem::path proc() const { return m_root / "proc"; }

    void write(const std::filesystem::path& file, const std::string& text) const {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }

    /// A phone at the port path, with its strings and a still-image interface 0 in configuration 1.
    void addPhone(const std::string& name, unsigned bus, unsigned address,
                  const std::string& serial = "SER1") const {
        const auto folder = sysfs() / name;
        write(folder / "busnum", std::to_string(bus) + "\n");
        write(folder / "devnum", std::to_string(address) + "\n");
        write(folder / "idVendor", "18d1\n");
        write(folder / "idProduct", "4ee1\n");
        write(folder / "bDeviceClass", "00\n");
        write(folder / "bNumConfigurations", "1\n");
        write(folder / "bConfigurationValue", "1\n");
        write(folder / "manufacturer", "Maker\n");
        write(folder / "product", "Phone 7\n");
        write(folder / "serial", serial + "\n");
        write(folder / "speed", "480\n");
        const auto blob = descriptorBlob(
            1, {{0,
                 0,
                 {usb::EndpointDescriptor::bulkIn(1, 512), usb::EndpointDescriptor::bulkOut(2, 512),
                  usb::EndpointDescriptor::interruptIn(3, 28, 6)}}});
        std::ofstream(folder / "descriptors", std::ios::binary)
            .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
        addInterface(name + ":1.0", 0, "06", "MTP");
    }

    void addInterface(const std::string& name, unsigned number, const std::string& interfaceClass,
                      const std::string& text) const {
        const auto folder = sysfs() / name;
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02x\n", number);
        write(folder / "bInterfaceNumber", hex);
        write(folder / "bAlternateSetting", " 0\n");
        write(folder / "bInterfaceClass", interfaceClass + "\n");
        write(folder / "bInterfaceSubClass", "01\n");
        write(folder / "bInterfaceProtocol", "01\n");
        write(folder / "bNumEndpoints", "03\n");
        if (!text.empty()) {
            write(folder / "interface", text + "\n");
        }
    }

    void remove(const std::string& name) const { std::filesystem::remove_all(sysfs() / name); }

    /// The interface is bound to a driver ("usbfs" while a program has claimed it); "" unbinds it.
    void bind(const std::string& interface, const std::string& driver) const {
        const auto link = sysfs() / interface / "driver";
        std::filesystem::remove(link);
        if (!driver.empty()) {
            std::filesystem::create_directory_symlink("../../drivers/" + driver, link);
        }
    }

    /// A process with the given name that has the file open.
    void addProcess(int pid, const std::string& name, const std::filesystem::path& openFile) const {
        const auto folder = proc() / std::to_string(pid);
        write(folder / "comm", name + "\n");
        std::filesystem::create_directories(folder / "fd");
        std::filesystem::create_symlink(openFile, folder / "fd" / "7");
    }

private:
    std::filesystem::path m_root;
};

} // namespace usbfs::testing
