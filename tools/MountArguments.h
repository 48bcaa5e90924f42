#pragma once

#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// The mount tool's command line, as mount-tandalo reads it and the programs and tests that mount build it.
namespace tandalo::tools {

/// A bad command line; what() is the message for the user.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct MountArguments {
    /// An mtp:// URL, or the path of a token file (<folder>/.tandalo/<mode>/<serial|any>.tandalo).
    std::string resource;
    std::filesystem::path folder;
    /// Stay in the foreground and serve there instead of detaching once the mount is live.
    bool foreground = false;
    bool readOnly = false;

    /// Whether the resource is a token file's path rather than a URL.
    bool namesTokenFile() const;
};

/// The usage line of mount-tandalo.
std::string_view mountUsage();

/// Parses "[-f] [-o ro|rw[,...]] -t tandalo <resource> <folder>" (options before the operands, in any
/// order, each at most once). Throws UsageError for anything else.
MountArguments parseMountArguments(std::span<const std::string> arguments);

} // namespace tandalo::tools
