#pragma once

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/NotificationCenter.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/LogStore.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::app {

class AppModel;

/// The general clipboard of the desktop, as the diagnostics report reaches it. Main thread.
class Clipboard {
public:
    virtual ~Clipboard() = default;

    /// Replaces whatever the clipboard held with the text.
    virtual void setText(const std::string& text) = 0;
};

/// The application's own recent log entries, as the report reads them back.
class LogReader {
public:
    virtual ~LogReader() = default;

    /// The entries of the last `window` whose subsystem begins with the prefix, oldest first. Throws when
    /// the log cannot be read.
    virtual std::vector<oslog::LogEntry> recentEntries(std::string_view subsystemPrefix,
                                                       platform::Clock::Duration window) const = 0;
};

/// The process's own log store.
class LogStoreReader final : public LogReader {
public:
    explicit LogStoreReader(const oslog::LogStore& store = oslog::LogStore::shared()) : m_store(store) {}

    std::vector<oslog::LogEntry> recentEntries(std::string_view subsystemPrefix,
                                               platform::Clock::Duration window) const override {
        return m_store.recentEntries(subsystemPrefix, window);
    }

private:
    const oslog::LogStore& m_store;
};

/// Where the computer describes itself: the distribution's os-release file (the second is read when the
/// first is missing) and the firmware's product name.
struct SystemFiles {
    std::filesystem::path osRelease = "/etc/os-release";
    std::filesystem::path osReleaseFallback = "/usr/lib/os-release";
    std::filesystem::path productName = "/sys/devices/virtual/dmi/id/product_name";
};

/// The distribution's name and version from os-release, "Debian GNU/Linux 12 (bookworm)" (its pretty name
/// when it gives no name); empty when neither file can be read or it tells neither.
std::string operatingSystemVersionString(const SystemFiles& files = {});
/// The computer's model as its firmware names it; empty when it cannot be read.
std::string machineModelIdentifier(const SystemFiles& files = {});
/// The last 300 of the application's and its platform services' log entries of the last `minutes`, each "
/// HH:mm:ss message" in the local time zone, one line however many the message has; the single line "  (log
/// unavailable)" when the log cannot be read.
std::vector<std::string> recentLogLines(const LogReader& log, double minutes);

/// The plain-text report of the application, the computer, the extension's state, the attached devices
/// and the application's recent log, which the user copies to the clipboard for support. Main executor.
class Diagnostics {
public:
    struct Services {
        Clipboard& clipboard;
        NotificationCenter& notifications;
        const LogReader& log;
        const BundleInformation& bundle = BundleInformation::main();
        SystemFiles files = {};
    };

    static constexpr std::string_view subsystem = "com.brenwick.Tandalo";
    /// The log's subsystems that the report shows: the application's own and those of the platform services
    /// it runs on, the update service's among them, so that a failed update check shows too.
    static constexpr std::array<std::string_view, 5> reportedSubsystems{subsystem, "updates", "platform",
                                                                        "buschoice", "usbfs"};
    static constexpr double logMinutes = 15;
    static constexpr std::size_t logLineLimit = 300;
    static constexpr std::string_view notificationIdentifier = "tandalo.diagnostics";
    static constexpr std::string_view supportAddress = "support@brenwick.com";

    explicit Diagnostics(Services services) : m_services(std::move(services)) {}

    /// The report's lines joined with line feeds, from the model's values as they stand now.
    std::string report(const AppModel& model) const;
    /// Copies the report to the clipboard and, when notifications may be shown, says so.
    void copy(const AppModel& model) const;

private:
    Services m_services;
};

} // namespace tandalo::app
