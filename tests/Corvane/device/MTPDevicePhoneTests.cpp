// MTPDevice against the simulated phone over the simulated bus and a real transport: what the scripted
// transport cannot prove, namely that our reading of each operation and the phone's agree end to end.
#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPError.h"
#include "tests/support/PTPErrorCapture.h"
#include "tests/support/PhoneScenario.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testsupport::catchPTPError;
using testsupport::PhoneScenario;

constexpr std::uint32_t root = 0xFFFFFFFF;
constexpr std::uint64_t fiveGiB = 5ull << 30;

PhoneScenario::Options sessionWith(std::function<void(simulation::SimulatedPhone&)> prepare = {}) {
    PhoneScenario::Options options;
    options.openSession = true;
    options.prepare = std::move(prepare);
    return options;
}

// The same tree, built in the same order, gets the same handles on every phone.
void buildTree(PhoneScenario& scenario) {
    scenario.addFile("DCIM/Camera/IMG_0001.jpg", "\xFF\xD8 first photo");
    scenario.addFile("DCIM/Camera/IMG_0002.jpg", "\xFF\xD8 second photo");
    scenario.addFile("Caf\x65\xCC\x81.txt", "a name in NFD");
    scenario.addFile("Empty.txt", "");
    scenario.addGeneratedFile("Movies/long.mkv", fiveGiB);
    scenario.addFolder("Music");
}

std::string describe(const std::vector<MTPObject>& objects) {
    std::string text;
    for (const auto& object : objects) {
        text += std::to_string(object.handle()) + " " + object.name() +
                " size=" + std::to_string(object.size()) + " parent=" + std::to_string(object.parent()) +
                " format=" + std::to_string(object.format()) + (object.isDirectory() ? " dir" : "") +
                (object.isReadOnly() ? " ro" : "") + (object.modified() ? " dated" : "") + "\n";
    }
    return text;
}

TEST(MTPDevicePhoneTests, PropertyListsAndObjectInformationListTheSameRecords) {
    PhoneScenario fast(sessionWith());
    PhoneScenario slow(sessionWith([](simulation::SimulatedPhone& phone) {
        phone.setOperationSupported(PTPOperation::getObjectPropList, false);
    }));
    buildTree(fast);
    buildTree(slow);

    for (const std::string folder : {"", "DCIM", "DCIM/Camera", "Movies", "Music"}) {
        const std::uint32_t parent = folder.empty() ? root : fast.handle(folder);
        fast.clearLog();
        slow.clearLog();
        const auto quick = fast.device().hold()->listDirectory(fast.storage(), parent);
        const auto careful = slow.device().hold()->listDirectory(slow.storage(), parent);
        EXPECT_EQ(describe(quick), describe(careful)) << "folder '" << folder << "'";
        EXPECT_GT(fast.count(PTPOperation::getObjectPropList), 0u);
        EXPECT_EQ(fast.count(PTPOperation::getObjectInfo), 0u) << fast.operationNames();
        EXPECT_EQ(slow.count(PTPOperation::getObjectPropList), 0u);
    }
}

TEST(MTPDevicePhoneTests, ObjectByObjectListingsAskForSixtyFourBitSizesOnlyWhereTheyCanDiffer) {
    constexpr std::uint64_t GiB = 1ull << 30;
    constexpr std::uint32_t card = 0x00020001;
    constexpr std::size_t smallFiles = 20;
    struct Case {
        const char* name;
        simulation::LargeSizeInObjectInfo rule;
        std::uint64_t capacity;
        std::uint64_t largest;       // the size of the one file beside the small ones
        std::size_t size64Questions; // per listing of the folder
    };
    const Case cases[] = {
        // Once a large file showed 0xFFFFFFFF, the other datasets are taken at their word.
        {"0xFFFFFFFF for large files", simulation::LargeSizeInObjectInfo::unknown, 64 * GiB, fiveGiB, 1},
        {"low 32 bits for large files", simulation::LargeSizeInObjectInfo::lowBits, 64 * GiB, fiveGiB,
         smallFiles + 1},
        // No file on a storage of less than 4 GiB can be larger than its dataset says.
        {"a 3 GiB card", simulation::LargeSizeInObjectInfo::lowBits, 3 * GiB, 2 * GiB, 0},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        PhoneScenario scenario(sessionWith([&](simulation::SimulatedPhone& phone) {
            phone.setOperationSupported(PTPOperation::getObjectPropList, false);
            phone.setLargeSizeInObjectInfo(each.rule);
            simulation::PhoneStorage storage;
            storage.id = card;
            storage.maxCapacity = each.capacity;
            phone.addStorage(storage);
        }));
        auto& phone = scenario.phone();
        const auto folder = phone.addFolder(card, root, "DCIM");
        std::map<std::uint32_t, std::uint64_t> sizes;
        for (std::size_t index = 0; index < smallFiles; ++index) {
            const std::string name = "IMG_" + std::to_string(index) + ".jpg";
            sizes[phone.addFile(card, folder, name, std::string(index + 1, 'x'))] = index + 1;
        }
        const auto large = phone.addGeneratedFile(card, folder, "long.mkv", each.largest);
        sizes[large] = each.largest;
        auto& device = scenario.device();
        device.hold()->listDirectory(card, folder); // learns what the format and the storage offer
        scenario.clearLog();
        const auto listed = device.hold()->listDirectory(card, folder);
        ASSERT_EQ(listed.size(), smallFiles + 1);
        for (const auto& object : listed) {
            EXPECT_EQ(object.size(), sizes.at(object.handle())) << object.name();
        }
        EXPECT_EQ(scenario.count(PTPOperation::getObjectPropValue), each.size64Questions);
        EXPECT_EQ(scenario.operations().size(), 1 + smallFiles + 1 + each.size64Questions)
            << scenario.operationNames();
        EXPECT_EQ(device.hold()->object(large).size(), each.largest);
    }
}

