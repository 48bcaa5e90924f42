#include "Corvane/device/MTPDevice.h"

#include "DeviceTestSupport.h"
#include "ScriptedTransport.h"

#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/PTPWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace corvane {
namespace {

using testing::catchPTPError;
using testing::code;
using testing::DeviceRig;
using testing::Reply;

constexpr std::uint32_t root = 0xFFFFFFFF;
constexpr std::uint32_t storageA = 0x00010001;
constexpr std::uint64_t fourGiB = 0x100000000ULL;

/// The payload of the data-out phase that the device received (after the 12-byte header).
std::vector<std::byte> sentPayload(const DeviceRig& rig) {
    const auto written = rig.transport->dataWritten();
    return written.size() < 12 ? std::vector<std::byte>{}
                               : std::vector<std::byte>(written.begin() + 12, written.end());
}

ObjectInfo sentObjectInfo(const DeviceRig& rig) {
    return ObjectInfo::parse(sentPayload(rig));
}

// The parameter lists of the operations that send no data

struct ParameterCase {
    const char* what;
    PTPOperation operation;
    std::function<void(MTPDevice&)> call;
    std::vector<std::uint32_t> params;
};

TEST(MTPDeviceTransferTests, OperationsSendTheirParametersLowHalfFirst) {
    const std::vector<ParameterCase> cases = {
        {"delete", PTPOperation::deleteObject, [](MTPDevice& d) { d.hold()->deleteObject(12); }, {12, 0}},
        {"move to root",
         PTPOperation::moveObject,
         [](MTPDevice& d) { d.hold()->moveObject(12, storageA, root); },
         {12, storageA, 0}},
        {"move to folder",
         PTPOperation::moveObject,
         [](MTPDevice& d) { d.hold()->moveObject(12, storageA, 42); },
         {12, storageA, 42}},
        {"begin edit",
         PTPOperation::androidBeginEditObject,
         [](MTPDevice& d) { d.hold()->beginEdit(12); },
         {12}},
        {"end edit", PTPOperation::androidEndEditObject, [](MTPDevice& d) { d.hold()->endEdit(12); }, {12}},
        {"truncate to 0",
         PTPOperation::androidTruncateObject,
         [](MTPDevice& d) { d.hold()->truncate(12, 0); },
         {12, 0, 0}},
        {"truncate past 4 GiB",
         PTPOperation::androidTruncateObject,
         [](MTPDevice& d) { d.hold()->truncate(12, fourGiB + 5); },
         {12, 5, 1}},
        {"truncate to 0xFFFFFFFF",
         PTPOperation::androidTruncateObject,
         [](MTPDevice& d) { d.hold()->truncate(12, 0xFFFFFFFF); },
         {12, 0xFFFFFFFF, 0}},
    };
    for (const ParameterCase& c : cases) {
        DeviceRig rig;
        rig.open();
        rig.on(c.operation, [](const PTPContainer&) { return Reply::ok(); });
        c.call(*rig.device);
        const auto commands = rig.commands();
        ASSERT_EQ(commands.size(), 1u) << c.what;
        EXPECT_EQ(commands[0].code(), code(c.operation)) << c.what;
        EXPECT_EQ(commands[0].params(), c.params) << c.what;
        EXPECT_TRUE(rig.transport->dataWritten().empty()) << c.what;
    }
}

TEST(MTPDeviceTransferTests, RefusalsAreResponseErrorsOfTheOperation) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::error(0x2009); });
    const PTPError error = catchPTPError([&] { rig.device->hold()->deleteObject(5); });
    EXPECT_EQ(error.description(), "deleteObject failed: invalidObjectHandle");
}

// Reads

