#pragma once

#include "Corvane/usb/TakeOver.h"
#include "Corvane/usb/USBDeviceDescriptor.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo::app {

/// How a mount resource names one device, and the two forms of resource the extension reads:
/// - a token file "<mount folder>/.tandalo/<mode>/<name>.tandalo", where the mode folder is
///   "take-over-<n>", "<n>" or "no-take-over-<n>" for the take-over choice and attempt n, and the name is
///   the serial number, percent-encoded so that no serial ("/", "..", "?", "#", "@", ":", a blank) can
///   reach outside its folder;
/// - the URL "mtp://<serial, percent-encoded>" with the query items "takeOver=anyone" or
///   "takeOver=never" (none for the camera service only) and, from attempt 2, "attempt=<n>".
/// A device without a serial number is named by its bus location instead, "any@<location>" in a token
/// file and "mtp://any?location=<location>" as a URL, so that two such devices never share a name; one
/// that is located (another attached device has its serial number) by both, "<serial>@<location>" and
/// "mtp://<serial>?location=<location>". The "@" never comes from a serial, which is percent-encoded.
struct MountResource {
    /// What names the device: its serial number exactly as the device reports it (two phones whose serials
    /// differ only in letter case are two phones), its location when it has none, or both when it is
    /// located. A resource that names "any" device has neither.
    struct Name {
        std::string serial;
        std::optional<std::uint32_t> location;

        bool operator==(const Name&) const = default;
    };

    static Name nameOf(const corvane::USBDeviceDescriptor& device, bool located = false);
    /// The name a resource text carries (a token file's path or an mtp:// URL, as the mount table shows
    /// the source); nothing for any other text.
    static std::optional<Name> parseName(std::string_view resource);

    /// The token file's name, "<name>.tandalo".
    static std::string tokenFileName(const corvane::USBDeviceDescriptor& device, bool located = false);
    /// The mode folder's name for the choice and attempt.
    static std::string modeFolderName(corvane::TakeOver takeOver, int attempt);
    static std::string url(const corvane::USBDeviceDescriptor& device, int attempt,
                           corvane::TakeOver takeOver, bool located = false);
};

} // namespace tandalo::app
