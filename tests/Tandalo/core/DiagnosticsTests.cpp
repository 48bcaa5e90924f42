// The diagnostics report: its lines from the model, the computer's description, the recent log in the
// local time zone, and its copy to the clipboard.
#include "Tandalo/core/Diagnostics.h"

#include "tests/Tandalo/core/AppModelRig.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tandalo::app {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Status = NotificationAuthorizationStatus;

/// The log's entries as the test sets them, or a failure; keeps what it was last asked.
class FakeLogReader final : public LogReader {
public:
    std::vector<oslog::LogEntry> recentEntries(std::string_view prefix,
                                               platform::Clock::Duration window) const override {
        asked = {std::string(prefix), window};
        return fails ? throw std::runtime_error("the log store cannot be opened") : entries;
    }
    bool fails = false;
    std::vector<oslog::LogEntry> entries;
    mutable std::pair<std::string, platform::Clock::Duration> asked;
};

class FakeClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override { texts.push_back(text); }
    Strings texts;
};

// The local time zone is pinned 5 h 45 min east of UTC, so that a time written in UTC, or with the offset's
// sign turned, shows.
class DiagnosticsTests : public testing::AppModelRig {
protected:
    DiagnosticsTests() {
        ::setenv("TZ", "<+0545>-05:45", 1);
        ::tzset();
        write(files.osRelease, "NAME=\"Debian GNU/Linux\"\nVERSION=\"12 (bookworm)\"\n");
        write(files.productName, "ThinkPad X13 Gen 4\n");
        bundle.values = {{"CFBundleDisplayName", std::string("Tandalo")},
                         {"CFBundleShortVersionString", std::string("1.4")},
                         {"CFBundleVersion", std::string("27")}};
    }
    ~DiagnosticsTests() override {
        ::unsetenv("TZ");
        ::tzset();
    }

    static void write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    /// An entry of the application's log, or of the subsystem's, at hh:mm:ss UTC.
    static oslog::LogEntry entry(int hours, int minutes, int seconds, std::string message,
                                 std::string subsystem = "com.brenwick.Tandalo") {
        const auto date =
            platform::Clock::WallTime(24h * 20000 + std::chrono::hours(hours) +
                                      std::chrono::minutes(minutes) + std::chrono::seconds(seconds));
        return {date, oslog::LogLevel::notice, std::move(subsystem), "mount", std::move(message)};
    }
    Strings lines() const {
        Strings result;
        std::istringstream text(diagnostics.report(*model));
        for (std::string line; std::getline(text, line);) {
            result.push_back(line);
        }
        return result;
    }

    platform::testing::TemporaryFolder folder;
    SystemFiles files{folder.path() / "os-release", folder.path() / "usr-os-release",
                      folder.path() / "product"};
    FakeLogReader logReader;
    FakeClipboard clipboard;
    Diagnostics diagnostics{{clipboard, notifications, logReader, bundle, files}};
};

TEST_F(DiagnosticsTests, ReportsTheApplicationTheComputerTheExtensionTheDevicesAndTheLog) {
    auto& model = startWith({MountState::mounted("/media/me/Tandalo/P"), MountState::failed("No access."),
                             MountState::unmounted(), MountState::mounting(), MountState::unmounting()});
    auto devices = *model.devices;
    devices[0].descriptor.vendorID = 0x4E8;
    devices[0].descriptor.productID = 0x6860;
    devices[1].descriptor.vendorID = 0x18D1;
    devices[1].descriptor.productID = 0x4EE1;
    devices[1].descriptor.productName = "MTP";
    devices[1].descriptor.vendorName = "";
    model.devices.set(devices);
    corvane::AndroidCandidate candidate;
    candidate.productName = "Pixel 8";
    model.waitingForFileTransfer.set({candidate});
    // The update service's and the platform services' lines belong to the application; a library's
    // tracing and another program's subsystem do not.
    logReader.entries = {entry(6, 14, 5, "mount SER0 at /media/me/Tandalo/P: exit 0"),
                         entry(6, 14, 6, "the update check failed: Too many redirects.", "updates"),
                         entry(6, 14, 7, "there is no system bus", "platform"),
                         entry(6, 14, 8, "bulk out 512", "Corvane"),
                         entry(6, 14, 9, "not ours", "com.brenwick.TandaloOther"),
                         entry(6, 14, 10, "extension served", "com.brenwick.Tandalo.fsext")};

    EXPECT_EQ(lines(),
              (Strings{"Tandalo 1.4 (27)", "Linux Debian GNU/Linux 12 (bookworm)",
                       "Computer ThinkPad X13 Gen 4", "File system extension: on", "Devices:",
                       "  Pixel 7, 04E8:6860, mounted", "  Android device, 18D1:4EE1, failed: No access.",
                       "  Pixel 7, 0000:0000, not mounted", "  Pixel 7, 0000:0000, mounting",
                       "  Pixel 7, 0000:0000, ejecting", "  Pixel 8, charge-only mode",
                       "Log, last 15 minutes:", "  11:59:05 mount SER0 at /media/me/Tandalo/P: exit 0",
                       "  11:59:06 the update check failed: Too many redirects.",
                       "  11:59:07 there is no system bus", "  11:59:10 extension served"}));
    EXPECT_EQ(logReader.asked.second, 15min);
    EXPECT_EQ(diagnostics.report(model).back(), 'd') << "no line feed after the last line";

    // Without devices and candidates, and with nothing known.
    bundle.values = {{"CFBundleName", std::string("Tandalo")}, {"CFBundleVersion", std::int64_t{27}}};
    std::filesystem::remove(files.osRelease);
    std::filesystem::remove(files.productName);
    model.devices.set({});
    model.waitingForFileTransfer.set({});
    model.extensionEnabled.set(std::nullopt);
    logReader.entries.clear();
    EXPECT_EQ(lines(), (Strings{"Tandalo ? (?)", "Linux ", "Computer ", "File system extension: unknown",
                                "Devices:", "  none", "Log, last 15 minutes:"}));
    model.extensionEnabled.set(false);
    EXPECT_EQ(lines()[3], "File system extension: off");
}

