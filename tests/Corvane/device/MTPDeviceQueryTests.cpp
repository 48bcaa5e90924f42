#include "Corvane/device/MTPDevice.h"

#include "DeviceTestSupport.h"
#include "ScriptedTransport.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPWriter.h"

#include <gtest/gtest.h>

#include <map>

namespace corvane {
namespace {

using testing::catchPTPError;
using testing::code;
using testing::DeviceRig;
using testing::Reply;

constexpr std::uint32_t root = 0xFFFFFFFF;
constexpr std::uint32_t storageA = 0x00010001;
constexpr std::uint32_t storageB = 0x00020001;

std::vector<std::byte> u32Array(std::vector<std::uint32_t> values) {
    PTPWriter writer;
    writer.u32Array(values);
    return writer.take();
}

std::vector<std::byte> storageInfoDataset(std::string_view description) {
    PTPWriter writer;
    writer.u16(3);
    writer.u16(2);
    writer.u16(0);
    writer.u64(64'000'000'000);
    writer.u64(10'000'000'000);
    writer.u32(0xFFFFFFFF);
    writer.string(description);
    writer.string("");
    return writer.take();
}

/// An object property list built element by element.
class PropList {
public:
    PropList& text(std::uint32_t handle, std::uint16_t property, std::string_view value) {
        head(handle, property, 0xFFFF);
        m_body.string(value);
        return *this;
    }
    PropList& u16(std::uint32_t handle, std::uint16_t property, std::uint16_t value) {
        head(handle, property, 0x0004);
        m_body.u16(value);
        return *this;
    }
    PropList& u32(std::uint32_t handle, std::uint16_t property, std::uint32_t value) {
        head(handle, property, 0x0006);
        m_body.u32(value);
        return *this;
    }
    PropList& u64(std::uint32_t handle, std::uint16_t property, std::uint64_t value) {
        head(handle, property, 0x0008);
        m_body.u64(value);
        return *this;
    }
    PropList& i32(std::uint32_t handle, std::uint16_t property, std::int32_t value) {
        head(handle, property, 0x0005);
        m_body.u32(static_cast<std::uint32_t>(value));
        return *this;
    }
    /// Raw bytes after a handle and property: for data types the decoder must reject.
    PropList& raw(std::uint32_t handle, std::uint16_t property, std::uint16_t type,
                  std::vector<std::byte> value) {
        head(handle, property, type);
        m_body.bytes(value);
        return *this;
    }
    std::vector<std::byte> bytes(std::optional<std::uint32_t> count = std::nullopt) const {
        PTPWriter writer;
        writer.u32(count.value_or(m_count));
        writer.bytes(m_body.data());
        return writer.take();
    }

private:
    void head(std::uint32_t handle, std::uint16_t property, std::uint16_t type) {
        m_body.u32(handle);
        m_body.u16(property);
        m_body.u16(type);
        ++m_count;
    }
    PTPWriter m_body;
    std::uint32_t m_count = 0;
};

std::vector<std::byte> objectInfoDataset(std::uint32_t storage, std::uint32_t parent, std::string name,
                                         std::uint16_t format, std::uint32_t size,
                                         std::uint16_t protection = 0,
                                         std::string modified = "20240131T235959Z") {
    ObjectInfo info(storage, parent, std::move(name), format, size, protection);
    info.modificationDate = std::move(modified);
    return info.encoded();
}

/// A rig whose GetObjectPropList answers from one list per property.
void answerPropLists(DeviceRig& rig, std::map<std::uint16_t, Reply> byProperty) {
    rig.on(PTPOperation::getObjectPropList, [byProperty](const PTPContainer& command) {
        const auto params = command.params();
        const auto found = byProperty.find(static_cast<std::uint16_t>(params.at(2)));
        return found != byProperty.end() ? found->second : Reply::error(0xA80A);
    });
}

// Device and storage queries

TEST(MTPDeviceQueryTests, StoragesSkipIDsWithoutLogicalPartInDeviceOrder) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::getStorageIDs, [](const PTPContainer&) {
        return Reply::withData(u32Array({storageB, 0x00030000, storageA}));
    });
    rig.on(PTPOperation::getStorageInfo, [](const PTPContainer& command) {
        return Reply::withData(storageInfoDataset(command.params()[0] == storageA ? "Internal" : "Card"));
    });
    const auto storages = rig.device->hold()->getStorages();
    ASSERT_EQ(storages.size(), 2u);
    EXPECT_EQ(storages[0].id, storageB);
    EXPECT_EQ(storages[0].description, "Card");
    EXPECT_EQ(storages[1].id, storageA);
    EXPECT_EQ(storages[1].maxCapacity, 64'000'000'000u);
    const auto commands = rig.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1].params(), (std::vector<std::uint32_t>{storageB}));
    EXPECT_EQ(commands[2].params(), (std::vector<std::uint32_t>{storageA}));
}

TEST(MTPDeviceQueryTests, EmptyStorageListAsksNothingMore) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::getStorageIDs, [](const PTPContainer&) { return Reply::withData(u32Array({})); });
    EXPECT_TRUE(rig.device->hold()->getStorages().empty());
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::getStorageIDs)}));
}

