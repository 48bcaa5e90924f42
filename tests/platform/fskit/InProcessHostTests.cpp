#include "platform/fskit/InProcessHost.h"

#include "tests/platform/fskit/FakeVolume.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <thread>

namespace fskit {
namespace {

using fake::FakeFileSystem;
using fake::FakeVolume;
using fake::Misbehaviour;

using testsupport::bytesOf;
using testsupport::textOf;

std::vector<std::string> namesOf(const std::vector<PackedEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        names.emplace_back(entry.name.data());
    }
    return names;
}

std::vector<FSDirectoryCookie> cookiesOf(const std::vector<PackedEntry>& entries) {
    std::vector<FSDirectoryCookie> cookies;
    for (const auto& entry : entries) {
        cookies.push_back(entry.nextCookie);
    }
    return cookies;
}

bool hasFault(const InProcessHost& host, const std::string& operation, HostFaultKind kind) {
    const auto faults = host.faults();
    return std::any_of(faults.begin(), faults.end(), [&](const HostFault& fault) {
        return fault.operation == operation && fault.kind == kind;
    });
}

class InProcessHostTests : public ::testing::Test {
protected:
    std::shared_ptr<FakeVolume> fakeVolume() const {
        return std::dynamic_pointer_cast<FakeVolume>(host.volume());
    }

    std::shared_ptr<FSItem> create(const std::shared_ptr<FSItem>& directory, std::string_view name,
                                   FSItemType type = FSItemType::file) {
        auto created = host.createItem(directory, name, type).wait();
        EXPECT_TRUE(created.succeeded()) << name;
        return created.item;
    }

    std::shared_ptr<FakeFileSystem> fileSystem = std::make_shared<FakeFileSystem>();
    InProcessHost host{fileSystem, std::make_shared<FSGenericURLResource>("fake://phone")};
};

TEST_F(InProcessHostTests, LifecycleRunsEachStepOnceInOrder) {
    const auto root = host.start();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(host.root(), root);
    EXPECT_EQ(fileSystem->finishedLoadingCount(), 1);
    EXPECT_EQ(fileSystem->containerStatus().state(), FSContainerStatus::State::ready);

    host.stop();
    EXPECT_EQ(host.volume(), nullptr);
    std::vector<std::string> operations;
    for (const auto& reply : host.replies()) {
        EXPECT_FALSE(reply.error.has_value()) << reply.operation;
        operations.push_back(reply.operation);
    }
    EXPECT_EQ(operations, (std::vector<std::string>{"probeResource", "loadResource", "activate", "mount",
                                                    "unmount", "deactivate", "unloadResource"}));
    EXPECT_TRUE(host.faults().empty());
    EXPECT_EQ(host.outstandingReplies(), 0u);
}

TEST_F(InProcessHostTests, StartThrowsTheLoadErrorAndTheContainerStaysBlocked) {
    InProcessHost missing(fileSystem, std::make_shared<FSGenericURLResource>("fake://missing"));
    try {
        missing.start();
        ADD_FAILURE() << "a failed load must fail the start";
    } catch (const Error& error) {
        EXPECT_TRUE(error.isPOSIX());
        EXPECT_EQ(error.code(), ENXIO);
    }
    const auto status = fileSystem->containerStatus();
    EXPECT_EQ(status.state(), FSContainerStatus::State::blocked);
    ASSERT_TRUE(status.status().has_value());
    EXPECT_EQ(status.status()->code(), ENXIO);
    EXPECT_EQ(missing.volume(), nullptr);
}

TEST_F(InProcessHostTests, StartStopsAtAResourceTheFileSystemDoesNotRecognise) {
    InProcessHost unknown(fileSystem, std::make_shared<FSPathURLResource>("file:///tmp/x.tandalo"));
    try {
        unknown.start();
        ADD_FAILURE() << "an unrecognised resource must not be loaded";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), InProcessHostErrorDomain);
        EXPECT_EQ(error.code(), ENODEV);
    }
    const auto replies = unknown.replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].operation, "probeResource");
}

TEST_F(InProcessHostTests, TaskOptionsReachTheFileSystemAsTheMountToolPassesThem) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--rdonly"}, EROFS},
        {{"-o", "--rdonly"}, EROFS},
        {{"--rdonly=1"}, 0}, // only the exact option means read-only
        {{}, 0},
    };
    for (const auto& [options, expected] : cases) {
        InProcessHost mounted(fileSystem, std::make_shared<FSGenericURLResource>("fake://phone"),
                              {.taskOptions = FSTaskOptions(options)});
        const auto root = mounted.start();
        EXPECT_EQ(mounted.createItem(root, "new.txt", FSItemType::file).wait().errorCode(), expected);
        mounted.stop();
    }
}

