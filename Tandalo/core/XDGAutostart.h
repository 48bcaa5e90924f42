#pragma once

#include "Tandalo/core/LoginItem.h"
#include "platform/foundation/Environment.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tandalo::app {

/// Launch at login on the Linux desktop: an XDG autostart entry, <config home>/autostart/<file name>.desktop,
/// which the desktop's session starts when the user logs in. An entry that the user switched off in the
/// desktop's settings (Hidden=true, or X-GNOME-Autostart-enabled=false) counts as not registered, and
/// registering writes ours in its place. Failures throw platform::FoundationError with a sentence for the
/// user.
class XDGAutostart final : public LoginService {
public:
    struct Entry {
        /// The entry's file name without ".desktop": the application's identifier.
        std::string fileName = "com.brenwick.Tandalo";
        /// The name the desktop shows for it.
        std::string name;
        /// The program to start, with no arguments.
        std::filesystem::path executable;
    };

    explicit XDGAutostart(Entry entry,
                          const platform::Environment& environment = platform::Environment::process())
        : m_entry(std::move(entry)), m_environment(environment) {}

    bool isRegistered() const override;
    /// Writes the entry whole (through a file renamed into place), making the folder when it is missing.
    /// Throws when the program to start is not known.
    void registerService() override;
    void unregisterService() override;

    std::filesystem::path entryPath() const;
    /// The entry file's text.
    std::string entryText() const;
    /// The Exec value that runs the program without arguments: quoted, with the characters that the
    /// desktop entry rules reserve escaped.
    static std::string execValue(const std::filesystem::path& executable);
    /// This process's program (/proc/self/exe); empty when it cannot be told.
    static std::filesystem::path currentExecutable();

private:
    Entry m_entry;
    const platform::Environment& m_environment;
};

} // namespace tandalo::app
