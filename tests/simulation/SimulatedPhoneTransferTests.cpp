#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/ObjectInfo.h"
#include "tests/simulation/SimulatedPhoneTestHost.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace simulation {
namespace {

using corvane::PTPOperation;
using testing::Answer;
using testing::CoreHost;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::PhoneWithSession;

constexpr std::uint64_t fourGiB = 1ull << 32;

std::vector<std::byte> objectInfo(std::uint32_t storage, std::uint32_t parent, std::string name,
                                  std::uint16_t format = 0x3000, std::uint32_t size = 0,
                                  std::string modified = "") {
    corvane::ObjectInfo info(storage, parent, std::move(name), format, size, 0);
    info.modificationDate = std::move(modified);
    return info.encoded();
}

/// SendObjectInfo for a file, then SendObject with its contents; returns the new handle.
std::uint32_t upload(PhoneWithSession& fixture, std::uint32_t parent, const std::string& name,
                     std::string_view text) {
    const Answer info = fixture.host.run(
        PTPOperation::sendObjectInfo, {fixture.storage, parent},
        objectInfo(fixture.storage, parent, name, 0x3000, static_cast<std::uint32_t>(text.size())));
    EXPECT_TRUE(info.ok()) << std::hex << info.code();
    EXPECT_EQ(info.params().size(), 3u);
    const Answer data = fixture.host.run(PTPOperation::sendObject, {}, testing::bytesOf(text));
    EXPECT_TRUE(data.ok()) << std::hex << data.code();
    return info.params().size() == 3 ? info.params()[2] : 0;
}

TEST(SimulatedPhoneTransferTests, GetObjectSendsTheContentInOneDataContainer) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a.txt", "hello, phone");
    const Answer answer = fixture.host.run(PTPOperation::getObject, {file});
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(answer.dataHeader.length, 12u + 12u);
    EXPECT_EQ(answer.dataHeader.code, 0x1009);
    EXPECT_EQ(answer.data, testing::bytesOf("hello, phone"));
    const auto folder = fixture.phone.addFolder(fixture.storage, SimulatedPhone::root, "DCIM");
    EXPECT_EQ(fixture.host.run(PTPOperation::getObject, {folder}).code(), 0x201D);
    EXPECT_EQ(fixture.host.run(PTPOperation::getObject, {4242}).code(), 0x2009);
}

TEST(SimulatedPhoneTransferTests, GetObjectBeyondFourGiBAnnouncesAnUnknownLength) {
    PhoneWithSession fixture;
    const auto big =
        fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "big.bin", fourGiB + 100);
    fixture.host.write(testing::commandBytes(PTPOperation::getObject, 1, {big}));
    const usb::InReply first = fixture.phone.produceIn();
    ASSERT_EQ(first.reply, usb::Reply::done);
    ASSERT_GE(first.transfer.data.size(), 12u);
    const auto header = corvane::PTPContainer::parseHeader(first.transfer.data);
    EXPECT_EQ(header.length, 0xFFFFFFFFu);
    // The piece is a whole number of packets, so it must not end the host's read.
    EXPECT_EQ(first.transfer.data.size() % 512, 0u);
    EXPECT_EQ(first.transfer.zeroLengthPacket, usb::InTransfer::ZeroLengthPacket::never);
    const std::vector<std::byte> start(first.transfer.data.begin() + 12, first.transfer.data.begin() + 112);
    EXPECT_EQ(start, SimulatedPhone::generatedBytes(big, 0, 100));
    // Nothing of the object was allocated to serve it.
    EXPECT_EQ(fixture.phone.storedBytes(big), 0u);
}

