#include "simulation/service/DeviceDescription.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iterator>
#include <limits>

namespace simulation {

namespace {

std::uint64_t number(std::string_view key, std::string_view text, std::uint64_t maximum) {
    const auto value = parseUnsigned(text);
    if (!value || *value > maximum) {
        throw DescriptionError(std::string(key) + "=" + std::string(text) + " is not a number from 0 to " +
                               std::to_string(maximum));
    }
    return *value;
}

/// A size in bytes, with an optional K, M or G for binary kilo, mega and giga.
std::uint64_t size(std::string_view key, std::string_view text) {
    unsigned shift = 0;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'M' || text.back() == 'G')) {
        shift = text.back() == 'K' ? 10 : text.back() == 'M' ? 20 : 30;
        text.remove_suffix(1);
    }
    const auto value = number(key, text, std::numeric_limits<std::uint64_t>::max() >> 30);
    return value << shift;
}

bool flag(std::string_view key, std::string_view text) {
    if (text == "yes") {
        return true;
    }
    if (text == "no") {
        return false;
    }
    throw DescriptionError(std::string(key) + "=" + std::string(text) + " is neither yes nor no");
}

} // namespace

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

DeviceDescription DeviceDescription::parse(const std::vector<std::string>& words) {
    if (words.empty()) {
        throw DescriptionError("a device needs a kind: phone or peer");
    }
    DeviceDescription description;
    if (words.front() == "peer") {
        description.kind = Kind::peer;
    } else if (words.front() != "phone") {
        throw DescriptionError("unknown kind of device \"" + words.front() + "\" (phone or peer)");
    }
    for (std::size_t index = 1; index < words.size(); ++index) {
        const std::string_view word = words[index];
        const auto equals = word.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            throw DescriptionError("\"" + std::string(word) + "\" is not a key=value setting");
        }
        const auto key = word.substr(0, equals);
        const auto value = word.substr(equals + 1);
        // A real responder has its own tree and speed, and is always in file transfer.
        constexpr std::string_view phoneOnly[] = {"interface",  "adb",   "mode",      "access",
                                                  "video-size", "speed", "turnaround"};
        if (description.kind == Kind::peer && std::ranges::find(phoneOnly, key) != std::end(phoneOnly)) {
            throw DescriptionError("a peer takes no " + std::string(key) + "= setting");
        }
        auto& identity = description.identity;
        if (key == "serial") {
            if (value.empty()) {
                throw DescriptionError("serial= needs a serial number");
            }
            description.serialNumber = std::string(value);
        } else if (key == "product") {
            identity.productName = std::string(value);
        } else if (key == "vendor") {
            identity.vendorName = std::string(value);
        } else if (key == "vendor-id") {
            identity.vendorID = static_cast<std::uint16_t>(number(key, value, 0xFFFF));
        } else if (key == "product-id") {
            identity.productID = static_cast<std::uint16_t>(number(key, value, 0xFFFF));
        } else if (key == "interface") {
            if (value == "still-image") {
                identity.interfaceKind = PhoneUSBIdentity::InterfaceKind::stillImage;
            } else if (value == "vendor-mtp") {
                identity.interfaceKind = PhoneUSBIdentity::InterfaceKind::vendorMTP;
            } else {
                throw DescriptionError("interface=" + std::string(value) +
                                       " is neither still-image nor vendor-mtp");
            }
        } else if (key == "adb") {
            identity.withADB = flag(key, value);
        } else if (key == "mode") {
            if (value == "file-transfer") {
                identity.mode = PhoneUSBIdentity::Mode::fileTransfer;
            } else if (value == "charge-only") {
                identity.mode = PhoneUSBIdentity::Mode::chargeOnly;
            } else {
                throw DescriptionError("mode=" + std::string(value) +
                                       " is neither file-transfer nor charge-only");
            }
        } else if (key == "access") {
            description.accessGranted = flag(key, value);
        } else if (key == "video-size") {
            description.videoSize = size(key, value);
        } else if (key == "speed") {
            // Decimal megabytes per second, as USB speeds are quoted; 0 is unlimited.
            description.link.bytesPerSecond = number(key, value, 100'000) * 1'000'000;
        } else if (key == "turnaround") {
            description.link.turnaround = std::chrono::milliseconds(number(key, value, 60'000));
        } else {
            throw DescriptionError("unknown setting \"" + std::string(key) + "\"");
        }
    }
    return description;
}

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char character : line) {
        if (character == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (character == ' ' || character == '\t' || character == '\r')) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += character;
            inWord = true;
        }
    }
    if (quoted) {
        throw DescriptionError("a quote is not closed in: " + std::string(line));
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

std::vector<std::vector<std::string>> scenarioLines(std::string_view text) {
    std::vector<std::vector<std::string>> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        auto words = splitWords(text.substr(0, end));
        if (!words.empty() && !words.front().starts_with("#")) {
            lines.push_back(std::move(words));
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

} // namespace simulation
