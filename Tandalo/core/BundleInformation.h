#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tandalo::app {

/// The application's information values, as a bundle's information dictionary holds them: text or
/// numbers under keys such as "CFBundleDisplayName" and "CFBundleVersion". Any thread.
class BundleInformation {
public:
    using Value = std::variant<std::string, std::int64_t>;

    virtual ~BundleInformation() = default;

    virtual std::optional<Value> value(std::string_view key) const = 0;

    /// This program's values, fixed when it was built: its name, version and build number.
    static const BundleInformation& main();
};

/// The name that texts use for the application: the display name, else the bundle name, else
/// "This app". A value that is present but empty is used as it is. Read afresh at each call.
std::string appDisplayName(const BundleInformation& information = BundleInformation::main());
/// "<short version> (<build>)", each missing or non-text value given as "?".
std::string appVersionString(const BundleInformation& information = BundleInformation::main());
/// The build as a whole decimal number (a sign and leading zeros allowed); nothing for anything else.
std::optional<std::int64_t> appBuildNumber(const BundleInformation& information = BundleInformation::main());

} // namespace tandalo::app
