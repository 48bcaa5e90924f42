// Launch at login: when the service is asked to change, and the desktop's autostart entry it becomes.
#include "Tandalo/core/LoginItem.h"
#include "Tandalo/core/XDGAutostart.h"

#include "tests/Tandalo/core/AppFakes.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tandalo::app {
namespace {

namespace fs = std::filesystem;
using State = LoginItem::State;

TEST(LoginItemTests, ChangesTheRegistrationOnlyWhereTheWishDiffers) {
    enum class Call { setEnabled, sync };
    struct Case {
        Call call;
        bool registered;
        bool wanted;
        std::optional<std::string> refusal;
        State state;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases{
        {Call::setEnabled, false, true, {}, State::enabled(), {"login: register"}},
        {Call::setEnabled, true, true, {}, State::enabled(), {}},
        {Call::setEnabled, true, false, {}, State::disabled(), {"login: unregister"}},
        {Call::setEnabled, false, false, {}, State::disabled(), {}},
        {Call::setEnabled, false, true, "No room.", State::failed("No room."), {"login: register"}},
        {Call::setEnabled, true, false, "Read-only.", State::failed("Read-only."), {"login: unregister"}},
        {Call::sync, false, true, {}, State::enabled(), {"login: register"}},
        {Call::sync, true, true, "No room.", State::enabled(), {}},
        {Call::sync, true, false, {}, State::disabled(), {"login: unregister"}},
        {Call::sync, false, false, "Read-only.", State::disabled(), {}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(::testing::Message() << (each.call == Call::sync ? "sync" : "setEnabled")
                                          << " registered " << each.registered << " wanted " << each.wanted);
        testing::CallLog log;
        testing::FakeLoginService service(log);
        service.registered = each.registered;
        service.refusal = each.refusal;
        LoginItem item(service);
        EXPECT_EQ(each.call == Call::sync ? item.sync(each.wanted) : item.setEnabled(each.wanted),
                  each.state);
        EXPECT_EQ(log.entries(), each.calls);
    }
}

class XDGAutostartTests : public ::testing::Test {
protected:
    XDGAutostartTests() { m_environment.set("XDG_CONFIG_HOME", (m_folder.path() / "config").string()); }

    void write(const std::string& text) {
        fs::create_directories(m_entryPath.parent_path());
        std::ofstream(m_entryPath) << text;
    }
    std::string read() const {
        std::ifstream file(m_entryPath);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    platform::testing::TemporaryFolder m_folder;
    platform::MemoryEnvironment m_environment;
    XDGAutostart m_autostart{{"com.brenwick.Tandalo", "Tandalo", "/opt/Tandalo/bin/Tandalo"}, m_environment};
    fs::path m_entryPath = m_folder.path() / "config" / "autostart" / "com.brenwick.Tandalo.desktop";
};

TEST_F(XDGAutostartTests, RegisteringWritesTheEntryAndUnregisteringRemovesIt) {
    EXPECT_EQ(m_autostart.entryPath(), m_entryPath);
    EXPECT_FALSE(m_autostart.isRegistered());
    m_autostart.registerService();
    EXPECT_TRUE(m_autostart.isRegistered());
    EXPECT_EQ(read(), "[Desktop Entry]\nType=Application\nName=Tandalo\nExec=\"/opt/Tandalo/bin/Tandalo\"\n"
                      "Terminal=false\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_FALSE(fs::exists(m_entryPath.string() + ".new"));
    m_autostart.unregisterService();
    EXPECT_FALSE(fs::exists(m_entryPath));
    m_autostart.unregisterService(); // nothing left to remove
    EXPECT_FALSE(m_autostart.isRegistered());

    // Without XDG_CONFIG_HOME (or with a relative one) the entry goes under the home folder.
    platform::MemoryEnvironment home{{"HOME", "/home/me"}, {"XDG_CONFIG_HOME", "config"}};
    EXPECT_EQ(XDGAutostart({"tandalo", "Tandalo", "/t"}, home).entryPath(),
              "/home/me/.config/autostart/tandalo.desktop");
}

TEST_F(XDGAutostartTests, AnEntryTheUserSwitchedOffIsNotRegisteredAndRegisteringReplacesIt) {
    const std::pair<const char*, bool> entries[] = {
        {"[Desktop Entry]\nType=Application\nExec=tandalo\n", true},
        {"[Desktop Entry]\nExec=tandalo\nHidden=true\n", false},
        {"[Desktop Entry]\nExec=tandalo\nX-GNOME-Autostart-enabled = false\n", false},
        {"[Desktop Entry]\nExec=tandalo\n[Desktop Action quit]\nHidden=true\n", true},
        {"Exec=tandalo\n", false},
    };
    for (const auto& [text, registered] : entries) {
        SCOPED_TRACE(text);
        write(text);
        EXPECT_EQ(m_autostart.isRegistered(), registered);
    }
    write("[Desktop Entry]\nHidden=true\n");
    m_autostart.registerService();
    EXPECT_TRUE(m_autostart.isRegistered());
}

TEST_F(XDGAutostartTests, AnEntryThatCannotBeWrittenIsASentenceForTheUser) {
    std::ofstream(m_folder.path() / "config") << "a file where the folder should be";
    XDGAutostart unknownProgram({"com.brenwick.Tandalo", "Tandalo", ""}, m_environment);
    const std::pair<XDGAutostart*, std::string> cases[] = {
        {&m_autostart, testsupport::concat("The autostart entry ", m_entryPath.string(),
                                           " could not be written: Not a directory.")},
        {&unknownProgram, "The program to start at login is not known."},
    };
    for (const auto& [autostart, message] : cases) {
        try {
            autostart->registerService();
            ADD_FAILURE() << "registered";
        } catch (const std::exception& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
}

TEST(XDGAutostartExecTests, QuotesTheProgramAndEscapesWhatTheEntryRulesReserve) {
    const std::pair<const char*, const char*> paths[] = {
        {"/usr/bin/tandalo", R"("/usr/bin/tandalo")"},
        {"/home/me/My Apps/Tandalo", R"("/home/me/My Apps/Tandalo")"},
        {R"(/opt/"quoted"/$HOME/`run`)", R"("/opt/\\"quoted\\"/\\$HOME/\\`run\\`")"},
        {R"(/opt/back\slash)", R"("/opt/back\\\\slash")"},
        {"/opt/100%/tandalo", R"("/opt/100%%/tandalo")"},
        {"/opt/new\nline", R"("/opt/new\nline")"},
    };
    for (const auto& [path, exec] : paths) {
        EXPECT_EQ(XDGAutostart::execValue(path), exec) << path;
    }
}

} // namespace
} // namespace tandalo::app
