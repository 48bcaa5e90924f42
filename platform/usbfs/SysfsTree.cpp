#include "platform/usbfs/SysfsTree.h"

#include "platform/usbfs/ConfigurationDescriptors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace usbfs {

namespace {

namespace fs = std::filesystem;

// sysfs attributes are read with plain read(): an attribute of a device on its way out fails with
// ENODEV, which must give "no value", not an exception from a stream.
std::optional<std::vector<char>> readFile(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::vector<char> bytes;
    char chunk[4096];
    while (true) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ::close(fd);
            if (got < 0) {
                return std::nullopt;
            }
            return bytes;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

std::optional<std::string> readText(const fs::path& file) {
    const auto bytes = readFile(file);
    if (!bytes) {
        return std::nullopt;
    }
    std::string text(bytes->begin(), bytes->end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::vector<std::byte> readBytes(const fs::path& file) {
    const auto bytes = readFile(file).value_or(std::vector<char>{});
    std::vector<std::byte> result(bytes.size());
    std::transform(bytes.begin(), bytes.end(), result.begin(), [](char each) { return std::byte(each); });
    return result;
}

// sysfs writes its numbers with padding ("%2d", "%02x"); surrounding blanks are not part of the value.
std::optional<std::int64_t> readNumber(const fs::path& file, int base) {
    const auto text = readText(file);
    if (!text) {
        return std::nullopt;
    }
    const auto first = text->find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const char* begin = text->data() + first;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(begin, end, value, base);
    if (error != std::errc() || stop == begin) {
        return std::nullopt;
    }
    return value;
}

void putNumber(usb::Properties& properties, const std::string& key, const fs::path& file, int base) {
    if (const auto value = readNumber(file, base)) {
        properties.insert_or_assign(key, *value);
    }
}

void putText(usb::Properties& properties, const std::string& key, const fs::path& file) {
    if (auto text = readText(file)) {
        properties.insert_or_assign(key, std::move(*text));
    }
}

// The speed sysfs gives in Mbit/s as the registry's "Device Speed" code.
std::optional<std::int64_t> speedCode(const std::string& megabits) {
    if (megabits == "1.5") {
        return 0;
    }
    if (megabits == "12") {
        return 1;
    }
    if (megabits == "480") {
        return 2;
    }
    if (megabits == "5000") {
        return 3;
    }
    if (megabits == "10000" || megabits == "20000") {
        return 4;
    }
    return std::nullopt;
}

bool isDeviceName(const std::string& name) {
    return !name.empty() && std::isdigit(static_cast<unsigned char>(name.front())) &&
           name.find('-') != std::string::npos && name.find(':') == std::string::npos;
}

bool isInterfaceName(const std::string& name) {
    const auto colon = name.find(':');
    return colon != std::string::npos && isDeviceName(name.substr(0, colon));
}

std::uint64_t identityOf(const fs::path& folder) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(status.st_ino);
}

// "1-1.4" -> the port path "1.4"; the bus number comes from its own file.
std::string portPathOf(const std::string& deviceName) {
    return deviceName.substr(deviceName.find('-') + 1);
}

std::optional<SysfsEntry> readDevice(const fs::path& root, const std::string& name) {
    const fs::path folder = root / name;
    SysfsEntry entry;
    entry.kind = SysfsEntry::Kind::device;
    entry.name = name;
    entry.deviceName = name;
    entry.identity = identityOf(folder);
    const auto bus = readNumber(folder / "busnum", 10);
    const auto address = readNumber(folder / "devnum", 10);
    if (entry.identity == 0 || !bus || !address) {
        return std::nullopt; // gone, or not a device after all
    }
    entry.busNumber = static_cast<unsigned>(*bus);
    entry.deviceNumber = static_cast<unsigned>(*address);
    auto& properties = entry.properties;
    putNumber(properties, "idVendor", folder / "idVendor", 16);
    putNumber(properties, "idProduct", folder / "idProduct", 16);
    putNumber(properties, "bcdDevice", folder / "bcdDevice", 16);
    putNumber(properties, "bDeviceClass", folder / "bDeviceClass", 16);
    putNumber(properties, "bDeviceSubClass", folder / "bDeviceSubClass", 16);
    putNumber(properties, "bDeviceProtocol", folder / "bDeviceProtocol", 16);
    putNumber(properties, "bNumConfigurations", folder / "bNumConfigurations", 10);
    putText(properties, "USB Vendor Name", folder / "manufacturer");
    putText(properties, "USB Product Name", folder / "product");
    putText(properties, "USB Serial Number", folder / "serial");
    properties.insert_or_assign("USB Address", std::int64_t{*address});
    properties.insert_or_assign("locationID", std::int64_t{locationID(entry.busNumber, portPathOf(name))});
    if (const auto speed = readText(folder / "speed")) {
        if (const auto code = speedCode(*speed)) {
            properties.insert_or_assign("Device Speed", *code);
        }
    }
    return entry;
}

std::optional<SysfsEntry> readInterface(const fs::path& root, const std::string& name,
                                        const SysfsEntry& device, std::span<const std::byte> descriptors,
                                        std::uint8_t configuration) {
    const fs::path folder = root / name;
    SysfsEntry entry;
    entry.kind = SysfsEntry::Kind::interface;
    entry.name = name;
    entry.deviceName = device.name;
    entry.identity = identityOf(folder);
    const auto number = readNumber(folder / "bInterfaceNumber", 16);
    if (entry.identity == 0 || !number) {
        return std::nullopt;
    }
    auto& properties = entry.properties;
    const auto alternate = readNumber(folder / "bAlternateSetting", 10).value_or(0);
    properties.insert_or_assign("bInterfaceNumber", *number);
    properties.insert_or_assign("bAlternateSetting", alternate);
    putNumber(properties, "bInterfaceClass", folder / "bInterfaceClass", 16);
    putNumber(properties, "bInterfaceSubClass", folder / "bInterfaceSubClass", 16);
    putNumber(properties, "bInterfaceProtocol", folder / "bInterfaceProtocol", 16);
    putNumber(properties, "bNumEndpoints", folder / "bNumEndpoints", 16);
    putText(properties, "USB Interface Name", folder / "interface");
    properties.insert_or_assign("bConfigurationValue", std::int64_t{configuration});
    // The registry shows an interface with its device's identity too, so a reader needs no second look-up.
    for (const char* key : {"idVendor", "idProduct", "locationID"}) {
        if (const auto found = device.properties.find(key); found != device.properties.end()) {
            properties.insert_or_assign(key, found->second);
        }
    }
    entry.endpoints = interfaceEndpoints(descriptors, configuration, static_cast<std::uint8_t>(*number),
                                         static_cast<std::uint8_t>(alternate));
    return entry;
}

// Devices by bus, then by port path compared port by port ("1-2" before "1-10").
std::vector<unsigned> sortKey(const SysfsEntry& device) {
    std::vector<unsigned> key{device.busNumber};
    const std::string path = portPathOf(device.name);
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto dot = path.find('.', start);
        unsigned port = 0;
        std::from_chars(path.data() + start, path.data() + (dot == std::string::npos ? path.size() : dot),
                        port);
        key.push_back(port);
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return key;
}

} // namespace

std::uint32_t locationID(unsigned busNumber, const std::string& portPath) {
    std::uint32_t location = (busNumber & 0xFFu) << 24;
    int shift = 20;
    std::size_t start = 0;
    while (start < portPath.size() && shift >= 0) {
        const auto dot = portPath.find('.', start);
        const auto end = dot == std::string::npos ? portPath.size() : dot;
        unsigned port = 0;
        std::from_chars(portPath.data() + start, portPath.data() + end, port);
        location |= (std::min(port, 15u) & 0xFu) << shift;
        shift -= 4;
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return location;
}

SysfsTree::SysfsTree(std::filesystem::path root) : m_root(std::move(root)) {}

std::vector<SysfsEntry> SysfsTree::scan() const {
    std::vector<std::string> deviceNames;
    std::vector<std::string> interfaceNames;
    std::error_code error;
    for (fs::directory_iterator each(m_root, error), end; !error && each != end; each.increment(error)) {
        const std::string name = each->path().filename().string();
        if (isInterfaceName(name)) {
            interfaceNames.push_back(name);
        } else if (isDeviceName(name)) {
            deviceNames.push_back(name);
        }
    }
    std::vector<SysfsEntry> devices;
    for (const auto& name : deviceNames) {
        if (auto device = readDevice(m_root, name)) {
            devices.push_back(std::move(*device));
        }
    }
    std::sort(devices.begin(), devices.end(),
              [](const auto& left, const auto& right) { return sortKey(left) < sortKey(right); });
    std::sort(interfaceNames.begin(), interfaceNames.end());

    std::vector<SysfsEntry> entries;
    for (auto& device : devices) {
        const auto descriptors = readBytes(m_root / device.name / "descriptors");
        const std::uint8_t current = configuration(device.name);
        const std::string prefix = device.name + ":";
        std::vector<SysfsEntry> interfaces;
        for (const auto& name : interfaceNames) {
            if (name.starts_with(prefix)) {
                if (auto interface = readInterface(m_root, name, device, descriptors, current)) {
                    interfaces.push_back(std::move(*interface));
                }
            }
        }
        entries.push_back(std::move(device));
        std::move(interfaces.begin(), interfaces.end(), std::back_inserter(entries));
    }
    return entries;
}

std::uint8_t SysfsTree::configuration(const std::string& deviceName) const {
    return static_cast<std::uint8_t>(readNumber(m_root / deviceName / "bConfigurationValue", 10).value_or(0));
}

std::string SysfsTree::driver(const std::string& interfaceName) const {
    std::error_code error;
    const auto target = fs::read_symlink(m_root / interfaceName / "driver", error);
    return error ? std::string() : target.filename().string();
}

} // namespace usbfs
