#include "ExtensionScenario.h"

#include "FileSystemExtension/VolumeOperationSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <ostream>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using fskit::FSItemAttribute;
using testing::VolumeHost;

std::shared_ptr<fskit::FSItemSetAttributesRequest> sizeRequest(std::uint64_t size) {
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setSize(size);
    return request;
}

TEST(VolumeAttributesTests, RoundsTheAllocationUpToWholeBlocks) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> cases{{0, 0},
                                                                     {1, 4096},
                                                                     {4096, 4096},
                                                                     {5000, 8192},
                                                                     {UINT64_MAX, UINT64_MAX},
                                                                     {UINT64_MAX - 4094, UINT64_MAX}};
    for (const auto& [size, allocation] : cases) {
        EXPECT_EQ(allocationSize(size), allocation) << size;
    }
    VolumeHost volume;
    volume.scenario().addFile("a.bin", std::string(5000, 'a'));
    const auto attributes = volume.attributes(volume.item("a.bin")).attributes;
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->size(), 5000u);
    EXPECT_EQ(attributes->allocSize(), 8192u);
}

TEST(VolumeAttributesTests, ModesFollowTheKindAndWhatMayBeWritten) {
    VolumeHost volume(VolumeHost::Options{.prepare = [](simulation::SimulatedPhone& phone) {
        simulation::PhoneStorage card;
        card.id = 0x00020001;
        card.description = "Card";
        card.accessCapability = 1;
        const auto storage = phone.addStorage(card);
        phone.addFolder(storage, simulation::SimulatedPhone::root, "Music");
        // Listed object by object, the records carry the protection status.
        phone.setPropListDepthSupported(false);
    }});
    volume.scenario().addFolder("DCIM");
    volume.scenario().addFile("notes.txt", "n");
    const auto locked = volume.scenario().addFile("locked.txt", "l");
    volume.phone().setProtectionStatus(locked, 1);
    const auto card = volume.lookupIn(volume.root(), "Card").item;
    const auto mode = [&](const std::shared_ptr<fskit::FSItem>& item) {
        return volume.attributes(item).attributes->mode();
    };
    EXPECT_EQ(mode(volume.root()), 0555u);
    EXPECT_EQ(mode(volume.storage()), 0755u);
    EXPECT_EQ(mode(card), 0555u);
    // Only the object's own protection counts; the device refuses writes on a read-only storage itself.
    EXPECT_EQ(mode(volume.lookupIn(card, "Music").item), 0755u);
    EXPECT_EQ(mode(volume.item("DCIM")), 0755u);
    EXPECT_EQ(mode(volume.item("notes.txt")), 0644u);
    EXPECT_EQ(mode(volume.item("locked.txt")), 0444u);
    EXPECT_EQ(volume.attributes(volume.item("DCIM")).attributes->type(), fskit::FSItemType::directory);
    EXPECT_EQ(volume.attributes(volume.item("notes.txt")).attributes->type(), fskit::FSItemType::file);
    EXPECT_EQ(mode(volume.create(volume.storage(), ".DS_Store").item), 0644u);
}