TEST(MTPDevicePhoneTests, ReadsRangesBelowAndAboveFourGiBAndAtTheEnd) {
    PhoneScenario scenario(sessionWith());
    buildTree(scenario);
    auto& device = scenario.device();
    const auto movie = scenario.handle("Movies/long.mkv");
    const auto empty = scenario.handle("Empty.txt");

    struct Case {
        std::uint64_t offset;
        std::uint32_t length;
        std::size_t expected;
    };
    const Case cases[] = {
        {0, 4096, 4096},
        {(4ull << 30) - 100, 200, 200}, // straddles the 32-bit boundary
        {(4ull << 30) + 12345, 70000, 70000},
        {fiveGiB - 10, 100, 10}, // the end of the file cuts the read short
        {fiveGiB, 100, 0},
    };
    for (const auto& c : cases) {
        const auto bytes = device.hold()->readPartial(movie, c.offset, c.length);
        ASSERT_EQ(bytes.size(), c.expected) << "offset " << c.offset;
        EXPECT_EQ(bytes, simulation::SimulatedPhone::generatedBytes(movie, c.offset, c.expected))
            << "offset " << c.offset;
    }
    EXPECT_TRUE(device.hold()->readPartial(empty, 0, 10).empty());
}

TEST(MTPDevicePhoneTests, WholeObjectsArriveByteForByteInBothDirections) {
    PhoneScenario scenario(sessionWith());
    auto& device = scenario.device();
    // Sizes around the packet and chunk boundaries, where the zero-length packet rules bite.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{500}, std::size_t{512},
                                   std::size_t{1048564}, std::size_t{1048576}, std::size_t{3000000}}) {
        std::vector<std::byte> data(size);
        std::iota(reinterpret_cast<unsigned char*>(data.data()),
                  reinterpret_cast<unsigned char*>(data.data()) + size, static_cast<unsigned char>(size));
        const std::string name = "file-" + std::to_string(size) + ".bin";
        const auto handle = device.exclusive([&](MTPDevice::Session& session) {
            const auto created = session.createFile(scenario.storage(), root, name, size, std::nullopt);
            session.sendObject(data);
            return created;
        });
        EXPECT_EQ(scenario.phone().contents(handle), data) << size;

        std::vector<std::byte> received;
        device.hold()->getObject(handle, [&](std::span<const std::byte> chunk) {
            received.insert(received.end(), chunk.begin(), chunk.end());
        });
        EXPECT_EQ(received, data) << size;
    }
    EXPECT_TRUE(scenario.phone().violations().empty());
}

TEST(MTPDevicePhoneTests, EditsInPlaceWriteAboveFourGiBAndTruncate) {
    PhoneScenario scenario(sessionWith());
    buildTree(scenario);
    auto& device = scenario.device();
    const auto movie = scenario.handle("Movies/long.mkv");
    const auto patch = testsupport::bytesOf("patched in place");
    const std::uint64_t offset = (4ull << 30) + 7;

    device.exclusive([&](MTPDevice::Session& session) {
        session.beginEdit(movie);
        session.writePartial(movie, offset, patch);
        session.endEdit(movie);
    });
    EXPECT_EQ(scenario.phone().contents(movie, offset, patch.size()), patch);
    EXPECT_EQ(scenario.phone().contents(movie, offset - 7, 7),
              simulation::SimulatedPhone::generatedBytes(movie, offset - 7, 7));

    device.exclusive([&](MTPDevice::Session& session) {
        session.beginEdit(movie);
        session.truncate(movie, 1000);
        session.endEdit(movie);
    });
    EXPECT_EQ(device.hold()->object(movie).size(), 1000u);
}

