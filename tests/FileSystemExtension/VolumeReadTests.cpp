#include "ExtensionScenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>

namespace tandalo {
namespace {

using corvane::PTPOperation;
using testing::VolumeHost;

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;

struct Fetch {
    std::uint64_t offset;
    std::uint64_t length;
    friend bool operator==(const Fetch&, const Fetch&) = default;
};

std::ostream& operator<<(std::ostream& out, const Fetch& fetch) {
    return out << "(" << fetch.offset << ", " << fetch.length << ")";
}

/// The ranges the phone was asked for since the last clearLog.
std::vector<Fetch> fetches(VolumeHost& volume) {
    std::vector<Fetch> found;
    for (const auto& params : testing::paramsOf(volume.phone(), PTPOperation::androidGetPartialObject64)) {
        found.push_back({params[1] | (std::uint64_t{params[2]} << 32), params[3]});
    }
    return found;
}

TEST(VolumeReadTests, SequentialReadsGrowTheReadAheadFrom256KiBTo4MiB) {
    VolumeHost volume;
    const auto handle = volume.scenario().addGeneratedFile("big.bin", 20 * MiB);
    const auto item = volume.item("big.bin");
    volume.phone().clearLog();
    std::uint64_t offset = 0;
    while (offset < 11 * MiB) {
        const auto piece = volume.read(item, static_cast<off_t>(offset), 4 * KiB);
        ASSERT_EQ(piece.count, 4 * KiB);
        ASSERT_EQ(piece.bytes, simulation::SimulatedPhone::generatedBytes(handle, offset, 4 * KiB));
        offset += 4 * KiB;
    }
    // The last window is fetched ahead of the reader, which has entered the one before it.
    const std::vector<Fetch> expected{{0, 256 * KiB},
                                      {256 * KiB, 512 * KiB},
                                      {768 * KiB, 1 * MiB},
                                      {1792 * KiB, 2 * MiB},
                                      {3840 * KiB, 4 * MiB},
                                      {8 * MiB - 256 * KiB, 4 * MiB},
                                      {12 * MiB - 256 * KiB, 4 * MiB}};
    EXPECT_TRUE(testing::eventually([&] { return fetches(volume).size() >= expected.size(); }));
    EXPECT_EQ(fetches(volume), expected);
}

TEST(VolumeReadTests, AReadThatArrivesBehindTheReaderIsServedFromTheWindowItLeft) {
    VolumeHost volume;
    const auto handle = volume.scenario().addGeneratedFile("big.bin", 20 * MiB);
    const auto item = volume.item("big.bin");
    volume.phone().clearLog();
    const auto readChecked = [&](std::uint64_t offset, std::uint64_t length) {
        const auto piece = volume.read(item, static_cast<off_t>(offset), length);
        EXPECT_EQ(piece.bytes, simulation::SimulatedPhone::generatedBytes(handle, offset, length)) << offset;
    };
    for (std::uint64_t offset = 0; offset < 7 * MiB; offset += 256 * KiB) {
        readChecked(offset, 256 * KiB);
    }
    // The window [3840 KiB, 7936 KiB) is read, and the one after it fetched ahead.
    ASSERT_TRUE(testing::eventually([&] { return fetches(volume).size() == 6; }));
    readChecked(7936 * KiB, 4 * KiB);
    // Requests of the kernel that another thread answers late: wholly in the window left, and across the
    // border to the new one.
    struct Late {
        std::uint64_t offset;
        std::uint64_t length;
    };
    for (const auto& late : std::vector<Late>{{7 * MiB, 256 * KiB},
                                              {7936 * KiB - 64 * KiB, 64 * KiB},
                                              {7936 * KiB - 8 * KiB, 16 * KiB},
                                              {3840 * KiB, 4 * KiB}}) {
        readChecked(late.offset, late.length);
    }
    readChecked(7940 * KiB, 1 * MiB);
    // None of them fetched again or started the read-ahead over.
    const std::vector<Fetch> expected{{0, 256 * KiB},        {256 * KiB, 512 * KiB}, {768 * KiB, 1 * MiB},
                                      {1792 * KiB, 2 * MiB}, {3840 * KiB, 4 * MiB},  {7936 * KiB, 4 * MiB},
                                      {12032 * KiB, 4 * MiB}};
    EXPECT_TRUE(testing::eventually([&] { return fetches(volume).size() >= expected.size(); }));
    EXPECT_EQ(fetches(volume), expected);
}

TEST(VolumeReadTests, ReadaheadRequestsArrivingInPairsOutOfOrderStillGrowTheWindow) {
    VolumeHost volume;
    const auto handle = volume.scenario().addGeneratedFile("big.bin", 20 * MiB);
    const auto item = volume.item("big.bin");
    volume.phone().clearLog();
    // The kernel keeps two requests of a sequential reader in flight, and the second often comes first.
    for (std::uint64_t pair = 0; pair < 12 * MiB; pair += 2 * MiB) {
        for (const std::uint64_t offset : {pair + 1 * MiB, pair}) {
            const auto piece = volume.read(item, static_cast<off_t>(offset), 1 * MiB);
            ASSERT_EQ(piece.bytes, simulation::SimulatedPhone::generatedBytes(handle, offset, 1 * MiB))
                << offset;
        }
    }
    // The late ones are fetched on their own and leave the window alone; nothing is fetched twice. A late
    // one and the fetch ahead reach the phone in either order.
    const std::vector<Fetch> expected{{0, 1 * MiB},       {1 * MiB, 1 * MiB}, {2 * MiB, 1 * MiB},
                                      {3 * MiB, 2 * MiB}, {5 * MiB, 4 * MiB}, {9 * MiB, 4 * MiB},
                                      {13 * MiB, 4 * MiB}};
    EXPECT_TRUE(testing::eventually([&] { return fetches(volume).size() >= expected.size(); }));
    auto fetched = fetches(volume);
    std::sort(fetched.begin(), fetched.end(),
              [](const Fetch& a, const Fetch& b) { return a.offset < b.offset; });
    EXPECT_EQ(fetched, expected);
}

TEST(VolumeReadTests, TheNextWindowIsFetchedWhileTheReaderIsServedFromTheCurrentOne) {
    VolumeHost volume;
    const auto handle = volume.scenario().addGeneratedFile("big.bin", 20 * MiB);
    const auto item = volume.item("big.bin");
    // The first two windows come on demand (256 KiB, then 512 KiB); from the second on the reads are
    // sequential, so the third window (1 MiB at 768 KiB) is fetched ahead. The phone holds that fetch.
    const auto third = volume.phone().addGate(PTPOperation::androidGetPartialObject64, 3);
    ASSERT_EQ(volume.read(item, 0, 4 * KiB).count, 4 * KiB);
    ASSERT_EQ(volume.read(item, 256 * KiB, 4 * KiB).count, 4 * KiB);
    ASSERT_TRUE(third->waitUntilReached()) << "the third window was not fetched ahead";
    // Meanwhile the rest of the second window is read from memory.
    for (std::uint64_t offset = 260 * KiB; offset + 64 * KiB <= 768 * KiB; offset += 64 * KiB) {
        const auto piece = volume.read(item, static_cast<off_t>(offset), 64 * KiB);
        ASSERT_EQ(piece.bytes, simulation::SimulatedPhone::generatedBytes(handle, offset, 64 * KiB))
            << offset;
    }
    third->release();
    // The read that reaches the third window takes it up and sends the fourth ahead.
    const auto crossing = volume.read(item, static_cast<off_t>(700 * KiB), 128 * KiB);
    EXPECT_EQ(crossing.bytes, simulation::SimulatedPhone::generatedBytes(handle, 700 * KiB, 128 * KiB));
    EXPECT_TRUE(testing::eventually([&] { return fetches(volume).size() == 4; }));
    EXPECT_EQ(fetches(volume),
              (std::vector<Fetch>{
                  {0, 256 * KiB}, {256 * KiB, 512 * KiB}, {768 * KiB, 1 * MiB}, {1792 * KiB, 2 * MiB}}));
}

TEST(VolumeReadTests, AWriteAfterAWindowWasFetchedAheadIsReadBack) {
    VolumeHost volume;
    volume.scenario().addGeneratedFile("big.bin", 4 * MiB);
    const auto item = volume.item("big.bin");
    ASSERT_EQ(volume.read(item, 0, 4 * KiB).count, 4 * KiB);
    ASSERT_EQ(volume.read(item, 256 * KiB, 4 * KiB).count, 4 * KiB);
    EXPECT_TRUE(testing::eventually([&] { return fetches(volume).size() == 3; }));
    ASSERT_TRUE(volume.open(item).succeeded());
    ASSERT_TRUE(volume.write(item, static_cast<off_t>(800 * KiB), "written after").succeeded());
    EXPECT_EQ(testsupport::textOf(volume.read(item, static_cast<off_t>(800 * KiB), 13).bytes),
              "written after");
    ASSERT_TRUE(volume.close(item).succeeded());
}

TEST(VolumeReadTests, AReadInsideTheWindowIsAHitAndOneOutsideStartsOver) {
    VolumeHost volume;
    volume.scenario().addGeneratedFile("big.bin", 10 * MiB);
    const auto item = volume.item("big.bin");
    volume.phone().clearLog();
    ASSERT_EQ(volume.read(item, 0, 4 * KiB).count, 4 * KiB);
    ASSERT_EQ(volume.read(item, 100 * KiB, 100 * KiB).count, 100 * KiB);
    EXPECT_EQ(fetches(volume).size(), 1u);
    ASSERT_EQ(volume.read(item, 300 * KiB, 4 * KiB).count, 4 * KiB);
    // A read larger than the read-ahead fetches what it asks for.
    ASSERT_EQ(volume.read(item, 5 * MiB, 1 * MiB).count, 1 * MiB);
    EXPECT_EQ(fetches(volume),
              (std::vector<Fetch>{{0, 256 * KiB}, {300 * KiB, 256 * KiB}, {5 * MiB, 1 * MiB}}));
}

TEST(VolumeReadTests, ReadsNearTheEndFetchAndReturnOnlyWhatIsLeft) {
    VolumeHost volume;
    const auto item = volume.addFile("small.txt", "0123456789");
    volume.phone().clearLog();
    const auto tail = volume.read(item, 6, 100);
    EXPECT_EQ(testsupport::textOf(tail.bytes), "6789");
    EXPECT_EQ(fetches(volume), (std::vector<Fetch>{{6, 4}}));
    struct Case {
        off_t offset;
        std::size_t length;
        std::string expected;
    };
    for (const auto& each : std::vector<Case>{{10, 5, ""}, {11, 5, ""}, {0, 0, ""}, {-5, 3, "012"}}) {
        const auto outcome = volume.read(item, each.offset, each.length);
        EXPECT_TRUE(outcome.succeeded()) << each.offset;
        EXPECT_EQ(testsupport::textOf(outcome.bytes), each.expected) << each.offset;
    }
}

TEST(VolumeReadTests, RefusesFoldersTheRootAndStorages) {
    VolumeHost volume;
    volume.scenario().addFolder("DCIM");
    EXPECT_EQ(volume.read(volume.item("DCIM"), 0, 10).errorCode(), EISDIR);
    EXPECT_EQ(volume.read(volume.root(), 0, 10).errorCode(), EINVAL);
    EXPECT_EQ(volume.read(volume.storage(), 0, 10).errorCode(), EINVAL);
}

TEST(VolumeReadTests, MetadataFilesAreReadFromTheirBytes) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), ".DS_Store").item;
    ASSERT_TRUE(volume.write(item, 0, "finder data").succeeded());
    EXPECT_EQ(testsupport::textOf(volume.read(item, 7, 100).bytes), "data");
    EXPECT_EQ(volume.read(item, 50, 10).count, 0u);
    EXPECT_TRUE(volume.read(item, 50, 10).succeeded());
    EXPECT_TRUE(volume.phone().operations().empty());
}

