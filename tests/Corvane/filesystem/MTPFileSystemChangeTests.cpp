#include "FileSystemScenario.h"

#include <ostream>

#include <functional>

namespace corvane::testing {
namespace {

using simulation::PhoneFault;
using simulation::PhoneStorage;
using simulation::SimulatedPhone;
using testsupport::PhoneScenario;

using Operations = std::vector<std::uint16_t>;

std::uint16_t op(PTPOperation operation) {
    return rawValue(operation);
}

class MTPFileSystemChangeTests : public FileSystemScenario {
protected:
    /// Lists the folder once, so that it is cached, and forgets the traffic.
    void cache(std::string_view folder) {
        fs->list(folder.empty() ? mainStorage : path(folder));
        scenario.clearLog();
    }

    /// Whether listing the folder now goes to the device; the traffic is forgotten afterwards.
    bool listingGoesToDevice(std::uint32_t parent, std::uint32_t storage = 0) {
        scenario.clearLog();
        fs->list(storage == 0 ? scenario.storage() : storage, parent);
        const bool went = listings() > 0;
        scenario.clearLog();
        return went;
    }
};

// Creating folders and files

TEST_F(MTPFileSystemChangeTests, CreateDirectoryDropsTheParentListingAndReadsTheNewRecord) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    cache("Docs");
    const std::int64_t generation = fs->cacheGeneration();
    const MTPObject created = fs->createDirectory(scenario.storage(), docs, "New");
    EXPECT_EQ(created.name(), "New");
    EXPECT_TRUE(created.isDirectory());
    EXPECT_EQ(created.handle(), scenario.handle("Docs/New"));
    EXPECT_EQ(fs->cacheGeneration(), generation + 1);
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 1u) << "the record comes from the device";
    EXPECT_TRUE(listingGoesToDevice(docs));
    EXPECT_EQ(namesOf(fs->list(path("Docs"))), std::vector<std::string>{"New"});
    scenario.clearLog();
    fs->object(created.handle());
    EXPECT_TRUE(scenario.operations().empty()) << "the new record is cached";
}

TEST_F(MTPFileSystemChangeTests, CreateDirectoryAtAPath) {
    scenario.addFile("Docs/file.txt", "f");
    open();
    const MTPObject created = fs->createDirectory(path("Docs/Sub"));
    EXPECT_EQ(created.handle(), scenario.handle("Docs/Sub"));
    fs->createDirectory(path("Top"));
    EXPECT_TRUE(scenario.exists("Top"));

    scenario.clearLog();
    struct Refusal {
        std::string at;
        PTPError::Kind kind;
        std::string text;
    };
    for (const Refusal& refusal :
         {Refusal{"/", PTPError::Kind::invalidPath, "/"},
          Refusal{"/New", PTPError::Kind::invalidPath, "/New"},
          Refusal{path("Docs/file.txt/x"), PTPError::Kind::notADirectory, path("Docs/file.txt/x")},
          // The parent's look-up fails, naming the parent.
          Refusal{path("Missing/x"), PTPError::Kind::invalidPath, path("Missing")}}) {
        const PTPError error = catchPTPError([&] { fs->createDirectory(refusal.at); });
        EXPECT_EQ(error.kind(), refusal.kind) << refusal.at;
        EXPECT_EQ(error.text(), refusal.text);
    }
    EXPECT_EQ(scenario.count(PTPOperation::sendObjectInfo), 0u);
}

struct TakenName {
    const char* name;
    friend void PrintTo(const TakenName& value, std::ostream* out) { *out << value.name; }
    std::function<void(MTPFileSystem&, std::uint32_t storage, std::uint32_t parent, const std::string& name)>
        create;
};

class MTPFileSystemTakenNameTests : public MTPFileSystemChangeTests,
                                    public ::testing::WithParamInterface<TakenName> {};

