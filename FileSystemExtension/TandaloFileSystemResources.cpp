// Mount resources: which device a resource names, what it allows, and how a device is found again.
#include "FileSystemExtension/TandaloFileSystem.h"

#include "Corvane/usb/USBDeviceDiscovery.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/WholeNumber.h"

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
// A device without a serial number, or one of several that share one, is named by where it sits on the
// bus too: "<serial or any>@<location>" in a token file's name (serial numbers are percent-encoded there,
// so a literal "@" never comes from one), and "mtp://<serial or any>?location=<location>" as a URL.
constexpr char locationSeparator = '@';
constexpr std::string_view locationItem = "location";
// The URL form's take-over choice; without it only the camera service may be displaced.
constexpr std::string_view takeOverItem = "takeOver";
constexpr std::string_view fromAnyone = "anyone";
constexpr std::string_view fromNobody = "never";

/// The device a resource names: a serial number exactly as written (letter case and all), a bus location,
/// both (one of several devices that share a serial number), or any device.
struct NamedDevice {
    std::string serial;
    std::optional<std::uint32_t> location;
};

std::optional<std::string> queryValue(const platform::URL& url, std::string_view name) {
    for (const auto& item : url.queryItems().value_or(std::vector<platform::URLQueryItem>{})) {
        if (item.name == name) {
            return item.value.value_or("");
        }
    }
    return std::nullopt;
}

std::optional<platform::URL> mtpURL(const fskit::FSResource& resource) {
    const auto* generic = dynamic_cast<const fskit::FSGenericURLResource*>(&resource);
    if (generic == nullptr) {
        return std::nullopt;
    }
    auto url = platform::URL::parse(generic->url());
    if (!url || !url->scheme() || platform::unicode::lowercased(*url->scheme()) != urlScheme) {
        return std::nullopt;
    }
    return url;
}

std::uint32_t locationOrEINVAL(std::string_view text) {
    const auto location = platform::wholeNumber<std::uint32_t>(text);
    if (!location) {
        throw posixError(EINVAL);
    }
    return *location;
}

/// The device a resource names. Throws EINVAL for a resource that is not ours.
NamedDevice namedDevice(const fskit::FSResource& resource) {
    NamedDevice named;
    if (const auto url = mtpURL(resource)) {
        const auto takeOver = queryValue(*url, takeOverItem);
        if (takeOver && *takeOver != fromAnyone && *takeOver != fromNobody) {
            throw posixError(EINVAL);
        }
        // "any" as written is the word; a serial number "any" comes escaped ("%61ny").
        const auto written = platform::unicode::lowercased(url->percentEncodedHost().value_or(""));
        if (!written.empty() && written != anyDevice) {
            named.serial = url->host().value_or("");
        }
        if (const auto location = queryValue(*url, locationItem)) {
            named.location = locationOrEINVAL(*location);
        }
        return named;
    }
    if (const auto* path = dynamic_cast<const fskit::FSPathURLResource*>(&resource)) {
        const auto url = platform::URL::parse(path->url());
        if (!url || platform::unicode::lowercased(url->pathExtension()) != tokenExtension) {
            throw posixError(EINVAL);
        }
        const auto name = url->deletingPathExtension().lastPathComponent();
        std::string_view serial = name;
        if (const auto at = name.rfind(locationSeparator); at != std::string::npos) {
            named.location = locationOrEINVAL(std::string_view(name).substr(at + 1));
            serial = serial.substr(0, at);
            if (serial.empty()) {
                throw posixError(EINVAL);
            }
        }
        // Serial numbers are percent-encoded in the name, so that none can reach outside its folder (and
        // one that reads "any" is told from the word).
        if (platform::unicode::lowercased(serial) != anyDevice) {
            named.serial = platform::percentDecoded(serial);
        }
        return named;
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
    const auto named = namedDevice(resource);
    const auto interfaces = findMTPInterfaces();
    for (const auto& interface : interfaces) {
        // Serial numbers are identities: "CaseX" and "casex" are two phones.
        if ((named.serial.empty() || interface.serialNumber == named.serial) &&
            (!named.location || interface.locationID == *named.location)) {
            return interface;
        }
    }
    throw posixError(ENXIO);
}

std::optional<std::string> TandaloFileSystem::locatedStatusKey(const fskit::FSResource& resource) {
    try {
        const auto named = namedDevice(resource);
        if (named.serial.empty() || !named.location) {
            return std::nullopt;
        }
        return named.serial + locationSeparator + std::to_string(*named.location);
    } catch (const fskit::Error&) {
        return std::nullopt;
    }
}

bool TandaloFileSystem::takesOverFromAnyone(const fskit::FSResource& resource) {
    if (const auto url = mtpURL(resource)) {
        return queryValue(*url, takeOverItem) == fromAnyone;
    }
    const auto folder = tokenFolderName(resource);
    return folder && folder->starts_with(takeOverPrefix);
}

bool TandaloFileSystem::takesOverFromCameraService(const fskit::FSResource& resource) {
    if (const auto url = mtpURL(resource)) {
        return queryValue(*url, takeOverItem) != fromNobody;
    }
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

USBDeviceDescriptor TandaloFileSystem::rediscover(const USBDeviceDescriptor& previous, std::stop_token stop,
                                                  bool atLocation) const {
    // Devices without a serial number, and those that share one, are told apart by where they sit on the
    // bus.
    const bool byLocation = atLocation || previous.serialNumber.empty();
    for (int lookup = 0; lookup < rediscoveryLookups; ++lookup) {
        for (const auto& interface : findMTPInterfaces()) {
            if (interface.serialNumber == previous.serialNumber &&
                interface.interfaceNumber == previous.interfaceNumber &&
                (!byLocation || interface.locationID == previous.locationID)) {
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