TEST(VolumeReadTests, AFileGrowingInAnEditSessionReadsToItsNewEnd) {
    VolumeHost volume;
    const auto item = volume.addFile("log.txt", "first line\n");
    ASSERT_TRUE(volume.open(item).succeeded());
    EXPECT_EQ(volume.readText(item), "first line\n");
    ASSERT_TRUE(volume.write(item, 11, "second line\n").succeeded());
    // A listing or a look-up meanwhile brings a record with the size from before the session.
    EXPECT_EQ(volume.names(volume.storage()), std::vector<std::string>{"log.txt"});
    EXPECT_EQ(volume.lookupIn(volume.storage(), "log.txt").item, item);
    EXPECT_EQ(volume.size(item), 23u);
    EXPECT_EQ(volume.readText(item), "first line\nsecond line\n");
    ASSERT_TRUE(volume.close(item).succeeded());
    EXPECT_EQ(volume.size(item), 23u);
    EXPECT_EQ(volume.scenario().contents("log.txt"), "first line\nsecond line\n");
}

TEST(VolumeReadTests, AFailedFetchIsMappedAndKeepsTheWindow) {
    VolumeHost volume;
    volume.scenario().addGeneratedFile("big.bin", 2 * MiB);
    const auto item = volume.item("big.bin");
    ASSERT_EQ(volume.read(item, 0, 4 * KiB).count, 4 * KiB);
    volume.phone().injectFault(PTPOperation::androidGetPartialObject64,
                               simulation::PhoneFault::respond(0x2009));
    EXPECT_EQ(volume.read(item, 1 * MiB, 4 * KiB).errorCode(), ENOENT);
    volume.phone().clearLog();
    EXPECT_EQ(volume.read(item, 8 * KiB, 4 * KiB).count, 4 * KiB);
    EXPECT_TRUE(fetches(volume).empty());
}