TEST_F(InProcessHostTests, OperationsBeforeLoadFailInsteadOfReachingNothing) {
    try {
        (void)host.lookupItem(nullptr, "DCIM");
        ADD_FAILURE() << "there is no volume to ask";
    } catch (const Error& error) {
        EXPECT_EQ(error.domain(), InProcessHostErrorDomain);
        EXPECT_EQ(error.code(), ENXIO);
    }
    EXPECT_EQ(host.outstandingReplies(), 0u);
}

TEST_F(InProcessHostTests, ErrorRepliesCarryPOSIXCodes) {
    const auto root = host.start();
    const auto folder = create(root, "dir", FSItemType::directory);
    const auto file = create(folder, "file.txt");

    const std::pair<std::function<Outcome()>, int> cases[] = {
        {[&]() -> Outcome { return host.lookupItem(root, "nope").wait(); }, ENOENT},
        {[&]() -> Outcome { return host.lookupItem(file, "x").wait(); }, ENOTDIR},
        {[&]() -> Outcome { return host.lookupItem(root, "bad\xFF").wait(); }, EINVAL},
        {[&]() -> Outcome { return host.lookupItem(root, "..").wait(); }, ENOENT},
        {[&]() -> Outcome { return host.createItem(root, "dir", FSItemType::directory).wait(); }, EEXIST},
        {[&]() -> Outcome { return host.createItem(root, "fifo", FSItemType::fifo).wait(); }, ENOTSUP},
        {[&]() -> Outcome { return host.createSymbolicLink(root, "link", "dir").wait(); }, ENOTSUP},
        {[&]() -> Outcome { return host.createLink(file, root, "hard").wait(); }, ENOTSUP},
        {[&]() -> Outcome { return host.readSymbolicLink(file).wait(); }, EINVAL},
        {[&]() -> Outcome { return host.removeItem(folder, root, "dir").wait(); }, ENOTEMPTY},
        {[&]() -> Outcome { return host.removeItem(root, root, "/").wait(); }, EPERM},
        {[&]() -> Outcome { return host.readFromFile(folder, 0, 16).wait(); }, EISDIR},
        {[&]() -> Outcome { return host.writeContents(folder, 0, bytesOf("x")).wait(); }, EISDIR},
        {[&]() -> Outcome { return host.enumerateDirectory(file, 0, 0, std::nullopt, 8).wait(); }, ENOTDIR},
        {[&]() -> Outcome {
             auto request = std::make_shared<FSItemSetAttributesRequest>();
             request->setSize(0);
             return host.setAttributes(folder, request).wait();
         },
         EISDIR},
    };
    for (const auto& [run, expected] : cases) {
        const auto outcome = run();
        ASSERT_TRUE(outcome.error.has_value()) << expected;
        EXPECT_TRUE(outcome.error->isPOSIX());
        EXPECT_EQ(outcome.errorCode(), expected);
    }
    EXPECT_TRUE(host.faults().empty());
    EXPECT_EQ(host.outstandingReplies(), 0u);
}

TEST_F(InProcessHostTests, FilesRoundTripThroughCreateWriteReadAndAttributes) {
    const auto root = host.start();
    auto created = host.createItem(root, "notes.txt", FSItemType::file).wait();
    ASSERT_TRUE(created.succeeded());
    EXPECT_EQ(created.name, FSFileName("notes.txt"));
    const auto file = created.item;

    EXPECT_TRUE(host.openItem(file, FSVolumeOpenMode::read | FSVolumeOpenMode::write).wait().succeeded());
    EXPECT_EQ(host.writeContents(file, 0, bytesOf("hello world")).wait().count, 11u);
    EXPECT_EQ(host.writeContents(file, 11, bytesOf("!!")).wait().count, 2u);

    const auto whole = host.readFromFile(file, 0, 100).wait();
    EXPECT_EQ(whole.count, 13u);
    EXPECT_EQ(textOf(whole.bytes), "hello world!!");
    EXPECT_EQ(textOf(host.readFromFile(file, 6, 5).wait().bytes), "world");
    EXPECT_EQ(host.readFromFile(file, 13, 5).wait().count, 0u);

    auto request = std::make_shared<FSItemSetAttributesRequest>();
    request->setSize(5);
    request->setMode(0600);
    const auto truncated = host.setAttributes(file, request).wait();
    ASSERT_TRUE(truncated.attributes.has_value());
    EXPECT_EQ(truncated.attributes->size(), 5u);
    EXPECT_TRUE(request->wasAttributeConsumed(FSItemAttribute::size));
    EXPECT_FALSE(request->wasAttributeConsumed(FSItemAttribute::mode));
    EXPECT_EQ(textOf(host.readFromFile(file, 0, 100).wait().bytes), "hello");

    const auto attributes = host.getAttributes(file).wait().attributes;
    ASSERT_TRUE(attributes.has_value());
    EXPECT_EQ(attributes->type(), FSItemType::file);
    EXPECT_EQ(attributes->size(), 5u);
    EXPECT_EQ(attributes->parentID(), FSItemIDRootDirectory);
    EXPECT_TRUE(host.closeItem(file, {}).wait().succeeded());

    EXPECT_EQ(host.lookupItem(root, "notes.txt").wait().item, file);
    EXPECT_TRUE(host.faults().empty());
}