TEST(MTPDeviceQueryTests, OneFailingStorageFailsTheWholeList) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::getStorageIDs, [](const PTPContainer&) {
        return Reply::withData(u32Array({storageA, storageB, 0x00030001}));
    });
    rig.on(PTPOperation::getStorageInfo, [](const PTPContainer& command) {
        return command.params()[0] == storageB ? Reply::error(0x2013)
                                               : Reply::withData(storageInfoDataset("x"));
    });
    const PTPError error = catchPTPError([&] { rig.device->hold()->getStorages(); });
    EXPECT_EQ(error.code(), 0x2013);
    EXPECT_EQ(error.operation(), PTPOperation::getStorageInfo);
    EXPECT_EQ(rig.commands().size(), 3u);
}

TEST(MTPDeviceQueryTests, MalformedAnswersEndInPTPError) {
    struct Case {
        const char* what;
        PTPOperation operation;
        std::vector<std::byte> data;
        std::function<void(MTPDevice&)> call;
        PTPError::Kind kind;
    };
    PTPWriter hugeCount;
    hugeCount.u32(0xFFFFFFFF);
    hugeCount.u32(1);
    const std::vector<Case> cases = {
        {"storage IDs counted past the data", PTPOperation::getStorageIDs,
         testing::bytes({3, 0, 0, 0, 1, 0, 1, 0, 1, 0, 2, 0}),
         [](MTPDevice& d) { d.hold()->getStorageIDs(); }, PTPError::Kind::truncatedData},
        {"handle count of 4 billion", PTPOperation::getObjectHandles, hugeCount.data(),
         [](MTPDevice& d) { d.hold()->getObjectHandles(storageA, 0, root); }, PTPError::Kind::truncatedData},
        {"short storage info", PTPOperation::getStorageInfo, testing::bytes({3, 0, 2, 0}),
         [](MTPDevice& d) { d.hold()->getStorageInfo(storageA); }, PTPError::Kind::truncatedData},
        {"object info without keywords", PTPOperation::getObjectInfo,
         [] {
             auto dataset = objectInfoDataset(storageA, root, "a", 0x3000, 1);
             dataset.pop_back();
             return dataset;
         }(),
         [](MTPDevice& d) { d.hold()->getObjectInfo(1); }, PTPError::Kind::truncatedData},
        {"size of four bytes", PTPOperation::getObjectPropValue, testing::bytes({1, 2, 3, 4}),
         [](MTPDevice& d) { d.hold()->getObjectSize64(1); }, PTPError::Kind::truncatedData},
        {"props supported cut short", PTPOperation::getObjectPropsSupported,
         testing::bytes({2, 0, 0, 0, 1, 0xDC}),
         [](MTPDevice& d) { d.hold()->getObjectPropsSupported(0x3000); }, PTPError::Kind::truncatedData},
        {"property list of unknown data type", PTPOperation::getObjectPropList,
         PropList().raw(5, 0xDC07, 0x000B, testing::bytes({1, 2})).bytes(),
         [](MTPDevice& d) { d.hold()->getObjectPropList(5, 0, 0xDC07, 0, 1); },
         PTPError::Kind::malformedContainer},
        {"property list counting more elements than it holds", PTPOperation::getObjectPropList,
         PropList().u16(5, 0xDC02, 0x3000).bytes(0xFFFFFFFF),
         [](MTPDevice& d) { d.hold()->getObjectPropList(5, 0, 0xDC02, 0, 1); },
         PTPError::Kind::truncatedData},
        {"device info without serial", PTPOperation::getDeviceInfo, testing::bytes({100, 0, 6, 0, 0, 0}),
         [](MTPDevice& d) { d.hold()->getDeviceInfo(); }, PTPError::Kind::truncatedData},
    };
    for (const Case& c : cases) {
        DeviceRig rig;
        rig.open();
        rig.on(c.operation, [data = c.data](const PTPContainer&) { return Reply::withData(data); });
        const PTPError error = catchPTPError([&] { c.call(*rig.device); });
        EXPECT_EQ(error.kind(), c.kind) << c.what << ": " << error.description();
    }
}