TEST_P(MTPFileSystemTakenNameTests, ATakenNameIsRefusedBeforeAnythingIsSent) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/R\xC3\xA9sum\xC3\xA9.txt", "cv");
    scenario.addFolder("Docs/Sub");
    open();
    for (const std::string name : {"R\xC3\xA9sum\xC3\xA9.txt", "Re\xCC\x81sume\xCC\x81.txt", "Sub"}) {
        scenario.clearLog();
        const PTPError error = catchPTPError([&] { GetParam().create(*fs, scenario.storage(), docs, name); });
        EXPECT_EQ(error.kind(), PTPError::Kind::alreadyExists) << name;
        EXPECT_EQ(error.text(), name);
        EXPECT_EQ(scenario.count(PTPOperation::sendObjectInfo), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Creations, MTPFileSystemTakenNameTests,
    ::testing::Values(
        TakenName{"Folder", [](MTPFileSystem& fs, std::uint32_t storage, std::uint32_t parent,
                               const std::string& name) { fs.createDirectory(storage, parent, name); }},
        TakenName{"EmptyFile", [](MTPFileSystem& fs, std::uint32_t storage, std::uint32_t parent,
                                  const std::string& name) { fs.createFile(storage, parent, name); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemChangeTests, CreateFileMakesAnEmptyFileInOneHoldOfTheDevice) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    const MTPObject created = fs->createFile(scenario.storage(), docs, "empty.txt");
    EXPECT_EQ(created.name(), "empty.txt");
    EXPECT_EQ(created.size(), 0u);
    EXPECT_FALSE(created.isDirectory());
    EXPECT_EQ(scenario.phone().object(created.handle())->size, 0u);
    const auto transactions = scenario.phone().transactions();
    const auto info = std::find_if(transactions.begin(), transactions.end(), [](const auto& transaction) {
        return transaction.operation == op(PTPOperation::sendObjectInfo);
    });
    ASSERT_NE(info, transactions.end());
    ASSERT_NE(info + 1, transactions.end());
    EXPECT_EQ((info + 1)->operation, op(PTPOperation::sendObject));
    EXPECT_EQ((info + 1)->dataOutBytes, 0u);
}

TEST_F(MTPFileSystemChangeTests, CreateFileWithContentsInACachedFolderJoinsItsListing) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/old.txt", "old");
    open();
    cache("Docs");
    const std::int64_t generation = fs->cacheGeneration();
    const auto modified = MTPObject::TimePoint(std::chrono::seconds(1700000000));
    const MTPObject created =
        fs->createFile(scenario.storage(), docs, "Caf\xC3\xA9.txt", bytesOf("hello"), modified);

    EXPECT_EQ(created.handle(), scenario.handle("Docs/Caf\xC3\xA9.txt"));
    EXPECT_EQ(created.size(), 5u);
    EXPECT_EQ(created.parent(), docs);
    EXPECT_EQ(created.format(), PTPObjectFormat::undefined);
    EXPECT_EQ(created.modified(), modified);
    EXPECT_EQ(scenario.contents("Docs/Caf\xC3\xA9.txt"), "hello");
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 0u) << "the record is built, not read back";
    // A listing that began before the file arrived must not overwrite the updated one.
    EXPECT_GT(fs->cacheGeneration(), generation);

    scenario.clearLog();
    EXPECT_EQ(namesOf(fs->list(scenario.storage(), docs)),
              (std::vector<std::string>{"old.txt", "Caf\xC3\xA9.txt"}));
    const auto found = fs->child(scenario.storage(), docs, "Cafe\xCC\x81.txt");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->handle(), created.handle());
    EXPECT_EQ(fs->object(created.handle()).size(), 5u);
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

TEST_F(MTPFileSystemChangeTests, CreateFileWithContentsWithoutADateUsesTheClock) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    const auto now = MTPObject::TimePoint(std::chrono::seconds(1600000000));
    scenario.clock().setWallTime(now);
    EXPECT_EQ(fs->createFile(scenario.storage(), docs, "a.txt", bytesOf("a")).modified(), now);
}

TEST_F(MTPFileSystemChangeTests, CreateFileWithContentsInAnUncachedFolderLooksForNothing) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    fs->createFile(scenario.storage(), docs, "a.txt", bytesOf("a"));
    EXPECT_EQ(listings(), 0u);
    // A small file takes its name at once: no rename follows the send.
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::sendObjectInfo), op(PTPOperation::sendObject)}));
}

// A file larger than a small one is sent under a name of its own and takes its name only once it has
// arrived whole: a send cut short leaves nothing that passes for the file, and nothing at all where the
// device lets it be deleted.
TEST_F(MTPFileSystemChangeTests, AFileTakesItsNameOnlyOnceItHasArrivedWhole) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    cache("Docs");
    const std::vector<std::byte> large(MTPFileSystem::directSendLimit + 1, std::byte{'x'});
    fs->createFile(scenario.storage(), docs, "a.txt", large);
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::sendObjectInfo), op(PTPOperation::sendObject),
                          op(PTPOperation::setObjectPropValue)}));
    EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(namesOf(fs->list(scenario.storage(), docs)), std::vector<std::string>{"a.txt"});

    // This responder keeps what arrived of a failed send; where it is still there, the file system
    // deletes it, a small file sent under its own name too.
    scenario.phone().setKeepsPartialObjects(true);
    for (const auto& contents : {large, bytesOf("b")}) {
        scenario.phone().injectFault(PTPOperation::sendObject, PhoneFault::respond(0x2002));
        EXPECT_EQ(
            catchPTPError([&] { fs->createFile(scenario.storage(), docs, "b.txt", contents); }).operation(),
            PTPOperation::sendObject);
        EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"a.txt"});
        EXPECT_EQ(namesOf(fs->list(scenario.storage(), docs)), std::vector<std::string>{"a.txt"});
    }

    // Where it is gone, what it kept says by its name that it is not the file.
    scenario.phone().injectFault(PTPOperation::sendObject, PhoneFault::disconnectAfter(0));
    catchPTPError([&] { fs->createFile(scenario.storage(), docs, "c.txt", large); });
    const auto names = phoneNames(docs);
    ASSERT_EQ(names.size(), 2u) << scenario.tree();
    EXPECT_EQ(names[0], "a.txt");
    EXPECT_TRUE(names[1].starts_with("c.txt.tandalo-incomplete-")) << names[1];
}