TEST(SimulatedPhoneTransferTests, PartialReadsInBothForms) {
    PhoneWithSession fixture;
    const auto small = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "s", "0123456789");
    const auto big =
        fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "b", 5'000'000'000ull);
    struct Case {
        const char* name;
        PTPOperation operation;
        std::vector<std::uint32_t> params;
        std::uint16_t code;
        std::vector<std::byte> data;
    };
    const Case cases[] = {
        {"32-bit middle", PTPOperation::getPartialObject, {small, 2, 3}, 0x2001, testing::bytesOf("234")},
        {"32-bit past the end",
         PTPOperation::getPartialObject,
         {small, 8, 100},
         0x2001,
         testing::bytesOf("89")},
        {"32-bit at the end", PTPOperation::getPartialObject, {small, 10, 5}, 0x2001, {}},
        {"32-bit beyond the end", PTPOperation::getPartialObject, {small, 11, 5}, 0x201D, {}},
        {"64-bit above 4 GiB, low half first",
         PTPOperation::androidGetPartialObject64,
         {big, 5, 1, 4096},
         0x2001,
         SimulatedPhone::generatedBytes(big, fourGiB + 5, 4096)},
        {"64-bit at the last bytes",
         PTPOperation::androidGetPartialObject64,
         {big, static_cast<std::uint32_t>(4'999'999'990ull & 0xFFFFFFFF), 1, 100},
         0x2001,
         SimulatedPhone::generatedBytes(big, 4'999'999'990ull, 10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer answer = fixture.host.run(c.operation, c.params);
        EXPECT_EQ(answer.code(), c.code);
        if (answer.ok()) {
            EXPECT_EQ(answer.data, c.data);
            EXPECT_THAT(answer.params(), ElementsAre(static_cast<std::uint32_t>(c.data.size())));
        }
    }
}

TEST(SimulatedPhoneTransferTests, SendObjectInfoThenSendObjectCreatesTheFile) {
    PhoneWithSession fixture;
    const auto dcim = fixture.phone.addFolder(fixture.storage, SimulatedPhone::root, "DCIM");
    const Answer info =
        fixture.host.run(PTPOperation::sendObjectInfo, {fixture.storage, dcim},
                         objectInfo(fixture.storage, dcim, "new.txt", 0x3000, 5, "20240131T235959Z"));
    ASSERT_TRUE(info.ok());
    ASSERT_EQ(info.params().size(), 3u);
    const std::uint32_t handle = info.params()[2];
    EXPECT_EQ(info.params()[0], fixture.storage);
    EXPECT_EQ(info.params()[1], dcim);
    EXPECT_TRUE(fixture.host.run(PTPOperation::sendObject, {}, testing::bytesOf("12345")).ok());
    EXPECT_EQ(fixture.phone.contentsText(handle), "12345");
    const auto record = fixture.phone.object(handle);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->parent, dcim);
    EXPECT_EQ(record->reportedSize, 5u);
    EXPECT_EQ(record->modified, corvane::MTPDate::parse("20240131T235959Z"));
    EXPECT_EQ(fixture.phone.tree(fixture.storage), "DCIM/\nDCIM/new.txt 5\n");
    const auto log = fixture.phone.transactions();
    EXPECT_TRUE(log.back().hostSentData);
    EXPECT_EQ(log.back().dataOutBytes, 5u);
    EXPECT_FALSE(log.back().hostSentZLP);
    EXPECT_TRUE(fixture.phone.violations().empty());
}

TEST(SimulatedPhoneTransferTests, FoldersAndFilesAtTheTopAcceptEitherRootForm) {
    PhoneWithSession fixture;
    const Answer folder = fixture.host.run(PTPOperation::sendObjectInfo, {fixture.storage, 0xFFFFFFFF},
                                           objectInfo(fixture.storage, 0xFFFFFFFF, "Music", 0x3001));
    ASSERT_TRUE(folder.ok());
    const auto record = fixture.phone.object(folder.params()[2]);
    EXPECT_TRUE(record->isFolder);
    EXPECT_EQ(record->parent, 0u);
    // A folder needs no SendObject: the next command is not refused for want of one.
    const std::uint32_t file = upload(fixture, 0, "top.txt", "x");
    EXPECT_EQ(fixture.phone.find(fixture.storage, "top.txt"), file);
}

TEST(SimulatedPhoneTransferTests, SendObjectMustFollowItsObjectInfo) {
    struct Case {
        const char* name;
        SendObjectRule rule;
        bool between;
        std::uint16_t code;
    };
    const Case cases[] = {
        {"without any object info", SendObjectRule::immediatelyAfterInfo, false, 0x2015},
        {"another command in between", SendObjectRule::immediatelyAfterInfo, true, 0x2015},
        {"another command in between, lenient phone", SendObjectRule::sameSession, true, 0x2001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PhoneWithSession fixture;
        fixture.phone.setSendObjectRule(c.rule);
        std::uint32_t handle = 0;
        if (c.between || c.code == 0x2001) {
            handle = fixture.host
                         .run(PTPOperation::sendObjectInfo, {fixture.storage, 0},
                              objectInfo(fixture.storage, 0, "f.bin", 0x3000, 3))
                         .params()[2];
        }
        if (c.between) {
            fixture.host.run(PTPOperation::getDevicePropValue, {0x5001});
        }
        EXPECT_EQ(fixture.host.run(PTPOperation::sendObject, {}, testing::bytesOf("abc")).code(), c.code);
        // An announced object that never got its data does not stay behind.
        EXPECT_EQ(fixture.phone.object(handle).has_value(), c.code == 0x2001 && handle != 0);
    }
}

TEST(SimulatedPhoneTransferTests, SendObjectInfoRefusals) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    const auto s = fixture.storage;
    const auto readOnly = phone.addStorage({.id = 0x00020001, .accessCapability = 1});
    const auto file = phone.addFile(s, SimulatedPhone::root, "taken.txt", "x");
    phone.updateStorage(s, [](PhoneStorage& storage) { storage.freeSpace = 1000; });
    struct Case {
        const char* name;
        std::vector<std::uint32_t> params;
        std::vector<std::byte> dataset;
        std::uint16_t code;
    };
    auto truncated = objectInfo(s, 0, "cut.txt");
    truncated.resize(40);
    const Case cases[] = {
        {"read-only storage", {readOnly, 0}, objectInfo(readOnly, 0, "a"), 0x200E},
        {"unknown storage", {0x00090001, 0}, objectInfo(0x00090001, 0, "a"), 0x2008},
        {"parent is a file", {s, file}, objectInfo(s, file, "a"), 0x201A},
        {"unknown parent", {s, 777}, objectInfo(s, 777, "a"), 0x201A},
        {"name taken", {s, 0}, objectInfo(s, 0, "taken.txt"), 0x2002},
        {"name with a slash", {s, 0}, objectInfo(s, 0, "a/b"), 0xA806},
        {"empty name", {s, 0}, objectInfo(s, 0, ""), 0xA806},
        {"dataset cut short", {s, 0}, truncated, 0xA806},
        {"larger than the free space", {s, 0}, objectInfo(s, 0, "big", 0x3000, 1001), 0x200C},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fixture.host.run(PTPOperation::sendObjectInfo, c.params, c.dataset).code(), c.code);
    }
    // Unknown size (0xFFFFFFFF) is not held against the free space.
    EXPECT_TRUE(
        fixture.host.run(PTPOperation::sendObjectInfo, {s, 0}, objectInfo(s, 0, "huge", 0x3000, 0xFFFFFFFF))
            .ok());
    EXPECT_EQ(phone.children(s, SimulatedPhone::root).size(), 2u);
}

TEST(SimulatedPhoneTransferTests, DataPhaseOfUnknownLengthEndsAtAShortTransferOrAZeroLengthPacket) {
    for (const std::size_t payload : {std::size_t{3 << 20} + 100, std::size_t{(3 << 20) - 12}}) {
        SCOPED_TRACE(payload);
        PhoneWithSession fixture;
        const auto handle = fixture.host
                                .run(PTPOperation::sendObjectInfo, {fixture.storage, 0},
                                     objectInfo(fixture.storage, 0, "stream.bin", 0x3000, 0xFFFFFFFF))
                                .params()[2];
        const std::uint32_t tid = fixture.host.nextTransactionID++;
        fixture.host.write(testing::commandBytes(PTPOperation::sendObject, tid));
        std::vector<std::byte> bytes = SimulatedPhone::generatedBytes(99, 0, payload);
        const auto header =
            corvane::PTPContainer::header(corvane::PTPContainer::Kind::data, 0x100D, tid, 0xFFFFFFFF);
        std::vector<std::byte> first(header.begin(), header.end());
        first.insert(first.end(), bytes.begin(), bytes.begin() + (1 << 20) - 12);
        fixture.host.write(first);
        for (std::size_t at = (1 << 20) - 12; at < payload; at += 1 << 20) {
            fixture.host.write(std::span(bytes).subspan(at, std::min<std::size_t>(1 << 20, payload - at)));
        }
        if ((payload + 12) % 512 == 0) {
            fixture.host.write({});
        }
        EXPECT_TRUE(CoreHost::parse(fixture.host.drain()).ok());
        EXPECT_EQ(fixture.phone.contents(handle), bytes);
        EXPECT_EQ(fixture.phone.transactions().back().hostSentZLP, (payload + 12) % 512 == 0);
    }
}

TEST(SimulatedPhoneTransferTests, DeleteObjectRules) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    const auto s = fixture.storage;
    const auto folder = phone.addFolder(s, SimulatedPhone::root, "A");
    const auto inner = phone.addFolder(s, folder, "B");
    phone.addFile(s, inner, "c.txt", "c");
    const auto kept = phone.addFolder(s, SimulatedPhone::root, "Keep");
    const auto keptSub = phone.addFolder(s, kept, "Sub");
    phone.addFile(s, keptSub, "locked", "l", {.protectionStatus = 1});
    const auto loose = phone.addFile(s, kept, "loose", "x");
    const auto locked = phone.addFile(s, SimulatedPhone::root, "locked.txt", "l", {.protectionStatus = 1});

    EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {folder, 0x3000}).code(), 0x2014);
    EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {0xFFFFFFFF, 0}).code(), 0x2006);
    EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {locked, 0}).code(), 0x200D);
    EXPECT_TRUE(fixture.host.run(PTPOperation::deleteObject, {folder, 0}).ok());
    EXPECT_FALSE(phone.find(s, "A"));
    EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {inner, 0}).code(), 0x2009);
    // A protected object survives inside its folders; everything else goes.
    EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {kept, 0}).code(), 0x2012);
    EXPECT_FALSE(phone.object(loose));
    EXPECT_TRUE(phone.find(s, "Keep/Sub/locked"));
    EXPECT_EQ(phone.tree(s), "Keep/\nKeep/Sub/\nKeep/Sub/locked 1\nlocked.txt 1\n");
    (void)keptSub;
}