TEST_F(DiagnosticsTests, DescribesTheDistributionAndTheComputerFromTheirFiles) {
    struct Case {
        std::optional<std::string> osRelease, fallback, product; // nothing: the file is missing
        std::string system, computer;
    };
    const Case cases[] = {
        {"NAME=Fedora Linux\nVERSION=\"40 (Workstation Edition)\"\n",
         {},
         "XPS 13 9310\n",
         "Fedora Linux 40 (Workstation Edition)",
         "XPS 13 9310"},
        {"# a comment\n\nNAME='Arch Linux'\nVERSION_ID=2024.01\n",
         {},
         "  Z13  ",
         "Arch Linux 2024.01",
         "Z13"},
        {"NAME=\"Quiet \\\"OS\\\"\"\nBUILD_ID=rolling\n",
         {},
         std::string("Box\0junk", 8),
         "Quiet \"OS\" rolling",
         "Box"},
        {"PRETTY_NAME=\"Some Linux\"\n", {}, "", "Some Linux", ""},
        {"ID=x\nbroken line\n", {}, {}, "", ""},
        {{}, "NAME=Debian\nVERSION_ID=12\n", {}, "Debian 12", ""},
        {{}, {}, {}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.system);
        for (const auto& [path, text] :
             {std::pair{files.osRelease, c.osRelease}, std::pair{files.osReleaseFallback, c.fallback},
              std::pair{files.productName, c.product}}) {
            std::filesystem::remove(path);
            if (text) {
                write(path, *text);
            }
        }
        EXPECT_EQ(operatingSystemVersionString(files), c.system);
        EXPECT_EQ(machineModelIdentifier(files), c.computer);
    }
    EXPECT_EQ(machineModelIdentifier({.productName = folder.path()}), "") << "a folder is no product name";
}

TEST_F(DiagnosticsTests, GivesTheLatestThreeHundredEntriesOrSaysTheLogIsUnavailable) {
    for (int index = 0; index < 302; ++index) {
        logReader.entries.push_back(entry(23, 59, index % 60, "entry " + std::to_string(index)));
    }
    logReader.entries.back().message += "\nDevices:\r\n  none"; // a message cannot pose as report lines
    const auto log = recentLogLines(logReader, 15);
    ASSERT_EQ(log.size(), 300u);
    EXPECT_EQ(log.front(), "  05:44:02 entry 2");
    EXPECT_EQ(log.back(), "  05:44:01 entry 301\\nDevices:\\r\\n  none");

    logReader.fails = true;
    start();
    const auto report = lines();
    EXPECT_EQ(Strings(report.end() - 2, report.end()),
              (Strings{"Log, last 15 minutes:", "  (log unavailable)"}));
}

TEST_F(DiagnosticsTests, CopiesTheReportAndSaysSoOnlyWhenNotificationsMayBeShown) {
    start();
    const NotificationRequest copied{"tandalo.diagnostics", "Diagnostics copied",
                                     "Paste the report into an e-mail to support@brenwick.com.",
                                     NotificationSound::none};
    for (const auto status : {Status::authorized, Status::denied}) {
        notifications.status = status;
        diagnostics.copy(*model);
        executor.runUntilIdle();
    }
    EXPECT_EQ(clipboard.texts, Strings(2, diagnostics.report(*model)));
    EXPECT_EQ(notifications.added, std::vector{copied})
        << "one for the two copies: the second was not allowed";
}

} // namespace
} // namespace tandalo::app
