// Whether this user can mount through FUSE, told from real files in a temporary folder, and the page
// that explains how to get there.
#include "Tandalo/core/ExtensionStatus.h"

#include "platform/foundation/LogStore.h"
#include "tests/Tandalo/core/AppFakes.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"
#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace tandalo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Outcome = FuseExtensionStatus::Finding::Outcome;

class ExtensionStatusTests : public ::testing::Test {
protected:
    ExtensionStatusTests() {
        program(m_folder.path() / "mount-tandalo");
        program(m_folder.path() / "fusermount3");
        m_environment.set("XDG_CACHE_HOME", (m_folder.path() / "cache").string());
    }

    static void program(const fs::path& path, fs::perms permissions = fs::perms::owner_all) {
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, permissions);
    }

    FuseExtensionStatus status() {
        return FuseExtensionStatus(m_requirements, m_workspace, m_environment, m_bundle);
    }

    /// The log's lines of the category "extension" written since the test began.
    std::vector<std::string> logged() const {
        const auto entries = oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", 1h);
        std::vector<std::string> lines;
        for (auto entry = entries.begin() + static_cast<std::ptrdiff_t>(std::min(m_logged, entries.size()));
             entry != entries.end(); ++entry) {
            if (entry->category == "extension") {
                lines.push_back(entry->message);
            }
        }
        return lines;
    }

    platform::testing::TemporaryFolder m_folder;
    platform::VirtualClock m_clock;
    ManualExecutor m_executor{m_clock};
    testing::CallLog m_log;
    testing::FakeWorkspace m_workspace{m_log, m_executor};
    testing::FakeBundleInformation m_bundle;
    platform::MemoryEnvironment m_environment;
    FuseExtensionStatus::Requirements m_requirements{m_folder.path() / "mount-tandalo", "/dev/null",
                                                     m_folder.path() / "fusermount3", 0};
    const std::size_t m_logged = oslog::LogStore::shared().recentEntries("com.brenwick.Tandalo", 1h).size();
};

TEST_F(ExtensionStatusTests, IsEnabledWhenThisUserCanRunTheHelperAndMakeFuseMounts) {
    struct Case {
        const char* what;
        std::function<void(FuseExtensionStatus::Requirements&, const fs::path& folder)> change;
        std::optional<bool> enabled;
        std::vector<std::string> logged;
    };
    const std::string installed = "installed file system modules: com.brenwick.Tandalo.fsext=";
    const auto fail = [](std::string problem) { return "the file system cannot be mounted: " + problem; };
    const std::vector<Case> cases{
        {"everything in place", [](auto&, auto&) {}, true, {installed + "true"}},
        {"no mount helper",
         [](auto& requirements, auto& folder) { requirements.mountTool = folder / "gone"; },
         false,
         {"installed file system modules: ", fail((m_folder.path() / "gone").string() + " is missing.")}},
        {"a helper nobody may run",
         [](auto& requirements, auto&) { program(requirements.mountTool, fs::perms::owner_read); },
         false,
         {"installed file system modules: ",
          fail((m_folder.path() / "mount-tandalo").string() + " may not be run by this user.")}},
        {"no FUSE device",
         [](auto& requirements, auto& folder) { requirements.fuseDevice = folder / "fuse"; },
         false,
         {installed + "false", fail((m_folder.path() / "fuse").string() +
                                    " is missing: the kernel's FUSE module is not loaded.")}},
        {"a FUSE device that is a file",
         [](auto& requirements, auto&) { requirements.fuseDevice = requirements.mountTool; },
         false,
         {installed + "false", fail((m_folder.path() / "mount-tandalo").string() + " is not a device.")}},
        {"fusermount3 that only root can mount with",
         [](auto& requirements, auto&) { requirements.userID = 1000; },
         false,
         {installed + "false", fail((m_folder.path() / "fusermount3").string() +
                                    " is not set-user-ID root, so only root can mount with it.")}},
        {"a loop of links where the FUSE device should be",
         [](auto& requirements, auto& folder) {
             fs::create_symlink(folder / "loop", folder / "loop");
             requirements.fuseDevice = folder / "loop";
         },
         std::nullopt,
         {"fetchInstalledExtensions failed: " + (m_folder.path() / "loop").string() +
          ": Too many levels of symbolic links"}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        const auto saved = m_requirements;
        each.change(m_requirements, m_folder.path());
        const auto before = logged().size();
        auto extension = status();
        const auto answer = testing::runToEnd(m_executor, extension.isEnabled()).value;
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(*answer, each.enabled);
        const auto lines = logged();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
                  each.logged);
        m_requirements = saved;
        program(m_requirements.mountTool);
    }
}

TEST_F(ExtensionStatusTests, TheHelpPageSaysWhatIsInPlaceAndHowToGetTheRest) {
    m_requirements.mountTool = "/opt/<tandalo>/mount-tandalo";
    const FuseExtensionStatus::Findings findings{
        {Outcome::met, ""},
        {Outcome::unmet, "/dev/fuse is missing: the kernel's FUSE module is not loaded."},
        {Outcome::unknown, "/usr/bin/fusermount3: Input/output error"},
    };
    const auto page = status().helpPage(findings);
    const std::vector<std::string> expectations{
        "<title>How Tandalo shows devices as folders</title>",
        "<li class=\"met\"><strong>The mount helper</strong>, "
        "<code>/opt/&lt;tandalo&gt;/mount-tandalo</code>: "
        "in place.</li>",
        "<li class=\"unmet\"><strong>The FUSE device</strong>, <code>/dev/null</code>: /dev/fuse is missing: "
        "the "
        "kernel's FUSE module is not loaded. Load the kernel's FUSE module, for example with <code>sudo "
        "modprobe fuse</code>.",
        "<code>" + (m_folder.path() / "fusermount3").string() +
            "</code>: it could not be checked (/usr/bin/fusermount3: Input/output error).</li>"};
    for (const auto& expected : expectations) {
        EXPECT_NE(page.find(expected), std::string::npos) << expected << "\nin\n" << page;
    }
}

TEST_F(ExtensionStatusTests, OpeningTheSettingsOpensThePageOrElseShowsItsFolder) {
    auto extension = status();
    const auto page = m_folder.path() / "cache" / "tandalo" / "enable-tandalo-folders.html";
    ASSERT_EQ(extension.helpPagePath(), page);
    extension.openSettings();
    m_executor.runUntilIdle();
    EXPECT_EQ(m_log.entries(), std::vector<std::string>{"workspace: open file://" + page.string()});
    std::ifstream written(page);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}),
              extension.helpPage(extension.check()));

    m_log.clear();
    m_workspace.opens = false;
    extension.openSettings();
    m_executor.runUntilIdle();
    EXPECT_EQ(m_log.entries(), (std::vector<std::string>{"workspace: open file://" + page.string(),
                                                         "workspace: show " + page.parent_path().string()}));

    m_log.clear();
    std::ofstream(m_folder.path() / "file") << "in the way";
    m_environment.set("XDG_CACHE_HOME", (m_folder.path() / "file").string());
    extension.openSettings();
    m_executor.runUntilIdle();
    EXPECT_TRUE(m_log.entries().empty());
    EXPECT_TRUE(logged().back().starts_with("the page on switching the file system on was not written: "));
}

} // namespace
} // namespace tandalo::app
