#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/DeviceInfo.h"
#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/MTPPropertyElement.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/StorageInfo.h"
#include "platform/foundation/Unicode.h"
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

constexpr std::uint16_t ok = 0x2001;

TEST(SimulatedPhoneTests, DeviceInfoListsTheEditableOperationSet) {
    SimulatedPhone phone;
    phone.setOperationSupported(PTPOperation::androidBeginEditObject, false);
    CoreHost host(phone);
    const Answer answer = host.run(PTPOperation::getDeviceInfo);
    ASSERT_TRUE(answer.ok());
    const auto info = corvane::DeviceInfo::parse(answer.data);
    EXPECT_TRUE(info.supports(PTPOperation::getObjectPropList));
    EXPECT_TRUE(info.supports(PTPOperation::androidGetPartialObject64));
    EXPECT_FALSE(info.supports(PTPOperation::androidBeginEditObject));
    EXPECT_FALSE(info.supportsRandomAccess());
    EXPECT_TRUE(info.devicePropertiesSupported.contains(0x5001));
    EXPECT_EQ(info.manufacturer, "Tandalo Labs");
    EXPECT_EQ(info.serialNumber, "SIM0000000001");
}

TEST(SimulatedPhoneTests, RefusesWhatItDoesNotAdvertise) {
    PhoneWithSession fixture;
    fixture.phone.setOperationSupported(PTPOperation::getObjectPropList, false);
    const Answer answer = fixture.host.run(PTPOperation::getObjectPropList, {0, 0, 0xDC07, 0, 1});
    EXPECT_EQ(answer.code(), 0x2005);
    EXPECT_FALSE(answer.hasData);
}

TEST(SimulatedPhoneTests, SessionRules) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> firstOpen;
        std::uint16_t firstCode;
        std::uint16_t secondCode;
        std::vector<std::uint32_t> secondParams;
    };
    const Case cases[] = {
        {"a second OpenSession is refused with the open session's ID", {1}, ok, 0x201E, {1}},
        {"session ID 0 is invalid", {0}, 0x201D, ok, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedPhone phone;
        CoreHost host(phone);
        host.write(testing::commandBytes(PTPOperation::openSession, 0, c.firstOpen));
        EXPECT_EQ(CoreHost::parse(host.drain()).code(), c.firstCode);
        host.write(testing::commandBytes(PTPOperation::openSession, 0, {1}));
        const Answer second = CoreHost::parse(host.drain());
        EXPECT_EQ(second.code(), c.secondCode);
        EXPECT_EQ(second.params(), c.secondParams);
        EXPECT_TRUE(phone.isSessionOpen());
    }
}

TEST(SimulatedPhoneTests, OperationsOutsideASessionAreRefused) {
    SimulatedPhone phone;
    phone.addStorage();
    CoreHost host(phone);
    EXPECT_TRUE(host.run(PTPOperation::getDeviceInfo).ok());
    EXPECT_EQ(host.run(PTPOperation::getStorageIDs).code(), 0x2003);
    EXPECT_EQ(host.run(PTPOperation::closeSession).code(), 0x2003);
}

TEST(SimulatedPhoneTests, CloseSessionRecoversASessionLeftOpen) {
    // The library's recovery: OpenSession answered 0x201E, then CloseSession, then OpenSession again.
    PhoneWithSession fixture;
    auto& host = fixture.host;
    host.write(testing::commandBytes(PTPOperation::openSession, 0, {1}));
    EXPECT_EQ(CoreHost::parse(host.drain()).code(), 0x201E);
    host.write(testing::commandBytes(PTPOperation::closeSession, 1));
    EXPECT_TRUE(CoreHost::parse(host.drain()).ok());
    EXPECT_FALSE(fixture.phone.isSessionOpen());
    host.write(testing::commandBytes(PTPOperation::openSession, 0, {1}));
    EXPECT_TRUE(CoreHost::parse(host.drain()).ok());
    EXPECT_TRUE(fixture.phone.violations().empty());
}