TEST(MTPDeviceTransferTests, PartialReadsChooseTheSixtyFourBitFormWhenOffered) {
    struct Case {
        bool offered;
        std::uint64_t offset;
        std::optional<PTPOperation> sent;
        std::vector<std::uint32_t> params;
    };
    for (const Case& c :
         {Case{true, fourGiB, PTPOperation::androidGetPartialObject64, {9, 0, 1, 4096}},
          Case{true, 4096, PTPOperation::androidGetPartialObject64, {9, 4096, 0, 4096}},
          Case{true, fourGiB * 3 + 17, PTPOperation::androidGetPartialObject64, {9, 17, 3, 4096}},
          Case{false, 4096, PTPOperation::getPartialObject, {9, 4096, 4096}},
          Case{false, 0xFFFFFFFF, PTPOperation::getPartialObject, {9, 0xFFFFFFFF, 4096}},
          Case{false, fourGiB, std::nullopt, {}}}) {
        DeviceRig rig(c.offered ? testing::allOperations()
                                : testing::operationsWithout({PTPOperation::androidGetPartialObject64}));
        rig.open();
        const auto answer = [](const PTPContainer&) { return Reply::withData(testing::patternBytes(4096)); };
        rig.on(PTPOperation::androidGetPartialObject64, answer);
        rig.on(PTPOperation::getPartialObject, answer);
        if (!c.sent) {
            const PTPError error = catchPTPError([&] { rig.device->hold()->readPartial(9, c.offset, 4096); });
            EXPECT_EQ(error.kind(), PTPError::Kind::notSupported);
            EXPECT_EQ(error.operation(), PTPOperation::androidGetPartialObject64);
            EXPECT_TRUE(rig.commands().empty());
            continue;
        }
        EXPECT_EQ(rig.device->hold()->readPartial(9, c.offset, 4096), testing::patternBytes(4096));
        ASSERT_EQ(rig.commands().size(), 1u);
        EXPECT_EQ(rig.commands()[0].code(), code(*c.sent));
        EXPECT_EQ(rig.commands()[0].params(), c.params);
    }
}

TEST(MTPDeviceTransferTests, PartialReadBeforeOpenUsesThirtyTwoBitsOrRefuses) {
    DeviceRig rig;
    rig.on(PTPOperation::getPartialObject,
           [](const PTPContainer&) { return Reply::withData(testing::patternBytes(3)); });
    EXPECT_EQ(rig.device->hold()->readPartial(1, 10, 100).size(), 3u)
        << "the end of the object gives fewer bytes";
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->readPartial(1, fourGiB, 100); }).kind(),
              PTPError::Kind::notSupported);
}

TEST(MTPDeviceTransferTests, PartialReadNeverReturnsMoreThanAskedFor) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::androidGetPartialObject64,
           [](const PTPContainer&) { return Reply::withData(testing::patternBytes(5000)); });
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::ok(); });
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->readPartial(1, 0, 4096); }).kind(), PTPError::Kind::io);
    EXPECT_NO_THROW(rig.device->hold()->deleteObject(1)) << "the device is still in step";
}

TEST(MTPDeviceTransferTests, GetObjectStreamsToTheSink) {
    DeviceRig rig(testing::allOperations(), {}, 512);
    rig.open();
    rig.device->setReadChunkSize(4096);
    const auto contents = testing::patternBytes(20'000);
    rig.on(PTPOperation::getObject, [&](const PTPContainer&) { return Reply::withData(contents); });
    std::vector<std::byte> received;
    std::size_t largest = 0;
    rig.device->hold()->getObject(5, [&](std::span<const std::byte> chunk) {
        largest = std::max(largest, chunk.size());
        received.insert(received.end(), chunk.begin(), chunk.end());
    });
    EXPECT_EQ(received, contents);
    EXPECT_LE(largest, 4096u);
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{5}));
}

// Creation and data

TEST(MTPDeviceTransferTests, SendObjectInfoReturnsTheThirdParameter) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::sendObjectInfo, [](const PTPContainer&) { return Reply::ok({storageA, 42, 7}); });
    ObjectInfo info(storageA, 42, "n.txt", 0x3000, 3, 0);
    EXPECT_EQ(rig.device->hold()->sendObjectInfo(info), 7u);
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{storageA, 42}));
    EXPECT_EQ(sentObjectInfo(rig), info);

    rig.on(PTPOperation::sendObjectInfo, [](const PTPContainer&) { return Reply::ok({storageA, 42}); });
    const PTPError error = catchPTPError([&] { rig.device->hold()->sendObjectInfo(info); });
    EXPECT_EQ(error.description(), "malformed container: SendObjectInfo returned no handle");
}

