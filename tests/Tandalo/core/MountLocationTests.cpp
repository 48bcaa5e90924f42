#include "Tandalo/core/MountLocation.h"

#include "Tandalo/core/MountError.h"
#include "platform/foundation/FoundationError.h"
#include "tests/Tandalo/core/CoreFakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

std::string repeated(std::string_view text, std::size_t count) {
    std::string result;
    for (std::size_t each = 0; each < count; ++each) {
        result += text;
    }
    return result;
}

class MountLocationTests : public ::testing::Test {
protected:
    MountLocationTests() { m_files.createDirectories("/home/me/Desktop"); }

    MountLocation& location() {
        if (!m_location) {
            m_location.emplace(
                MountLocation::Services{m_preferences, m_files, m_table, m_panel, m_environment, m_bundle});
        }
        return *m_location;
    }
    std::optional<std::string> bookmark() const {
        return m_preferences.stringValue(MountLocation::bookmarkKey);
    }

    testing::MemoryPreferences m_preferences;
    testing::FakeFileOperations m_files;
    testing::FakeMountTable m_table;
    testing::FakeFolderPanel m_panel;
    platform::MemoryEnvironment m_environment;
    testing::FakeBundleInformation m_bundle;
    std::optional<MountLocation> m_location;
};

TEST_F(MountLocationTests, RestoresTheKeptFolderOrMakesTheDefaultOne) {
    struct Case {
        const char* name;
        std::optional<std::string> stored;
        bool sandboxed;
        std::optional<std::filesystem::path> url;
        std::optional<std::string> storedAfter;
    };
    const std::vector<Case> cases{
        {"kept", "/home/me/Desktop", false, "/home/me/Desktop", "/home/me/Desktop"},
        {"kept in an older form", "/home/me/./Desktop/", false, "/home/me/Desktop", "/home/me/Desktop"},
        {"gone", "/gone", false, "/home/me/Tandalo", "/gone"},
        {"nothing kept", std::nullopt, false, "/home/me/Tandalo", std::nullopt},
        {"nothing kept, sandboxed", std::nullopt, true, std::nullopt, std::nullopt},
        {"kept, sandboxed", "/home/me/Desktop", true, "/home/me/Desktop", "/home/me/Desktop"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        m_location.reset();
        m_preferences.remove(MountLocation::bookmarkKey);
        if (each.stored) {
            m_preferences.set(MountLocation::bookmarkKey, *each.stored);
        }
        each.sandboxed ? m_environment.set(MountLocation::sandboxVariable, "")
                       : m_environment.unset(MountLocation::sandboxVariable);
        int announcements = 0;
        auto counting = location().objectWillChange.subscribe([&] { ++announcements; });
        location().restore();
        EXPECT_EQ(*location().url, each.url);
        EXPECT_EQ(announcements, each.url ? 1 : 0);
        EXPECT_EQ(bookmark(), each.storedAfter);
        if (each.url) {
            EXPECT_TRUE(m_files.isFolder(*each.url));
        }
    }
}

TEST_F(MountLocationTests, AChoiceOfAUserFolderBecomesAFolderNamedAfterTheApplicationInside) {
    EXPECT_FALSE(location().choose()) << "cancelled";
    EXPECT_EQ(*location().url, std::nullopt);
    ASSERT_EQ(m_panel.requests.size(), 1U);
    EXPECT_EQ(m_panel.requests[0].prompt, "Use This Folder");
    EXPECT_EQ(m_panel.requests[0].message,
              "Choose where connected devices should appear, for example a new folder "
              "named Tandalo. Each device gets its own folder inside it.");
    EXPECT_EQ(m_panel.requests[0].startFolder, "/home/me");
    EXPECT_EQ(m_panel.requests[0].presetName, "Tandalo");
    const std::vector<std::pair<std::filesystem::path, std::filesystem::path>> cases{
        {"/home/me", "/home/me/Tandalo"},
        {"/home/me/Downloads/", "/home/me/Downloads/Tandalo"},
        {"/home/me/Desktop/Phones", "/home/me/Desktop/Phones"},
        {"/media/disk", "/media/disk"},
    };
    for (const auto& [chosen, used] : cases) {
        m_panel.answer = chosen;
        EXPECT_TRUE(location().choose());
        EXPECT_EQ(*location().url, used);
        EXPECT_EQ(location().scoped(), used);
        EXPECT_EQ(bookmark(), used.string());
    }
    m_preferences.failWrites();
    m_panel.answer = "/media/other";
    EXPECT_TRUE(location().choose()) << "a folder that cannot be kept is still used";
    EXPECT_EQ(*location().url, "/media/other");
}

TEST_F(MountLocationTests, NamesDeviceFoldersSafelyAndNeverReusesOneInUse) {
    EXPECT_THROW(location().folder("Pixel", 1), MountError);
    m_panel.answer = "/m";
    location().choose();
    struct Case {
        std::string name;
        int index;
        std::filesystem::path path;
    };
    const std::vector<Case> cases{
        {"a/b", 1, "/m/a-b"},
        {"", 1, "/m/Android"},
        {"", 2, "/m/Android (2)"},
        {"/", 1, "/m/-"},
        {".", 1, "/m/Android"},
        {"..", 0, "/m/Android"},
        {"Pixel 7", 1, "/m/Pixel 7"},
        {"Pixel 7", 1, "/m/Pixel 7"},
        {std::string("nul\0x", 5), 1, "/m/nul-x"},
        // Cut to the 255 bytes a folder name may have, at a character, with room for the number.
        {repeated("\u6F22", 100), 1, "/m/" + repeated("\u6F22", 85)},
        {repeated("\u6F22", 100), 2, "/m/" + repeated("\u6F22", 83) + " (2)"},
        {std::string(254, 'x') + " y", 1, "/m/" + std::string(254, 'x')},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.path);
        EXPECT_EQ(location().folder(each.name, each.index).path, each.path);
        EXPECT_TRUE(m_files.isFolder(each.path));
    }
    // In use: mounted (even empty), not empty, or unreadable as a mount whose server is gone.
    m_table.add("mtp://a", "/m/Pixel 7");
    m_files.createDirectories("/m/Pixel 7 (2)");
    m_files.createEmptyFile("/m/Pixel 7 (2)/photo.jpg");
    m_files.createDirectories("/m/Pixel 7 (3)");
    m_files.makeUnlistable("/m/Pixel 7 (3)");
    EXPECT_EQ(location().folder("Pixel 7", 1), (MountLocation::DeviceFolder{"/m/Pixel 7 (4)", 4}));
    m_files.failAt("/m/Broken");
    EXPECT_THROW(location().folder("Broken", 1), platform::FoundationError);
    // A folder that can be neither read nor made is no folder in use: the reason is told, not the next
    // name tried (and, a hundred names on, every folder blamed for being in use).
    m_files.createDirectories("/m/Too long");
    m_files.failAt("/m/Too long", ENAMETOOLONG);
    EXPECT_THAT(
        [&] { location().folder("Too long", 1); },
        ::testing::ThrowsMessage<platform::FoundationError>(::testing::HasSubstr("File name too long")));
}

} // namespace
} // namespace tandalo::app
