#include "Tandalo/core/MountResource.h"

#include "platform/foundation/URL.h"
#include "platform/foundation/Unicode.h"
#include "platform/foundation/WholeNumber.h"

#include <filesystem>
#include <vector>

namespace tandalo::app {

namespace {

constexpr std::string_view tokenExtension = "tandalo";
constexpr std::string_view anyDevice = "any";
// Serial numbers are percent-encoded in names, so this never comes from one.
constexpr char locationSeparator = '@';
// Everything else of a serial number is percent-encoded: ".", "/" and "%" included.
constexpr std::string_view keptInNames = "-_~";

/// The serial number as it is written into a resource: percent-encoded, and a serial that reads "any"
/// (the word for any device) with its first letter escaped too.
std::string encodedSerial(std::string_view serial) {
    auto encoded = platform::percentEncoded(serial, keptInNames);
    if (platform::unicode::lowercased(serial) == anyDevice) {
        static constexpr char digits[] = "0123456789ABCDEF";
        const auto first = static_cast<unsigned char>(encoded.front());
        encoded.replace(0, 1, {'%', digits[first >> 4], digits[first & 0x0F]});
    }
    return encoded;
}

std::optional<MountResource::Name> parseTokenPath(std::string_view resource) {
    const std::filesystem::path path(resource);
    const auto extension = path.extension().string();
    if (extension.empty() || platform::unicode::lowercased(extension.substr(1)) != tokenExtension) {
        return std::nullopt;
    }
    const auto stem = path.stem().string();
    MountResource::Name name;
    std::string_view serial = stem;
    if (const auto at = stem.rfind(locationSeparator); at != std::string::npos) {
        name.location = platform::wholeNumber<std::uint32_t>(serial.substr(at + 1));
        serial = serial.substr(0, at);
        if (!name.location || serial.empty()) {
            return std::nullopt;
        }
    }
    if (platform::unicode::lowercased(serial) != anyDevice) {
        name.serial = platform::percentDecoded(serial);
    }
    return name;
}

std::optional<MountResource::Name> parseURL(std::string_view resource) {
    const auto url = platform::URL::parse(resource);
    if (!url) {
        return std::nullopt;
    }
    const auto& written = url->percentEncodedHost();
    if (!written) {
        return std::nullopt;
    }
    MountResource::Name name;
    if (!written->empty() && platform::unicode::lowercased(*written) != anyDevice) {
        name.serial = url->host().value_or("");
    }
    for (const auto& item : url->queryItems().value_or(std::vector<platform::URLQueryItem>{})) {
        if (item.name == "location") {
            name.location = platform::wholeNumber<std::uint32_t>(item.value.value_or(""));
            if (!name.location) {
                return std::nullopt;
            }
            break;
        }
    }
    return name;
}

} // namespace

MountResource::Name MountResource::nameOf(const corvane::USBDeviceDescriptor& device, bool located) {
    if (device.serialNumber.empty() || located) {
        return Name{device.serialNumber, device.locationID};
    }
    return Name{device.serialNumber, std::nullopt};
}

std::optional<MountResource::Name> MountResource::parseName(std::string_view resource) {
    if (resource.starts_with("/")) {
        return parseTokenPath(resource);
    }
    return parseURL(resource);
}

std::string MountResource::tokenFileName(const corvane::USBDeviceDescriptor& device, bool located) {
    const auto name = nameOf(device, located);
    auto text = name.serial.empty() ? std::string(anyDevice) : encodedSerial(name.serial);
    if (name.location) {
        text += locationSeparator + std::to_string(*name.location);
    }
    return text + "." + std::string(tokenExtension);
}

std::string MountResource::modeFolderName(corvane::TakeOver takeOver, int attempt) {
    const auto number = std::to_string(attempt);
    switch (takeOver) {
    case corvane::TakeOver::fromAnyone:
        return "take-over-" + number;
    case corvane::TakeOver::fromCameraService:
        return number;
    case corvane::TakeOver::never:
        break;
    }
    return "no-take-over-" + number;
}

std::string MountResource::url(const corvane::USBDeviceDescriptor& device, int attempt,
                               corvane::TakeOver takeOver, bool located) {
    const auto name = nameOf(device, located);
    std::string text = "mtp://";
    text += name.serial.empty() ? std::string(anyDevice) : encodedSerial(name.serial);
    std::vector<std::string> query;
    if (name.location) {
        query.push_back("location=" + std::to_string(*name.location));
    }
    if (takeOver == corvane::TakeOver::fromAnyone) {
        query.emplace_back("takeOver=anyone");
    } else if (takeOver == corvane::TakeOver::never) {
        query.emplace_back("takeOver=never");
    }
    if (attempt >= 2) {
        query.push_back("attempt=" + std::to_string(attempt));
    }
    for (std::size_t index = 0; index < query.size(); ++index) {
        text += (index == 0 ? "?" : "&") + query[index];
    }
    return text;
}

} // namespace tandalo::app
