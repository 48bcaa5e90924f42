#include "Corvane/device/MTPDevice.h"

#include "DeviceTestSupport.h"
#include "ScriptedTransport.h"

#include "Corvane/wire/PTPConstants.h"
#include "platform/foundation/Preferences.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <unistd.h>

namespace corvane {
namespace {

using testing::catchPTPError;
using testing::code;
using testing::DeviceRig;
using testing::Reply;
using testing::ScriptedTransport;
using Call = testing::TransportCall::Kind;

std::vector<std::uint32_t> transactionIDs(const std::vector<PTPContainer>& commands) {
    std::vector<std::uint32_t> ids;
    for (const auto& command : commands) {
        ids.push_back(command.transactionID());
    }
    return ids;
}

// Connecting: the transport choice

struct ConnectCase {
    const char* variable; // nullptr: not set
    std::optional<TransportKind> requested;
    TransportKind expected;
};

TEST(MTPDeviceTests, ConnectChoosesTheTransportByRequestAndEnvironment) {
    const std::vector<ConnectCase> cases = {
        {nullptr, std::nullopt, TransportKind::iousbLib},
        {"host", std::nullopt, TransportKind::iousbHost},
        {"HOST", std::nullopt, TransportKind::iousbLib},
        {"Host", std::nullopt, TransportKind::iousbLib},
        {" host", std::nullopt, TransportKind::iousbLib},
        {"host ", std::nullopt, TransportKind::iousbLib},
        {"hostx", std::nullopt, TransportKind::iousbLib},
        {"", std::nullopt, TransportKind::iousbLib},
        {"host", TransportKind::iousbLib, TransportKind::iousbLib},
        {nullptr, TransportKind::iousbHost, TransportKind::iousbHost},
        {"lib", TransportKind::iousbHost, TransportKind::iousbHost},
    };
    for (const ConnectCase& c : cases) {
        platform::MemoryEnvironment environment{{"TANDALO_PREFERENCES_DIR", "/nonexistent/corvane-tests"}};
        if (c.variable != nullptr) {
            environment.set("CORVANE_TRANSPORT", c.variable);
        }
        std::optional<TransportKind> made;
        TakeOver takeOverSeen = TakeOver::never;
        bool disconnectHandedOver = false;
        TransportFactory factory;
        factory.makeIOUSBLib = [&](const USBDeviceDescriptor&, TakeOver takeOver) {
            made = TransportKind::iousbLib;
            takeOverSeen = takeOver;
            return std::make_unique<ScriptedTransport>();
        };
        factory.makeIOUSBHost = [&](const USBDeviceDescriptor&, std::function<void()> onDisconnect) {
            made = TransportKind::iousbHost;
            disconnectHandedOver = static_cast<bool>(onDisconnect);
            return std::make_unique<ScriptedTransport>();
        };
        MTPDevice::Context context;
        context.environment = &environment;
        context.transportFactory = &factory;
        USBDeviceDescriptor descriptor;
        descriptor.serialNumber = "X1";
        const auto device = MTPDevice::connect(
            descriptor, c.requested, TakeOver::fromCameraService, [] {}, context);
        ASSERT_TRUE(made.has_value());
        EXPECT_EQ(*made, c.expected) << (c.variable ? c.variable : "(unset)");
        EXPECT_EQ(device->descriptor().serialNumber, "X1");
        if (*made == TransportKind::iousbLib) {
            EXPECT_EQ(takeOverSeen, TakeOver::fromCameraService);
        } else {
            EXPECT_TRUE(disconnectHandedOver);
        }
    }
}

TEST(MTPDeviceTests, ConnectPassesTheTransportErrorOnAndCreatesNothing) {
    platform::MemoryEnvironment environment;
    TransportFactory factory;
    factory.makeIOUSBLib = [](const USBDeviceDescriptor&, TakeOver) -> std::unique_ptr<PTPTransport> {
        throw PTPError::deviceBusy("interface is claimed by another process (Image Capture, Photos, adb?)");
    };
    MTPDevice::Context context;
    context.environment = &environment;
    context.transportFactory = &factory;
    const PTPError busy =
        catchPTPError([&] { MTPDevice::connect(USBDeviceDescriptor{}, {}, {}, {}, context); });
    EXPECT_EQ(busy.kind(), PTPError::Kind::deviceBusy);
    EXPECT_EQ(busy.text(), "interface is claimed by another process (Image Capture, Photos, adb?)");
    const PTPError missing = catchPTPError(
        [&] { MTPDevice::connect(USBDeviceDescriptor{}, TransportKind::iousbHost, {}, {}, context); });
    EXPECT_EQ(missing.kind(), PTPError::Kind::usb);
}

TEST(MTPDeviceTests, NewDeviceHasTheDefaults) {
    DeviceRig rig;
    EXPECT_EQ(rig.device->commandTimeout(), Seconds(30));
    EXPECT_EQ(rig.device->dataTimeout(), Seconds(90));
    EXPECT_EQ(rig.device->readChunkSize(), 1048576);
    EXPECT_FALSE(rig.device->info().has_value());
    EXPECT_TRUE(rig.device->isConnected());
    EXPECT_FALSE(rig.device->isTraceEnabled());
    EXPECT_EQ(rig.device->descriptor().vendorID, 0x18D1);
}

// The trace switch and line

TEST(MTPDeviceTests, TraceSwitchFollowsEnvironmentThenPreference) {
    struct Case {
        const char* variable; // nullptr: unset
        std::optional<bool> preference;
        bool expected;
    };
    for (const Case c : {Case{nullptr, std::nullopt, false}, Case{nullptr, true, true},
                         Case{nullptr, false, false}, Case{"", false, true}, Case{"0", std::nullopt, true}}) {
        platform::MemoryEnvironment environment;
        const auto folder =
            std::filesystem::temp_directory_path() / ("corvane-trace-" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder);
        environment.set("TANDALO_PREFERENCES_DIR", folder.string());
        if (c.variable != nullptr) {
            environment.set("CORVANE_TRACE", c.variable);
        }
        if (c.preference) {
            platform::Preferences::standard(environment).setBool("CorvaneTrace", *c.preference);
        }
        EXPECT_EQ(MTPTrace::isRequested(environment), c.expected)
            << (c.variable ? c.variable : "(unset)") << " / " << c.preference.value_or(false);
        std::filesystem::remove_all(folder);
    }
}

TEST(MTPDeviceTests, TraceWritesOneLinePerTransactionAndCopiesToStandardErrorWithTheVariable) {
    DeviceRig rig(testing::allOperations(), {}, 512, {{"CORVANE_TRACE", ""}});
    ASSERT_TRUE(rig.device->isTraceEnabled());
    rig.on(PTPOperation::getObjectInfo,
           [](const PTPContainer&) { return Reply::withData(std::vector<std::byte>(184, std::byte{0})); });
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::error(0x2009); });
    rig.transport->setWriteObserver(
        [&](std::span<const std::byte>) { rig.clock.advance(std::chrono::microseconds(4200)); });
    rig.device->hold()->transaction(PTPOperation::getObjectInfo, {1}, DataPhase::receive());
    EXPECT_THROW(rig.device->hold()->deleteObject(1), PTPError);
    const auto lines = rig.traceLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "getObjectInfo 4.2ms ok 184B");
    EXPECT_EQ(lines[1], "deleteObject 4.2ms deleteObject failed: invalidObjectHandle");
    ASSERT_EQ(rig.standardError.size(), 2u);
    EXPECT_EQ(rig.standardError[0], "[mtp] getObjectInfo 4.2ms ok 184B\n");

    // The variable is looked up for every line.
    rig.environment.unset("CORVANE_TRACE");
    rig.device->hold()->transaction(PTPOperation::getObjectInfo, {1}, DataPhase::receive());
    EXPECT_EQ(rig.traceLines().size(), 3u);
    EXPECT_EQ(rig.standardError.size(), 2u);
}