TEST(VolumeAttributesTests, ReadOnlyVolumesShowNoWriteBitsExceptOnMetadataFiles) {
    VolumeHost volume(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    volume.scenario().addFile("notes.txt", "n");
    EXPECT_EQ(volume.attributes(volume.item("notes.txt")).attributes->mode(), 0444u);
    EXPECT_EQ(volume.attributes(volume.storage()).attributes->mode(), 0555u);
}

TEST(VolumeAttributesTests, AFileWithoutADateShowsTheMountTime) {
    VolumeHost volume;
    const auto handle = volume.scenario().addFile("undated.txt", "u");
    volume.phone().setModified(handle, std::nullopt);
    volume.phone().setModificationText(handle, "");
    const auto attributes = volume.attributes(volume.item("undated.txt")).attributes;
    ASSERT_TRUE(attributes);
    const auto mounted = timeSpec(volume.volume()->mountTime());
    EXPECT_EQ(attributes->modifyTime(), mounted);
    EXPECT_EQ(attributes->changeTime(), mounted);
    EXPECT_EQ(attributes->accessTime(), mounted);
    EXPECT_EQ(attributes->birthTime(), mounted);
    EXPECT_TRUE(attributes->supportsLimitedXAttrs());
    EXPECT_EQ(attributes->linkCount(), 1u);
}

TEST(VolumeAttributesTests, TimesSplitIntoSecondsAndNanosecondsRoundedDown) {
    using std::chrono::nanoseconds;
    const platform::Clock::WallTime after(nanoseconds(1'700'000'000'250'000'000));
    EXPECT_EQ(timeSpec(after), (fskit::FSTimeSpec{1'700'000'000, 250'000'000}));
    const platform::Clock::WallTime before(nanoseconds(-1'500'000'000));
    EXPECT_EQ(timeSpec(before), (fskit::FSTimeSpec{-2, 500'000'000}));
}

TEST(VolumeAttributesTests, SettingTheCurrentSizeSendsNothing) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "12345");
    volume.phone().clearLog();
    const auto request = sizeRequest(5);
    const auto outcome = volume.host().setAttributes(item, request).wait();
    ASSERT_TRUE(outcome.succeeded());
    EXPECT_TRUE(request->wasAttributeConsumed(FSItemAttribute::size));
    EXPECT_TRUE(volume.phone().operations().empty());
}

TEST(VolumeAttributesTests, TruncatesAFileInItsOpenEditSessionWithTheDevicesOwnTruncate) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "0123456789");
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, 10, "abc").succeeded());
    volume.phone().clearLog();
    const auto outcome = volume.host().setAttributes(item, sizeRequest(0)).wait();
    ASSERT_TRUE(outcome.succeeded());
    EXPECT_EQ(outcome.attributes->size(), 0u);
    // The bytes that waited are sent first; the truncate joins the open session, which stays open.
    EXPECT_EQ(volume.phone().operations(),
              (std::vector<std::uint16_t>{static_cast<std::uint16_t>(PTPOperation::androidSendPartialObject),
                                          static_cast<std::uint16_t>(PTPOperation::androidTruncateObject)}));
    EXPECT_EQ(volume.phone().objectsInEdit().size(), 1u);
    EXPECT_EQ(volume.size(item), 0u);
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_TRUE(volume.phoneBytes("a.txt").empty());
}

TEST(VolumeAttributesTests, TruncatesAClosedFileInASessionOfItsOwn) {
    VolumeHost volume;
    const auto item = volume.addFile("a.txt", "0123456789");
    ASSERT_EQ(volume.read(item, 0, 4).count, 4u);
    ASSERT_TRUE(volume.host().setAttributes(item, sizeRequest(3)).wait().succeeded());
    EXPECT_EQ(volume.scenario().contents("a.txt"), "012");
    EXPECT_TRUE(volume.phone().objectsInEdit().empty());
    // The read-ahead window from before the truncate is gone.
    EXPECT_EQ(volume.readText(item), "012");
}

TEST(VolumeAttributesTests, ATruncateTheDeviceCannotDoIsENOTSUP) {
    VolumeHost volume(VolumeHost::Options{.prepare = [](simulation::SimulatedPhone& phone) {
        phone.setOperationSupported(PTPOperation::androidTruncateObject, false);
    }});
    volume.scenario().addFile("a.txt", "0123456789");
    EXPECT_EQ(volume.host().setAttributes(volume.item("a.txt"), sizeRequest(3)).wait().errorCode(), ENOTSUP);
    EXPECT_EQ(volume.scenario().contents("a.txt"), "0123456789");
}

TEST(VolumeAttributesTests, MetadataFilesAreResizedInMemoryWithZeros) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), ".DS_Store").item;
    ASSERT_TRUE(volume.write(item, 0, "abc").succeeded());
    const auto request = sizeRequest(10);
    request->setMode(0600);
    const auto outcome = volume.host().setAttributes(item, request).wait();
    ASSERT_TRUE(outcome.succeeded());
    EXPECT_EQ(outcome.attributes->size(), 10u);
    EXPECT_TRUE(request->wasAttributeConsumed(FSItemAttribute::size));
    EXPECT_TRUE(request->wasAttributeConsumed(FSItemAttribute::mode));
    EXPECT_EQ(volume.readText(item), std::string("abc") + std::string(7, '\0'));
    EXPECT_TRUE(volume.phone().operations().empty());
}

