#include "Corvane/wire/PTPError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace corvane;
using Kind = PTPError::Kind;

TEST(PTPErrorTests, DescribesEveryKindExactly) {
    const std::vector<std::pair<PTPError, std::string>> cases = {
        {PTPError::responseError(0x2009, PTPOperation::getObjectInfo),
         "getObjectInfo failed: invalidObjectHandle"},
        {PTPError::responseError(0xA80B, PTPOperation::getObjectPropList),
         "getObjectPropList failed: 0xA80B"},
        {PTPError::responseError(0x00ab, PTPOperation::getObject), "getObject failed: 0x00AB"},
        {PTPError::truncatedData(4, 2), "truncated data: expected 4 bytes, got 2"},
        {PTPError::malformedContainer("header too short (11 bytes)"),
         "malformed container: header too short (11 bytes)"},
        {PTPError::unexpectedContainer(7, 0x1001), "unexpected container kind=7 code=0x1001"},
        {PTPError::unexpectedContainer(65535, 0xabcd), "unexpected container kind=65535 code=0xABCD"},
        {PTPError::transactionMismatch(5, 4294967295u),
         "transaction id mismatch: expected 5, got 4294967295"},
        {PTPError::usb("pipe stalled"), "USB: pipe stalled"},
        {PTPError::deviceBusy("held by pid 12"), "device busy: held by pid 12"},
        {PTPError::notSupported(PTPOperation::androidTruncateObject),
         "androidTruncateObject not supported by device"},
        {PTPError::invalidPath("Internal/DCIM"), "no such file or directory: Internal/DCIM"},
        {PTPError::notADirectory("a.txt"), "not a directory: a.txt"},
        {PTPError::isADirectory("DCIM"), "is a directory: DCIM"},
        {PTPError::alreadyExists("b"), "already exists: b"},
        {PTPError::io("short read"), "I/O: short read"},
        {PTPError::deviceNotFound(), "no MTP device found"},
        {PTPError::accessNotGranted(),
         "the device has not granted file access: unlock it and tap Allow when it "
         "asks to allow access to phone data"},
        {PTPError::sessionNotOpen(), "session not open"},
        {PTPError::cancelled(), "cancelled"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
}

TEST(PTPErrorTests, ResponseCodeIsKnownOnlyForListedResponseErrors) {
    EXPECT_EQ(PTPError::responseError(0x2009, PTPOperation::getObjectInfo).responseCode(),
              PTPResponseCode::invalidObjectHandle);
    EXPECT_EQ(PTPError::responseError(0xA80B, PTPOperation::getObjectPropList).responseCode(), std::nullopt);
    EXPECT_EQ(PTPError::deviceBusy("x").responseCode(), std::nullopt);
    EXPECT_EQ(PTPError::unexpectedContainer(3, 0x2001).responseCode(), std::nullopt);
    EXPECT_EQ(PTPError::sessionNotOpen().responseCode(), std::nullopt);
}

TEST(PTPErrorTests, AccessorsCarryTheValuesOfEachKind) {
    const auto response = PTPError::responseError(0xA80B, PTPOperation::getObjectPropList);
    EXPECT_EQ(response.kind(), Kind::responseError);
    EXPECT_EQ(response.code(), 0xA80B);
    EXPECT_EQ(response.operation(), PTPOperation::getObjectPropList);

    const auto truncated = PTPError::truncatedData(8, 6);
    EXPECT_EQ(truncated.kind(), Kind::truncatedData);
    EXPECT_EQ(truncated.expected(), 8u);
    EXPECT_EQ(truncated.got(), 6u);
    EXPECT_EQ(truncated.operation(), std::nullopt);

    const auto unexpected = PTPError::unexpectedContainer(5, 0x1002);
    EXPECT_EQ(unexpected.containerType(), 5);
    EXPECT_EQ(unexpected.code(), 0x1002);

    const auto mismatch = PTPError::transactionMismatch(9, 8);
    EXPECT_EQ(mismatch.kind(), Kind::transactionMismatch);
    EXPECT_EQ(mismatch.expected(), 9u);
    EXPECT_EQ(mismatch.got(), 8u);

    EXPECT_EQ(PTPError::notSupported(PTPOperation::moveObject).operation(), PTPOperation::moveObject);
    EXPECT_EQ(PTPError::invalidPath("x/y").text(), "x/y");
    EXPECT_EQ(PTPError::cancelled().text(), "");
}

TEST(PTPErrorTests, KindsKeepTheirFixedOrder) {
    const std::vector<std::pair<PTPError, int>> cases = {
        {PTPError::responseError(0x2002, PTPOperation::getObject), 0},
        {PTPError::truncatedData(1, 0), 1},
        {PTPError::malformedContainer(""), 2},
        {PTPError::unexpectedContainer(0, 0), 3},
        {PTPError::transactionMismatch(0, 1), 4},
        {PTPError::usb(""), 5},
        {PTPError::deviceBusy(""), 6},
        {PTPError::notSupported(PTPOperation::getObject), 7},
        {PTPError::invalidPath(""), 8},
        {PTPError::notADirectory(""), 9},
        {PTPError::isADirectory(""), 10},
        {PTPError::alreadyExists(""), 11},
        {PTPError::io(""), 12},
        {PTPError::deviceNotFound(), 13},
        {PTPError::accessNotGranted(), 14},
        {PTPError::sessionNotOpen(), 15},
        {PTPError::cancelled(), 16},
    };
    std::vector<std::string> names;
    for (const auto& [error, index] : cases) {
        EXPECT_EQ(static_cast<int>(error.kind()), index) << name(error.kind());
        names.emplace_back(name(error.kind()));
    }
    EXPECT_EQ(names.front(), "responseError");
    EXPECT_EQ(names.back(), "cancelled");
}

TEST(PTPErrorTests, CopiesShareTheSameContentsAndCatchAsStdException) {
    const auto original = PTPError::io("disk gone");
    PTPError copy = original;
    EXPECT_EQ(copy.description(), original.description());
    try {
        throw copy;
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "I/O: disk gone");
    }
}

TEST(PTPErrorTests, FromErrnoNamesTheCallAndTheSystemText) {
    const auto error = PTPError::fromErrno("USBDEVFS_SUBMITURB", ENODEV);
    EXPECT_EQ(error.kind(), Kind::usb);
    EXPECT_EQ(error.text().rfind("USBDEVFS_SUBMITURB: ", 0), 0u);
    EXPECT_GT(error.text().size(), std::string("USBDEVFS_SUBMITURB: ").size());
}