TEST(MTPDeviceQueryTests, RawPropertyValuesComeBackUnparsed) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::getDevicePropValue, [](const PTPContainer&) {
        return Reply::withData(testing::bytes({9, 8}));
    });
    rig.on(PTPOperation::getObjectPropValue, [](const PTPContainer& command) {
        EXPECT_EQ(command.params(), (std::vector<std::uint32_t>{12, 0xDC04}));
        return Reply::withData(testing::bytes({0, 0xF2, 5, 0x2A, 1, 0, 0, 0, 0xEE}));
    });
    EXPECT_EQ(rig.device->hold()->getDevicePropValue(0xD402), testing::bytes({9, 8}));
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{0xD402}));
    EXPECT_EQ(rig.device->hold()->getObjectSize64(12), 0x12A05F200ULL)
        << "5,000,000,000 from the first 8 bytes";
}

// Battery level

/// A device property description of an integer type: code, type, get/set, default, current, form.
std::vector<std::byte> batteryDescription(std::uint16_t type, std::int64_t current, std::uint8_t form = 0,
                                          std::int64_t minimum = 0, std::int64_t maximum = 100) {
    PTPWriter writer;
    writer.u16(0x5001);
    writer.u16(type);
    writer.u8(0);
    const auto value = [&](std::int64_t v) {
        switch (type) {
        case 0x0001:
        case 0x0002:
            writer.u8(static_cast<std::uint8_t>(v));
            break;
        case 0x0003:
        case 0x0004:
            writer.u16(static_cast<std::uint16_t>(v));
            break;
        default:
            writer.u32(static_cast<std::uint32_t>(v));
        }
    };
    value(100);
    value(current);
    writer.u8(form);
    if (form == 1) {
        value(minimum);
        value(maximum);
        value(1);
    }
    return writer.take();
}

struct BatteryCase {
    const char* what;
    std::optional<Reply> description; // nothing: the device lacks GetDevicePropDesc
    std::optional<Reply> value;       // nothing: must not be asked
    std::optional<int> expected;
};

TEST(MTPDeviceQueryTests, BatteryLevelFromDescriptionOrValue) {
    const auto desc = [](std::vector<std::byte> data) { return Reply::withData(std::move(data)); };
    const auto byte = [](int v) { return Reply::withData(testing::bytes({v})); };
    PTPWriter stringDescription;
    stringDescription.u16(0x5001);
    stringDescription.u16(0xFFFF);
    stringDescription.u8(0);
    stringDescription.string("85");
    const std::vector<BatteryCase> cases = {
        {"uint8 range 0-100", desc(batteryDescription(0x0002, 85, 1, 0, 100)), std::nullopt, 85},
        {"uint8 current 0 falls back", desc(batteryDescription(0x0002, 0, 1, 0, 100)), byte(0x37), 55},
        {"uint16 range 3000-4200", desc(batteryDescription(0x0004, 3700, 1, 3000, 4200)), std::nullopt, 58},
        {"int32 halves round away from zero", desc(batteryDescription(0x0005, 3, 1, 0, 8)), std::nullopt, 38},
        {"min equal to max means 0-100", desc(batteryDescription(0x0002, 50, 1, 10, 10)), std::nullopt, 50},
        {"enumeration form means 0-100", desc(batteryDescription(0x0002, 70, 2)), std::nullopt, 70},
        {"above the range gives nothing", desc(batteryDescription(0x0004, 4300, 1, 3000, 4200)), byte(40),
         40},
        {"string type falls back", desc(stringDescription.data()), byte(0x37), 55},
        {"truncated description falls back", desc(testing::bytes({1, 0x50, 2, 0})), byte(12), 12},
        {"refused description falls back", Reply::error(0x200A), byte(0x37), 55},
        {"no description operation", std::nullopt, byte(99), 99},
        {"value 0 is no value", desc(batteryDescription(0x0002, 0)), byte(0), std::nullopt},
        {"value 101 is no value", desc(batteryDescription(0x0002, 0)), byte(101), std::nullopt},
        {"value 100", Reply::error(0x2002), byte(100), 100},
    };
    for (const BatteryCase& c : cases) {
        DeviceRig rig(c.description ? testing::allOperations()
                                    : testing::operationsWithout({PTPOperation::getDevicePropDesc}),
                      {0x5001});
        rig.open();
        if (c.description) {
            rig.on(PTPOperation::getDevicePropDesc, [reply = *c.description](const PTPContainer& command) {
                EXPECT_EQ(command.params(), (std::vector<std::uint32_t>{0x5001}));
                return reply;
            });
        }
        bool valueAsked = false;
        rig.on(PTPOperation::getDevicePropValue, [&, reply = c.value](const PTPContainer&) {
            valueAsked = true;
            return reply.value_or(Reply::error(0x2002));
        });
        EXPECT_EQ(rig.device->hold()->batteryLevel(), c.expected) << c.what;
        EXPECT_EQ(valueAsked, c.value.has_value()) << c.what;
    }
}