TEST_F(MTPFileSystemChangeTests, APartialFileKeepsItsIncompleteNameUntilItIsCompleted) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    const std::uint32_t old = scenario.addFile("Docs/video.mp4", "old");
    open();
    const MTPObject replaced = objectAt("Docs/video.mp4");
    scenario.clearLog();
    const MTPFileSystem::PartialFile partial = fs->createPartialFile(
        scenario.storage(), docs, "video.mp4", bytesOf("first"), std::nullopt, replaced);
    // Whether the device renames is learnt at once, while the contents are at hand.
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::sendObjectInfo), op(PTPOperation::sendObject),
                          op(PTPOperation::setObjectPropValue)}));
    EXPECT_TRUE(partial.object.name().starts_with("video.mp4.tandalo-incomplete-"));
    EXPECT_EQ(scenario.phone().object(partial.object.handle())->name, partial.object.name());
    EXPECT_EQ(scenario.contents("Docs/video.mp4"), "old");

    fs->beginEdit(partial.object);
    fs->writeOpen(partial.object, 5, bytesOf(" and more"));
    fs->endEdit(partial.object);
    const MTPObject grown = fs->object(partial.object.handle());
    scenario.clearLog();
    const MTPObject done = fs->completeFile({grown, "video.mp4", replaced});
    EXPECT_EQ(done.name(), "video.mp4");
    EXPECT_EQ(scenario.phone().transactions()[0].params, (std::vector<std::uint32_t>{old, 0}));
    EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"video.mp4"});
    EXPECT_EQ(scenario.contents("Docs/video.mp4"), "first and more");
}

// A device that lists the rename operation but refuses to change names: the file must not stay under its
// incomplete name, and the device is not asked again.
TEST_F(MTPFileSystemChangeTests, ADeviceThatRefusesNamesGetsTheFileAgainUnderItsName) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/a.txt", "old");
    open();
    cache("Docs");
    scenario.phone().injectFault(PTPOperation::setObjectPropValue, PhoneFault::respond(0x200F), 1,
                                 SimulatedPhone::always);
    const MTPObject created = fs->createFile(scenario.storage(), docs, "a.txt", bytesOf("new"));
    EXPECT_EQ(created.name(), "a.txt");
    EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "new");
    EXPECT_TRUE(fs->refusesRenames());

    scenario.clearLog();
    fs->createFile(scenario.storage(), docs, "a.txt", bytesOf("newer"));
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::deleteObject), op(PTPOperation::sendObjectInfo),
                          op(PTPOperation::sendObject)}));
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "newer");
    scenario.clearLog();
    const auto partial =
        fs->createPartialFile(scenario.storage(), docs, "b.txt", bytesOf("b"), std::nullopt, std::nullopt);
    EXPECT_EQ(partial.object.name(), "b.txt");
    EXPECT_EQ(fs->completeFile(partial).name(), "b.txt");
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::sendObjectInfo), op(PTPOperation::sendObject)}));
}

TEST_F(MTPFileSystemChangeTests, ReplacingAFileKeepsTheOldOneUntilTheNewOneHasArrived) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    const std::uint32_t old = scenario.addFile("Docs/a.txt", "old contents");
    open();
    cache("Docs");
    const MTPObject created = fs->createFile(scenario.storage(), docs, "a.txt", bytesOf("new"));

    EXPECT_NE(created.handle(), old);
    EXPECT_EQ(created.name(), "a.txt");
    EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "new");
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::sendObjectInfo), op(PTPOperation::sendObject),
                          op(PTPOperation::deleteObject), op(PTPOperation::setObjectPropValue)}));
    EXPECT_EQ(scenario.phone().transactions()[2].params, (std::vector<std::uint32_t>{old, 0}));
    EXPECT_FALSE(listingGoesToDevice(docs)) << "the cached listing follows the replacement";
    EXPECT_EQ(namesOf(fs->list(scenario.storage(), docs)), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(fs->child(scenario.storage(), docs, "a.txt")->handle(), created.handle());
}

struct FailedReplacement {
    const char* name;
    friend void PrintTo(const FailedReplacement& value, std::ostream* out) { *out << value.name; }
    PTPOperation failing;
    std::string expectedContents; // of Docs/a.txt afterwards
    std::size_t expectedObjects;  // in Docs afterwards
};

class MTPFileSystemFailedReplacementTests : public MTPFileSystemChangeTests,
                                            public ::testing::WithParamInterface<FailedReplacement> {};

