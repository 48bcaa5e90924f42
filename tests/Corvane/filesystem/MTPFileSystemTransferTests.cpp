#include "FileSystemScenario.h"

#include <ostream>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::testing {
namespace {

using simulation::PhoneFault;
using simulation::SimulatedPhone;

constexpr std::uint64_t GiB = 1ull << 30;
constexpr std::uint64_t MiB = 1ull << 20;

std::string readLocal(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeLocal(const std::filesystem::path& file, std::string_view contents) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

/// The files of a local folder, by name, sorted.
std::vector<std::string> localNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class MTPFileSystemTransferTests : public FileSystemScenario {
protected:
    /// A local folder of the test's own, empty at the start.
    std::filesystem::path local() {
        const std::filesystem::path folder = scenario.scratchFolder() / "local";
        std::filesystem::create_directories(folder);
        return folder;
    }
};

struct ReadRange {
    const char* name;
    friend void PrintTo(const ReadRange& value, std::ostream* out) { *out << value.name; }
    std::uint64_t size;
    std::uint64_t offset;
    std::int64_t length;
    std::uint64_t expectedCount; // 0: nothing may be sent
};

class MTPFileSystemReadTests : public FileSystemScenario, public ::testing::WithParamInterface<ReadRange> {};

TEST_P(MTPFileSystemReadTests, ReadsExactlyTheBytesInsideTheFile) {
    const ReadRange& range = GetParam();
    const std::uint32_t handle = scenario.addGeneratedFile("file.bin", range.size);
    open();
    const MTPObject file = objectAt("file.bin");
    scenario.clearLog();

    const std::vector<std::byte> bytes = fs->read(file, range.offset, range.length);
    EXPECT_EQ(bytes.size(), range.expectedCount);
    if (range.expectedCount == 0) {
        EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
        return;
    }
    EXPECT_EQ(bytes, SimulatedPhone::generatedBytes(handle, range.offset, range.expectedCount));
    const auto transactions = scenario.phone().transactions();
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(transactions[0].operation, rawValue(PTPOperation::androidGetPartialObject64));
    // The 64-bit offset travels low half first, and the device is never asked past the end.
    EXPECT_EQ(transactions[0].params,
              (std::vector<std::uint32_t>{handle, static_cast<std::uint32_t>(range.offset),
                                          static_cast<std::uint32_t>(range.offset >> 32),
                                          static_cast<std::uint32_t>(range.expectedCount)}));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, MTPFileSystemReadTests,
    ::testing::Values(ReadRange{"Start", 1000, 0, 10, 10}, ReadRange{"Whole", 1000, 0, 1000, 1000},
                      ReadRange{"MoreThanTheWhole", 1000, 0, 5000, 1000},
                      ReadRange{"LastTenOfAMegabyteAsked", 1000, 990, 1 << 20, 10},
                      ReadRange{"LastByte", 1000, 999, 1, 1}, ReadRange{"AtTheEnd", 1000, 1000, 10, 0},
                      ReadRange{"PastTheEnd", 1000, 5000, 10, 0}, ReadRange{"ZeroLength", 1000, 10, 0, 0},
                      ReadRange{"NegativeLength", 1000, 10, -5, 0}, ReadRange{"EmptyFile", 0, 0, 10, 0},
                      ReadRange{"Across4GiB", 6 * GiB, 4 * GiB - 3, 8, 8},
                      ReadRange{"Above4GiB", 6 * GiB, 5 * GiB + 7, 16, 16},
                      ReadRange{"EndAbove4GiB", 6 * GiB, 6 * GiB - 4, 1 << 20, 4},
                      ReadRange{"PastTheEndAbove4GiB", 6 * GiB, 7 * GiB, 16, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MTPFileSystemTransferTests, ReadFallsBackToThe32BitPartialReadWithoutTheAndroidOne) {
    scenario.phone().setOperationSupported(PTPOperation::androidGetPartialObject64, false);
    const std::uint32_t handle = scenario.addFile("a.txt", "hello world");
    open();
    EXPECT_EQ(textOf(fs->read(objectAt("a.txt"), 6, 100)), "world");
    const auto transactions = scenario.phone().transactions();
    ASSERT_FALSE(transactions.empty());
    EXPECT_EQ(transactions.back().operation, rawValue(PTPOperation::getPartialObject));
    EXPECT_EQ(transactions.back().params, (std::vector<std::uint32_t>{handle, 6, 5}));
}

TEST_F(MTPFileSystemTransferTests, AShortPartialAnswerIsFollowedByAReadOfTheRestUntilTheDeviceHasNoMore) {
    struct Case {
        const char* what;
        std::vector<std::size_t> kept; // the payload bytes that each answer in turn keeps at most
        std::size_t expected;          // the bytes read
        std::size_t answers;           // the partial reads asked for
    };
    // A short read would reach the kernel as the end of the file, and a copy would stop there silently.
    const std::vector<Case> cases{
        {"one answer cut in half", {500}, 1000, 2},
        {"every answer capped at 300 bytes", {300, 300, 300, 300}, 1000, 4},
        {"the file ended early on the device", {500, 0}, 500, 2},
        {"nothing at all", {0}, 0, 1},
    };
    std::vector<std::uint32_t> handles;
    for (std::size_t index = 0; index < cases.size(); ++index) {
        handles.push_back(scenario.addGeneratedFile("file" + std::to_string(index) + ".bin", 1000));
    }
    open();
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const auto& each = cases[index];
        SCOPED_TRACE(each.what);
        const MTPObject file = objectAt("file" + std::to_string(index) + ".bin");
        scenario.clearLog();
        auto answer = std::make_shared<std::size_t>(0);
        scenario.phone().injectFault(PTPOperation::androidGetPartialObject64,
                                     PhoneFault::transformData([kept = each.kept, answer](auto& data) {
                                         if (*answer < kept.size()) {
                                             data.resize(std::min(kept[*answer], data.size()));
                                         }
                                         ++*answer;
                                     }),
                                     1, SimulatedPhone::always);
        const std::vector<std::byte> bytes = fs->read(file, 0, 1000);
        EXPECT_EQ(bytes, SimulatedPhone::generatedBytes(handles[index], 0, each.expected));
        EXPECT_EQ(*answer, each.answers) << scenario.operationNames();
        scenario.phone().clearFaults();
    }
}

TEST_F(MTPFileSystemTransferTests, FoldersCannotBeReadOrDownloaded) {
    scenario.addFolder("Music");
    open();
    const MTPObject folder = objectAt("Music");
    scenario.clearLog();
    for (const PTPError& error : {catchPTPError([&] { fs->read(folder, 0, 10); }),
                                  catchPTPError([&] { fs->download(folder, local() / "x"); })}) {
        EXPECT_EQ(error.kind(), PTPError::Kind::isADirectory);
        EXPECT_EQ(error.text(), "Music");
    }
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

TEST_F(MTPFileSystemTransferTests, DownloadIsByteIdenticalAndReportsRisingProgress) {
    scenario.device().setReadChunkSize(256 * 1024);
    const std::uint64_t size = 3 * MiB + 123;
    const std::uint32_t handle = scenario.addGeneratedFile("big.bin", size);
    open();
    std::vector<std::uint64_t> progress;
    const std::filesystem::path target = local() / "big.bin";
    fs->download(objectAt("big.bin"), target, [&](std::uint64_t bytes) { progress.push_back(bytes); });

    const std::vector<std::byte> expected = scenario.phone().contents(handle);
    EXPECT_EQ(readLocal(target), textOf(expected));
    ASSERT_GT(progress.size(), 1u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end()), progress.end()) << "values repeat";
    EXPECT_EQ(progress.back(), size);
    EXPECT_EQ(localNames(local()), std::vector<std::string>{"big.bin"}) << "no temporary file stays";
}

TEST_F(MTPFileSystemTransferTests, DownloadOfAnEmptyFileLeavesAnEmptyFileAndReplacesAnOldOne) {
    scenario.addFile("empty.txt", "");
    open();
    const std::filesystem::path target = local() / "empty.txt";
    writeLocal(target, "previous contents");
    fs->download(objectAt("empty.txt"), target);
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
}

TEST_F(MTPFileSystemTransferTests, DownloadIntoAMissingFolderCannotOpen) {
    scenario.addFile("a.txt", "a");
    open();
    const std::filesystem::path target = local() / "missing" / "a.txt";
    const PTPError error = catchPTPError([&] { fs->download(objectAt("a.txt"), target); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.text().rfind("cannot open " + target.string() + ": ", 0), 0u) << error.text();
}

TEST_F(MTPFileSystemTransferTests, DownloadOntoAFolderCannotOpenAndSendsNothing) {
    scenario.addFile("a.txt", "a");
    open();
    const MTPObject file = objectAt("a.txt");
    scenario.clearLog();
    const PTPError error = catchPTPError([&] { fs->download(file, local()); });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.text().rfind("cannot open " + local().string(), 0), 0u) << error.text();
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

TEST_F(MTPFileSystemTransferTests, FailedDownloadLeavesNoPartialFile) {
    scenario.device().setReadChunkSize(256 * 1024);
    scenario.addGeneratedFile("big.bin", 3 * MiB);
    open();
    const MTPObject file = objectAt("big.bin");
    for (const bool destinationExists : {false, true}) {
        SCOPED_TRACE(destinationExists ? "over an existing file" : "into a new file");
        const std::filesystem::path target = local() / "big.bin";
        std::filesystem::remove(target);
        if (destinationExists) {
            writeLocal(target, "the user's own copy");
        }
        scenario.phone().injectFault(PTPOperation::getObject, PhoneFault::stallIn(MiB));
        std::uint64_t received = 0;
        const PTPError error = catchPTPError(
            [&] { fs->download(file, target, [&](std::uint64_t bytes) { received = bytes; }); });
        EXPECT_NE(error.kind(), PTPError::Kind::cancelled) << error.description();
        EXPECT_GT(received, 0u) << "the transfer should have started";
        if (destinationExists) {
            EXPECT_EQ(readLocal(target), "the user's own copy");
            EXPECT_EQ(localNames(local()), std::vector<std::string>{"big.bin"});
        } else {
            EXPECT_TRUE(localNames(local()).empty());
        }
    }
}

// Uploading

class MTPFileSystemUploadTests : public MTPFileSystemTransferTests {
protected:
    std::filesystem::path localFile(std::string_view name, std::string_view contents) {
        const std::filesystem::path file = local() / name;
        writeLocal(file, contents);
        return file;
    }
};

TEST_F(MTPFileSystemUploadTests, UploadsUnderTheFilesOwnNameOrTheGivenOne) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    const std::filesystem::path file = localFile("notes.txt", "hello");
    const auto written = std::chrono::sys_seconds(std::chrono::seconds(1700000000));
    std::filesystem::last_write_time(file, std::chrono::file_clock::from_sys(written));

    const MTPObject uploaded = fs->upload(file, path("Docs"));
    EXPECT_EQ(uploaded.name(), "notes.txt");
    EXPECT_EQ(uploaded.handle(), scenario.handle("Docs/notes.txt"));
    EXPECT_EQ(uploaded.size(), 5u);
    EXPECT_EQ(uploaded.modified(), written) << "the local file's date travels with it";
    EXPECT_EQ(scenario.contents("Docs/notes.txt"), "hello");

    const MTPObject renamed = fs->upload(file, path("Docs"), "other.txt");
    EXPECT_EQ(renamed.name(), "other.txt");
    EXPECT_EQ(scenario.contents("Docs/other.txt"), "hello");
    scenario.clearLog();
    EXPECT_EQ(sorted(namesOf(fs->list(scenario.storage(), docs))),
              (std::vector<std::string>{"notes.txt", "other.txt"}));
    EXPECT_EQ(listings(), 1u) << "an upload drops the folder's listing";
    fs->object(renamed.handle());
    EXPECT_EQ(scenario.count(PTPOperation::getObjectInfo), 0u) << "the returned record is cached";
}

TEST_F(MTPFileSystemUploadTests, ProgressRisesChunkByChunkToTheSize) {
    scenario.device().setReadChunkSize(64 * 1024);
    scenario.addFolder("Docs");
    open();
    std::string contents(200 * 1024 + 5, '\0');
    for (std::size_t index = 0; index < contents.size(); ++index) {
        contents[index] = static_cast<char>(index * 7);
    }
    std::vector<std::uint64_t> progress;
    fs->upload(localFile("big.bin", contents), path("Docs"), std::nullopt,
               [&](std::uint64_t bytes) { progress.push_back(bytes); });
    EXPECT_EQ(scenario.contents("Docs/big.bin"), contents);
    ASSERT_GT(progress.size(), 2u);
    EXPECT_GT(progress.front(), 0u);
    EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end(), std::greater_equal<>()), progress.end());
    EXPECT_EQ(progress.back(), contents.size());
}

TEST_F(MTPFileSystemUploadTests, AnEmptyFileSendsAnEmptyDataPhaseAndNoProgress) {
    scenario.addFolder("Docs");
    open();
    const std::filesystem::path file = localFile("empty", "");
    fs->list(path("Docs"));
    scenario.clearLog();
    bool called = false;
    fs->upload(file, path("Docs"), std::nullopt, [&](std::uint64_t) { called = true; });
    EXPECT_FALSE(called);
    const auto transactions = scenario.phone().transactions();
    ASSERT_GE(transactions.size(), 2u);
    EXPECT_EQ(transactions[0].operation, rawValue(PTPOperation::sendObjectInfo));
    EXPECT_EQ(transactions[1].operation, rawValue(PTPOperation::sendObject));
    EXPECT_EQ(transactions[1].dataOutBytes, 0u);
    EXPECT_EQ(scenario.phone().object(scenario.handle("Docs/empty"))->size, 0u);
}

TEST_F(MTPFileSystemUploadTests, ReplacesAFileOfAnEquivalentNameOnlyOnceTheNewOneHasArrived) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    const std::uint32_t old = scenario.addFile("Docs/Caf\xC3\xA9.txt", "old");
    open();
    fs->list(path("Docs"));
    scenario.clearLog();
    const MTPObject uploaded = fs->upload(localFile("local.txt", "new"), path("Docs"), "Cafe\xCC\x81.txt");
    EXPECT_EQ(scenario.operations(), (std::vector<std::uint16_t>{rawValue(PTPOperation::sendObjectInfo),
                                                                 rawValue(PTPOperation::sendObject),
                                                                 rawValue(PTPOperation::deleteObject),
                                                                 rawValue(PTPOperation::setObjectPropValue)}))
        << scenario.operationNames();
    EXPECT_EQ(scenario.phone().transactions()[2].params, (std::vector<std::uint32_t>{old, 0}));
    EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"Cafe\xCC\x81.txt"});
    EXPECT_EQ(scenario.phone().contentsText(uploaded.handle()), "new");
}

