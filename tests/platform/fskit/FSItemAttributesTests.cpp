#include "platform/fskit/FSItemAttributes.h"

#include <gtest/gtest.h>

#include <functional>

namespace fskit {
namespace {

TEST(FSItemAttributesTests, AttributeBitsHaveThePlatformValues) {
    // Volumes mark consumed attributes with these masks, so every value must be the platform's own.
    const std::pair<FSItemAttribute, std::uint64_t> published[] = {
        {FSItemAttribute::type, 1},
        {FSItemAttribute::mode, 2},
        {FSItemAttribute::linkCount, 4},
        {FSItemAttribute::uid, 8},
        {FSItemAttribute::gid, 16},
        {FSItemAttribute::flags, 32},
        {FSItemAttribute::size, 64},
        {FSItemAttribute::allocSize, 128},
        {FSItemAttribute::fileID, 256},
        {FSItemAttribute::parentID, 512},
        {FSItemAttribute::accessTime, 1024},
        {FSItemAttribute::modifyTime, 2048},
        {FSItemAttribute::changeTime, 4096},
        {FSItemAttribute::birthTime, 8192},
        {FSItemAttribute::backupTime, 16384},
        {FSItemAttribute::addedTime, 32768},
        {FSItemAttribute::supportsLimitedXAttrs, 65536},
    };
    for (const auto& [attribute, value] : published) {
        EXPECT_EQ(static_cast<std::uint64_t>(attribute), value);
    }
    const FSItemAttributeSet created = FSItemAttribute::mode | FSItemAttribute::uid | FSItemAttribute::gid |
                                       FSItemAttribute::flags | FSItemAttribute::accessTime |
                                       FSItemAttribute::modifyTime | FSItemAttribute::birthTime;
    EXPECT_EQ(created.rawValue(), 0x2C3Au);
    EXPECT_EQ((created | FSItemAttribute::size).rawValue(), 0x2C7Au);
}

TEST(FSItemAttributesTests, EachSetterMarksOnlyItsOwnAttributeValid) {
    const std::pair<FSItemAttribute, std::function<void(FSItemAttributes&)>> setters[] = {
        {FSItemAttribute::type, [](auto& a) { a.setType(FSItemType::file); }},
        {FSItemAttribute::mode, [](auto& a) { a.setMode(0644); }},
        {FSItemAttribute::linkCount, [](auto& a) { a.setLinkCount(1); }},
        {FSItemAttribute::uid, [](auto& a) { a.setUid(501); }},
        {FSItemAttribute::gid, [](auto& a) { a.setGid(20); }},
        {FSItemAttribute::flags, [](auto& a) { a.setFlags(0); }},
        {FSItemAttribute::size, [](auto& a) { a.setSize(5000); }},
        {FSItemAttribute::allocSize, [](auto& a) { a.setAllocSize(8192); }},
        {FSItemAttribute::fileID, [](auto& a) { a.setFileID(0x1'0000'0005); }},
        {FSItemAttribute::parentID, [](auto& a) { a.setParentID(2); }},
        {FSItemAttribute::accessTime,
         [](auto& a) {
             a.setAccessTime({1, 2});
         }},
        {FSItemAttribute::modifyTime,
         [](auto& a) {
             a.setModifyTime({1, 2});
         }},
        {FSItemAttribute::changeTime,
         [](auto& a) {
             a.setChangeTime({1, 2});
         }},
        {FSItemAttribute::birthTime,
         [](auto& a) {
             a.setBirthTime({1, 2});
         }},
        {FSItemAttribute::backupTime,
         [](auto& a) {
             a.setBackupTime({1, 2});
         }},
        {FSItemAttribute::addedTime,
         [](auto& a) {
             a.setAddedTime({1, 2});
         }},
        {FSItemAttribute::supportsLimitedXAttrs, [](auto& a) { a.setSupportsLimitedXAttrs(true); }},
    };
    for (const auto& [attribute, set] : setters) {
        FSItemAttributes attributes;
        set(attributes);
        EXPECT_EQ(attributes.validAttributes(), FSItemAttributeSet(attribute))
            << static_cast<std::uint64_t>(attribute);
    }
}

TEST(FSItemAttributesTests, SetRequestKeepsWhatWasAskedApartFromWhatWasConsumed) {
    FSItemSetAttributesRequest request;
    request.setSize(10);
    request.setModifyTime({1'700'000'000, 5});
    EXPECT_TRUE(request.isValid(FSItemAttribute::size));
    EXPECT_FALSE(request.wasAttributeConsumed(FSItemAttribute::size));

    request.setConsumedAttributes(request.consumedAttributes() | FSItemAttribute::size);
    EXPECT_TRUE(request.wasAttributeConsumed(FSItemAttribute::size));
    EXPECT_FALSE(request.wasAttributeConsumed(FSItemAttribute::modifyTime));
    EXPECT_EQ(request.modifyTime(), (FSTimeSpec{1'700'000'000, 5}));
}

TEST(FSItemAttributesTests, GetRequestWantsEverythingUnlessNarrowed) {
    EXPECT_TRUE(FSItemGetAttributesRequest().isAttributeWanted(FSItemAttribute::supportsLimitedXAttrs));
    const FSItemGetAttributesRequest narrow(FSItemAttribute::size | FSItemAttribute::mode);
    EXPECT_TRUE(narrow.isAttributeWanted(FSItemAttribute::size));
    EXPECT_FALSE(narrow.isAttributeWanted(FSItemAttribute::fileID));
}

} // namespace
} // namespace fskit