TEST_P(MTPFileSystemFailedReplacementTests, AFailedReplacementNeverLosesTheFile) {
    const FailedReplacement& failure = GetParam();
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/a.txt", "old contents");
    open();
    cache("Docs");
    scenario.phone().injectFault(failure.failing, PhoneFault::respond(0x2002));
    const PTPError error =
        catchPTPError([&] { fs->createFile(scenario.storage(), docs, "a.txt", bytesOf("new")); });
    EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
    EXPECT_EQ(error.operation(), failure.failing);

    EXPECT_EQ(scenario.phone().children(scenario.storage(), docs).size(), failure.expectedObjects)
        << scenario.tree();
    const auto contents = scenario.phone().children(scenario.storage(), docs);
    EXPECT_TRUE(std::any_of(contents.begin(), contents.end(), [&](const auto& child) {
        return scenario.phone().contentsText(child.handle) == failure.expectedContents;
    })) << scenario.tree();
    // Whatever is on the device now, the file system shows it.
    EXPECT_EQ(sorted(namesOf(fs->list(scenario.storage(), docs))), phoneNames(docs));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MTPFileSystemFailedReplacementTests,
    ::testing::Values(FailedReplacement{"SendObjectInfo", PTPOperation::sendObjectInfo, "old contents", 1},
                      FailedReplacement{"SendObject", PTPOperation::sendObject, "old contents", 1},
                      FailedReplacement{"DeleteOfTheOldFile", PTPOperation::deleteObject, "old contents", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MTPFileSystemReplacementTests, ADeviceThatCannotRenameHasTheOldFileDeletedFirst) {
    PhoneScenario::Options options;
    options.prepare = [](SimulatedPhone& phone) {
        phone.setOperationSupported(PTPOperation::setObjectPropValue, false);
    };
    PhoneScenario scenario(options);
    const std::uint32_t docs = scenario.addFolder("Docs");
    const std::uint32_t old = scenario.addFile("Docs/a.txt", "old");
    MTPFileSystem fs(scenario.sharedDevice(), scenario.clock());
    fs.open();
    fs.list(scenario.storage(), docs);
    scenario.clearLog();
    fs.createFile(scenario.storage(), docs, "a.txt", bytesOf("new"));
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::deleteObject), op(PTPOperation::sendObjectInfo),
                          op(PTPOperation::sendObject)}));
    EXPECT_EQ(scenario.phone().transactions()[0].params, (std::vector<std::uint32_t>{old, 0}));
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "new");
}

// One refusal after renames have worked says nothing of the device: the next file still waits under its
// incomplete name.
TEST_F(MTPFileSystemChangeTests, ARenameRefusedAfterOthersWorkedKeepsIncompleteNames) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    const std::vector<std::byte> large(MTPFileSystem::directSendLimit + 1, std::byte{'x'});
    fs->createFile(scenario.storage(), docs, "a.txt", large);
    scenario.phone().injectFault(PTPOperation::setObjectPropValue, PhoneFault::respond(0x2002));
    fs->createFile(scenario.storage(), docs, "b.txt", large);
    EXPECT_EQ(phoneNames(docs), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_FALSE(fs->refusesRenames());
    scenario.clearLog();
    fs->createFile(scenario.storage(), docs, "c.txt", large);
    EXPECT_EQ(scenario.count(PTPOperation::setObjectPropValue), 1u);
}

TEST_F(MTPFileSystemChangeTests, AFolderIsNeverReplacedByAFile) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/Photos/p.jpg", "jpeg");
    open();
    cache("Docs");
    const PTPError error =
        catchPTPError([&] { fs->createFile(scenario.storage(), docs, "Photos", bytesOf("x")); });
    EXPECT_EQ(error.kind(), PTPError::Kind::alreadyExists);
    EXPECT_EQ(error.text(), "Photos");
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
    EXPECT_TRUE(scenario.exists("Docs/Photos/p.jpg"));
}

// Editing in place

struct EditCase {
    const char* name;
    friend void PrintTo(const EditCase& value, std::ostream* out) { *out << value.name; }
    std::function<void(MTPFileSystem&, const MTPObject&)> edit;
    PTPOperation change;
    std::string expectedContents;
};

class MTPFileSystemEditTests : public MTPFileSystemChangeTests,
                               public ::testing::WithParamInterface<EditCase> {};

TEST_P(MTPFileSystemEditTests, ASelfContainedEditRunsBeginChangeEndAndInvalidates) {
    const EditCase& edit = GetParam();
    const std::uint32_t handle = scenario.addFile("Docs/a.txt", "0123456789");
    const std::uint32_t docs = scenario.handle("Docs");
    open();
    const MTPObject file = objectAt("Docs/a.txt");
    scenario.clearLog();
    const std::int64_t generation = fs->cacheGeneration();

    edit.edit(*fs, file);
    EXPECT_EQ(scenario.operations(), (Operations{op(PTPOperation::androidBeginEditObject), op(edit.change),
                                                 op(PTPOperation::androidEndEditObject)}));
    for (const auto& transaction : scenario.phone().transactions()) {
        EXPECT_EQ(transaction.params.front(), handle);
    }
    EXPECT_EQ(scenario.contents("Docs/a.txt"), edit.expectedContents);
    EXPECT_EQ(fs->cacheGeneration(), generation + 1);
    EXPECT_TRUE(listingGoesToDevice(docs));
    EXPECT_EQ(objectAt("Docs/a.txt").size(), edit.expectedContents.size());
}

