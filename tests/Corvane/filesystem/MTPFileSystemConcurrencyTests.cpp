#include "FileSystemScenario.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <stop_token>
#include <thread>
#include <tuple>
#include <variant>

namespace corvane::testing {
namespace {

using simulation::PhoneFault;
using simulation::PhoneGate;
using simulation::SimulatedPhone;
using testsupport::PhoneScenario;

/// What one caller got: a listing's names or an error.
using Outcome = std::variant<std::vector<std::string>, PTPError>;

/// Runs callers of list(storage, parent) on threads of their own and collects what each one got.
class ListingCallers {
public:
    ListingCallers(MTPFileSystem& fs, std::uint32_t storage, std::uint32_t parent)
        : m_fs(fs), m_storage(storage), m_parent(parent) {}

    ~ListingCallers() { join(); }

    void start(std::size_t count) {
        for (std::size_t index = 0; index < count; ++index) {
            const std::size_t slot = m_outcomes.size();
            m_outcomes.emplace_back();
            m_threads.emplace_back([this, slot] {
                try {
                    m_outcomes[slot] = namesOf(m_fs.list(m_storage, m_parent));
                } catch (const PTPError& error) {
                    m_outcomes[slot] = error;
                }
            });
        }
    }

    const std::vector<std::optional<Outcome>>& join() {
        for (auto& thread : m_threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
        return m_outcomes;
    }

private:
    MTPFileSystem& m_fs;
    std::uint32_t m_storage;
    std::uint32_t m_parent;
    std::vector<std::optional<Outcome>> m_outcomes; // sized before the threads start, one slot each
    std::vector<std::thread> m_threads;
};

class MTPFileSystemConcurrencyTests : public FileSystemScenario {
protected:
    MTPFileSystemConcurrencyTests() : FileSystemScenario(withoutPropertyLists()) {}

    /// Listings by handles start with one GetObjectHandles, which the tests hold with a gate.
    static PhoneScenario::Options withoutPropertyLists() {
        PhoneScenario::Options options;
        options.prepare = [](SimulatedPhone& phone) {
            phone.setOperationSupported(PTPOperation::getObjectPropList, false);
        };
        return options;
    }

    /// Starts one caller, holds its listing inside the phone, then starts more callers and waits until
    /// every one of them waits for that same listing.
    void startSharedListing(ListingCallers& callers, PhoneGate& gate, std::size_t joiners) {
        callers.start(1);
        ASSERT_TRUE(gate.waitUntilReached());
        // The first caller waits on the clock too, in its read of the held answer; nothing else does.
        ASSERT_TRUE(scenario.clock().waitForWaiters(1));
        callers.start(joiners);
        ASSERT_TRUE(scenario.clock().waitForWaiters(1 + joiners));
    }
};

TEST_F(MTPFileSystemConcurrencyTests, TenCallersOfOneFolderShareOneListing) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        scenario.addFile(std::string("Shared/") + name, name);
    }
    const std::uint32_t shared = scenario.handle("Shared");
    open();
    const auto gate = scenario.phone().addGate(PTPOperation::getObjectHandles);
    ListingCallers callers(*fs, scenario.storage(), shared);
    startSharedListing(callers, *gate, 9);
    gate->release();