TEST(SimulatedPhoneTests, OpenSessionWithANonZeroTransactionIDIsAViolation) {
    SimulatedPhone phone;
    CoreHost host(phone);
    host.write(testing::commandBytes(PTPOperation::openSession, 7, {1}));
    EXPECT_TRUE(CoreHost::parse(host.drain()).ok());
    ASSERT_EQ(phone.violations().size(), 1u);
    EXPECT_THAT(phone.violations()[0], HasSubstr("transaction ID 7"));
}

TEST(SimulatedPhoneTests, StorageIDsListEveryFormAndSkipNothing) {
    SimulatedPhone phone;
    phone.addStorage({.id = 0x00010001});
    phone.addStorage({.id = 0x00020000, .description = "SD card"});
    phone.addStorage({.id = 0x00030001, .accessCapability = 1, .description = "Read-only"});
    CoreHost host(phone);
    host.openSession();
    const Answer ids = host.run(PTPOperation::getStorageIDs);
    EXPECT_THAT(testing::u32Array(ids.data), ElementsAre(0x00010001u, 0x00020000u, 0x00030001u));
    // A store without a logical storage has no information; the others do.
    EXPECT_EQ(host.run(PTPOperation::getStorageInfo, {0x00020000}).code(), 0x2013);
    EXPECT_EQ(host.run(PTPOperation::getStorageInfo, {0x00040001}).code(), 0x2008);
    const Answer readOnly = host.run(PTPOperation::getStorageInfo, {0x00030001});
    const auto info = corvane::StorageInfo::parse(0x00030001, readOnly.data);
    EXPECT_TRUE(info.isReadOnly());
    EXPECT_EQ(info.description, "Read-only");
    EXPECT_EQ(info.storageType, 3);
}

TEST(SimulatedPhoneTests, StorageInfoReportsCapacityAndComputedFreeSpace) {
    PhoneWithSession fixture;
    fixture.phone.updateStorage(fixture.storage, [](PhoneStorage& s) { s.maxCapacity = 1000; });
    fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a", std::string(300, 'x'));
    const auto info = corvane::StorageInfo::parse(
        fixture.storage, fixture.host.run(PTPOperation::getStorageInfo, {fixture.storage}).data);
    EXPECT_EQ(info.maxCapacity, 1000u);
    EXPECT_EQ(info.freeSpaceBytes, 700u);
    EXPECT_EQ(info.volumeLabel, "");
}

TEST(SimulatedPhoneTests, LockedPhoneListsNoStoragesUntilAccessIsGranted) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a.txt", "abc");
    fixture.phone.setAccessGranted(false);
    EXPECT_TRUE(testing::u32Array(fixture.host.run(PTPOperation::getStorageIDs).data).empty());
    EXPECT_EQ(fixture.host.run(PTPOperation::getStorageInfo, {fixture.storage}).code(), 0x2008);
    EXPECT_EQ(fixture.host.run(PTPOperation::getObjectInfo, {file}).code(), 0x2009);
    fixture.phone.setAccessGranted(true);
    EXPECT_THAT(testing::u32Array(fixture.host.run(PTPOperation::getStorageIDs).data),
                ElementsAre(fixture.storage));
}

TEST(SimulatedPhoneTests, StorageAppearsAfterSomeListings) {
    SimulatedPhone phone;
    phone.addStorage({.id = 0x00010001, .hiddenForListings = 3});
    CoreHost host(phone);
    host.openSession();
    for (int reading = 1; reading <= 3; ++reading) {
        SCOPED_TRACE(reading);
        EXPECT_TRUE(testing::u32Array(host.run(PTPOperation::getStorageIDs).data).empty());
    }
    EXPECT_THAT(testing::u32Array(host.run(PTPOperation::getStorageIDs).data), ElementsAre(0x00010001u));
}