TEST(MTPDeviceQueryTests, BatteryLevelAsksNothingWithoutTheProperty) {
    DeviceRig before({}, {0x5001});
    EXPECT_EQ(before.device->hold()->batteryLevel(), std::nullopt) << "no device information yet";
    DeviceRig without(testing::allOperations(), {0x5003});
    without.open();
    EXPECT_EQ(without.device->hold()->batteryLevel(), std::nullopt);
    EXPECT_TRUE(before.commands().empty());
    EXPECT_TRUE(without.commands().empty());
}

TEST(MTPDeviceQueryTests, BatteryValuePathErrorsAreThrown) {
    DeviceRig rig(testing::allOperations(), {0x5001});
    rig.open();
    rig.on(PTPOperation::getDevicePropDesc, [](const PTPContainer&) { return Reply::error(0x2002); });
    rig.on(PTPOperation::getDevicePropValue, [](const PTPContainer&) { return Reply::error(0x2019); });
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->batteryLevel(); }).code(), 0x2019);
    rig.on(PTPOperation::getDevicePropValue, [](const PTPContainer&) { return Reply::withData({}); });
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->batteryLevel(); }).kind(),
              PTPError::Kind::truncatedData);
}

// Object queries and listings

TEST(MTPDeviceQueryTests, ObjectHandlesAndPropsSupportedSendTheirParameters) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::getObjectHandles, [](const PTPContainer&) {
        return Reply::withData(u32Array({4, 5}));
    });
    rig.on(PTPOperation::getObjectPropsSupported, [](const PTPContainer&) {
        PTPWriter writer;
        writer.u16Array(std::vector<std::uint16_t>{0xDC01, 0xDC07});
        return Reply::withData(writer.take());
    });
    EXPECT_EQ(rig.device->hold()->getObjectHandles(storageA, 0x3001, 42), (std::vector<std::uint32_t>{4, 5}));
    EXPECT_EQ(rig.device->hold()->getObjectPropsSupported(0x3000),
              (std::vector<std::uint16_t>{0xDC01, 0xDC07}));
    const auto commands = rig.commands();
    EXPECT_EQ(commands[0].params(), (std::vector<std::uint32_t>{storageA, 0x3001, 42}));
    EXPECT_EQ(commands[1].params(), (std::vector<std::uint32_t>{0x3000}));
}

TEST(MTPDeviceQueryTests, PropertyListLongerThanTheReservationIsReadWhole) {
    DeviceRig rig;
    rig.open();
    PropList list;
    for (std::uint32_t handle = 1; handle <= 70'000; ++handle) {
        list.u16(handle, 0xDC02, 0x3000);
    }
    rig.on(PTPOperation::getObjectPropList,
           [data = list.bytes()](const PTPContainer&) { return Reply::withData(data); });
    const auto elements = rig.device->hold()->getObjectPropList(9, 0, 0xDC02, 0, 1);
    ASSERT_EQ(elements.size(), 70'000u);
    EXPECT_EQ(elements.back().handle, 70'000u);
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{9, 0, 0xDC02, 0, 1}));
}

