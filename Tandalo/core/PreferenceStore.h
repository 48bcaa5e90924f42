#pragma once

#include "platform/foundation/Environment.h"
#include "platform/foundation/Preferences.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo::app {

/// One suite of preferences: typed values under text keys. Reads never fail (an unreadable value is
/// absent); writes throw platform::FoundationError when the suite cannot be written. Any thread.
class PreferenceStore {
public:
    using Value = platform::Preferences::Value;
    using Date = platform::Preferences::Date;

    virtual ~PreferenceStore() = default;

    virtual std::optional<Value> value(std::string_view key) const = 0;
    virtual void set(std::string_view key, const Value& value) = 0;
    virtual void remove(std::string_view key) = 0;

    /// The value when it is stored with that type; nothing when absent or of another type.
    std::optional<bool> boolValue(std::string_view key) const { return typed<bool>(key); }
    std::optional<std::int64_t> integerValue(std::string_view key) const { return typed<std::int64_t>(key); }
    std::optional<std::string> stringValue(std::string_view key) const { return typed<std::string>(key); }
    std::optional<Date> dateValue(std::string_view key) const { return typed<Date>(key); }

private:
    template <typename T> std::optional<T> typed(std::string_view key) const {
        const auto stored = value(key);
        if (!stored || !std::holds_alternative<T>(*stored)) {
            return std::nullopt;
        }
        return std::get<T>(*stored);
    }
};

/// Where the application's suites come from: its own preferences and the app group's shared ones.
class PreferenceSuites {
public:
    virtual ~PreferenceSuites() = default;

    /// The application's standard preferences.
    virtual std::shared_ptr<PreferenceStore> standard() = 0;
    /// The named suite, opened afresh; nothing when it cannot be opened.
    virtual std::shared_ptr<PreferenceStore> suite(std::string_view name) = 0;
};

/// The foundation's preferences, kept in files that the application and the extension share (the
/// folder comes from the environment's TANDALO_PREFERENCES_DIR, else $XDG_CONFIG_HOME/tandalo).
class FilePreferenceSuites final : public PreferenceSuites {
public:
    explicit FilePreferenceSuites(const platform::Environment& environment = platform::Environment::process())
        : m_environment(environment) {}

    std::shared_ptr<PreferenceStore> standard() override;
    std::shared_ptr<PreferenceStore> suite(std::string_view name) override;

private:
    const platform::Environment& m_environment;
};

} // namespace tandalo::app