TEST(VolumeReadTests, ANewFileIsReadFromMemoryAndOnceSentFromTheDevice) {
    VolumeHost volume;
    const auto item = volume.create(volume.storage(), "new.txt").item;
    ASSERT_TRUE(volume.write(item, 0, "fresh contents").succeeded());
    EXPECT_EQ(volume.readText(item), "fresh contents");
    EXPECT_TRUE(volume.phone().operations().empty());
    ASSERT_TRUE(volume.close(item).succeeded());
    volume.phone().clearLog();
    EXPECT_EQ(volume.readText(item), "fresh contents");
    EXPECT_FALSE(fetches(volume).empty());
}

/// The handles of the objects the phone was asked for since the last clearLog, in order.
std::vector<std::uint32_t> fetchedHandles(VolumeHost& volume) {
    std::vector<std::uint32_t> found;
    for (const auto& params : testing::paramsOf(volume.phone(), PTPOperation::androidGetPartialObject64)) {
        found.push_back(params[0]);
    }
    return found;
}

TEST(VolumeReadTests, ASmallFileReadWholeHasTheFileLikelyReadNextFetchedAhead) {
    struct Case {
        std::vector<std::string> reads;
        std::string fetchedAhead;
    };
    for (const auto& each : std::vector<Case>{{{"a.jpg"}, "b.jpg"},
                                              {{"a.jpg", "b.jpg"}, "c.jpg"},
                                              {{"d.jpg", "c.jpg"}, "b.jpg"},
                                              {{"a.jpg", "c.jpg"}, "d.jpg"}}) {
        VolumeHost volume;
        std::map<std::string, std::uint32_t> handles;
        for (const auto* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) {
            handles[name] = volume.scenario().addGeneratedFile(name, 12 * KiB);
        }
        std::map<std::string, std::shared_ptr<fskit::FSItem>> items;
        for (const auto& [name, handle] : handles) {
            items[name] = volume.item(name);
        }
        volume.phone().clearLog();
        for (const auto& name : each.reads) {
            ASSERT_EQ(volume.read(items[name], 0, 128 * KiB).count, 12 * KiB) << name;
        }
        const auto ahead = handles[each.fetchedAhead];
        EXPECT_TRUE(testing::eventually([&] {
            return std::ranges::count(fetchedHandles(volume), ahead) == 1;
        })) << each.fetchedAhead;
        // Its read takes the bytes fetched ahead.
        volume.phone().clearLog();
        const auto next = volume.read(items[each.fetchedAhead], 0, 128 * KiB);
        EXPECT_EQ(next.bytes, simulation::SimulatedPhone::generatedBytes(ahead, 0, 12 * KiB))
            << each.fetchedAhead;
        EXPECT_EQ(std::ranges::count(fetchedHandles(volume), ahead), 0) << each.fetchedAhead;
    }
}