TEST(MTPDeviceQueryTests, FastListingBuildsRecordsInTheDevicesOrder) {
    DeviceRig rig;
    rig.open();
    answerPropLists(
        rig,
        {
            {0xDC07, Reply::withData(PropList()
                                         .text(42, 0xDC07, "folder itself")
                                         .text(7, 0xDC07, "b.jpg")
                                         .text(3, 0xDC07, "DCIM")
                                         .u32(9, 0xDC07, 1234) // a name that is not text
                                         .text(8, 0xDC07, "old")
                                         .text(8, 0xDC07, "new")
                                         .bytes())},
            {0xDC02, Reply::withData(PropList().u16(3, 0xDC02, 0x3001).u16(7, 0xDC02, 0x3801).bytes())},
            {0xDC04, Reply::withData(PropList().u64(7, 0xDC04, 5'000'000'000).i32(3, 0xDC04, -1).bytes())},
            {0xDC09, Reply::withData(PropList().text(7, 0xDC09, "20240131T235959Z").bytes())},
        });
    const auto children = rig.device->hold()->listDirectory(storageA, 42);
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[0].handle(), 7u);
    EXPECT_EQ(children[0].name(), "b.jpg");
    EXPECT_EQ(children[0].size(), 5'000'000'000u);
    EXPECT_EQ(children[0].format(), 0x3801);
    EXPECT_EQ(children[0].parent(), 42u);
    EXPECT_EQ(children[0].storageID(), storageA);
    EXPECT_EQ(children[0].modified(), MTPDate::parse("20240131T235959Z"));
    EXPECT_FALSE(children[0].isReadOnly());
    EXPECT_EQ(children[1].name(), "DCIM");
    EXPECT_TRUE(children[1].isDirectory());
    EXPECT_EQ(children[1].size(), 0u) << "a negative size counts as absent";
    EXPECT_FALSE(children[1].modified().has_value());
    EXPECT_EQ(children[2].handle(), 8u);
    EXPECT_EQ(children[2].name(), "new");
    EXPECT_EQ(children[2].format(), 0) << "no format entry: format 0, not a folder";
    EXPECT_FALSE(children[2].isDirectory());
    const auto commands = rig.commands();
    ASSERT_EQ(commands.size(), 4u) << "names, formats, sizes, dates; no storage IDs below the root";
    EXPECT_EQ(commands[0].params(), (std::vector<std::uint32_t>{42, 0, 0xDC07, 0, 1}));
}

TEST(MTPDeviceQueryTests, FastListingAtTheRootFiltersByStorage) {
    DeviceRig rig;
    rig.open();
    answerPropLists(
        rig,
        {
            {0xDC07, Reply::withData(
                         PropList().text(1, 0xDC07, "A").text(2, 0xDC07, "B").text(3, 0xDC07, "C").bytes())},
            {0xDC02, Reply::withData(PropList().bytes())},
            {0xDC04, Reply::withData(PropList().bytes())},
            {0xDC09, Reply::error(0xA80A)},
            {0xDC01, Reply::withData(PropList().u32(1, 0xDC01, storageA).u32(2, 0xDC01, storageB).bytes())},
        });
    const auto children = rig.device->hold()->listDirectory(storageA, root);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].name(), "A");
    EXPECT_EQ(children[1].name(), "C") << "no storage entry: taken to be in the storage asked about";
    EXPECT_EQ(children[1].storageID(), storageA);
    EXPECT_EQ(children[0].parent(), 0u);
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{0, 0, 0xDC07, 0, 1}));
    EXPECT_EQ(rig.commands().back().params(), (std::vector<std::uint32_t>{0, 0, 0xDC01, 0, 1}));
}

TEST(MTPDeviceQueryTests, EmptyNameListEndsTheListing) {
    DeviceRig rig;
    rig.open();
    answerPropLists(rig, {{0xDC07, Reply::withData(PropList().text(5, 0xDC07, "self").bytes())}});
    rig.on(PTPOperation::getObjectHandles, [](const PTPContainer&) { return Reply::withData(u32Array({})); });
    EXPECT_TRUE(rig.device->hold()->listDirectory(storageA, 5).empty());
    EXPECT_EQ(rig.commands().size(), 2u) << "one handle query confirms the folder is empty";
    rig.transport->clearCalls();
    EXPECT_TRUE(rig.device->hold()->listDirectory(storageA, 5).empty());
    EXPECT_EQ(rig.commands().front().code(), 0x9805) << "an empty folder keeps the fast path";
}