INSTANTIATE_TEST_SUITE_P(
    Edits, MTPFileSystemEditTests,
    ::testing::Values(
        EditCase{"Truncate", [](MTPFileSystem& fs, const MTPObject& file) { fs.truncate(file, 4); },
                 PTPOperation::androidTruncateObject, "0123"},
        EditCase{"TruncateToTheSameSize",
                 [](MTPFileSystem& fs, const MTPObject& file) { fs.truncate(file, 10); },
                 PTPOperation::androidTruncateObject, "0123456789"},
        EditCase{"Write", [](MTPFileSystem& fs, const MTPObject& file) { fs.write(file, 2, bytesOf("ab")); },
                 PTPOperation::androidSendPartialObject, "01ab456789"},
        EditCase{"WriteNothing", [](MTPFileSystem& fs, const MTPObject& file) { fs.write(file, 0, {}); },
                 PTPOperation::androidSendPartialObject, "0123456789"},
        EditCase{"WriteBeyondTheEnd",
                 [](MTPFileSystem& fs, const MTPObject& file) { fs.write(file, 10, bytesOf("!")); },
                 PTPOperation::androidSendPartialObject, "0123456789!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemChangeTests, AFailedChangeStillEndsTheEditAndReportsTheChangesError) {
    scenario.addFile("a.txt", "0123456789");
    open();
    const MTPObject file = objectAt("a.txt");
    scenario.clearLog();
    const std::int64_t generation = fs->cacheGeneration();
    scenario.phone().injectFault(PTPOperation::androidTruncateObject, PhoneFault::respond(0x2002));
    scenario.phone().injectFault(PTPOperation::androidEndEditObject, PhoneFault::respond(0x2019));
    const PTPError error = catchPTPError([&] { fs->truncate(file, 3); });
    EXPECT_EQ(error.operation(), PTPOperation::androidTruncateObject);
    EXPECT_EQ(error.code(), 0x2002);
    EXPECT_EQ(scenario.operations(),
              (Operations{op(PTPOperation::androidBeginEditObject), op(PTPOperation::androidTruncateObject),
                          op(PTPOperation::androidEndEditObject)}));
    EXPECT_EQ(fs->cacheGeneration(), generation) << "a failure leaves the caches as they were";
}

TEST_F(MTPFileSystemChangeTests, AFailedBeginSendsNoEndAndAFailedEndIsReported) {
    scenario.addFile("a.txt", "0123456789");
    open();
    const MTPObject file = objectAt("a.txt");
    scenario.clearLog();
    const std::int64_t generation = fs->cacheGeneration();

    scenario.phone().injectFault(PTPOperation::androidBeginEditObject, PhoneFault::respond(0x2002));
    EXPECT_EQ(catchPTPError([&] { fs->write(file, 0, bytesOf("x")); }).operation(),
              PTPOperation::androidBeginEditObject);
    EXPECT_EQ(scenario.operations(), Operations{op(PTPOperation::androidBeginEditObject)});

    scenario.clearLog();
    scenario.phone().injectFault(PTPOperation::androidEndEditObject, PhoneFault::respond(0x2002));
    EXPECT_EQ(catchPTPError([&] { fs->write(file, 0, bytesOf("x")); }).operation(),
              PTPOperation::androidEndEditObject);
    EXPECT_EQ(scenario.operations().size(), 3u);
    EXPECT_EQ(fs->cacheGeneration(), generation);
}

struct MissingSupport {
    const char* name;
    friend void PrintTo(const MissingSupport& value, std::ostream* out) { *out << value.name; }
    std::function<void(MTPFileSystem&, const MTPObject&)> call;
    PTPOperation expected;
};

class MTPFileSystemSupportTests : public ::testing::TestWithParam<MissingSupport> {};

TEST_P(MTPFileSystemSupportTests, ADeviceWithoutTheAndroidOperationsGetsNothingSent) {
    PhoneScenario::Options options;
    options.prepare = [](SimulatedPhone& phone) {
        for (const PTPOperation operation :
             {PTPOperation::androidGetPartialObject64, PTPOperation::androidSendPartialObject,
              PTPOperation::androidTruncateObject, PTPOperation::androidBeginEditObject,
              PTPOperation::androidEndEditObject}) {
            phone.setOperationSupported(operation, false);
        }
    };
    PhoneScenario scenario(options);
    scenario.addFile("a.txt", "0123");
    MTPFileSystem fs(scenario.sharedDevice(), scenario.clock());
    fs.open();
    const MTPObject file = fs.lookup(mainStorage + "/a.txt").object();
    scenario.clearLog();
    const PTPError error = catchPTPError([&] { GetParam().call(fs, file); });
    EXPECT_EQ(error.kind(), PTPError::Kind::notSupported);
    EXPECT_EQ(error.operation(), GetParam().expected);
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

INSTANTIATE_TEST_SUITE_P(
    Operations, MTPFileSystemSupportTests,
    ::testing::Values(
        MissingSupport{"Truncate", [](MTPFileSystem& fs, const MTPObject& file) { fs.truncate(file, 1); },
                       PTPOperation::androidTruncateObject},
        MissingSupport{"Write",
                       [](MTPFileSystem& fs, const MTPObject& file) { fs.write(file, 0, bytesOf("x")); },
                       PTPOperation::androidSendPartialObject},
        MissingSupport{"BeginEdit", [](MTPFileSystem& fs, const MTPObject& file) { fs.beginEdit(file); },
                       PTPOperation::androidSendPartialObject}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemChangeTests, AnOpenEditSessionShowsItsChangesAtTheEnd) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/a.txt", "0123456789");
    open();
    const MTPObject file = objectAt("Docs/a.txt");
    const std::int64_t generation = fs->cacheGeneration();
    fs->beginEdit(file);
    fs->writeOpen(file, 10, bytesOf("abc"));
    fs->writeOpen(file, 13, bytesOf("def"));
    fs->truncateOpen(file, 15);
    EXPECT_EQ(fs->cacheGeneration(), generation) << "writes inside the session keep the caches";
    EXPECT_EQ(objectAt("Docs/a.txt").size(), 10u);
    fs->endEdit(file);
    EXPECT_EQ(fs->cacheGeneration(), generation + 1);
    EXPECT_TRUE(listingGoesToDevice(docs));
    EXPECT_EQ(objectAt("Docs/a.txt").size(), 15u);
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "0123456789abcde");
}

TEST_F(MTPFileSystemChangeTests, EndEditWithoutASessionIsTheDevicesRefusalAndChangesNothing) {
    scenario.addFile("a.txt", "0123");
    open();
    const MTPObject file = objectAt("a.txt");
    scenario.clearLog();
    const std::int64_t generation = fs->cacheGeneration();
    const PTPError error = catchPTPError([&] { fs->endEdit(file); });
    EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
    EXPECT_EQ(error.operation(), PTPOperation::androidEndEditObject);
    EXPECT_EQ(scenario.operations(), Operations{op(PTPOperation::androidEndEditObject)});
    EXPECT_EQ(fs->cacheGeneration(), generation);
}

// Removing, renaming and moving

TEST_F(MTPFileSystemChangeTests, RemovingAFileDropsItsFolder) {
    const std::uint32_t handle = scenario.addFile("Docs/a.txt", "a");
    const std::uint32_t docs = scenario.handle("Docs");
    open();
    const MTPObject file = objectAt("Docs/a.txt");
    scenario.clearLog();
    const std::int64_t generation = fs->cacheGeneration();
    fs->remove(file);
    EXPECT_EQ(scenario.phone().transactions()[0].params, (std::vector<std::uint32_t>{handle, 0}));
    EXPECT_EQ(fs->cacheGeneration(), generation + 1);
    EXPECT_FALSE(scenario.exists("Docs/a.txt"));
    EXPECT_TRUE(fs->list(scenario.storage(), docs).empty());
}

TEST_F(MTPFileSystemChangeTests, RemovingAFolderForgetsEverythingCachedBelowIt) {
    scenario.addFile("A/B/c.txt", "c");
    open();
    const MTPObject c = objectAt("A/B/c.txt");
    const MTPObject b = objectAt("A/B");
    const std::int64_t generation = fs->cacheGeneration();
    fs->remove(objectAt("A"));
    EXPECT_EQ(fs->cacheGeneration(), generation + 2);
    EXPECT_FALSE(scenario.exists("A"));
    EXPECT_TRUE(fs->list(mainStorage).empty());
    // No record of what lay below survives to be handed out as if it still existed.
    for (const MTPObject& gone : {b, c}) {
        const PTPError error = catchPTPError([&] { fs->object(gone.handle()); });
        EXPECT_EQ(error.kind(), PTPError::Kind::responseError) << gone.name();
    }
    EXPECT_EQ(catchPTPError([&] { fs->list(scenario.storage(), b.handle()); }).kind(),
              PTPError::Kind::responseError);
}

// A record fetched by its handle alone, below a folder whose own record was never read, may lie below the
// removed folder: nothing cached shows that it does not, so it goes too.
TEST_F(MTPFileSystemChangeTests, RemovingAFolderForgetsRecordsWhoseWayUpIsNotCached) {
    const std::uint32_t a = scenario.addFolder("A");
    const std::uint32_t b = scenario.addFolder("A/B");
    const std::uint32_t c = scenario.addFile("A/B/c.txt", "c");
    const std::uint32_t kept = scenario.addFile("kept.txt", "k");
    open();
    const MTPObject folder = fs->object(a);
    fs->object(c);
    fs->list(scenario.storage(), b);
    fs->object(kept);
    fs->remove(folder);
    scenario.clearLog();
    EXPECT_EQ(catchPTPError([&] { fs->object(c); }).responseCode(), PTPResponseCode::invalidObjectHandle);
    EXPECT_EQ(catchPTPError([&] { fs->list(scenario.storage(), b); }).kind(), PTPError::Kind::responseError);
    const auto asked = scenario.count(PTPOperation::getObjectInfo);
    fs->object(kept);
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), asked) << "a record at the top is proved outside";
}