TEST(SimulatedPhoneTransferTests, DeletionOnReadOnlyStorages) {
    PhoneWithSession fixture;
    const auto noDelete = fixture.phone.addStorage({.id = 0x00020001, .accessCapability = 1});
    const auto withDelete = fixture.phone.addStorage({.id = 0x00030001, .accessCapability = 2});
    const auto a = fixture.phone.addFile(noDelete, SimulatedPhone::root, "a", "1");
    const auto b = fixture.phone.addFile(withDelete, SimulatedPhone::root, "b", "2");
    EXPECT_EQ(fixture.host.run(PTPOperation::deleteObject, {a, 0}).code(), 0x200E);
    EXPECT_TRUE(fixture.host.run(PTPOperation::deleteObject, {b, 0}).ok());
}

TEST(SimulatedPhoneTransferTests, MoveObjectRules) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    const auto s = fixture.storage;
    const auto card = phone.addStorage({.id = 0x00020001});
    const auto a = phone.addFolder(s, SimulatedPhone::root, "A");
    const auto b = phone.addFolder(s, a, "B");
    const auto file = phone.addFile(s, b, "f.txt", "f");
    phone.addFile(s, SimulatedPhone::root, "f.txt", "other");
    struct Case {
        const char* name;
        std::vector<std::uint32_t> params;
        std::uint16_t code;
    };
    const Case cases[] = {
        {"into its own subtree", {a, s, b}, 0x201A},
        {"onto itself", {a, s, a}, 0x201A},
        {"name taken at the destination", {file, s, 0}, 0x2002},
        {"to a file", {b, s, file}, 0x201A},
        {"to an unknown storage", {file, 0x00090001, 0}, 0x2008},
        {"up one level", {file, s, a}, 0x2001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fixture.host.run(PTPOperation::moveObject, c.params).code(), c.code);
    }
    EXPECT_EQ(phone.object(file)->parent, a);
    // Across storages the handles stay and everything below follows.
    EXPECT_TRUE(fixture.host.run(PTPOperation::moveObject, {a, card, 0}).ok());
    EXPECT_EQ(phone.object(b)->storageID, card);
    EXPECT_EQ(phone.find(card, "A/f.txt"), file);
    EXPECT_EQ(phone.tree(s), "f.txt 5\n");
}