TEST(VolumeReadTests, GuessedFilesFollowEachOtherUpToTwoAheadOfTheReader) {
    VolumeHost volume;
    std::vector<std::uint32_t> handles;
    std::vector<std::shared_ptr<fskit::FSItem>> items;
    for (const auto* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg", "f.jpg"}) {
        handles.push_back(volume.scenario().addGeneratedFile(name, 12 * KiB));
    }
    for (const auto* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg", "f.jpg"}) {
        items.push_back(volume.item(name));
    }
    const auto settled = [&](std::size_t fetches) {
        return testing::eventually([&] {
            return fetchedHandles(volume).size() >= fetches &&
                   !volume.volume()->withLock(
                       [](AndroidVolume::Tables& tables) { return tables.guessInFlight; });
        });
    };
    volume.phone().clearLog();
    for (std::size_t index = 0; index < 3; ++index) {
        const auto read = volume.read(items[index], 0, 128 * KiB);
        EXPECT_EQ(read.bytes, simulation::SimulatedPhone::generatedBytes(handles[index], 0, 12 * KiB))
            << index;
        // b and c follow a; reading b leaves c ahead; reading c sends for d and e.
        const std::vector<std::size_t> expected{3, 3, 5};
        ASSERT_TRUE(settled(expected[index])) << index;
        EXPECT_EQ(fetchedHandles(volume), std::vector(handles.begin(), handles.begin() + expected[index]))
            << index;
    }
}