TEST_F(MTPFileSystemChangeTests, RemoveAtAPathRefusesTheRootAndStorages) {
    scenario.addFile("a.txt", "a");
    open();
    for (const std::string& at : {std::string("/"), mainStorage, mainStorage + "/"}) {
        const PTPError error = catchPTPError([&] { fs->remove(at); });
        EXPECT_EQ(error.kind(), PTPError::Kind::invalidPath);
        EXPECT_EQ(error.text(), at);
    }
    EXPECT_EQ(scenario.count(PTPOperation::deleteObject), 0u);
    fs->remove(path("a.txt"));
    EXPECT_FALSE(scenario.exists("a.txt"));
}

TEST_F(MTPFileSystemChangeTests, ARefusedRemovalChangesNothing) {
    scenario.addFile("a.txt", "a");
    open();
    const MTPObject file = objectAt("a.txt");
    scenario.phone().setProtectionStatus(file.handle(), 1);
    const std::int64_t generation = fs->cacheGeneration();
    const PTPError error = catchPTPError([&] { fs->remove(file); });
    EXPECT_EQ(error.operation(), PTPOperation::deleteObject);
    EXPECT_EQ(fs->cacheGeneration(), generation);
}

TEST_F(MTPFileSystemChangeTests, RenameInvalidatesEvenToTheSameName) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/a.txt", "a");
    open();
    for (const char* from : {"a.txt", "b.txt"}) {
        const MTPObject file = objectAt(std::string("Docs/") + from);
        scenario.clearLog();
        const std::int64_t generation = fs->cacheGeneration();
        fs->rename(file, "b.txt");
        EXPECT_EQ(scenario.operations(), Operations{op(PTPOperation::setObjectPropValue)});
        EXPECT_EQ(fs->cacheGeneration(), generation + 1);
        EXPECT_EQ(namesOf(fs->list(scenario.storage(), docs)), std::vector<std::string>{"b.txt"});
    }
}