TEST(VolumeAttributesTests, AHugeSizeIsNeverAllocatedInMemory) {
    VolumeHost volume;
    constexpr std::uint64_t huge = 1ull << 40;
    const auto metadata = volume.create(volume.storage(), "._big").item;
    EXPECT_EQ(volume.host().setAttributes(metadata, sizeRequest(huge)).wait().errorCode(), EFBIG);
    EXPECT_EQ(volume.size(metadata), 0u);

    // A new file is sent with what it holds and given its size on the device, where it stays sparse.
    const auto file = volume.create(volume.storage(), "sparse.bin").item;
    ASSERT_TRUE(volume.write(file, 0, "head").succeeded());
    ASSERT_TRUE(volume.host().setAttributes(file, sizeRequest(huge)).wait().succeeded());
    EXPECT_EQ(volume.size(file), huge);
    ASSERT_TRUE(volume.close(file).succeeded());
    const auto handle = volume.scenario().handle("sparse.bin");
    EXPECT_EQ(volume.phone().object(handle)->size, huge);
    EXPECT_EQ(volume.phone().contents(handle, 0, 4), testsupport::bytesOf("head"));
}

enum class DatedFile { onDevice, beingWritten, newInMemory, justSent };

struct DateCase {
    const char* name;
    friend void PrintTo(const DateCase& value, std::ostream* out) { *out << value.name; }
    bool settable; // the phone lists the modification date as settable
    DatedFile file;
    bool now;  // the time asked for is the current one, as touch(1) asks for it
    bool kept; // the date is taken
};

class VolumeDateTests : public ::testing::TestWithParam<DateCase> {};

