#include "platform/fuse/FuseConversions.h"

#include "platform/fskit/Error.h"
#include "platform/fuse/FuseError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fuse_lowlevel.h>
#include <new>
#include <stdexcept>

namespace fusehost {
namespace {

using fskit::FSItemAttribute;
using fskit::FSItemType;

TEST(FuseConversionsTests, StatCarriesTheVolumesAttributes) {
    fskit::FSItemAttributes attributes;
    attributes.setType(FSItemType::file);
    attributes.setMode(0100640); // type bits from the volume are replaced by those of the item type
    attributes.setSize(10'000);
    attributes.setAllocSize(12'288);
    attributes.setFileID(77);
    attributes.setUid(501);
    attributes.setGid(20);
    attributes.setLinkCount(1);
    attributes.setModifyTime({1'700'000'000, 5});
    attributes.setAccessTime({1'700'000'100, 0});
    const auto converted = statOf(attributes, 9, StatDefaults{1, 2, 1 << 20});
    EXPECT_EQ(converted.st_mode, S_IFREG | 0640U);
    EXPECT_EQ(converted.st_size, 10'000);
    EXPECT_EQ(converted.st_blocks, 24);
    EXPECT_EQ(converted.st_ino, 77U);
    EXPECT_EQ(converted.st_uid, 501U);
    EXPECT_EQ(converted.st_gid, 20U);
    EXPECT_EQ(converted.st_blksize, 1 << 20);
    EXPECT_EQ(converted.st_mtim.tv_sec, 1'700'000'000);
    EXPECT_EQ(converted.st_mtim.tv_nsec, 5);
    EXPECT_EQ(converted.st_atim.tv_sec, 1'700'000'100);
    EXPECT_EQ(converted.st_ctim.tv_sec, 1'700'000'000); // no change time: the modification time
}

TEST(FuseConversionsTests, MissingAttributesGetSafeDefaults) {
    struct Case {
        FSItemType type;
        mode_t expectedMode;
    };
    for (const auto& testCase :
         {Case{FSItemType::directory, S_IFDIR | 0755U}, Case{FSItemType::file, S_IFREG | 0644U},
          Case{FSItemType::symlink, S_IFLNK | 0644U}}) {
        fskit::FSItemAttributes attributes;
        attributes.setType(testCase.type);
        const auto converted = statOf(attributes, 42, StatDefaults{1000, 1001, 4096});
        EXPECT_EQ(converted.st_mode, testCase.expectedMode);
        EXPECT_EQ(converted.st_ino, 42U) << "without a file ID the node stands in";
        EXPECT_EQ(converted.st_uid, 1000U);
        EXPECT_EQ(converted.st_gid, 1001U);
        EXPECT_EQ(converted.st_nlink, 1U);
    }
}

TEST(FuseConversionsTests, OutOfRangeValuesDoNotReachTheKernel) {
    fskit::FSItemAttributes attributes;
    attributes.setSize(~std::uint64_t{0});
    attributes.setModifyTime({5, 2'000'000'000});
    const auto converted = statOf(attributes, 3, {});
    EXPECT_EQ(converted.st_size, INT64_MAX);
    EXPECT_EQ(converted.st_mtim.tv_nsec, 0);
}

TEST(FuseConversionsTests, ModeTypesMapBothWays) {
    for (auto type : {FSItemType::file, FSItemType::directory, FSItemType::symlink, FSItemType::fifo,
                      FSItemType::charDevice, FSItemType::blockDevice, FSItemType::socket}) {
        EXPECT_EQ(itemTypeOfMode(modeTypeBits(type) | 0644), type);
    }
    EXPECT_EQ(itemTypeOfMode(0644), FSItemType::unknown);
}

TEST(FuseConversionsTests, StatisticsCountBlocksOfTheVolumesBlockSize) {
    fskit::FSStatFSResult statistics("tandalo");
    statistics.blockSize = 4096;
    statistics.ioSize = 1 << 20;
    statistics.totalBytes = 4096 * 100;
    statistics.freeBytes = 4096 * 40;
    statistics.availableBytes = 4096 * 30;
    statistics.totalFiles = 1000;
    statistics.freeFiles = 10;
    const auto converted = statvfsOf(statistics, 255);
    EXPECT_EQ(converted.f_frsize, 4096U);
    EXPECT_EQ(converted.f_bsize, 1U << 20);
    EXPECT_EQ(converted.f_blocks, 100U);
    EXPECT_EQ(converted.f_bfree, 40U);
    EXPECT_EQ(converted.f_bavail, 30U);
    EXPECT_EQ(converted.f_files, 1000U);
    EXPECT_EQ(converted.f_ffree, 10U);
    EXPECT_EQ(converted.f_namemax, 255U);

    const auto withoutBlockSize = statvfsOf(fskit::FSStatFSResult("x"), 255);
    EXPECT_EQ(withoutBlockSize.f_frsize, 4096U);
}

TEST(FuseConversionsTests, ErrorsBecomeErrnoValues) {
    EXPECT_EQ(errnoOf(fskit::fs_errorForPOSIXError(ENOENT)), ENOENT);
    EXPECT_EQ(errnoOf(fskit::fs_errorForPOSIXError(0)), EIO);
    EXPECT_EQ(errnoOf(fskit::fs_errorForPOSIXError(-5)), EIO);
    EXPECT_EQ(errnoOf(fskit::fs_errorForPOSIXError(100'000)), EIO);
    EXPECT_EQ(errnoOf(fskit::Error("other.domain", ENOENT, "not POSIX")), EIO);
    EXPECT_EQ(errnoOf(std::make_exception_ptr(fskit::fs_errorForPOSIXError(EROFS))), EROFS);
    EXPECT_EQ(errnoOf(std::make_exception_ptr(FuseError(EBUSY, "busy"))), EBUSY);
    EXPECT_EQ(errnoOf(std::make_exception_ptr(std::bad_alloc())), ENOMEM);
    EXPECT_EQ(errnoOf(std::make_exception_ptr(std::runtime_error("x"))), EIO);
    EXPECT_EQ(errnoOf(std::make_exception_ptr(42)), EIO);
}

TEST(FuseConversionsTests, SetattrBecomesTheVolumesRequest) {
    struct stat attributes {};
    attributes.st_mode = S_IFREG | 04751;
    attributes.st_size = 123;
    attributes.st_mtim = {1000, 7};
    const fskit::FSTimeSpec now{2000, 9};
    const auto changes = attributeChangesOf(
        attributes, FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_SIZE | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW,
        now);
    const auto request = setAttributesRequestOf(changes);
    EXPECT_TRUE(request->isValid(FSItemAttribute::mode));
    EXPECT_EQ(request->mode(), 04751U);
    EXPECT_EQ(request->size(), 123U);
    EXPECT_EQ(request->modifyTime(), (fskit::FSTimeSpec{1000, 7}));
    EXPECT_FALSE(request->modifyTimeIsNow()) << "a time the caller chose";
    EXPECT_EQ(request->accessTime(), now);
    EXPECT_FALSE(request->isValid(FSItemAttribute::uid));
    EXPECT_FALSE(request->isValid(FSItemAttribute::changeTime));
    const auto touched = setAttributesRequestOf(
        attributeChangesOf(attributes, FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW, now));
    EXPECT_EQ(touched->modifyTime(), now);
    EXPECT_TRUE(touched->modifyTimeIsNow());
}

TEST(FuseConversionsTests, UnappliedChangesAreRefusedOnlyWhereSilenceWouldMislead) {
    struct Case {
        FSItemAttribute attribute;
        bool consumed;
        int expected;
    };
    const Case cases[] = {
        {FSItemAttribute::size, false, ENOTSUP}, {FSItemAttribute::size, true, 0},
        {FSItemAttribute::mode, false, EPERM},   {FSItemAttribute::uid, false, EPERM},
        {FSItemAttribute::gid, false, EPERM},    {FSItemAttribute::modifyTime, false, EPERM},
        {FSItemAttribute::accessTime, false, 0},
    };
    for (const auto& testCase : cases) {
        fskit::FSItemSetAttributesRequest request;
        switch (testCase.attribute) {
        case FSItemAttribute::size:
            request.setSize(1);
            break;
        case FSItemAttribute::mode:
            request.setMode(0600);
            break;
        case FSItemAttribute::uid:
            request.setUid(1);
            break;
        case FSItemAttribute::gid:
            request.setGid(1);
            break;
        case FSItemAttribute::modifyTime:
            request.setModifyTime({1, 0});
            break;
        default:
            request.setAccessTime({1, 0});
            break;
        }
        if (testCase.consumed) {
            request.setConsumedAttributes(testCase.attribute);
        }
        EXPECT_EQ(refusalOf(request), testCase.expected) << static_cast<std::uint64_t>(testCase.attribute);
    }
}

} // namespace
} // namespace fusehost