TEST(SimulatedPhoneTransferTests, RenameThroughTheFileNameProperty) {
    PhoneWithSession fixture;
    const auto a = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a.txt", "a");
    fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "b.txt", "b");
    struct Case {
        const char* name;
        std::vector<std::uint32_t> params;
        std::vector<std::byte> value;
        std::uint16_t code;
    };
    const Case cases[] = {
        {"a taken name", {a, 0xDC07}, testing::ptpString("b.txt"), 0x2002},
        {"an empty name", {a, 0xDC07}, testing::ptpString(""), 0xA803},
        {"a read-only property", {a, 0xDC04}, {std::byte{1}}, 0x200F},
        {"an unknown property", {a, 0xDC99}, {std::byte{1}}, 0xA80A},
        {"no string at all", {a, 0xDC07}, {std::byte{5}}, 0xA803},
        {"a good name", {a, 0xDC07}, testing::ptpString("renamed.txt"), 0x2001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fixture.host.run(PTPOperation::setObjectPropValue, c.params, c.value).code(), c.code);
    }
    EXPECT_EQ(fixture.phone.object(a)->name, "renamed.txt");
}

TEST(SimulatedPhoneTransferTests, EditSessionWritesTruncatesAndCommitsAtTheEnd) {
    PhoneWithSession fixture;
    auto& host = fixture.host;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "doc.txt", "0123456789");
    EXPECT_EQ(
        host.run(PTPOperation::androidSendPartialObject, {file, 0, 0, 3}, testing::bytesOf("abc")).code(),
        0x2002);
    EXPECT_TRUE(host.run(PTPOperation::androidBeginEditObject, {file}).ok());
    EXPECT_EQ(host.run(PTPOperation::androidBeginEditObject, {file}).code(), 0x2002);
    const Answer written =
        host.run(PTPOperation::androidSendPartialObject, {file, 10, 0, 3}, testing::bytesOf("abc"));
    EXPECT_TRUE(written.ok());
    EXPECT_THAT(written.params(), ElementsAre(3u));
    EXPECT_EQ(
        host.run(PTPOperation::androidSendPartialObject, {file, 14, 0, 1}, testing::bytesOf("z")).code(),
        0x2002);
    EXPECT_TRUE(host.run(PTPOperation::androidTruncateObject, {file, 12, 0}).ok());
    // Until the edit ends, the phone reports the size it had.
    EXPECT_EQ(corvane::ObjectInfo::parse(host.run(PTPOperation::getObjectInfo, {file}).data).compressedSize,
              10u);
    EXPECT_EQ(fixture.phone.objectsInEdit(), std::vector<std::uint32_t>{file});
    EXPECT_TRUE(host.run(PTPOperation::androidEndEditObject, {file}).ok());
    EXPECT_EQ(host.run(PTPOperation::androidEndEditObject, {file}).code(), 0x2002);
    EXPECT_EQ(fixture.phone.contentsText(file), "0123456789ab");
    EXPECT_EQ(corvane::ObjectInfo::parse(host.run(PTPOperation::getObjectInfo, {file}).data).compressedSize,
              12u);
    EXPECT_TRUE(fixture.phone.objectsInEdit().empty());
}