TEST(VolumeReadTests, AFileFetchedAheadIsFetchedAgainWhenAnythingMayHaveChangedSince) {
    struct Case {
        std::string change;
        std::function<void(VolumeHost&)> make;
    };
    for (const auto& each : std::vector<Case>{
             {"a rename through the volume",
              [](VolumeHost& volume) {
                  ASSERT_TRUE(
                      volume
                          .rename(volume.item("c.jpg"), volume.storage(), "c.jpg", volume.storage(), "e.jpg")
                          .succeeded());
              }},
             {"the library's caches dropped",
              [](VolumeHost& volume) { volume.volume()->fs().invalidateAll(); }},
             {"a wait longer than a guess lasts",
              [](VolumeHost& volume) {
                  volume.extension().clock().advance(AndroidVolume::guessLifetime +
                                                     std::chrono::milliseconds(1));
              }},
         }) {
        VolumeHost volume;
        volume.scenario().addGeneratedFile("a.jpg", 12 * KiB);
        const auto next = volume.scenario().addGeneratedFile("b.jpg", 12 * KiB);
        volume.scenario().addGeneratedFile("c.jpg", 12 * KiB);
        const auto first = volume.item("a.jpg");
        const auto second = volume.item("b.jpg");
        ASSERT_EQ(volume.read(first, 0, 128 * KiB).count, 12 * KiB);
        ASSERT_TRUE(testing::eventually([&] {
            return std::ranges::count(fetchedHandles(volume), next) == 1;
        })) << each.change;
        each.make(volume);
        volume.phone().clearLog();
        const auto read = volume.read(second, 0, 128 * KiB);
        EXPECT_EQ(read.bytes, simulation::SimulatedPhone::generatedBytes(next, 0, 12 * KiB)) << each.change;
        EXPECT_EQ(std::ranges::count(fetchedHandles(volume), next), 1) << each.change;
    }
}

} // namespace
} // namespace tandalo