TEST_F(MTPFileSystemChangeTests, RenamingAFolderForgetsWhatLiesBelowIt) {
    scenario.addFile("A/B/c.txt", "c");
    open();
    fs->lookup(path("A/B/c.txt"));
    fs->rename(objectAt("A"), "Z");
    scenario.clearLog();
    EXPECT_EQ(fs->lookup(path("Z/B/c.txt")).object().handle(), scenario.handle("Z/B/c.txt"));
    EXPECT_EQ(listings(), 3u) << scenario.operationNames();
    EXPECT_EQ(catchPTPError([&] { fs->lookup(path("A/B/c.txt")); }).kind(), PTPError::Kind::invalidPath);
}

TEST_F(MTPFileSystemChangeTests, ARefusedRenameChangesNothing) {
    scenario.addFile("a.txt", "a");
    scenario.addFile("b.txt", "b");
    open();
    const std::int64_t generation = fs->cacheGeneration();
    // The phone refuses a name that its folder already holds.
    const PTPError error = catchPTPError([&] { fs->rename(objectAt("a.txt"), "b.txt"); });
    EXPECT_EQ(error.operation(), PTPOperation::setObjectPropValue);
    EXPECT_EQ(fs->cacheGeneration(), generation);
}

TEST_F(MTPFileSystemChangeTests, MoveToTheTopSendsParentZeroAndDropsBothFolders) {
    const std::uint32_t handle = scenario.addFile("Docs/a.txt", "a");
    const std::uint32_t docs = scenario.handle("Docs");
    open();
    cache("Docs");
    cache("");
    const MTPObject file = objectAt("Docs/a.txt");
    const std::int64_t generation = fs->cacheGeneration();
    fs->move(file, scenario.storage(), MTPFileSystem::rootParent);
    ASSERT_EQ(scenario.operations(), Operations{op(PTPOperation::moveObject)});
    EXPECT_EQ(scenario.phone().transactions()[0].params,
              (std::vector<std::uint32_t>{handle, scenario.storage(), 0}));
    EXPECT_EQ(fs->cacheGeneration(), generation + 2);
    EXPECT_TRUE(fs->list(scenario.storage(), docs).empty());
    EXPECT_EQ(sorted(namesOf(fs->list(mainStorage))), (std::vector<std::string>{"Docs", "a.txt"}));
}

TEST_F(MTPFileSystemChangeTests, MoveWithinOneFolderDropsThatFolder) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/a.txt", "a");
    open();
    cache("Docs");
    fs->move(objectAt("Docs/a.txt"), scenario.storage(), docs);
    EXPECT_TRUE(listingGoesToDevice(docs));
}

TEST_F(MTPFileSystemChangeTests, MoveToADirectoryPath) {
    scenario.addFile("Docs/a.txt", "a");
    scenario.addFile("Other/file.txt", "f");
    scenario.addFolder("Other/Target");
    open();
    fs->move(objectAt("Docs/a.txt"), path("Other/Target"));
    EXPECT_TRUE(scenario.exists("Other/Target/a.txt"));
    EXPECT_EQ(namesOf(fs->list(path("Other/Target"))), std::vector<std::string>{"a.txt"});
    fs->move(objectAt("Other/Target/a.txt"), mainStorage);
    EXPECT_TRUE(scenario.exists("a.txt"));

    scenario.clearLog();
    for (const auto& [to, kind] : std::vector<std::pair<std::string, PTPError::Kind>>{
             {path("Other/file.txt"), PTPError::Kind::notADirectory}, {"/", PTPError::Kind::invalidPath}}) {
        const PTPError error = catchPTPError([&] { fs->move(objectAt("a.txt"), to); });
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.text(), to);
    }
    EXPECT_EQ(scenario.count(PTPOperation::moveObject), 0u);
}