TEST(SimulatedPhoneTransferTests, EditsBeyondFourGiBStaySparse) {
    PhoneWithSession fixture;
    auto& host = fixture.host;
    const auto file =
        fixture.phone.addGeneratedFile(fixture.storage, SimulatedPhone::root, "disk.img", 6'000'000'000ull);
    ASSERT_TRUE(host.run(PTPOperation::androidBeginEditObject, {file}).ok());
    // 5 GiB + 7, split low half first.
    ASSERT_TRUE(
        host.run(PTPOperation::androidSendPartialObject, {file, 0x40000007, 1, 4}, testing::bytesOf("EDIT"))
            .ok());
    EXPECT_EQ(fixture.phone.contents(file, 5 * (fourGiB / 4) + 7, 4), testing::bytesOf("EDIT"));
    ASSERT_TRUE(host.run(PTPOperation::androidTruncateObject, {file, 5, 1}).ok()); // 2^32 + 5
    ASSERT_TRUE(host.run(PTPOperation::androidEndEditObject, {file}).ok());
    EXPECT_EQ(fixture.phone.object(file)->size, fourGiB + 5);
    EXPECT_LE(fixture.phone.storedBytes(file), 2 * PhoneContent::pageSize);
    // Truncating past the write dropped it; below, the generated bytes are untouched.
    EXPECT_EQ(fixture.phone.contents(file, fourGiB, 5), SimulatedPhone::generatedBytes(file, fourGiB, 5));
    ASSERT_TRUE(host.run(PTPOperation::androidBeginEditObject, {file}).ok());
    ASSERT_TRUE(host.run(PTPOperation::androidTruncateObject, {file, 0, 2}).ok()); // grow to 8 GiB
    ASSERT_TRUE(
        host.run(PTPOperation::androidSendPartialObject, {file, 0, 1, 2}, testing::bytesOf("hi")).ok());
    ASSERT_TRUE(host.run(PTPOperation::androidEndEditObject, {file}).ok());
    EXPECT_EQ(fixture.phone.object(file)->size, 2 * fourGiB);
    EXPECT_EQ(fixture.phone.contents(file, fourGiB, 2), testing::bytesOf("hi"));
    EXPECT_EQ(fixture.phone.contents(file, fourGiB + 2, 3),
              SimulatedPhone::generatedBytes(file, fourGiB + 2, 3));
    // What a truncation cut off does not come back when the file grows again: it reads as zeros.
    EXPECT_EQ(fixture.phone.contents(file, fourGiB + 5, 4), std::vector<std::byte>(4, std::byte{0}));
    EXPECT_EQ(fixture.phone.contents(file, 2 * fourGiB - 2, 10), (std::vector<std::byte>(2, std::byte{0})));
}

TEST(SimulatedPhoneTransferTests, EditRefusals) {
    PhoneWithSession fixture;
    const auto folder = fixture.phone.addFolder(fixture.storage, SimulatedPhone::root, "F");
    const auto locked =
        fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "l", "l", {.protectionStatus = 1});
    const auto readOnly = fixture.phone.addStorage({.id = 0x00020001, .accessCapability = 1});
    const auto onReadOnly = fixture.phone.addFile(readOnly, SimulatedPhone::root, "r", "r");
    EXPECT_EQ(fixture.host.run(PTPOperation::androidBeginEditObject, {folder}).code(), 0x201D);
    EXPECT_EQ(fixture.host.run(PTPOperation::androidBeginEditObject, {locked}).code(), 0x200D);
    EXPECT_EQ(fixture.host.run(PTPOperation::androidBeginEditObject, {onReadOnly}).code(), 0x200E);
    EXPECT_EQ(fixture.host.run(PTPOperation::androidBeginEditObject, {999}).code(), 0x2009);
    EXPECT_EQ(fixture.host.run(PTPOperation::androidTruncateObject, {onReadOnly, 0, 0}).code(), 0x2002);
}

