#include "platform/foundation/OwnedFolder.h"

#include "tests/platform/foundation/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::OwnedFolder;
using platform::UnsafeFolderError;
using platform::testing::TemporaryFolder;

namespace {

// Someone who is neither the user nor root.
constexpr uid_t otherUser = 54321;

void plantLink(const fs::path& target, const fs::path& link, uid_t owner) {
    fs::create_symlink(target, link);
    ASSERT_EQ(::lchown(link.c_str(), owner, owner), 0) << link;
}

} // namespace

// The rules that keep another user's links and folders out of what the application makes, in a sticky
// folder that everyone may write, as the system's temporary folder is.
TEST(OwnedFolderTests, NothingAnotherUserPlantedInASharedFolderIsFollowedOrUsed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "planting another user's links needs root (lchown)";
    }
    struct Case {
        std::string what;
        std::function<void(const fs::path& shared, const fs::path& victim)> plant;
        std::function<void(const fs::path& shared)> use;
    };
    const auto make = [](const fs::path& path) { OwnedFolder::open(path, OwnedFolder::Missing::made); };
    const std::vector<Case> cases{
        {"another user's link on the way",
         [](const fs::path& shared, const fs::path& victim) {
             plantLink(victim, shared / "Pixel", otherUser);
         },
         [&](const fs::path& shared) { make(shared / "Pixel" / "inside"); }},
        {"a link in the place of the folder asked for, even the user's own",
         [](const fs::path& shared, const fs::path& victim) { plantLink(victim, shared / "Pixel", 0); },
         [&](const fs::path& shared) { make(shared / "Pixel"); }},
        {"another user's folder on the way",
         [](const fs::path& shared, const fs::path&) {
             fs::create_directory(shared / ".tandalo");
             ASSERT_EQ(::chown((shared / ".tandalo").c_str(), otherUser, otherUser), 0);
         },
         [&](const fs::path& shared) { make(shared / ".tandalo" / "1"); }},
        {"another user's folder asked for",
         [](const fs::path& shared, const fs::path&) {
             fs::create_directory(shared / ".tandalo");
             ASSERT_EQ(::chown((shared / ".tandalo").c_str(), otherUser, otherUser), 0);
         },
         [](const fs::path& shared) { OwnedFolder::open(shared).subfolder(".tandalo", 0700); }},
        {"a link in the place of a file",
         [](const fs::path& shared, const fs::path& victim) {
             plantLink(victim / "f", shared / "f", otherUser);
         },
         [](const fs::path& shared) { OwnedFolder::open(shared).createFile("f", 0600); }},
    };
    for (const auto& [what, plant, use] : cases) {
        SCOPED_TRACE(what);
        TemporaryFolder root;
        const auto shared = root.path() / "shared";
        const auto victim = root.path() / "victim";
        fs::create_directories(shared);
        fs::create_directories(victim);
        ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
        plant(shared, victim);
        EXPECT_THROW(use(shared), UnsafeFolderError);
        EXPECT_TRUE(fs::is_empty(victim));
    }
}

TEST(OwnedFolderTests, FollowsLinksTheKernelWouldFollowAndMakesWhatIsMissing) {
    TemporaryFolder root;
    const auto real = root.path() / "real";
    fs::create_directories(real);
    // The user's own link, also in a shared folder, and a relative link with ".." in it.
    const auto shared = root.path() / "shared";
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    fs::create_symlink(real, shared / "mine");
    fs::create_symlink("../real", shared / "relative");

    const auto made = OwnedFolder::open(shared / "mine" / "a" / "b", OwnedFolder::Missing::made, 0700);
    EXPECT_EQ(made.path(), real / "a" / "b");
    EXPECT_TRUE(fs::is_directory(real / "a" / "b"));
    EXPECT_EQ(OwnedFolder::open(shared / "relative" / "a").path(), real / "a");
    EXPECT_THROW(OwnedFolder::open(shared / "missing"), platform::FoundationError);
    EXPECT_FALSE(fs::exists(shared / "missing"));
    EXPECT_THROW(OwnedFolder::open("relative/path"), platform::FoundationError);
    // A FIFO in the place of a file is refused without blocking on it.
    ASSERT_EQ(::mkfifo((real / "fifo").c_str(), 0600), 0);
    EXPECT_THROW(OwnedFolder::open(real).createFile("fifo", 0600), UnsafeFolderError);
}