// A modification date is set on the device where it keeps one; elsewhere the caller hears that it was not
// (the attribute stays unconsumed), rather than a success that changed nothing. "Now" on a file being
// written, or sent a moment ago, is true without asking the device, which dates the file itself.
TEST_P(VolumeDateTests, SetsTheModificationDateOnlyWhereItIsTrue) {
    const auto& date = GetParam();
    VolumeHost volume(VolumeHost::Options{.prepare = [&](simulation::SimulatedPhone& phone) {
        phone.setModificationDatesSettable(date.settable);
    }});
    const fskit::FSTimeSpec old{1400000000, 0};
    std::shared_ptr<fskit::FSItem> item;
    if (date.file == DatedFile::newInMemory || date.file == DatedFile::justSent) {
        item = volume.create(volume.storage(), "a.txt").item;
        ASSERT_TRUE(volume.write(item, 0, "a").succeeded());
    } else {
        volume.phone().setModified(volume.scenario().addFile("a.txt", "a"), wallTime(old));
        item = volume.item("a.txt");
        ASSERT_TRUE(volume.open(item).succeeded());
        if (date.file == DatedFile::beingWritten) {
            ASSERT_TRUE(volume.write(item, 1, "b").succeeded());
        }
    }
    if (date.file == DatedFile::justSent) {
        ASSERT_TRUE(volume.close(item).succeeded()); // touch closes its first descriptor first
        volume.extension().clock().advance(std::chrono::seconds(1));
    } else {
        volume.extension().clock().advance(std::chrono::seconds(30));
    }
    const auto before = volume.attributes(item).attributes->modifyTime();
    const fskit::FSTimeSpec wanted =
        date.now ? timeSpec(volume.extension().clock().wallNow()) : fskit::FSTimeSpec{1500000000, 0};
    volume.phone().clearLog();
    const auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setModifyTime(wanted);
    request->setModifyTimeIsNow(date.now);
    request->setAccessTime(wanted);
    const auto outcome = volume.host().setAttributes(item, request).wait();
    ASSERT_TRUE(outcome.succeeded());
    EXPECT_EQ(request->wasAttributeConsumed(FSItemAttribute::modifyTime), date.kept);
    EXPECT_TRUE(request->wasAttributeConsumed(FSItemAttribute::accessTime)) << "devices keep no access time";
    EXPECT_EQ(outcome.attributes->modifyTime(), date.kept ? wanted : before);
    if (date.now && date.kept) {
        // The space figures may be read meanwhile, after the send; nothing asks about the file.
        for (const auto operation : {PTPOperation::getObjectPropDesc, PTPOperation::setObjectPropValue,
                                     PTPOperation::getObjectInfo, PTPOperation::getObjectPropList}) {
            EXPECT_EQ(volume.phone().count(operation), 0u) << volume.scenario().operationNames();
        }
    }
    ASSERT_TRUE(volume.close(item).succeeded());
    const auto onPhone = volume.phone().object(volume.scenario().handle("a.txt"))->modified;
    ASSERT_TRUE(onPhone.has_value());
    EXPECT_EQ(std::chrono::abs(*onPhone - wallTime(wanted)) < std::chrono::seconds(2), date.kept);
    const auto shown = volume.attributes(volume.item("a.txt")).attributes->modifyTime();
    EXPECT_EQ(std::chrono::abs(wallTime(shown) - wallTime(wanted)) < std::chrono::seconds(2), date.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, VolumeDateTests,
    ::testing::Values(DateCase{"DeviceFileSettable", true, DatedFile::onDevice, false, true},
                      DateCase{"DeviceFileReadOnly", false, DatedFile::onDevice, false, false},
                      DateCase{"DeviceFileNowReadOnly", false, DatedFile::onDevice, true, false},
                      DateCase{"WrittenFileReadOnly", false, DatedFile::beingWritten, false, false},
                      DateCase{"WrittenFileNowReadOnly", false, DatedFile::beingWritten, true, true},
                      DateCase{"NewFileSettable", true, DatedFile::newInMemory, false, true},
                      DateCase{"NewFileReadOnly", false, DatedFile::newInMemory, false, false},
                      DateCase{"NewFileNowReadOnly", false, DatedFile::newInMemory, true, true},
                      DateCase{"NewFileNowSettable", true, DatedFile::newInMemory, true, true},
                      DateCase{"SentFileNowReadOnly", false, DatedFile::justSent, true, true},
                      DateCase{"SentFileReadOnly", false, DatedFile::justSent, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VolumeAttributesTests, TimeChangesAreRefusedOnAReadOnlyVolumeAndKeptOnMetadataFiles) {
    VolumeHost readOnly(VolumeHost::Options{.taskOptions = {"--rdonly"}});
    readOnly.scenario().addFile("a.txt", "a");
    const auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setModifyTime({12, 0});
    EXPECT_EQ(readOnly.host().setAttributes(readOnly.item("a.txt"), request).wait().errorCode(), EROFS);

    VolumeHost volume;
    const auto metadata = volume.create(volume.storage(), ".DS_Store").item;
    const auto kept = std::make_shared<fskit::FSItemSetAttributesRequest>();
    kept->setModifyTime({12, 0});
    const auto outcome = volume.host().setAttributes(metadata, kept).wait();
    ASSERT_TRUE(outcome.succeeded());
    EXPECT_TRUE(kept->wasAttributeConsumed(FSItemAttribute::modifyTime));
    EXPECT_EQ(outcome.attributes->modifyTime(), (fskit::FSTimeSpec{12, 0}));
    EXPECT_TRUE(volume.phone().operations().empty());
}

TEST(VolumeAttributesTests, AFolderHasNoSizeToSetAndNothingIsSentToFindThatOut) {
    VolumeHost volume;
    volume.scenario().addFolder("DCIM");
    const auto folder = volume.item("DCIM");
    volume.phone().clearLog();
    for (const auto& item : {folder, volume.storage(), volume.root()}) {
        EXPECT_EQ(volume.resize(item, 0).errorCode(), EISDIR);
    }
    EXPECT_TRUE(volume.phone().operations().empty()) << volume.scenario().operationNames();
}

} // namespace
} // namespace tandalo