TEST(SimulatedPhoneTests, ObjectHandlesByParent) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    const auto s = fixture.storage;
    const auto second = phone.addStorage({.id = 0x00020001});
    const auto dcim = phone.addFolder(s, SimulatedPhone::root, "DCIM");
    const auto photo = phone.addFile(s, dcim, "a.jpg", "jpeg", {.format = 0x3801});
    const auto note = phone.addFile(s, SimulatedPhone::root, "note.txt", "hi");
    const auto other = phone.addFile(second, SimulatedPhone::root, "card.txt", "x");
    struct Case {
        std::uint32_t storage, format, parent;
        std::vector<std::uint32_t> handles;
        std::uint16_t code = ok;
    };
    const Case cases[] = {
        {s, 0, 0xFFFFFFFF, {dcim, note}},
        {s, 0, 0, {dcim, photo, note}},
        {0xFFFFFFFF, 0, 0xFFFFFFFF, {dcim, note, other}},
        {s, 0, dcim, {photo}},
        {s, 0x3801, 0, {photo}},
        {s, 0, note, {}, 0x201A},
        {s, 0, 999, {}, 0x2009},
        {0x00090001, 0, 0xFFFFFFFF, {}, 0x2008},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.storage << " " << c.format << " " << c.parent);
        const Answer answer =
            fixture.host.run(PTPOperation::getObjectHandles, {c.storage, c.format, c.parent});
        EXPECT_EQ(answer.code(), c.code);
        if (c.code == ok) {
            EXPECT_EQ(testing::u32Array(answer.data), c.handles);
        }
    }
}

TEST(SimulatedPhoneTests, ObjectInfoCarriesTheObjectAsAPhoneReportsIt) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    const auto modified = std::chrono::sys_days{std::chrono::year{2024} / 1 / 31} + std::chrono::hours{23} +
                          std::chrono::minutes{59} + std::chrono::seconds{59};
    const auto folder = phone.addFolder(fixture.storage, SimulatedPhone::root, "Music");
    const auto song = phone.addFile(fixture.storage, folder, "Café.mp3", "abcd",
                                    {.format = 0x3009, .protectionStatus = 1, .modified = modified});
    const auto huge = phone.addGeneratedFile(fixture.storage, folder, "big.bin", 5'000'000'000ull);

    const auto folderInfo =
        corvane::ObjectInfo::parse(fixture.host.run(PTPOperation::getObjectInfo, {folder}).data);
    EXPECT_TRUE(folderInfo.isDirectory());
    EXPECT_EQ(folderInfo.associationType, 1);
    EXPECT_EQ(folderInfo.parentObject, 0u); // phones report the top of a storage as 0

    const auto songInfo =
        corvane::ObjectInfo::parse(fixture.host.run(PTPOperation::getObjectInfo, {song}).data);
    EXPECT_EQ(songInfo.filename, "Café.mp3");
    EXPECT_EQ(songInfo.format, 0x3009);
    EXPECT_EQ(songInfo.protectionStatus, 1);
    EXPECT_EQ(songInfo.compressedSize, 4u);
    EXPECT_EQ(songInfo.parentObject, folder);
    EXPECT_EQ(songInfo.modificationDate, "20240131T235959Z");

    const auto hugeInfo =
        corvane::ObjectInfo::parse(fixture.host.run(PTPOperation::getObjectInfo, {huge}).data);
    EXPECT_EQ(hugeInfo.compressedSize, 0xFFFFFFFFu);
    const Answer size64 = fixture.host.run(PTPOperation::getObjectPropValue, {huge, 0xDC04});
    corvane::PTPReader reader(size64.data);
    EXPECT_EQ(reader.u64(), 5'000'000'000ull);

    phone.setModificationText(song, "20240131T235959.5+0200");
    EXPECT_EQ(corvane::ObjectInfo::parse(fixture.host.run(PTPOperation::getObjectInfo, {song}).data)
                  .modificationDate,
              "20240131T235959.5+0200");
    EXPECT_EQ(fixture.host.run(PTPOperation::getObjectInfo, {12345}).code(), 0x2009);
}

TEST(SimulatedPhoneTests, NamesKeepTheirUnicodeForm) {
    PhoneWithSession fixture;
    const std::string composed = platform::unicode::nfc("Caf\u00E9");
    const std::string decomposed = platform::unicode::nfd(composed);
    ASSERT_NE(composed, decomposed);
    const auto a = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, composed, "1");
    const auto b = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, decomposed, "2");
    EXPECT_EQ(corvane::ObjectInfo::parse(fixture.host.run(PTPOperation::getObjectInfo, {a}).data).filename,
              composed);
    EXPECT_EQ(corvane::ObjectInfo::parse(fixture.host.run(PTPOperation::getObjectInfo, {b}).data).filename,
              decomposed);
    EXPECT_EQ(fixture.phone.find(fixture.storage, decomposed), b);
}

