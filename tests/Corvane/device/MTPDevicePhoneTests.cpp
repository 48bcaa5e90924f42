// MTPDevice against the simulated phone over the simulated bus and a real transport: what the scripted
// transport cannot prove, namely that our reading of each operation and the phone's agree end to end.
#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPError.h"
#include "tests/support/PTPErrorCapture.h"
#include "tests/support/PhoneScenario.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
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

TEST(MTPDevicePhoneTests, SizesAboveFourGiBSurviveObjectInformationThatKeepsOnlyTheirLowBits) {
    for (const auto rule :
         {simulation::LargeSizeInObjectInfo::unknown, simulation::LargeSizeInObjectInfo::lowBits}) {
        SCOPED_TRACE(rule == simulation::LargeSizeInObjectInfo::unknown ? "0xFFFFFFFF" : "low 32 bits");
        PhoneScenario scenario(sessionWith([rule](simulation::SimulatedPhone& phone) {
            phone.setOperationSupported(PTPOperation::getObjectPropList, false);
            phone.setLargeSizeInObjectInfo(rule);
        }));
        buildTree(scenario);
        const auto listed =
            scenario.device().hold()->listDirectory(scenario.storage(), scenario.handle("Movies"));
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].size(), fiveGiB);
        EXPECT_EQ(scenario.device().hold()->object(scenario.handle("Movies/long.mkv")).size(), fiveGiB);
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
    struct Case {
        const char* name;
        std::uint64_t size;
        std::optional<simulation::PhoneFault> fault;
        bool sinkFails;
        bool cancelSupported;
        std::string error; // empty: the download succeeds
        std::size_t resets;
    };
    const std::vector<Case> cases{
        // 500 bytes and the 12-byte header fill one packet; the response follows without a ZLP.
        {"no zero-length packet", 500, simulation::PhoneFault::missingZLP(), false, true, "", 0},
        {"less data than announced", 1000, simulation::PhoneFault::shortData(100), false, true,
         "I/O: getObject: the device ended its data after 100 of 1000 announced bytes", 0},
        {"the receiver gives up", 64 << 20, std::nullopt, true, true, "I/O: disk full", 0},
        {"the receiver gives up, no cancel", 64 << 20, std::nullopt, true, false, "I/O: disk full", 1},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        PhoneScenario scenario(sessionWith());
        const auto file = scenario.addGeneratedFile("file.bin", each.size);
        scenario.phone().setCancelSupported(each.cancelSupported);
        if (each.fault) {
            scenario.phone().injectFault(PTPOperation::getObject, *each.fault);
        }
        std::uint64_t received = 0;
        std::string error;
        const auto took = scenario.passTimeWhile([&] {
            try {
                scenario.device().hold()->getObject(file, [&](std::span<const std::byte> chunk) {
                    if (each.sinkFails) {
                        throw PTPError::io("disk full");
                    }
                    received += chunk.size();
                });
            } catch (const PTPError& thrown) {
                error = thrown.description();
            }
        });
        EXPECT_EQ(took, platform::Clock::Duration::zero()) << "nothing waited for a time-out";
        EXPECT_EQ(error, each.error);
        if (each.error.empty()) {
            EXPECT_EQ(received, each.size);
        }
        EXPECT_EQ(scenario.phone().resetCount(), each.resets);
        if (each.sinkFails && each.cancelSupported) {
            EXPECT_EQ(scenario.phone().transactions().back().note, "cancelled");
        }
        // The session goes on.
        EXPECT_EQ(scenario.device().hold()->getObjectInfo(file).filename, "file.bin");
        EXPECT_TRUE(scenario.phone().violations().empty());
    }
}

TEST(MTPDevicePhoneTests, APhoneThatStopsAnsweringIsGoneAfterOneTimeOutAndBackWhenPluggedInAgain) {
    PhoneScenario scenario(sessionWith());
    const auto file = scenario.addGeneratedFile("file.bin", 8 << 20);
    scenario.phone().stopAnswering();
    std::string first;
    // The command waits its 30 s to be taken, then the reset its 1 s, and neither is answered.
    const auto firstTook = scenario.passTimeWhile([&] {
        first = catchPTPError([&] { scenario.device().hold()->readPartial(file, 0, 1 << 20); }).description();
    });
    EXPECT_EQ(first, "USB: write timed out");
    EXPECT_EQ(firstTook, std::chrono::seconds(31));

    // Every later operation, the closing one included, fails or ends at once.
    std::string later;
    const auto laterTook = scenario.passTimeWhile([&] {
        later = catchPTPError([&] { scenario.device().hold()->getStorages(); }).description();
        scenario.device().close();
    });
    EXPECT_EQ(laterTook, platform::Clock::Duration::zero());
    EXPECT_NE(later.find("stopped answering"), std::string::npos) << later;

    // Plugged in again, the phone answers a new connection as before.
    scenario.unplug();
    scenario.plugAgain();
    const auto device = MTPDevice::connect(scenario.descriptor(), std::nullopt, TakeOver::never, {},
                                           scenario.deviceContext());
    device->hold()->open();
    EXPECT_EQ(device->hold()->getObjectInfo(file).filename, "file.bin");
    device->close();
}

} // namespace
} // namespace corvane