TEST(MTPDeviceTests, TraceFromThePreferenceStaysOutOfStandardError) {
    DeviceRig setup;
    platform::Preferences::standard(setup.environment).setBool("CorvaneTrace", true);
    // A device made while the preference is set traces; one made before it does not.
    EXPECT_FALSE(setup.device->isTraceEnabled());
    MTPDevice::Context context;
    context.environment = &setup.environment;
    context.logStore = &setup.logStore;
    context.clock = &setup.clock;
    std::vector<std::string> errors;
    context.standardError = [&](std::string_view text) { errors.emplace_back(text); };
    auto transport = std::make_unique<ScriptedTransport>();
    ScriptedTransport& wire = *transport;
    MTPDevice device(std::move(transport), USBDeviceDescriptor{}, context);
    EXPECT_TRUE(device.isTraceEnabled());
    wire.queueResponse(0x2001, 0);
    device.hold()->deleteObject(3);
    EXPECT_EQ(setup.traceLines().size(), 1u);
    EXPECT_TRUE(errors.empty());
}

// Opening, closing and resetting the session

TEST(MTPDeviceTests, OpenReadsDeviceInfoThenOpensSessionZero) {
    DeviceRig rig;
    const DeviceInfo info = rig.device->hold()->open();
    EXPECT_EQ(info.model, "Phone 7");
    ASSERT_TRUE(rig.device->info().has_value());
    EXPECT_EQ(rig.device->info()->serialNumber, "SERIAL42");
    const auto commands = rig.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].code(), code(PTPOperation::getDeviceInfo));
    EXPECT_EQ(commands[0].transactionID(), 0u);
    EXPECT_EQ(commands[1].code(), code(PTPOperation::openSession));
    EXPECT_EQ(commands[1].transactionID(), 0u);
    EXPECT_EQ(commands[1].params(), (std::vector<std::uint32_t>{PTPConstants::defaultSessionID}));
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::ok(); });
    rig.device->hold()->deleteObject(5);
    EXPECT_EQ(rig.commands().back().transactionID(), 1u);
}