    const auto& outcomes = callers.join();
    ASSERT_EQ(outcomes.size(), 10u);
    for (const auto& outcome : outcomes) {
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(*outcome));
        EXPECT_EQ(std::get<std::vector<std::string>>(*outcome),
                  (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
    }
    EXPECT_EQ(listings(), 1u) << scenario.operationNames();
    scenario.clearLog();
    fs->list(scenario.storage(), shared);
    EXPECT_EQ(listings(), 0u) << "the shared listing is cached";
}

TEST_F(MTPFileSystemConcurrencyTests, AFailedListingReachesEveryWaiterAndIsNotCached) {
    scenario.addFile("Shared/a.txt", "a");
    const std::uint32_t shared = scenario.handle("Shared");
    open();
    const auto gate = scenario.phone().addGate(PTPOperation::getObjectHandles);
    scenario.phone().injectFault(PTPOperation::getObjectHandles, PhoneFault::respond(0x2002));
    ListingCallers callers(*fs, scenario.storage(), shared);
    startSharedListing(callers, *gate, 9);
    gate->release();

    for (const auto& outcome : callers.join()) {
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(std::holds_alternative<PTPError>(*outcome));
        const PTPError& error = std::get<PTPError>(*outcome);
        EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
        EXPECT_EQ(error.code(), 0x2002);
        EXPECT_EQ(error.operation(), PTPOperation::getObjectHandles);
    }
    EXPECT_EQ(listings(), 1u) << scenario.operationNames();
    EXPECT_EQ(namesOf(fs->list(scenario.storage(), shared)), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(listings(), 2u) << "the failure was not cached";
}

struct Overtaking {
    const char* name;
    friend void PrintTo(const Overtaking& value, std::ostream* out) { *out << value.name; }
    std::function<void(MTPFileSystem&, const MTPObject& folder, const MTPObject& child)> invalidate;
};

class MTPFileSystemOvertakenListingTests : public MTPFileSystemConcurrencyTests,
                                           public ::testing::WithParamInterface<Overtaking> {};

TEST_P(MTPFileSystemOvertakenListingTests, AListingOvertakenByAnInvalidationIsHandedOutButNotCached) {
    scenario.addFile("Shared/a.txt", "a");
    open();
    const MTPObject folder = objectAt("Shared");
    const MTPObject child = fs->lookup(path("Shared/a.txt")).object();
    fs->invalidate(child); // the folder's listing is gone; the records of Shared and a.txt stay
    const auto gate = scenario.phone().addGate(PTPOperation::getObjectHandles);
    ListingCallers callers(*fs, scenario.storage(), folder.handle());
    callers.start(1);
    ASSERT_TRUE(gate->waitUntilReached());

    GetParam().invalidate(*fs, folder, child);
    // A caller that comes after the invalidation but before the end still joins the running listing.
    ASSERT_TRUE(scenario.clock().waitForWaiters(1));
    callers.start(1);
    ASSERT_TRUE(scenario.clock().waitForWaiters(2));
    gate->release();
    for (const auto& outcome : callers.join()) {
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(*outcome));
        EXPECT_EQ(std::get<std::vector<std::string>>(*outcome), std::vector<std::string>{"a.txt"});
    }
    scenario.clearLog();
    fs->list(scenario.storage(), folder.handle());
    EXPECT_EQ(listings(), 1u) << "the overtaken listing must not have been cached";
}

INSTANTIATE_TEST_SUITE_P(
    Invalidations, MTPFileSystemOvertakenListingTests,
    ::testing::Values(
        Overtaking{"All", [](MTPFileSystem& fs, const MTPObject&, const MTPObject&) { fs.invalidateAll(); }},
        Overtaking{"TheFolder", [](MTPFileSystem& fs, const MTPObject& folder,
                                   const MTPObject&) { fs.invalidate(folder); }},
        Overtaking{"AChild",
                   [](MTPFileSystem& fs, const MTPObject&, const MTPObject& child) { fs.invalidate(child); }},
        // Even a change elsewhere raises the generation: a listing is kept only when nothing changed.
        Overtaking{"ASiblingFolderOfTheFolder",
                   [](MTPFileSystem& fs, const MTPObject& folder, const MTPObject&) {
                       fs.invalidate(MTPObject(0x4444, folder.storageID(), 0, "elsewhere", 0,
                                               PTPObjectFormat::association, std::nullopt, false));
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemConcurrencyTests, ListingsOfDifferentFoldersDoNotWaitForEachOther) {
    scenario.addFile("One/a.txt", "a");
    scenario.addFile("Two/b.txt", "b");
    open();
    const auto gate = scenario.phone().addGate(PTPOperation::getObjectHandles);
    ListingCallers one(*fs, scenario.storage(), scenario.handle("One"));
    one.start(1);
    ASSERT_TRUE(gate->waitUntilReached());
    // The device is busy with the first listing; the second caller does not join it but runs its own.
    ListingCallers two(*fs, scenario.storage(), scenario.handle("Two"));
    two.start(1);
    gate->release();
    EXPECT_EQ(std::get<std::vector<std::string>>(*two.join()[0]), std::vector<std::string>{"b.txt"});
    EXPECT_EQ(std::get<std::vector<std::string>>(*one.join()[0]), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(listings(), 2u);
}

TEST_F(MTPFileSystemConcurrencyTests, OpenStopsWaitingForAccessWhenAskedTo) {
    PhoneScenario::Options options;
    options.prepare = [](SimulatedPhone& phone) { phone.setAccessGranted(false); };
    PhoneScenario locked(options);
    MTPFileSystem lockedFS(locked.sharedDevice(), locked.clock());
    std::stop_source stop;
    std::optional<PTPError> failure;
    std::thread opener([&] {
        try {
            lockedFS.open(stop.get_token());
        } catch (const PTPError& error) {
            failure = error;
        }
    });
    ASSERT_TRUE(locked.clock().waitForWaiters(1));
    stop.request_stop();
    opener.join();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), PTPError::Kind::cancelled);
    EXPECT_EQ(locked.count(PTPOperation::getStorageIDs), 1u);
}

// Changes while listings are in flight

/// What a change works on.
struct ChangeTargets {
    std::uint32_t storage = 0;
    std::uint32_t docs = 0;
    std::string docsPath;
    std::optional<MTPObject> file;   // Docs/a.txt
    std::optional<MTPObject> folder; // Docs/Sub, which holds b.txt
    std::filesystem::path localFile;
};

struct ChangeInFlight {
    const char* name;
    friend void PrintTo(const ChangeInFlight& value, std::ostream* out) { *out << value.name; }
    PTPOperation firstChange; // the change's first transaction that alters the device
    std::function<void(MTPFileSystem&, const ChangeTargets&)> change;
};

enum class Held { listing, change };

void PrintTo(Held held, std::ostream* out) {
    *out << (held == Held::listing ? "listing held" : "change held");
}

class MTPFileSystemChangeInFlightTests
    : public MTPFileSystemConcurrencyTests,
      public ::testing::WithParamInterface<std::tuple<ChangeInFlight, Held>> {
protected:
    /// Every folder of the phone lists, through the file system, the names the phone holds, and every
    /// object's record, cached or not, says what the phone says.
    void expectFileSystemMatchesPhone() {
        std::vector<std::uint32_t> folders{SimulatedPhone::root};
        while (!folders.empty()) {
            const std::uint32_t folder = folders.back();
            folders.pop_back();
            std::vector<std::string> expected;
            for (const auto& child : scenario.phone().children(scenario.storage(), folder)) {
                expected.push_back(child.name);
                const MTPObject record = fs->object(child.handle);
                EXPECT_EQ(record.name(), child.name);
                EXPECT_EQ(record.size(), child.reportedSize) << child.name;
                EXPECT_EQ(record.parent() == MTPFileSystem::rootParent ? 0 : record.parent(), child.parent)
                    << child.name;
                if (child.isFolder) {
                    folders.push_back(child.handle);
                }
            }
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(sorted(namesOf(fs->list(scenario.storage(), folder))), expected) << scenario.tree();
        }
        EXPECT_TRUE(scenario.phone().violations().empty());
    }
};

TEST_P(MTPFileSystemChangeInFlightTests, TheCachesTellTheTruthAfterAChangeMetAListing) {
    const auto& [change, held] = GetParam();
    scenario.addFile("Docs/a.txt", "0123456789");
    scenario.addFile("Docs/Sub/b.txt", "b");
    open();
    ChangeTargets targets;
    targets.storage = scenario.storage();
    targets.docs = scenario.handle("Docs");
    targets.docsPath = path("Docs");
    targets.file = objectAt("Docs/a.txt");
    targets.folder = objectAt("Docs/Sub");
    fs->lookup(path("Docs/Sub/b.txt"));
    targets.localFile = scenario.scratchFolder() / "upload.txt";
    { std::ofstream(targets.localFile) << "uploaded"; }
    // The folder of the change is listed anew while the change happens; what lies below stays cached.
    fs->invalidate(MTPObject(0x7777, scenario.storage(), targets.docs, "none", 0, 0, std::nullopt, false));

    std::optional<PTPError> changeFailure;
    const auto runChange = [&] {
        try {
            change.change(*fs, targets);
        } catch (const PTPError& error) {
            changeFailure = error;
        }
    };
    ListingCallers lister(*fs, scenario.storage(), targets.docs);
    std::thread changer;
    if (held == Held::listing) {
        const auto gate = scenario.phone().addGate(PTPOperation::getObjectHandles);
        lister.start(1);
        ASSERT_TRUE(gate->waitUntilReached());
        changer = std::thread(runChange);
        gate->release();
    } else {
        const auto gate = scenario.phone().addGate(change.firstChange);
        changer = std::thread(runChange);
        ASSERT_TRUE(gate->waitUntilReached());
        lister.start(1);
        gate->release();
    }
    changer.join();
    ASSERT_FALSE(changeFailure.has_value()) << changeFailure->description();
    ASSERT_TRUE(lister.join()[0].has_value());
    expectFileSystemMatchesPhone();
}

INSTANTIATE_TEST_SUITE_P(
    Changes, MTPFileSystemChangeInFlightTests,
    ::testing::Combine(
        ::testing::Values(
            ChangeInFlight{"RemoveFile", PTPOperation::deleteObject,
                           [](MTPFileSystem& fs, const ChangeTargets& t) { fs.remove(*t.file); }},
            ChangeInFlight{"RemoveFolder", PTPOperation::deleteObject,
                           [](MTPFileSystem& fs, const ChangeTargets& t) { fs.remove(*t.folder); }},
            ChangeInFlight{
                "RenameFile", PTPOperation::setObjectPropValue,
                [](MTPFileSystem& fs, const ChangeTargets& t) { fs.rename(*t.file, "renamed.txt"); }},
            ChangeInFlight{
                "RenameFolder", PTPOperation::setObjectPropValue,
                [](MTPFileSystem& fs, const ChangeTargets& t) { fs.rename(*t.folder, "Renamed"); }},
            ChangeInFlight{"MoveFileToTheTop", PTPOperation::moveObject,
                           [](MTPFileSystem& fs, const ChangeTargets& t) {
                               fs.move(*t.file, t.storage, MTPFileSystem::rootParent);
                           }},
            ChangeInFlight{"MoveFolderToTheTop", PTPOperation::moveObject,
                           [](MTPFileSystem& fs, const ChangeTargets& t) {
                               fs.move(*t.folder, t.storage, MTPFileSystem::rootParent);
                           }},
            ChangeInFlight{"CreateDirectory", PTPOperation::sendObjectInfo,
                           [](MTPFileSystem& fs, const ChangeTargets& t) {
                               fs.createDirectory(t.storage, t.docs, "New");
                           }},
            ChangeInFlight{"CreateFileWithContents", PTPOperation::sendObjectInfo,
                           [](MTPFileSystem& fs, const ChangeTargets& t) {
                               fs.createFile(t.storage, t.docs, "new.txt", bytesOf("new"));
                           }},
            ChangeInFlight{
                "Upload", PTPOperation::sendObjectInfo,
                [](MTPFileSystem& fs, const ChangeTargets& t) { fs.upload(t.localFile, t.docsPath); }},
            ChangeInFlight{"UploadReplacing", PTPOperation::sendObjectInfo,
                           [](MTPFileSystem& fs, const ChangeTargets& t) {
                               fs.upload(t.localFile, t.docsPath, "a.txt");
                           }},
            ChangeInFlight{"Truncate", PTPOperation::androidBeginEditObject,
                           [](MTPFileSystem& fs, const ChangeTargets& t) { fs.truncate(*t.file, 3); }},
            ChangeInFlight{"Write", PTPOperation::androidBeginEditObject,
                           [](MTPFileSystem& fs, const ChangeTargets& t) {
                               fs.write(*t.file, 8, bytesOf("extended"));
                           }}),
        ::testing::Values(Held::listing, Held::change)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == Held::listing ? "WhileListing" : "WhileChanging");
    });

TEST_F(MTPFileSystemConcurrencyTests, AnEditSessionsStepsAreNeverSplitByAnotherOperation) {
    scenario.addFile("Docs/a.txt", "0123456789");
    open();
    const MTPObject file = objectAt("Docs/a.txt");
    fs->invalidateAll();
    scenario.clearLog();
    const auto gate = scenario.phone().addGate(PTPOperation::androidTruncateObject);
    std::thread truncater([&] { fs->truncate(file, 2); });
    ASSERT_TRUE(gate->waitUntilReached());
    ListingCallers lister(*fs, scenario.storage(), scenario.handle("Docs"));
    lister.start(1);
    gate->release();
    truncater.join();
    lister.join();

    const std::vector<std::uint16_t> operations = scenario.operations();
    const auto begin =
        std::find(operations.begin(), operations.end(), rawValue(PTPOperation::androidBeginEditObject));
    ASSERT_LE(begin + 3, operations.end());
    EXPECT_EQ(*(begin + 1), rawValue(PTPOperation::androidTruncateObject));
    EXPECT_EQ(*(begin + 2), rawValue(PTPOperation::androidEndEditObject)) << scenario.operationNames();
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "01");
}

} // namespace
} // namespace corvane::testing