TEST_F(MTPFileSystemUploadTests, AFailedSendLeavesTheReplacedFileAsItWas) {
    const std::uint32_t docs = scenario.addFolder("Docs");
    scenario.addFile("Docs/a.txt", "old");
    open();
    scenario.phone().injectFault(PTPOperation::sendObject, PhoneFault::respond(0x2002));
    const PTPError error = catchPTPError([&] { fs->upload(localFile("a.txt", "new"), path("Docs")); });
    EXPECT_EQ(error.operation(), PTPOperation::sendObject);
    EXPECT_EQ(phoneNames(docs), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(scenario.contents("Docs/a.txt"), "old");
    EXPECT_EQ(namesOf(fs->list(path("Docs"))), std::vector<std::string>{"a.txt"});
}

TEST_F(MTPFileSystemUploadTests, AFolderOfTheSameNameIsRefusedAndKept) {
    scenario.addFile("Docs/Photos/p.jpg", "jpeg");
    open();
    fs->list(path("Docs"));
    scenario.clearLog();
    const PTPError error = catchPTPError([&] { fs->upload(localFile("Photos", "x"), path("Docs")); });
    EXPECT_EQ(error.kind(), PTPError::Kind::alreadyExists);
    EXPECT_EQ(error.text(), "Photos");
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
    EXPECT_TRUE(scenario.exists("Docs/Photos/p.jpg"));
}

TEST_F(MTPFileSystemUploadTests, AFileThatCannotBeOpenedSendsNothing) {
    scenario.addFolder("Docs");
    open();
    const std::filesystem::path file = localFile("secret.txt", "secret");
    std::filesystem::permissions(file, std::filesystem::perms::none);
    fs->list(path("Docs"));
    scenario.clearLog();
    // Permissions do not stop the superuser: the upload then runs as an ordinary user for a moment.
    const bool dropped = ::geteuid() == 0 && ::seteuid(65534) == 0;
    const PTPError error = catchPTPError([&] { fs->upload(file, path("Docs")); });
    if (dropped) {
        EXPECT_EQ(::seteuid(0), 0);
    }
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.text().rfind("cannot open " + file.string() + ": ", 0), 0u) << error.text();
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
    EXPECT_FALSE(scenario.exists("Docs/secret.txt"));
}

