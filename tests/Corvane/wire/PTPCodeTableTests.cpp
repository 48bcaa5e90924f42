#include "Corvane/wire/MTPDataType.h"
#include "Corvane/wire/PTPConstants.h"
#include "Corvane/wire/PTPEventCode.h"
#include "Corvane/wire/PTPOperation.h"
#include "Corvane/wire/PTPResponseCode.h"
#include "tests/support/Concat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

using namespace corvane;

namespace {

struct Published {
    const char* name;
    std::uint16_t code;
};

// The published values, typed in again from the protocol documents rather than derived from the .def
// files, so a typo in a table row shows up here.
const std::vector<Published> publishedOperations = {
    {"getDeviceInfo", 0x1001},
    {"openSession", 0x1002},
    {"closeSession", 0x1003},
    {"getStorageIDs", 0x1004},
    {"getStorageInfo", 0x1005},
    {"getNumObjects", 0x1006},
    {"getObjectHandles", 0x1007},
    {"getObjectInfo", 0x1008},
    {"getObject", 0x1009},
    {"getThumb", 0x100A},
    {"deleteObject", 0x100B},
    {"sendObjectInfo", 0x100C},
    {"sendObject", 0x100D},
    {"getDevicePropDesc", 0x1014},
    {"getDevicePropValue", 0x1015},
    {"setDevicePropValue", 0x1016},
    {"moveObject", 0x1019},
    {"copyObject", 0x101A},
    {"getPartialObject", 0x101B},
    {"getObjectPropsSupported", 0x9801},
    {"getObjectPropDesc", 0x9802},
    {"getObjectPropValue", 0x9803},
    {"setObjectPropValue", 0x9804},
    {"getObjectPropList", 0x9805},
    {"getObjectReferences", 0x9810},
    {"androidGetPartialObject64", 0x95C1},
    {"androidSendPartialObject", 0x95C2},
    {"androidTruncateObject", 0x95C3},
    {"androidBeginEditObject", 0x95C4},
    {"androidEndEditObject", 0x95C5},
};

const std::vector<Published> publishedResponses = {
    {"undefined", 0x2000},
    {"ok", 0x2001},
    {"generalError", 0x2002},
    {"sessionNotOpen", 0x2003},
    {"invalidTransactionID", 0x2004},
    {"operationNotSupported", 0x2005},
    {"parameterNotSupported", 0x2006},
    {"incompleteTransfer", 0x2007},
    {"invalidStorageID", 0x2008},
    {"invalidObjectHandle", 0x2009},
    {"devicePropNotSupported", 0x200A},
    {"invalidObjectFormatCode", 0x200B},
    {"storeFull", 0x200C},
    {"objectWriteProtected", 0x200D},
    {"storeReadOnly", 0x200E},
    {"accessDenied", 0x200F},
    {"noThumbnailPresent", 0x2010},
    {"selfTestFailed", 0x2011},
    {"partialDeletion", 0x2012},
    {"storeNotAvailable", 0x2013},
    {"specificationByFormatUnsupported", 0x2014},
    {"noValidObjectInfo", 0x2015},
    {"invalidCodeFormat", 0x2016},
    {"unknownVendorCode", 0x2017},
    {"captureAlreadyTerminated", 0x2018},
    {"deviceBusy", 0x2019},
    {"invalidParentObject", 0x201A},
    {"invalidDevicePropFormat", 0x201B},
    {"invalidDevicePropValue", 0x201C},
    {"invalidParameter", 0x201D},
    {"sessionAlreadyOpen", 0x201E},
    {"transactionCancelled", 0x201F},
    {"specificationOfDestinationUnsupported", 0x2020},
    {"invalidObjectPropCode", 0xA801},
    {"invalidObjectPropFormat", 0xA802},
    {"invalidObjectPropValue", 0xA803},
    {"invalidObjectReference", 0xA804},
    {"groupNotSupported", 0xA805},
    {"invalidDataset", 0xA806},
    {"specificationByGroupUnsupported", 0xA807},
    {"specificationByDepthUnsupported", 0xA808},
    {"objectTooLarge", 0xA809},
    {"objectPropNotSupported", 0xA80A},
};

const std::vector<Published> publishedEvents = {
    {"cancelTransaction", 0x4001},
    {"objectAdded", 0x4002},
    {"objectRemoved", 0x4003},
    {"storeAdded", 0x4004},
    {"storeRemoved", 0x4005},
    {"devicePropChanged", 0x4006},
    {"objectInfoChanged", 0x4007},
    {"deviceInfoChanged", 0x4008},
    {"requestObjectTransfer", 0x4009},
    {"storeFull", 0x400A},
    {"deviceReset", 0x400B},
    {"storageInfoChanged", 0x400C},
    {"captureComplete", 0x400D},
    {"unreportedStatus", 0x400E},
    {"objectPropChanged", 0xC801},
    {"objectPropDescChanged", 0xC802},
    {"objectReferencesChanged", 0xC803},
};

const std::vector<Published> publishedDataTypes = {
    {"undefined", 0x0000}, {"int8", 0x0001},    {"uint8", 0x0002},  {"int16", 0x0003},   {"uint16", 0x0004},
    {"int32", 0x0005},     {"uint32", 0x0006},  {"int64", 0x0007},  {"uint64", 0x0008},  {"int128", 0x0009},
    {"uint128", 0x000A},   {"aint8", 0x4001},   {"auint8", 0x4002}, {"aint16", 0x4003},  {"auint16", 0x4004},
    {"aint32", 0x4005},    {"auint32", 0x4006}, {"aint64", 0x4007}, {"auint64", 0x4008}, {"aint128", 0x4009},
    {"auint128", 0x400A},  {"string", 0xFFFF},
};

// Every row of a table matches the published list, in declaration order, and no code appears twice.
template <typename Code, std::size_t N>
void expectTableMatches(const std::array<Code, N>& known, const std::vector<Published>& published) {
    ASSERT_EQ(known.size(), published.size());
    std::set<std::uint16_t> seen;
    for (std::size_t i = 0; i < published.size(); ++i) {
        SCOPED_TRACE(published[i].name);
        EXPECT_EQ(rawValue(known[i]), published[i].code);
        EXPECT_EQ(name(known[i]), published[i].name);
        EXPECT_EQ(fromRaw<Code>(published[i].code), known[i]);
        EXPECT_TRUE(seen.insert(rawValue(known[i])).second) << "duplicate code";
    }
}

} // namespace