TEST(MTPDeviceTests, OpenRecoversASessionLeftOpen) {
    for (const std::uint16_t closeAnswer : {std::uint16_t{0x2001}, std::uint16_t{0x2003}}) {
        DeviceRig rig;
        int opens = 0;
        rig.on(PTPOperation::openSession,
               [&](const PTPContainer&) { return ++opens == 1 ? Reply::error(0x201E) : Reply::ok(); });
        rig.on(PTPOperation::closeSession, [&](const PTPContainer&) { return Reply::error(closeAnswer); });
        EXPECT_NO_THROW(rig.device->hold()->open());
        EXPECT_EQ(
            rig.commandCodes(),
            (std::vector<std::uint16_t>{code(PTPOperation::getDeviceInfo), code(PTPOperation::openSession),
                                        code(PTPOperation::closeSession), code(PTPOperation::openSession)}));
        EXPECT_EQ(transactionIDs(rig.commands()), (std::vector<std::uint32_t>{0, 0, 1, 0}));
        rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::ok(); });
        rig.device->hold()->deleteObject(5);
        EXPECT_EQ(rig.commands().back().transactionID(), 1u);
    }
}

TEST(MTPDeviceTests, OpenFailsAtOnceOnABusyDevice) {
    DeviceRig rig;
    rig.on(PTPOperation::openSession, [](const PTPContainer&) { return Reply::error(0x2019); });
    const PTPError error = catchPTPError([&] { rig.device->hold()->open(); });
    EXPECT_EQ(error.kind(), PTPError::Kind::responseError);
    EXPECT_EQ(error.code(), 0x2019);
    EXPECT_EQ(error.operation(), PTPOperation::openSession);
    EXPECT_TRUE(rig.device->info().has_value());
    EXPECT_EQ(rig.commands().size(), 2u);
    rig.device->close();
    EXPECT_EQ(rig.commands().size(), 2u) << "no session was open, so none is closed";
}

TEST(MTPDeviceTests, OpenFailsWithUnparsableDeviceInfo) {
    DeviceRig rig;
    rig.on(PTPOperation::getDeviceInfo, [](const PTPContainer&) {
        auto dataset = testing::deviceInfoDataset(testing::allOperations());
        dataset.erase(dataset.end() - 3, dataset.end()); // cut inside the serial number
        return Reply::withData(dataset);
    });
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->open(); }).kind(), PTPError::Kind::truncatedData);
    EXPECT_FALSE(rig.device->info().has_value());
    EXPECT_EQ(rig.commands().size(), 1u);
}

