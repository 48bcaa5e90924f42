#include "FileSystemExtension/AndroidItem.h"
#include "FileSystemExtension/EphemeralItem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandalo {
namespace {

using corvane::MTPObject;
using corvane::StorageInfo;

StorageInfo storage(std::uint32_t id) {
    StorageInfo info;
    info.id = id;
    info.description = "Internal shared storage";
    return info;
}

MTPObject object(std::uint32_t handle, std::uint32_t storageID) {
    return MTPObject(handle, storageID, 0xFFFFFFFF, "photo.jpg", 5000, 0x3801, std::nullopt, false);
}

const platform::Clock::WallTime someTime{std::chrono::seconds(1'700'000'000)};

TEST(AndroidItemTests, DerivesTheIdentifierFromWhatTheItemStandsFor) {
    struct Case {
        const char* name;
        AndroidItem::Kind kind;
        std::uint64_t id;
    };
    const std::vector<Case> cases{
        {"root", AndroidItem::Kind::root(), 2},
        {"storage 0x10001", AndroidItem::Kind::storage(storage(0x10001)), 0x100'0001'0001},
        {"storage 0xFFFFFFFF", AndroidItem::Kind::storage(storage(0xFFFFFFFF)), 0x100'FFFF'FFFF},
        {"object 5", AndroidItem::Kind::object(object(5, 0x10001)), 0x1'0000'0005},
        {"object 5 on another storage", AndroidItem::Kind::object(object(5, 0x20001)), 0x1'0000'0005},
        {"object 0", AndroidItem::Kind::object(object(0, 0x10001)), 0x1'0000'0000},
        {"object 0xFFFFFFFF", AndroidItem::Kind::object(object(0xFFFFFFFF, 0x10001)), 0x1'FFFF'FFFF},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(AndroidItem::identifier(each.kind), each.id);
        const AndroidItem item(each.kind, "name", 2);
        EXPECT_EQ(item.id(), each.id);
    }
}

TEST(EphemeralItemTests, TakesConsecutiveIdentifiersThatAreNeverReused) {
    const auto destination = EphemeralItem::Destination::memoryOnly();
    auto first = std::make_unique<EphemeralItem>(".DS_Store", 2, destination, someTime);
    const auto firstID = first->id();
    first.reset();
    const EphemeralItem second("._a", 2, destination, someTime);
    const EphemeralItem third("._b", 2, destination, someTime);
    EXPECT_EQ(firstID & 0x300'0000'0000, 0x300'0000'0000u);
    EXPECT_GT(firstID & 0xFF'FFFF'FFFF, 0u);
    EXPECT_EQ(second.id(), firstID + 1);
    EXPECT_EQ(third.id(), second.id() + 1);
    EXPECT_EQ(second.created(), someTime);
}

TEST(EphemeralItemTests, PacksTheStorageLowAndTheParentHigh) {
    const auto destination = EphemeralItem::Destination::device(0x00010001, 0xFFFFFFFF);
    EXPECT_TRUE(destination.isDevice());
    EXPECT_EQ(destination.packed(), 0xFFFF'FFFF'0001'0001u);
    EXPECT_EQ(destination.storageID(), 0x00010001u);
    EXPECT_EQ(destination.parentHandle(), 0xFFFFFFFFu);
    EXPECT_EQ(EphemeralItem::Destination::device(0x0000'0042'0002'0001),
              EphemeralItem::Destination::device(0x20001, 0x42));
    EXPECT_TRUE(EphemeralItem::Destination::memoryOnly().isMemoryOnly());
    EXPECT_NE(EphemeralItem::Destination::memoryOnly(), EphemeralItem::Destination::device(0));
}

TEST(EphemeralItemTests, HandsItsContentsOnlyToTheHolderOfItsOwnContentLock) {
    EphemeralItem item("new.bin", 2, EphemeralItem::Destination::device(0x10001, 0xFFFFFFFF), someTime);
    EphemeralItem other("other.bin", 2, EphemeralItem::Destination::memoryOnly(), someTime);
    {
        std::unique_lock own(item.contentLock());
        EXPECT_TRUE(item.contents(own).empty());
    }
    std::unique_lock foreign(other.contentLock());
    EXPECT_THROW((void)item.contents(foreign), std::logic_error);
    std::unique_lock unlocked(item.contentLock(), std::defer_lock);
    EXPECT_THROW((void)item.contents(unlocked), std::logic_error);
}

TEST(EphemeralItemTests, KeepsFinderMetadataNamesInMemory) {
    struct Case {
        const char* name;
        bool ephemeral;
    };
    const std::vector<Case> cases{
        {".DS_Store", true},
        {".localized", true},
        {".apdisk", true},
        {".Spotlight-V100", true},
        {".Trashes", true},
        {".fseventsd", true},
        {".TemporaryItems", true},
        {".DocumentRevisions-V100", true},
        {"._", true},
        {"._photo.jpg", true},
        {"._.DS_Store", true},
        {".ds_store", false},
        {".DS_STORE", false},
        {"DS_Store", false},
        {".DS_Store ", false},
        {".trashes", false},
        {"_.photo", false},
        {".", false},
        {"..", false},
        {"", false},
        {"photo.jpg", false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(isEphemeralName(each.name), each.ephemeral);
    }
}

} // namespace
} // namespace tandalo