TEST(MTPDevicePhoneTests, OperationsTheDeviceLacksFailBeforeAnythingIsSent) {
    PhoneScenario scenario(sessionWith([](simulation::SimulatedPhone& phone) {
        for (const auto operation :
             {PTPOperation::androidBeginEditObject, PTPOperation::androidEndEditObject,
              PTPOperation::androidTruncateObject, PTPOperation::androidSendPartialObject,
              PTPOperation::androidGetPartialObject64, PTPOperation::getPartialObject}) {
            phone.setOperationSupported(operation, false);
        }
    }));
    const auto file = scenario.addFile("a.txt", "abc");
    scenario.clearLog();
    auto& device = scenario.device();

    const auto expectNotSupported = [&](const char* what, auto&& call) {
        try {
            call();
            ADD_FAILURE() << what << " did not throw";
        } catch (const PTPError& error) {
            EXPECT_EQ(error.kind(), PTPError::Kind::notSupported) << what << ": " << error.what();
        }
    };
    expectNotSupported("beginEdit", [&] { device.hold()->beginEdit(file); });
    expectNotSupported("truncate", [&] { device.hold()->truncate(file, 1); });
    expectNotSupported("writePartial",
                       [&] { device.hold()->writePartial(file, 0, testsupport::bytesOf("x")); });
    expectNotSupported("readPartial", [&] { (void)device.hold()->readPartial(file, 0, 1); });
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

TEST(MTPDevicePhoneTests, MalformedAnswersEndInALibraryError) {
    PhoneScenario scenario(sessionWith());
    const auto file = scenario.addFile("a.txt", "abc");
    for (const std::size_t kept : {0, 1, 11, 40, 52}) {
        scenario.phone().injectFault(PTPOperation::getObjectInfo,
                                     simulation::PhoneFault::truncateDataset(kept));
        EXPECT_THROW((void)scenario.device().hold()->getObjectInfo(file), PTPError) << kept;
        // The session survives the broken answer.
        EXPECT_EQ(scenario.device().hold()->getObjectInfo(file).filename, "a.txt");
    }
}

TEST(MTPDevicePhoneTests, DownloadsThatBreakOffEndWithoutWaitingForATimeOut) {
    // Without a fault the receiver gives up at the first read of 64 MiB, and the phone answers the cancel.
    enum class Cancel { answered, busyTwice, refused };
    struct Case {
        const char* name;
        std::optional<simulation::PhoneFault> fault;
        Cancel cancel;
        std::string error; // empty: the download succeeds
    };
    const std::vector<Case> cases{
        // 500 bytes and the 12-byte header fill one packet; the response follows without a ZLP.
        {"no zero-length packet", simulation::PhoneFault::missingZLP(), Cancel::answered, ""},
        {"less data than announced", simulation::PhoneFault::shortData(100), Cancel::answered,
         "I/O: getObject: the device ended its data after 100 of 500 announced bytes"},
        {"the receiver gives up", std::nullopt, Cancel::answered, "I/O: disk full"},
        {"the receiver gives up, the phone busy twice", std::nullopt, Cancel::busyTwice, "I/O: disk full"},
        {"the receiver gives up, no cancel", std::nullopt, Cancel::refused, "I/O: disk full"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        PhoneScenario scenario(sessionWith());
        const std::uint64_t size = each.fault ? 500 : 64 << 20;
        const auto file = scenario.addGeneratedFile("file.bin", size);
        scenario.phone().setCancelSupported(each.cancel != Cancel::refused);
        scenario.phone().setBusyAfterCancel(each.cancel == Cancel::busyTwice ? 2 : 0);
        if (each.fault) {
            scenario.phone().injectFault(PTPOperation::getObject, *each.fault);
        }
        std::uint64_t received = 0;
        std::string error;
        const auto took = scenario.passTimeWhile([&] {
            error = catchPTPError([&] {
                        scenario.device().hold()->getObject(file, [&](std::span<const std::byte> chunk) {
                            if (!each.fault) {
                                throw PTPError::io("disk full");
                            }
                            received += chunk.size();
                        });
                        throw PTPError::cancelled(); // no error: the download is whole
                    }).description();
        });
        // Only the polls of a busy phone take time, 20 ms each.
        EXPECT_EQ(took, std::chrono::milliseconds(each.cancel == Cancel::busyTwice ? 40 : 0));
        EXPECT_EQ(error, each.error.empty() ? PTPError::cancelled().description() : each.error);
        EXPECT_EQ(received, each.error.empty() ? size : received);
        EXPECT_EQ(scenario.phone().resetCount(), each.cancel == Cancel::refused ? 1u : 0u);
        EXPECT_EQ(scenario.phone().transactions().back().note == "cancelled",
                  !each.fault && each.cancel != Cancel::refused);
        // The session goes on.
        EXPECT_EQ(scenario.device().hold()->getObjectInfo(file).filename, "file.bin");
        EXPECT_TRUE(scenario.phone().violations().empty());
    }
}

} // namespace
} // namespace corvane