TEST(MTPDeviceTransferTests, CreateFolderAndFileAnnounceTheirDatasets) {
    struct Case {
        const char* what;
        std::function<std::uint32_t(MTPDevice&)> call;
        std::uint16_t format;
        std::uint16_t associationType;
        std::uint32_t compressedSize;
        std::uint32_t parent;
        std::string modificationDate;
    };
    const auto date = MTPDate::parse("20240131T235959Z");
    const std::vector<Case> cases = {
        {"folder", [](MTPDevice& d) { return d.hold()->createFolder(storageA, root, "DCIM"); }, 0x3001, 1, 0,
         root, ""},
        {"empty file", [](MTPDevice& d) { return d.hold()->createFile(storageA, 42, "a", 0, std::nullopt); },
         0x3000, 0, 0, 42, ""},
        {"file with date", [&](MTPDevice& d) { return d.hold()->createFile(storageA, 42, "a", 12345, date); },
         0x3000, 0, 12345, 42, "20240131T235959Z"},
        {"file of 0xFFFFFFFE bytes",
         [](MTPDevice& d) { return d.hold()->createFile(storageA, 42, "a", 0xFFFFFFFE, {}); }, 0x3000, 0,
         0xFFFFFFFE, 42, ""},
        {"file of 0xFFFFFFFF bytes",
         [](MTPDevice& d) { return d.hold()->createFile(storageA, 42, "a", 0xFFFFFFFF, {}); }, 0x3000, 0,
         0xFFFFFFFF, 42, ""},
        {"file of 5 GiB",
         [](MTPDevice& d) { return d.hold()->createFile(storageA, 42, "a", 5 * (fourGiB / 4), {}); }, 0x3000,
         0, 0xFFFFFFFF, 42, ""},
    };
    for (const Case& c : cases) {
        DeviceRig rig;
        rig.open();
        rig.on(PTPOperation::sendObjectInfo, [](const PTPContainer&) {
            return Reply::ok({storageA, 0, 99});
        });
        EXPECT_EQ(c.call(*rig.device), 99u) << c.what;
        EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::sendObjectInfo)}))
            << c.what;
        EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{storageA, c.parent})) << c.what;
        const ObjectInfo sent = sentObjectInfo(rig);
        EXPECT_EQ(sent.format, c.format) << c.what;
        EXPECT_EQ(sent.associationType, c.associationType) << c.what;
        EXPECT_EQ(sent.compressedSize, c.compressedSize) << c.what;
        EXPECT_EQ(sent.parentObject, c.parent) << c.what;
        EXPECT_EQ(sent.modificationDate, c.modificationDate) << c.what;
        EXPECT_EQ(sent.protectionStatus, 0) << c.what;
        EXPECT_TRUE(sent.captureDate.empty() && sent.keywords.empty()) << c.what;
    }
}

TEST(MTPDeviceTransferTests, SendObjectSendsBytesOrProviderData) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::sendObject, [](const PTPContainer&) { return Reply::ok(); });
    const auto contents = testing::patternBytes(3000);
    rig.device->hold()->sendObject(contents);
    EXPECT_EQ(sentPayload(rig), contents);
    EXPECT_TRUE(rig.commands()[0].params().empty());

    rig.transport->clearCalls();
    std::size_t offset = 0;
    rig.device->hold()->sendObject(contents.size(), [&](std::span<std::byte> into) {
        const std::size_t count = std::min(into.size(), contents.size() - offset);
        std::memcpy(into.data(), contents.data() + offset, count);
        offset += count;
        return count;
    });
    EXPECT_EQ(sentPayload(rig), contents);
}

TEST(MTPDeviceTransferTests, RenameSendsTheNameAsAPTPString) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::setObjectPropValue, [](const PTPContainer&) { return Reply::ok(); });
    rig.device->hold()->rename(12, "AB");
    EXPECT_EQ(rig.commands()[0].params(), (std::vector<std::uint32_t>{12, 0xDC07}));
    EXPECT_EQ(sentPayload(rig), testing::bytes({3, 'A', 0, 'B', 0, 0, 0}));
}

TEST(MTPDeviceTransferTests, WritePartialSplitsTheOffsetAndCountsTheBytes) {
    struct Case {
        std::uint64_t offset;
        std::vector<std::uint32_t> params;
    };
    for (const Case& c : {Case{10, {12, 10, 0, 3}}, Case{fourGiB + 10, {12, 10, 1, 3}},
                          Case{0xFFFFFFFFFFFFFFF0ULL, {12, 0xFFFFFFF0, 0xFFFFFFFF, 3}}}) {
        DeviceRig rig;
        rig.open();
        rig.on(PTPOperation::androidSendPartialObject, [](const PTPContainer&) { return Reply::ok(); });
        rig.device->hold()->writePartial(12, c.offset, testing::bytes({7, 8, 9}));
        EXPECT_EQ(rig.commands()[0].params(), c.params);
        EXPECT_EQ(sentPayload(rig), testing::bytes({7, 8, 9}));
    }
}

// Support checks

struct SupportCase {
    const char* what;
    PTPOperation missing;
    std::function<void(MTPDevice&)> call;
};

