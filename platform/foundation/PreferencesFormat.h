#pragma once

#include "platform/foundation/Preferences.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace platform {

/// The text form of a preferences file: a comment line, then one "key=type:value" line per entry, with the
/// types bool, integer, double (shortest exact form), string and date (UTC, nanoseconds).
class PreferencesFormat {
public:
    using Entries = std::map<std::string, Preferences::Value, std::less<>>;

    /// The entries of a file's text. Lines that cannot be read (damaged, or edited by hand with mistakes)
    /// are skipped: the other entries stay readable, and the damaged ones read as absent. Never throws
    /// except for lack of memory.
    static Entries parse(std::string_view contents);
    static std::string serialise(const Entries& entries);
};

} // namespace platform