TEST(MTPDeviceQueryTests, ListsThatIgnoreTheDepthFallBackForGood) {
    DeviceRig rig;
    rig.open();
    answerPropLists(rig, {{0xDC07, Reply::withData(PropList().text(5, 0xDC07, "self").bytes())}});
    rig.on(PTPOperation::getObjectHandles,
           [](const PTPContainer&) { return Reply::withData(u32Array({11})); });
    rig.on(PTPOperation::getObjectInfo, [](const PTPContainer&) {
        return Reply::withData(objectInfoDataset(storageA, 5, "x.txt", 0x3000, 10));
    });
    const auto listed = rig.device->hold()->listDirectory(storageA, 5);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name(), "x.txt");
}

TEST(MTPDeviceQueryTests, PropertyListRefusalsFallBackToTheSlowPath) {
    struct Case {
        std::uint16_t refusal;
        bool remembered;
    };
    for (const Case c : {Case{0xA808, true}, Case{0x2005, true}, Case{0x2009, false}}) {
        DeviceRig rig;
        rig.open();
        answerPropLists(rig, {{0xDC07, Reply::error(c.refusal)}});
        rig.on(PTPOperation::getObjectHandles,
               [](const PTPContainer&) { return Reply::withData(u32Array({11})); });
        rig.on(PTPOperation::getObjectInfo, [](const PTPContainer&) {
            return Reply::withData(objectInfoDataset(storageA, 42, "x.txt", 0x3000, 10));
        });
        const auto first = rig.device->hold()->listDirectory(storageA, 42);
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].name(), "x.txt");
        rig.transport->clearCalls();
        rig.device->hold()->listDirectory(storageA, 43);
        EXPECT_EQ(rig.commandCodes().front(),
                  c.remembered ? code(PTPOperation::getObjectHandles) : code(PTPOperation::getObjectPropList))
            << std::hex << c.refusal;
        EXPECT_EQ(rig.commands().front().params().size(), c.remembered ? 3u : 5u);
    }
}

TEST(MTPDeviceQueryTests, FormatOrSizeRefusalListsTheFolderAgainSlowly) {
    DeviceRig rig;
    rig.open();
    answerPropLists(rig, {{0xDC07, Reply::withData(PropList().text(1, 0xDC07, "a").bytes())},
                          {0xDC02, Reply::error(0x2002)}});
    rig.on(PTPOperation::getObjectHandles, [](const PTPContainer&) { return Reply::withData(u32Array({})); });
    EXPECT_TRUE(rig.device->hold()->listDirectory(storageA, 42).empty());
    EXPECT_EQ(rig.commandCodes().back(), code(PTPOperation::getObjectHandles));
}

TEST(MTPDeviceQueryTests, ParseFailuresOfTheFastPathAreThrown) {
    for (const auto& names : {PropList().text(1, 0xDC07, "a").bytes(3),
                              PropList().raw(1, 0xDC07, 0x0000, testing::bytes({0})).bytes()}) {
        DeviceRig rig;
        rig.open();
        answerPropLists(rig, {{0xDC07, Reply::withData(names)}});
        const PTPError error = catchPTPError([&] { rig.device->hold()->listDirectory(storageA, 42); });
        EXPECT_TRUE(error.kind() == PTPError::Kind::truncatedData ||
                    error.kind() == PTPError::Kind::malformedContainer)
            << error.description();
        EXPECT_EQ(rig.commands().size(), 1u) << "no slow listing after a parse failure";
    }
}

TEST(MTPDeviceQueryTests, DevicesWithoutPropertyListsAreListedSlowly) {
    DeviceRig rig(testing::operationsWithout({PTPOperation::getObjectPropList}));
    rig.open();
    rig.on(PTPOperation::getObjectHandles, [](const PTPContainer&) {
        return Reply::withData(u32Array({21, 22}));
    });
    rig.on(PTPOperation::getObjectInfo, [](const PTPContainer& command) {
        if (command.params()[0] == 21) {
            return Reply::withData(objectInfoDataset(storageA, 0, "big.mkv", 0x3000, 0xFFFFFFFF));
        }
        return Reply::withData(objectInfoDataset(storageA, 0, "locked.txt", 0x3000, 5, 1));
    });
    rig.on(PTPOperation::getObjectPropValue, [](const PTPContainer&) {
        PTPWriter writer;
        writer.u64(6'000'000'000);
        return Reply::withData(writer.take());
    });
    const auto children = rig.device->hold()->listDirectory(storageA, root);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].size(), 6'000'000'000u);
    EXPECT_EQ(children[1].size(), 5u);
    EXPECT_TRUE(children[1].isReadOnly());
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{storageA, 0, root}));
    // The first file showed that this device says 0xFFFFFFFF for large files: the second one's dataset
    // is taken at its word.
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::getObjectHandles),
                                                              code(PTPOperation::getObjectInfo),
                                                              code(PTPOperation::getObjectPropValue),
                                                              code(PTPOperation::getObjectInfo)}));
}