TEST_F(MTPFileSystemChangeTests, MovingAFolderAcrossStoragesForgetsTheRecordsBelowIt) {
    PhoneStorage card;
    card.id = 0x00020001;
    card.description = "SD card";
    scenario.phone().addStorage(card);
    const std::uint32_t c = scenario.addFile("A/B/c.txt", "c");
    const std::uint32_t target = scenario.phone().addFolder(card.id, SimulatedPhone::root, "Target");
    open();
    EXPECT_EQ(fs->lookup(path("A/B/c.txt")).object().storageID(), scenario.storage());
    fs->list("/SD card/Target");
    const std::int64_t generation = fs->cacheGeneration();

    const std::uint32_t a = scenario.handle("A");
    fs->move(objectAt("A"), card.id, target);
    EXPECT_EQ(scenario.phone().transactions().back().params,
              (std::vector<std::uint32_t>{a, card.id, target}));
    EXPECT_EQ(fs->cacheGeneration(), generation + 3);
    EXPECT_EQ(namesOf(fs->list("/SD card/Target")), std::vector<std::string>{"A"});
    // A stale record would still name the old storage.
    EXPECT_EQ(fs->object(c).storageID(), card.id);
    EXPECT_EQ(fs->lookup("/SD card/Target/A/B/c.txt").object().handle(), c);
}

TEST_F(MTPFileSystemChangeTests, ARefusedMoveChangesNothing) {
    scenario.addFile("a.txt", "a");
    open();
    const std::int64_t generation = fs->cacheGeneration();
    const PTPError error = catchPTPError([&] { fs->move(objectAt("a.txt"), scenario.storage(), 0x9999); });
    EXPECT_EQ(error.operation(), PTPOperation::moveObject);
    EXPECT_EQ(fs->cacheGeneration(), generation);
}

struct DateSetting {
    const char* name;
    friend void PrintTo(const DateSetting& value, std::ostream* out) { *out << value.name; }
    std::function<void(SimulatedPhone&)> prepare;
    bool settable;
    std::size_t descriptions; // GetObjectPropDesc transactions for two settings
};

class MTPFileSystemDateTests : public ::testing::TestWithParam<DateSetting> {};

// The date is set only where the device says it keeps it; elsewhere the caller hears so before anything
// is sent, and the device is asked once per format.
TEST_P(MTPFileSystemDateTests, SetsTheModificationDateOnlyWhereTheDeviceKeepsIt) {
    PhoneScenario::Options options;
    options.prepare = GetParam().prepare;
    PhoneScenario scenario(options);
    const std::uint32_t handle = scenario.addFile("a.txt", "a");
    MTPFileSystem fs(scenario.sharedDevice(), scenario.clock());
    fs.open();
    const MTPObject file = fs.lookup(mainStorage + "/a.txt").object();
    scenario.clearLog();
    const auto date = MTPObject::TimePoint(std::chrono::seconds(1500000000));
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (GetParam().settable) {
            fs.setModified(file, date);
        } else {
            const PTPError error = catchPTPError([&] { fs.setModified(file, date); });
            EXPECT_EQ(error.kind(), PTPError::Kind::notSupported);
            EXPECT_EQ(error.operation(), PTPOperation::setObjectPropValue);
        }
    }
    EXPECT_EQ(scenario.count(PTPOperation::getObjectPropDesc), GetParam().descriptions);
    EXPECT_EQ(scenario.count(PTPOperation::setObjectPropValue), GetParam().settable ? 2u : 0u);
    if (GetParam().settable) {
        EXPECT_EQ(scenario.phone().object(handle)->modified, date);
        EXPECT_EQ(fs.lookup(mainStorage + "/a.txt").object().modified(), date) << "the record is read again";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, MTPFileSystemDateTests,
    ::testing::Values(DateSetting{"Settable",
                                  [](SimulatedPhone& phone) { phone.setModificationDatesSettable(true); },
                                  true, 1},
                      DateSetting{"ReadOnly", [](SimulatedPhone&) {}, false, 1},
                      DateSetting{"NoDescriptions",
                                  [](SimulatedPhone& phone) {
                                      phone.setModificationDatesSettable(true);
                                      phone.setOperationSupported(PTPOperation::getObjectPropDesc, false);
                                  },
                                  false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemChangeTests, ParentAndNameSplitsOffTheLastComponent) {
    scenario.addFolder("Docs/Sub");
    open();
    const auto top = fs->parentAndName("/a");
    EXPECT_EQ(top.parent.kind(), MTPFileSystem::Node::Kind::root);
    EXPECT_EQ(top.name, "a");
    const auto storage = fs->parentAndName(path("x"));
    EXPECT_EQ(storage.parent.kind(), MTPFileSystem::Node::Kind::storage);
    EXPECT_EQ(storage.name, "x");
    const auto deep = fs->parentAndName(path("Docs/Sub/c") + "/");
    EXPECT_EQ(deep.parent.object().handle(), scenario.handle("Docs/Sub"));
    EXPECT_EQ(deep.name, "c");
    for (const char* empty : {"", "/", "///"}) {
        const PTPError error = catchPTPError([&] { fs->parentAndName(empty); });
        EXPECT_EQ(error.kind(), PTPError::Kind::invalidPath);
        EXPECT_EQ(error.text(), empty);
    }
    EXPECT_EQ(catchPTPError([&] { fs->parentAndName(path("Missing/c")); }).text(), path("Missing"));
}

} // namespace
} // namespace corvane::testing