std::vector<corvane::MTPPropertyElement> propList(Answer answer) {
    EXPECT_TRUE(answer.ok()) << std::hex << answer.code();
    return corvane::MTPPropertyElement::parseList(answer.data);
}

TEST(SimulatedPhoneTests, PropertyListOfAFolderGivesChildrenThenTheFolder) {
    PhoneWithSession fixture;
    auto& phone = fixture.phone;
    const auto dcim = phone.addFolder(fixture.storage, SimulatedPhone::root, "DCIM");
    const auto a = phone.addFile(fixture.storage, dcim, "a.jpg", "12345");
    const auto b = phone.addFolder(fixture.storage, dcim, "Camera");

    const auto names = propList(fixture.host.run(PTPOperation::getObjectPropList, {dcim, 0, 0xDC07, 0, 1}));
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0].handle, a);
    EXPECT_EQ(names[0].value.stringValue(), "a.jpg");
    EXPECT_EQ(names[1].handle, b);
    EXPECT_EQ(names[2].handle, dcim); // Android appends the queried object itself

    const auto sizes = propList(fixture.host.run(PTPOperation::getObjectPropList, {dcim, 0, 0xDC04, 0, 1}));
    EXPECT_EQ(sizes[0].value.uintValue(), 5u);
    const auto formats = propList(fixture.host.run(PTPOperation::getObjectPropList, {dcim, 0, 0xDC02, 0, 1}));
    EXPECT_EQ(formats[1].value.uintValue(), 0x3001u);
    const auto one = propList(fixture.host.run(PTPOperation::getObjectPropList, {a, 0, 0xFFFFFFFF, 0, 0}));
    EXPECT_EQ(one.size(), 10u);
}

TEST(SimulatedPhoneTests, PropertyListOfTheRootSpansEveryStorage) {
    PhoneWithSession fixture;
    const auto card = fixture.phone.addStorage({.id = 0x00020001});
    const auto mine = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "mine", "1");
    const auto theirs = fixture.phone.addFile(card, SimulatedPhone::root, "theirs", "2");
    const auto storages = propList(fixture.host.run(PTPOperation::getObjectPropList, {0, 0, 0xDC01, 0, 1}));
    ASSERT_EQ(storages.size(), 2u);
    EXPECT_EQ(storages[0].handle, mine);
    EXPECT_EQ(storages[0].value.uintValue(), fixture.storage);
    EXPECT_EQ(storages[1].handle, theirs);
    EXPECT_EQ(storages[1].value.uintValue(), card);
}

TEST(SimulatedPhoneTests, PropertyListRefusals) {
    PhoneWithSession fixture;
    const auto dcim = fixture.phone.addFolder(fixture.storage, SimulatedPhone::root, "DCIM");
    struct Case {
        std::vector<std::uint32_t> params;
        std::uint16_t code;
    };
    const Case cases[] = {
        {{dcim, 0, 0xDC07, 0, 2}, 0xA808}, {{dcim, 0, 0, 0, 1}, 0x2006},     {{dcim, 0, 0, 5, 1}, 0xA807},
        {{dcim, 0, 0xDC99, 0, 1}, 0xA80A}, {{777, 0, 0xDC07, 0, 1}, 0x2009},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fixture.host.run(PTPOperation::getObjectPropList, c.params).code(), c.code);
    }
    fixture.phone.setPropListDepthSupported(false);
    EXPECT_EQ(fixture.host.run(PTPOperation::getObjectPropList, {dcim, 0, 0xDC07, 0, 1}).code(), 0xA808);
    EXPECT_TRUE(fixture.host.run(PTPOperation::getObjectPropList, {dcim, 0, 0xDC07, 0, 0}).ok());
}

TEST(SimulatedPhoneTests, ObjectPropertiesSupportedForKnownFormats) {
    PhoneWithSession fixture;
    const Answer answer = fixture.host.run(PTPOperation::getObjectPropsSupported, {0x3000});
    corvane::PTPReader reader(answer.data);
    const auto properties = reader.u16Array();
    EXPECT_THAT(properties, ::testing::IsSupersetOf({0xDC01, 0xDC02, 0xDC04, 0xDC07, 0xDC09, 0xDC0B}));
    EXPECT_EQ(fixture.host.run(PTPOperation::getObjectPropsSupported, {0xBEEF}).code(), 0x200B);
}

