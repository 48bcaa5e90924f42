#include "Tandalo/core/PreferenceStore.h"

namespace tandalo::app {

namespace {

class FilePreferences final : public PreferenceStore {
public:
    explicit FilePreferences(platform::Preferences preferences) : m_preferences(std::move(preferences)) {}

    std::optional<Value> value(std::string_view key) const override { return m_preferences.value(key); }
    void set(std::string_view key, const Value& value) override { m_preferences.set(key, value); }
    void remove(std::string_view key) override { m_preferences.remove(key); }

private:
    platform::Preferences m_preferences;
};

} // namespace

std::shared_ptr<PreferenceStore> FilePreferenceSuites::standard() {
    return std::make_shared<FilePreferences>(platform::Preferences::standard(m_environment));
}

std::shared_ptr<PreferenceStore> FilePreferenceSuites::suite(std::string_view name) {
    auto opened = platform::Preferences::suite(name, m_environment);
    if (!opened) {
        return nullptr;
    }
    return std::make_shared<FilePreferences>(std::move(*opened));
}

} // namespace tandalo::app