TEST(MTPDeviceTests, SecondOpenStartsWithTheNextTransactionID) {
    DeviceRig rig;
    rig.device->hold()->open();
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::ok(); });
    rig.device->hold()->deleteObject(1);
    rig.device->hold()->deleteObject(2);
    rig.transport->clearCalls();
    rig.device->hold()->open();
    EXPECT_EQ(transactionIDs(rig.commands()), (std::vector<std::uint32_t>{3, 0}));
}

TEST(MTPDeviceTests, CloseSendsCloseSessionOnlyForAnOpenSession) {
    DeviceRig rig;
    rig.device->close();
    EXPECT_TRUE(rig.commands().empty());
    EXPECT_EQ(rig.transport->closeCount(), 1u);
    rig.device->close();
    EXPECT_EQ(rig.transport->closeCount(), 2u);

    DeviceRig open;
    open.open();
    open.on(PTPOperation::closeSession, [](const PTPContainer&) { return Reply::error(0x2002); });
    open.device->close();
    EXPECT_EQ(open.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::closeSession)}));
    EXPECT_EQ(open.commands()[0].transactionID(), 1u);
    EXPECT_EQ(open.transport->closeCount(), 1u);
    EXPECT_FALSE(open.device->isConnected());
    open.device->close();
    EXPECT_EQ(open.commands().size(), 1u);
    EXPECT_TRUE(open.device->info().has_value()) << "close keeps the device information";
}

TEST(MTPDeviceTests, ResetForgetsTheSessionAndRestartsIDs) {
    DeviceRig rig;
    rig.open();
    rig.device->hold()->resetDevice();
    EXPECT_EQ(rig.transport->resetCount(), 1u);
    rig.on(PTPOperation::deleteObject, [](const PTPContainer&) { return Reply::ok(); });
    rig.device->hold()->deleteObject(1);
    EXPECT_EQ(rig.commands().back().transactionID(), 0u);
    rig.device->close();
    EXPECT_EQ(rig.commands().size(), 1u) << "no CloseSession after a reset";
}

TEST(MTPDeviceTests, FailedResetChangesNothing) {
    DeviceRig rig;
    rig.open();
    rig.transport->failReset(PTPError::usb("device reset: device disconnected"));
    EXPECT_EQ(catchPTPError([&] { rig.device->hold()->resetDevice(); }).text(),
              "device reset: device disconnected");
    rig.device->close();
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::closeSession)}));
    EXPECT_EQ(rig.commands()[0].transactionID(), 1u);
}

TEST(MTPDeviceTests, RequireOperationPassesEverythingUntilTheInfoIsKnown) {
    DeviceRig rig(testing::operationsWithout({PTPOperation::androidTruncateObject}));
    EXPECT_NO_THROW(rig.device->requireOperation(PTPOperation::androidTruncateObject));
    rig.open();
    const PTPError error =
        catchPTPError([&] { rig.device->requireOperation(PTPOperation::androidTruncateObject); });
    EXPECT_EQ(error.kind(), PTPError::Kind::notSupported);
    EXPECT_EQ(error.description(), "androidTruncateObject not supported by device");
    EXPECT_NO_THROW(rig.device->requireOperation(PTPOperation::getObject));
}

TEST(MTPDeviceTests, TransactionsRunInAnyStateAndBeforeOpen) {
    DeviceRig rig;
    rig.on(PTPOperation::getStorageIDs, [](const PTPContainer&) {
        return Reply::withData(testing::bytes({1, 0, 0, 0, 1, 0, 1, 0}));
    });
    EXPECT_EQ(rig.device->hold()->getStorageIDs(), (std::vector<std::uint32_t>{0x00010001}));
    EXPECT_EQ(rig.commands()[0].transactionID(), 0u);
}

// Recovery at the level of the session