TEST_F(MTPFileSystemUploadTests, AFileThatShrinksWhileItIsSentFailsWithAReadError) {
    scenario.device().setReadChunkSize(64 * 1024);
    const std::uint32_t docs = scenario.addFolder("Docs");
    open();
    const std::filesystem::path file = localFile("shrinking.bin", std::string(300 * 1024, 'x'));
    fs->list(path("Docs"));
    const PTPError error = catchPTPError([&] {
        fs->upload(file, path("Docs"), std::nullopt,
                   [&](std::uint64_t) { std::filesystem::resize_file(file, 0); });
    });
    EXPECT_EQ(error.kind(), PTPError::Kind::io);
    EXPECT_EQ(error.text().rfind("read failed: ", 0), 0u) << error.text();
    // Whatever the phone kept of the object, the file system shows the same.
    EXPECT_EQ(sorted(namesOf(fs->list(scenario.storage(), docs))), phoneNames(docs));
}

TEST_F(MTPFileSystemUploadTests, BadDestinationsAndMissingFilesSendNothing) {
    scenario.addFile("Docs/file.txt", "f");
    open();
    const std::filesystem::path file = localFile("a.txt", "a");
    fs->lookup(path("Docs/file.txt"));
    scenario.clearLog();
    struct Refusal {
        std::string to;
        PTPError::Kind kind;
    };
    for (const Refusal& refusal :
         {Refusal{path("Docs/file.txt"), PTPError::Kind::notADirectory},
          Refusal{"/", PTPError::Kind::invalidPath}, Refusal{path("Missing"), PTPError::Kind::invalidPath}}) {
        const PTPError error = catchPTPError([&] { fs->upload(file, refusal.to); });
        EXPECT_EQ(error.kind(), refusal.kind);
        EXPECT_EQ(error.text(), refusal.to);
    }
    EXPECT_THROW(fs->upload(local() / "missing.txt", path("Docs")), std::filesystem::filesystem_error);
    EXPECT_TRUE(scenario.operations().empty()) << scenario.operationNames();
}

} // namespace
} // namespace corvane::testing
