#pragma once

#include "simulation/PhoneLink.h"
#include "simulation/PhoneUSBFunction.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace simulation {

/// A description that cannot be read; what() says why, for the person who wrote it.
class DescriptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

/// One device that the bus service hosts, as written on its command line, in a scenario file or in a
/// plug command: a kind and key=value settings,
///     phone serial=R58N123 product="Galaxy S21" vendor=Samsung vendor-id=0x04e8 mode=charge-only
///     peer serial=RP0002
/// A phone carries the demo's sample tree; a peer is a real MTP responder run through the FunctionFS
/// bridge.
struct DeviceDescription {
    enum class Kind { phone, peer };

    Kind kind = Kind::phone;
    /// Nothing: the service picks one that no other device has.
    std::optional<std::string> serialNumber;
    PhoneUSBIdentity identity; // its mode too
    /// The size of the sample tree's large video.
    std::uint64_t videoSize = 64ull << 20;
    PhoneLink link;
    bool accessGranted = true;

    /// Reads the words after the kind's own word ("phone", "peer"). Throws DescriptionError naming the
    /// word it cannot read.
    static DeviceDescription parse(const std::vector<std::string>& words);
};

/// A whole unsigned number in decimal or, after "0x", in hex; nothing for anything else.
std::optional<std::uint64_t> parseUnsigned(std::string_view text);

/// The words of a line, split at blanks; double quotes keep blanks inside a word ("product=\"Pixel 7\"").
/// Throws DescriptionError for an unclosed quote.
std::vector<std::string> splitWords(std::string_view line);

/// The device lines of a scenario file's text: one description per line; blank lines and lines whose
/// first word starts with "#" are skipped.
std::vector<std::vector<std::string>> scenarioLines(std::string_view text);

} // namespace simulation