TEST(MTPDeviceTransferTests, OperationsTheDeviceDoesNotListSendNothing) {
    const std::vector<std::byte> data = testing::bytes({1, 2, 3});
    const std::vector<SupportCase> cases = {
        {"storage IDs", PTPOperation::getStorageIDs, [](MTPDevice& d) { d.hold()->getStorageIDs(); }},
        {"storage info", PTPOperation::getStorageInfo,
         [](MTPDevice& d) { d.hold()->getStorageInfo(storageA); }},
        {"storages", PTPOperation::getStorageInfo, [](MTPDevice& d) { d.hold()->getStorages(); }},
        {"device prop value", PTPOperation::getDevicePropValue,
         [](MTPDevice& d) { d.hold()->getDevicePropValue(0x5001); }},
        {"handles", PTPOperation::getObjectHandles,
         [](MTPDevice& d) { d.hold()->getObjectHandles(storageA, 0, root); }},
        {"object info", PTPOperation::getObjectInfo, [](MTPDevice& d) { d.hold()->getObjectInfo(1); }},
        {"object", PTPOperation::getObjectInfo, [](MTPDevice& d) { d.hold()->object(1); }},
        {"prop value", PTPOperation::getObjectPropValue,
         [](MTPDevice& d) { d.hold()->getObjectPropValue(1, 0xDC07); }},
        {"size64", PTPOperation::getObjectPropValue, [](MTPDevice& d) { d.hold()->getObjectSize64(1); }},
        {"props supported", PTPOperation::getObjectPropsSupported,
         [](MTPDevice& d) { d.hold()->getObjectPropsSupported(0x3000); }},
        {"prop list", PTPOperation::getObjectPropList,
         [](MTPDevice& d) { d.hold()->getObjectPropList(1, 0, 0xDC07, 0, 1); }},
        {"slow listing", PTPOperation::getObjectInfo,
         [](MTPDevice& d) { d.hold()->listDirectory(storageA, root); }},
        {"get object", PTPOperation::getObject,
         [](MTPDevice& d) { d.hold()->getObject(1, [](std::span<const std::byte>) {}); }},
        {"partial 32", PTPOperation::getPartialObject, [](MTPDevice& d) { d.hold()->readPartial(1, 0, 10); }},
        {"object info out", PTPOperation::sendObjectInfo,
         [](MTPDevice& d) { d.hold()->sendObjectInfo(ObjectInfo()); }},
        {"folder", PTPOperation::sendObjectInfo,
         [](MTPDevice& d) { d.hold()->createFolder(storageA, root, "x"); }},
        {"file", PTPOperation::sendObjectInfo,
         [](MTPDevice& d) { d.hold()->createFile(storageA, root, "x", 1, {}); }},
        {"send bytes", PTPOperation::sendObject, [&](MTPDevice& d) { d.hold()->sendObject(data); }},
        {"send provider", PTPOperation::sendObject,
         [](MTPDevice& d) { d.hold()->sendObject(1, [](std::span<std::byte>) { return std::size_t{0}; }); }},
        {"delete", PTPOperation::deleteObject, [](MTPDevice& d) { d.hold()->deleteObject(1); }},
        {"move", PTPOperation::moveObject, [](MTPDevice& d) { d.hold()->moveObject(1, storageA, root); }},
        {"rename", PTPOperation::setObjectPropValue, [](MTPDevice& d) { d.hold()->rename(1, "y"); }},
        {"begin edit", PTPOperation::androidBeginEditObject, [](MTPDevice& d) { d.hold()->beginEdit(1); }},
        {"end edit", PTPOperation::androidEndEditObject, [](MTPDevice& d) { d.hold()->endEdit(1); }},
        {"truncate", PTPOperation::androidTruncateObject, [](MTPDevice& d) { d.hold()->truncate(1, 0); }},
        {"write partial", PTPOperation::androidSendPartialObject,
         [&](MTPDevice& d) { d.hold()->writePartial(1, 0, data); }},
    };
    for (const SupportCase& c : cases) {
        DeviceRig rig(testing::operationsWithout(
            {c.missing, PTPOperation::getObjectPropList, PTPOperation::androidGetPartialObject64}));
        rig.open();
        const PTPError error = catchPTPError([&] { c.call(*rig.device); });
        EXPECT_EQ(error.kind(), PTPError::Kind::notSupported) << c.what << ": " << error.description();
        EXPECT_EQ(error.operation(), c.missing) << c.what;
        EXPECT_TRUE(rig.commands().empty()) << c.what;
    }
}

TEST(MTPDeviceTransferTests, WritePartialRefusesMoreThanACountCanSay) {
    DeviceRig rig;
    rig.open();
    const std::size_t tooMany = std::size_t{0xFFFFFFFF} + 1;
    // A span that is never read: the size alone is refused before anything is sent.
    const std::span<const std::byte> huge(reinterpret_cast<const std::byte*>(&rig), tooMany);
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->writePartial(1, 0, huge); }).kind(),
              PTPError::Kind::io);
    EXPECT_TRUE(rig.commands().empty());
}

} // namespace
} // namespace corvane