TEST(PTPCodeTableTests, OperationsMatchPublishedCodesAndAreUnique) {
    expectTableMatches(knownPTPOperations, publishedOperations);
}

TEST(PTPCodeTableTests, ResponseCodesMatchPublishedCodesAndAreUnique) {
    expectTableMatches(knownPTPResponseCodes, publishedResponses);
}

TEST(PTPCodeTableTests, EventCodesMatchPublishedCodesAndAreUnique) {
    expectTableMatches(knownPTPEventCodes, publishedEvents);
}

TEST(PTPCodeTableTests, DataTypesMatchPublishedCodesAndAreUnique) {
    expectTableMatches(knownMTPDataTypes, publishedDataTypes);
}

TEST(PTPCodeTableTests, ArrayDataTypesAreScalarsWithTheArrayBit) {
    for (const auto type : knownMTPDataTypes) {
        const auto raw = rawValue(type);
        if (raw == 0xFFFF || (raw & 0x4000) == 0) {
            continue;
        }
        const auto scalar = fromRaw<MTPDataType>(static_cast<std::uint16_t>(raw - 0x4000));
        ASSERT_TRUE(scalar.has_value()) << name(type);
        EXPECT_EQ(testsupport::concat("a", name(*scalar)), name(type));
    }
}

TEST(PTPCodeTableTests, ConstructionFromRawAcceptsOnlyListedCodes) {
    EXPECT_EQ(fromRaw<PTPOperation>(0x1007), PTPOperation::getObjectHandles);
    EXPECT_EQ(fromRaw<PTPOperation>(0x1010), std::nullopt);
    EXPECT_EQ(fromRaw<PTPResponseCode>(0x2001), PTPResponseCode::ok);
    EXPECT_EQ(fromRaw<PTPResponseCode>(0x2021), std::nullopt);
    EXPECT_EQ(fromRaw<PTPResponseCode>(0xA80A), PTPResponseCode::objectPropNotSupported);
    EXPECT_EQ(fromRaw<MTPDataType>(0x4003), MTPDataType::aint16);
    EXPECT_EQ(fromRaw<MTPDataType>(0x000B), std::nullopt);
    EXPECT_EQ(fromRaw<MTPDataType>(0xFFFF), MTPDataType::string);
    EXPECT_EQ(fromRaw<PTPEventCode>(0xC804), std::nullopt);
}

TEST(PTPCodeTableTests, UnknownCodesPrintAsLowerCaseHex) {
    EXPECT_EQ(name(static_cast<PTPOperation>(0x1010)), "0x1010");
    EXPECT_EQ(name(static_cast<PTPOperation>(0x95CF)), "0x95cf");
    EXPECT_EQ(name(static_cast<PTPResponseCode>(0xA80B)), "0xa80b");
    EXPECT_EQ(name(static_cast<MTPDataType>(0x000B)), "0x000b");
}

TEST(PTPCodeTableTests, NamedConstantsHaveTheirPublishedValues) {
    EXPECT_EQ(PTPObjectFormat::undefined, 0x3000);
    EXPECT_EQ(PTPObjectFormat::association, 0x3001);
    EXPECT_EQ(PTPObjectFormat::text, 0x3004);
    EXPECT_EQ(PTPObjectFormat::jpeg, 0x3801);
    EXPECT_EQ(PTPObjectFormat::png, 0x380B);
    EXPECT_EQ(PTPObjectFormat::mp3, 0x3009);
    EXPECT_EQ(PTPObjectFormat::mp4, 0xB982);
    EXPECT_EQ(PTPDeviceProperty::batteryLevel, 0x5001);
    const std::vector<std::uint16_t> objectProperties = {
        MTPObjectProperty::storageID,        MTPObjectProperty::objectFormat,
        MTPObjectProperty::protectionStatus, MTPObjectProperty::objectSize,
        MTPObjectProperty::objectFileName,   MTPObjectProperty::dateCreated,
        MTPObjectProperty::dateModified,     MTPObjectProperty::parentObject,
        MTPObjectProperty::persistentUID,    MTPObjectProperty::name};
    EXPECT_EQ(objectProperties, (std::vector<std::uint16_t>{0xDC01, 0xDC02, 0xDC03, 0xDC04, 0xDC07, 0xDC08,
                                                            0xDC09, 0xDC0B, 0xDC41, 0xDC44}));
    EXPECT_EQ(std::set<std::uint16_t>(objectProperties.begin(), objectProperties.end()).size(),
              objectProperties.size());
    EXPECT_EQ(MTPObjectProperty::all, 0xFFFFFFFFu);
    EXPECT_EQ(PTPConstants::defaultSessionID, 1u);
    EXPECT_EQ(PTPConstants::all, 0xFFFFFFFFu);
    EXPECT_EQ(PTPConstants::sizeUnknown32, 0xFFFFFFFFu);
}