TEST_F(InProcessHostTests, RenameMovesAndReplacesTheItemAtTheDestination) {
    const auto root = host.start();
    const auto folder = create(root, "a", FSItemType::directory);
    const auto moving = create(root, "x");
    const auto replaced = create(folder, "y");

    const auto renamed = host.renameItem(moving, root, "x", folder, "y", replaced).wait();
    ASSERT_TRUE(renamed.succeeded());
    EXPECT_EQ(renamed.name, FSFileName("y"));
    EXPECT_EQ(host.lookupItem(folder, "y").wait().item, moving);
    EXPECT_EQ(host.lookupItem(root, "x").wait().errorCode(), ENOENT);
    EXPECT_EQ(host.lookupItem(folder, "..").wait().item, root);
}

TEST_F(InProcessHostTests, EnumerationPagesChainTheirCookies) {
    const auto root = host.start();
    for (const auto* name : {"f1", "f2", "f3", "f4", "f5"}) {
        create(root, name);
    }

    const auto first = host.enumerateDirectory(root, 0, 0, std::nullopt, 3).wait();
    EXPECT_EQ(namesOf(first.entries), (std::vector<std::string>{".", "..", "f1"}));
    EXPECT_EQ(cookiesOf(first.entries), (std::vector<FSDirectoryCookie>{1, 2, 3}));
    EXPECT_TRUE(first.packerFull);
    EXPECT_EQ(first.entries[1].itemID, FSItemIDParentOfRoot);

    const auto second = host.enumerateDirectory(root, 3, first.verifier, std::nullopt, 3).wait();
    EXPECT_EQ(namesOf(second.entries), (std::vector<std::string>{"f2", "f3", "f4"}));
    EXPECT_EQ(cookiesOf(second.entries), (std::vector<FSDirectoryCookie>{4, 5, 6}));

    const auto last = host.enumerateDirectory(root, 6, second.verifier, std::nullopt, 3).wait();
    EXPECT_EQ(namesOf(last.entries), (std::vector<std::string>{"f5"}));
    EXPECT_FALSE(last.packerFull);
    const auto past = host.enumerateDirectory(root, 7, last.verifier, std::nullopt, 3).wait();
    EXPECT_TRUE(past.entries.empty());
    EXPECT_EQ(past.verifier, first.verifier);

    const auto all = host.enumerateAll(root, FSItemGetAttributesRequest(), 2);
    EXPECT_EQ(namesOf(all.entries), (std::vector<std::string>{".", "..", "f1", "f2", "f3", "f4", "f5"}));
    EXPECT_EQ(cookiesOf(all.entries), (std::vector<FSDirectoryCookie>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_FALSE(all.verifierChanged);
    for (const auto& entry : all.entries) {
        ASSERT_TRUE(entry.attributes.has_value()) << entry.name.data();
        EXPECT_EQ(entry.attributes->type(), entry.type);
    }
    EXPECT_FALSE(host.enumerateAll(root, std::nullopt, 2).entries[2].attributes.has_value());
    EXPECT_TRUE(host.faults().empty());
}

TEST_F(InProcessHostTests, VerifierMovesWhenTheFolderChangesBetweenPages) {
    const auto root = host.start();
    for (const auto* name : {"f1", "f2", "f3"}) {
        create(root, name);
    }
    const auto first = host.enumerateDirectory(root, 0, 0, std::nullopt, 2).wait();
    create(root, "f0");
    const auto second =
        host.enumerateDirectory(root, first.entries.back().nextCookie, first.verifier, std::nullopt, 8)
            .wait();
    EXPECT_NE(second.verifier, first.verifier);
    // Positions moved under the new entry: the listing reports it through the verifier, not as an error.
    EXPECT_EQ(namesOf(second.entries), (std::vector<std::string>{"f0", "f1", "f2", "f3"}));

    fakeVolume()->setEnumerationHook([volume = fakeVolume()](FSDirectoryCookie cookie) {
        if (cookie != 0) {
            volume->touch();
        }
    });
    const auto all = host.enumerateAll(root, std::nullopt, 2);
    EXPECT_TRUE(all.verifierChanged);
    EXPECT_EQ(all.entries.size(), 6u);
    fakeVolume()->setEnumerationHook({});
}

TEST_F(InProcessHostTests, BreachesOfTheReplyRulesAreRecorded) {
    struct Case {
        std::string operation;
        Misbehaviour misbehaviour;
        HostFaultKind expected;
        bool waitThrows;
        std::function<void(InProcessHost&, const std::shared_ptr<FSItem>&)> run;
    };
    const Case cases[] = {
        {"lookupItem", Misbehaviour::replyTwice, HostFaultKind::repliedTwice, false,
         [](auto& h, auto& root) { EXPECT_EQ(h.lookupItem(root, ".").wait().item, root); }},
        {"lookupItem", Misbehaviour::neverReply, HostFaultKind::neverReplied, true,
         [](auto& h, auto& root) { (void)h.lookupItem(root, ".").wait(); }},
        {"unmount", Misbehaviour::neverReply, HostFaultKind::neverReplied, true,
         [](auto& h, auto&) { h.unmount(); }},
        {"getAttributes", Misbehaviour::throwFromEntryPoint, HostFaultKind::entryPointThrew, true,
         [](auto& h, auto& root) { (void)h.getAttributes(root).wait(); }},
        {"lookupItem", Misbehaviour::successWithoutResult, HostFaultKind::replyWithoutResult, false,
         [](auto& h, auto& root) { EXPECT_EQ(h.lookupItem(root, ".").wait().item, nullptr); }},
        {"readFromFile", Misbehaviour::overCount, HostFaultKind::countBeyondBuffer, false,
         [](auto& h, auto& root) {
             const auto file = h.createItem(root, "f", FSItemType::file).wait().item;
             const auto read = h.readFromFile(file, 0, 4).wait();
             EXPECT_EQ(read.count, 5u);
             EXPECT_EQ(read.bytes.size(), 4u); // never more than the buffer held
         }},
        {"enumerateDirectory", Misbehaviour::packAfterReply, HostFaultKind::packedAfterReply, false,
         [](auto& h, auto& root) {
             EXPECT_EQ(h.enumerateDirectory(root, 0, 0, std::nullopt, 8).wait().entries.size(), 2u);
         }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.operation + " expecting fault " +
                     std::to_string(static_cast<int>(testCase.expected)));
        InProcessHost checked(fileSystem, std::make_shared<FSGenericURLResource>("fake://phone"));
        const auto root = checked.start();
        std::dynamic_pointer_cast<FakeVolume>(checked.volume())
            ->misbehave(testCase.operation, testCase.misbehaviour);
        if (testCase.waitThrows) {
            try {
                testCase.run(checked, root);
                ADD_FAILURE() << "the wait must fail";
            } catch (const Error& error) {
                EXPECT_EQ(error.domain(), InProcessHostErrorDomain);
                EXPECT_EQ(error.code(), ENOMSG);
            }
        } else {
            testCase.run(checked, root);
        }
        EXPECT_TRUE(hasFault(checked, testCase.operation, testCase.expected));
        EXPECT_EQ(checked.outstandingReplies(), 0u);
    }
}

TEST_F(InProcessHostTests, NoReplyWithinTheLimitFailsTheWaitInsteadOfHanging) {
    platform::VirtualClock clock;
    InProcessHost watched(fileSystem, std::make_shared<FSGenericURLResource>("fake://phone"),
                          {.taskOptions = {}, .replyLimit = std::chrono::seconds(5), .clock = &clock});
    const auto root = watched.start();
    const auto volume = std::dynamic_pointer_cast<FakeVolume>(watched.volume());
    volume->misbehave("lookupItem", Misbehaviour::holdReply);

    const auto pending = watched.lookupItem(root, ".");
    int code = 0;
    std::thread waiter([&] {
        try {
            (void)pending.wait();
        } catch (const Error& error) {
            code = error.code();
        }
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(std::chrono::seconds(5));
    waiter.join();

    EXPECT_EQ(code, ETIMEDOUT);
    EXPECT_TRUE(hasFault(watched, "lookupItem", HostFaultKind::noReplyWithinLimit));
    EXPECT_EQ(watched.outstandingReplies(), 1u);
    EXPECT_FALSE(pending.isReady());

    volume->releaseHeldReplies();
    EXPECT_TRUE(pending.isReady());
    EXPECT_EQ(pending.wait().item, root);
    EXPECT_EQ(watched.outstandingReplies(), 0u);
}

} // namespace
} // namespace fskit
