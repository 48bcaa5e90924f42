// Mount resources: which device a resource names, what it allows, and how a device is found again.
#include "FileSystemExtension/TandaloFileSystem.h"

#include "Corvane/usb/USBDeviceDiscovery.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cerrno>
#include <string>

namespace tandalo {

namespace {

using corvane::USBDeviceDescriptor;

constexpr std::string_view urlScheme = "mtp";
constexpr std::string_view tokenExtension = "tandalo";
constexpr std::string_view anyDevice = "any";
constexpr std::string_view takeOverPrefix = "take-over";
constexpr std::string_view noTakeOverPrefix = "no-take-over";

std::string lowercased(std::string_view text) {
    std::string result;
    icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(result);
    return result;
}

/// The device key a resource names: a serial number in lower case, or "any". Throws EINVAL for a
/// resource that is not ours.
std::string deviceKey(const fskit::FSResource& resource) {
    if (const auto* generic = dynamic_cast<const fskit::FSGenericURLResource*>(&resource)) {
        const auto url = platform::URL::parse(generic->url());
        if (!url || !url->scheme() || lowercased(*url->scheme()) != urlScheme) {
            throw posixError(EINVAL);
        }
        const auto host = url->host();
        return host && !host->empty() ? lowercased(*host) : std::string(anyDevice);
    }
    if (const auto* path = dynamic_cast<const fskit::FSPathURLResource*>(&resource)) {
        const auto url = platform::URL::parse(path->url());
        if (!url || lowercased(url->pathExtension()) != tokenExtension) {
            throw posixError(EINVAL);
        }
        return lowercased(url->deletingPathExtension().lastPathComponent());
    }
    throw posixError(EINVAL);
}

/// The name of the folder that holds a token file; nothing for any other resource.
std::optional<std::string> tokenFolderName(const fskit::FSResource& resource) {
    const auto* path = dynamic_cast<const fskit::FSPathURLResource*>(&resource);
    if (path == nullptr) {
        return std::nullopt;
    }
    const auto url = platform::URL::parse(path->url());
    if (!url) {
        return std::nullopt;
    }
    return url->deletingLastPathComponent().lastPathComponent();
}

} // namespace

USBDeviceDescriptor TandaloFileSystem::device(const fskit::FSResource& resource) const {
    const auto key = deviceKey(resource);
    const auto interfaces = findMTPInterfaces();
    if (key.empty() || key == anyDevice) {
        if (interfaces.empty()) {
            throw posixError(ENXIO);
        }
        return interfaces.front();
    }
    for (const auto& interface : interfaces) {
        if (lowercased(interface.serialNumber) == key) {
            return interface;
        }
    }
    throw posixError(ENXIO);
}

bool TandaloFileSystem::takesOverFromAnyone(const fskit::FSResource& resource) {
    const auto folder = tokenFolderName(resource);
    return folder && folder->starts_with(takeOverPrefix);
}

bool TandaloFileSystem::takesOverFromCameraService(const fskit::FSResource& resource) {
    const auto folder = tokenFolderName(resource);
    return !folder || !folder->starts_with(noTakeOverPrefix);
}

corvane::TakeOver TandaloFileSystem::takeOver(const fskit::FSResource& resource) {
    if (takesOverFromAnyone(resource)) {
        return corvane::TakeOver::fromAnyone;
    }
    return takesOverFromCameraService(resource) ? corvane::TakeOver::fromCameraService
                                                : corvane::TakeOver::never;
}

std::optional<std::string> TandaloFileSystem::volumeKey(const fskit::FSResource& resource) {
    if (const auto* generic = dynamic_cast<const fskit::FSGenericURLResource*>(&resource)) {
        return generic->url();
    }
    if (const auto* path = dynamic_cast<const fskit::FSPathURLResource*>(&resource)) {
        return path->url();
    }
    return std::nullopt;
}

fskit::FSContainerIdentifier TandaloFileSystem::containerIdentifier(const USBDeviceDescriptor& descriptor) {
    const auto name = "com.brenwick.Tandalo:" + std::to_string(descriptor.vendorID) + ":" +
                      std::to_string(descriptor.productID) + ":" + descriptor.serialNumber;
    return fskit::FSContainerIdentifier(platform::UUID::fromSHA256(name).bytes());
}

USBDeviceDescriptor TandaloFileSystem::rediscover(const USBDeviceDescriptor& previous,
                                                  std::stop_token stop) const {
    for (int lookup = 0; lookup < rediscoveryLookups; ++lookup) {
        for (const auto& interface : findMTPInterfaces()) {
            if (interface.serialNumber == previous.serialNumber &&
                interface.interfaceNumber == previous.interfaceNumber) {
                return interface;
            }
        }
        // A wait cut short by a stop request counts as a full one: the lookups go on, only faster.
        m_context.clock->sleepFor(rediscoveryInterval, stop);
    }
    return previous;
}

std::vector<USBDeviceDescriptor> TandaloFileSystem::findMTPInterfaces() const {
    if (m_context.findMTPInterfaces) {
        return m_context.findMTPInterfaces();
    }
    return corvane::USBDeviceDiscovery::findMTPInterfaces();
}

} // namespace tandalo