TEST(MTPDeviceTests, ResetDuringRecoveryReopensTheSession) {
    DeviceRig rig;
    rig.open();
    // The device goes silent in the middle of a download; the engine resets it and the session is
    // opened again, so the next operation works without the caller doing anything.
    rig.transport->setResponder(nullptr);
    rig.transport->queuePacket(testing::dataContainer(0x1009, 1, testing::patternBytes(500), 100'012));
    rig.transport->queueReadFailure(PTPError::usb("read timed out"));
    rig.transport->queueResponse(0x2001, 0); // the OpenSession after the reset
    rig.transport->queueResponse(0x2001, 1); // the next operation
    const PTPError error =
        catchPTPError([&] { rig.device->hold()->getObject(7, [](std::span<const std::byte>) {}); });
    EXPECT_EQ(error.text(), "read timed out");
    EXPECT_EQ(rig.transport->resetCount(), 1u);
    rig.device->hold()->deleteObject(9);
    EXPECT_EQ(rig.commandCodes(),
              (std::vector<std::uint16_t>{code(PTPOperation::getObject), code(PTPOperation::openSession),
                                          code(PTPOperation::deleteObject)}));
    EXPECT_EQ(transactionIDs(rig.commands()), (std::vector<std::uint32_t>{1, 0, 1}));
}

// Holding the device

TEST(MTPDeviceTests, ExclusiveRunsSeveralOperationsUnderOneHold) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::sendObjectInfo, [](const PTPContainer&) {
        return Reply::ok({0x10001, 0xFFFFFFFF, 77});
    });
    rig.on(PTPOperation::sendObject, [](const PTPContainer&) { return Reply::ok(); });
    const std::vector<std::byte> contents = testing::patternBytes(300);
    const std::uint32_t handle = rig.device->exclusive([&](MTPDevice::Session& session) {
        const std::uint32_t created = session.createFile(0x10001, 0xFFFFFFFF, "a.txt", contents.size(), {});
        // The device's own members join the hold instead of waiting for it.
        rig.device->hold()->sendObject(contents);
        return created;
    });
    EXPECT_EQ(handle, 77u);
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::sendObjectInfo),
                                                              code(PTPOperation::sendObject)}));
}

TEST(MTPDeviceTests, CallingTheDeviceFromInsideItsDataPhaseIsRefused) {
    DeviceRig rig;
    rig.open();
    rig.on(PTPOperation::getObject,
           [](const PTPContainer&) { return Reply::withData(testing::patternBytes(100)); });
    rig.on(PTPOperation::getObjectInfo, [](const PTPContainer&) { return Reply::error(0x2009); });
    std::optional<PTPError> inner;
    const PTPError error = catchPTPError([&] {
        rig.device->hold()->getObject(3, [&](std::span<const std::byte>) {
            inner = catchPTPError([&] { rig.device->hold()->getObjectInfo(4); });
            throw *inner;
        });
    });
    ASSERT_TRUE(inner.has_value());
    EXPECT_EQ(inner->kind(), PTPError::Kind::deviceBusy);
    EXPECT_EQ(error.kind(), PTPError::Kind::deviceBusy);
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::getObject)}));
    EXPECT_FALSE(rig.transport->sawInterleaving());

    // Through the session the same nesting is refused by the engine.
    rig.transport->clearCalls();
    const PTPError viaSession = catchPTPError([&] {
        rig.device->exclusive([&](MTPDevice::Session& session) {
            session.getObject(3, [&](std::span<const std::byte>) { session.getObjectInfo(4); });
        });
    });
    EXPECT_EQ(viaSession.kind(), PTPError::Kind::deviceBusy);
    EXPECT_EQ(rig.commandCodes(), (std::vector<std::uint16_t>{code(PTPOperation::getObject)}));

    // A session kept past its hold reaches nothing.
    rig.transport->clearCalls();
    MTPDevice::Session* kept = nullptr;
    rig.device->exclusive([&](MTPDevice::Session& session) { kept = &session; });
    EXPECT_THROW(kept->getObjectInfo(4), std::logic_error);
    EXPECT_TRUE(rig.commandCodes().empty());
}

} // namespace
} // namespace corvane