/// The level the library's description reader derives: (current - low) / (high - low) * 100.
TEST(SimulatedPhoneTests, BatteryDescriptionInEveryForm) {
    struct Case {
        const char* name;
        PhoneBattery battery;
        std::vector<std::uint8_t> expected;
    };
    const Case cases[] = {
        {"uint8 range",
         {.dataType = 0x0002, .current = 85},
         {0x01, 0x50, 0x02, 0x00, 0x00, 0x00, 0x55, 0x01, 0x00, 0x64, 0x01}},
        {"uint16 range 3000-4200",
         {.dataType = 0x0004, .current = 3700, .minimum = 3000, .maximum = 4200},
         {0x01, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00, 0x74, 0x0E, 0x01, 0xB8, 0x0B, 0x68, 0x10, 0x01, 0x00}},
        {"no form",
         {.dataType = 0x0002, .current = 40, .form = PhoneBattery::Form::none},
         {0x01, 0x50, 0x02, 0x00, 0x00, 0x00, 0x28, 0x00}},
        {"enumeration",
         {.dataType = 0x0002,
          .current = 50,
          .form = PhoneBattery::Form::enumeration,
          .enumeration = {0, 50, 100}},
         {0x01, 0x50, 0x02, 0x00, 0x00, 0x00, 0x32, 0x02, 0x03, 0x00, 0x00, 0x32, 0x64}},
        {"text",
         {.dataType = 0xFFFF, .text = "A"},
         {0x01, 0x50, 0xFF, 0xFF, 0x00, 0x02, 0x41, 0x00, 0x00, 0x00, 0x02, 0x41, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PhoneWithSession fixture;
        fixture.phone.setBattery(c.battery);
        const Answer answer = fixture.host.run(PTPOperation::getDevicePropDesc, {0x5001});
        ASSERT_TRUE(answer.ok());
        std::vector<std::uint8_t> got;
        for (const std::byte b : answer.data) {
            got.push_back(static_cast<std::uint8_t>(b));
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(SimulatedPhoneTests, BatteryValueAndUnlistedProperty) {
    PhoneWithSession fixture;
    fixture.phone.setBatteryLevel(55);
    const Answer value = fixture.host.run(PTPOperation::getDevicePropValue, {0x5001});
    ASSERT_EQ(value.data.size(), 1u);
    EXPECT_EQ(value.data[0], std::byte{0x37});
    auto info = fixture.phone.deviceInfo();
    info.deviceProperties = {0xD402};
    fixture.phone.setDeviceInfo(info);
    EXPECT_EQ(fixture.host.run(PTPOperation::getDevicePropDesc, {0x5001}).code(), 0x200A);
    EXPECT_EQ(fixture.host.run(PTPOperation::getDevicePropValue, {0x5001}).code(), 0x200A);
}

TEST(SimulatedPhoneTests, LogRecordsEachTransaction) {
    PhoneWithSession fixture;
    const auto file = fixture.phone.addFile(fixture.storage, SimulatedPhone::root, "a", "abc");
    fixture.phone.clearLog();
    fixture.host.run(PTPOperation::getObjectInfo, {file});
    fixture.host.run(PTPOperation::getObjectInfo, {999});
    const auto log = fixture.phone.transactions();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].operation, 0x1008);
    EXPECT_EQ(log[0].transactionID, 1u);
    EXPECT_THAT(log[0].params, ElementsAre(file));
    EXPECT_TRUE(log[0].phoneSentData);
    EXPECT_GT(log[0].dataInBytes, 52u);
    EXPECT_EQ(log[0].responseCode, ok);
    EXPECT_TRUE(log[0].completed);
    EXPECT_FALSE(log[1].phoneSentData);
    EXPECT_EQ(log[1].responseCode, 0x2009);
    EXPECT_EQ(fixture.phone.count(PTPOperation::getObjectInfo), 2u);
    EXPECT_THAT(fixture.phone.operations(), ElementsAre(0x1008, 0x1008));
}

} // namespace
} // namespace simulation