TEST(SimulatedPhoneTransferTests, ClosingTheSessionCommitsOpenEdits) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "doc", "abc");
    ASSERT_TRUE(fixture.host.run(PTPOperation::androidBeginEditObject, {file}).ok());
    ASSERT_TRUE(fixture.host.run(PTPOperation::androidTruncateObject, {file, 1, 0}).ok());
    ASSERT_TRUE(fixture.host.run(PTPOperation::closeSession).ok());
    EXPECT_TRUE(fixture.phone.objectsInEdit().empty());
    EXPECT_EQ(fixture.phone.object(file)->reportedSize, 1u);
}

TEST(SimulatedPhoneTransferTests, BuilderAndReadBack) {
    SimulatedPhone phone;
    const auto s = phone.addStorage();
    const auto camera = phone.addFolders(s, "DCIM/Camera");
    EXPECT_EQ(phone.addFolders(s, "/DCIM//Camera/"), camera);
    const auto photo = phone.addFile(s, camera, "p.jpg", "jpeg-bytes");
    EXPECT_EQ(phone.find(s, "DCIM/Camera/p.jpg"), photo);
    EXPECT_FALSE(phone.find(s, "DCIM/Nope"));
    EXPECT_EQ(phone.sha256(photo), "0111dbc398b94eacda6759809c050530868ee7e313b3381c2f95ce8b55331c50");
    EXPECT_THROW(phone.addFile(s, photo, "x", "y"), std::invalid_argument);
    EXPECT_THROW(phone.addFolder(0x00090001, SimulatedPhone::root, "x"), std::invalid_argument);
    EXPECT_THROW(phone.contents(4242), std::invalid_argument);
}

} // namespace
} // namespace simulation