TEST(MTPDeviceQueryTests, SizesComeFromTheSixtyFourBitPropertyWhereTheDeviceOffersIt) {
    constexpr std::uint64_t big = (5ull << 30) + 1234; // its low 32 bits are 1 GiB and 1234
    constexpr auto low = static_cast<std::uint32_t>(big);
    struct Case {
        const char* name;
        std::uint16_t propertyOfFormat; // the one property the device lists for the format
        std::uint32_t compressedSize;
        std::uint64_t expected;
    };
    const std::vector<Case> cases{
        {"low 32 bits in the dataset", 0xDC04, low, big},
        {"a 64-bit size that is not this one", 0xDC04, 1234, 1234},
        {"no 64-bit size for the format", 0xDC07, low, low},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        DeviceRig rig;
        rig.open();
        rig.on(PTPOperation::getObjectInfo, [&](const PTPContainer& command) {
            const bool folder = command.params()[0] == 30;
            return Reply::withData(
                objectInfoDataset(storageA, 0, "x", folder ? 0x3001 : 0x3000, each.compressedSize));
        });
        rig.on(PTPOperation::getObjectPropsSupported, [&](const PTPContainer&) {
            PTPWriter writer;
            writer.u16Array(std::vector<std::uint16_t>{each.propertyOfFormat});
            return Reply::withData(writer.take());
        });
        rig.on(PTPOperation::getObjectPropValue, [&](const PTPContainer&) {
            PTPWriter writer;
            writer.u64(big);
            return Reply::withData(writer.take());
        });
        EXPECT_EQ(rig.device->hold()->object(10).size(), each.expected);
        EXPECT_EQ(rig.device->hold()->object(11).size(), each.expected);
        rig.device->hold()->object(30); // a folder's size says nothing: no request
        const auto codes = rig.commandCodes();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), code(PTPOperation::getObjectPropsSupported)), 1);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), code(PTPOperation::getObjectPropValue)),
                  each.propertyOfFormat == 0xDC04 ? 2 : 0);
    }
}

TEST(MTPDeviceQueryTests, MissingSixtyFourBitSizeKeepsTheThirtyTwoBitOne) {
    for (const bool offered : {true, false}) {
        DeviceRig rig(offered ? testing::allOperations()
                              : testing::operationsWithout({PTPOperation::getObjectPropValue}));
        rig.open();
        rig.on(PTPOperation::getObjectInfo, [](const PTPContainer&) {
            return Reply::withData(objectInfoDataset(storageA, 3, "v", 0x3000, 0xFFFFFFFF));
        });
        rig.on(PTPOperation::getObjectPropValue, [](const PTPContainer&) { return Reply::error(0xA80A); });
        EXPECT_EQ(rig.device->hold()->object(9).size(), 0xFFFFFFFFu);
        EXPECT_EQ(rig.commands().size(), offered ? 2u : 1u);
    }
}

TEST(MTPDeviceQueryTests, InvalidUTF16NamesAreRepairedNotFatal) {
    DeviceRig rig;
    rig.open();
    // Count 3: an unpaired high surrogate, 'a', NUL.
    const auto name = testing::bytes({3, 0x00, 0xD8, 0x61, 0x00, 0x00, 0x00});
    rig.on(PTPOperation::getObjectPropList, [&](const PTPContainer& command) {
        if (command.params()[2] != 0xDC07) {
            return Reply::withData(PropList().bytes());
        }
        return Reply::withData(PropList().raw(4, 0xDC07, 0xFFFF, name).bytes());
    });
    const auto children = rig.device->hold()->listDirectory(storageA, 42);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].name(), "\xEF\xBF\xBD"
                                  "a");
}

} // namespace
} // namespace corvane
