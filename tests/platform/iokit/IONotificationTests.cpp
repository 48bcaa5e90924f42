#include "platform/iokit/IOKitLib.h"
#include "simulation/SimulatedBus.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace iokit {
namespace {

simulation::DeviceSpec phone() {
    simulation::DeviceSpec spec;
    spec.vendorID = 0x18D1;
    spec.productID = 0x4EE1;
    spec.serialNumber = "ABC";
    spec.interfaces = {simulation::InterfaceSpec::stillImage(0)};
    return spec;
}

std::vector<std::uint64_t> drainIDs(const io_iterator_t& iterator) {
    std::vector<std::uint64_t> ids;
    while (const auto object = IOIteratorNext(iterator)) {
        std::uint64_t id = 0;
        IORegistryEntryGetRegistryEntryID(object, id);
        ids.push_back(id);
    }
    return ids;
}

// A notification port whose callbacks run when the test drives the loop, and which records what each
// callback drained.
struct Watch {
    explicit Watch(std::string_view type, bool drainInCallback = true) : drain(drainInCallback) {
        port = IONotificationPortCreate(MainPort::forBus(bus));
        loop->addSource(IONotificationPortGetRunLoopSource(port));
        result = IOServiceAddMatchingNotification(
            port, type, IOServiceMatching("IOUSBHostInterface"),
            [this](const io_iterator_t& iterator) {
                std::lock_guard guard(mutex);
                calls.push_back(drain ? drainIDs(iterator) : std::vector<std::uint64_t>{});
            },
            notification);
    }

    // Lets the bus deliver what happened so far, then runs the callbacks it posted.
    std::vector<std::vector<std::uint64_t>> deliver() {
        EXPECT_TRUE(bus->waitUntilIdle());
        loop->runPending();
        std::lock_guard guard(mutex);
        return std::exchange(calls, {});
    }

    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    std::shared_ptr<RunLoop> loop = RunLoop::create();
    bool drain;
    std::mutex mutex;
    std::vector<std::vector<std::uint64_t>> calls;
    IONotificationPortRef port;
    io_iterator_t notification;
    kern_return_t result = kIOReturnError;
};

using Calls = std::vector<std::vector<std::uint64_t>>;

TEST(IONotificationTests, FirstMatchIsArmedOnlyOnceItsIteratorHasBeenDrained) {
    Watch watch(kIOFirstMatchNotification);
    ASSERT_EQ(watch.result, kIOReturnSuccess);
    const auto before = watch.bus->plug(phone());
    EXPECT_EQ(watch.deliver(), Calls{}) << "the iterator was never drained, so the notification is not armed";
    EXPECT_EQ(drainIDs(watch.notification), before.interfaceIDs)
        << "undelivered services wait in the iterator";
    const auto after = watch.bus->plug(phone());
    EXPECT_EQ(watch.deliver(), Calls{after.interfaceIDs});
}

TEST(IONotificationTests, ServicesPresentWhenArmedComeInTheIterator) {
    auto bus = std::make_shared<simulation::SimulatedBus>();
    const auto present = bus->plug(phone());
    auto port = IONotificationPortCreate(MainPort::forBus(bus));
    auto loop = RunLoop::create();
    CFRunLoopAddSource(*loop, IONotificationPortGetRunLoopSource(port));
    int calls = 0;
    io_iterator_t notification;
    ASSERT_EQ(IOServiceAddMatchingNotification(
                  port, kIOFirstMatchNotification, IOServiceMatching("IOUSBHostInterface"),
                  [&](const io_iterator_t& iterator) {
                      ++calls;
                      drainIDs(iterator);
                  },
                  notification),
              kIOReturnSuccess);
    EXPECT_EQ(drainIDs(notification), present.interfaceIDs);
    bus->plug(phone());
    ASSERT_TRUE(bus->waitUntilIdle());
    loop->runPending();
    EXPECT_EQ(calls, 1);
}

TEST(IONotificationTests, CallbackThatLeavesServicesInTheIteratorIsNotCalledAgain) {
    Watch watch(kIOFirstMatchNotification, false);
    drainIDs(watch.notification);
    const auto first = watch.bus->plug(phone());
    EXPECT_EQ(watch.deliver().size(), 1u);
    const auto second = watch.bus->plug(phone());
    EXPECT_EQ(watch.deliver().size(), 0u) << "not drained, not re-armed";
    // Draining re-arms it; both services were kept for the owner.
    std::vector<std::uint64_t> expected = first.interfaceIDs;
    expected.insert(expected.end(), second.interfaceIDs.begin(), second.interfaceIDs.end());
    EXPECT_EQ(drainIDs(watch.notification), expected);
    watch.bus->plug(phone());
    EXPECT_EQ(watch.deliver().size(), 1u);
}

TEST(IONotificationTests, TerminateReportsUnpluggedServicesWithTheirProperties) {
    Watch watch(kIOTerminatedNotification);
    ASSERT_EQ(watch.result, kIOReturnSuccess);
    const auto plugged = watch.bus->plug(phone());
    EXPECT_TRUE(drainIDs(watch.notification).empty()) << "nothing has terminated yet";
    EXPECT_EQ(watch.deliver(), Calls{});

    std::promise<std::optional<std::int64_t>> number;
    auto port = IONotificationPortCreate(MainPort::forBus(watch.bus));
    watch.loop->addSource(IONotificationPortGetRunLoopSource(port));
    io_iterator_t second;
    IOServiceAddMatchingNotification(
        port, kIOTerminatedNotification, IOServiceMatching("IOUSBHostInterface"),
        [&](const io_iterator_t& iterator) {
            const auto service = IOIteratorNext(iterator);
            number.set_value(CFNumberValue(IORegistryEntryCreateCFProperty(service, "bInterfaceNumber")));
            drainIDs(iterator);
        },
        second);
    drainIDs(second);
    watch.bus->unplug(plugged.deviceID);
    EXPECT_EQ(watch.deliver(), Calls{plugged.interfaceIDs});
    EXPECT_EQ(number.get_future().get(), 0);
}

TEST(IONotificationTests, CallbacksRunOnTheRunLoopsThread) {
    auto bus = std::make_shared<simulation::SimulatedBus>();
    auto port = IONotificationPortCreate(MainPort::forBus(bus));
    std::promise<std::shared_ptr<RunLoop>> loopOfWatcher;
    std::promise<std::thread::id> callbackThread;
    std::thread watcher([&] {
        auto loop = RunLoop::current();
        CFRunLoopAddSource(*loop, IONotificationPortGetRunLoopSource(port));
        loopOfWatcher.set_value(loop);
        loop->run();
    });
    const auto loop = loopOfWatcher.get_future().get();
    io_iterator_t notification;
    IOServiceAddMatchingNotification(
        port, kIOFirstMatchNotification, IOServiceMatching("IOUSBHostInterface"),
        [&](const io_iterator_t& iterator) {
            drainIDs(iterator);
            callbackThread.set_value(std::this_thread::get_id());
        },
        notification);
    drainIDs(notification);
    bus->plug(phone());
    EXPECT_EQ(callbackThread.get_future().get(), watcher.get_id());
    loop->stop();
    watcher.join();
}

TEST(IONotificationTests, ADispatchQueueRunsTheCallbacksInsteadOfARunLoop) {
    Watch watch(kIOFirstMatchNotification);
    std::mutex queueMutex;
    std::vector<std::function<void()>> queued;
    const auto takeQueued = [&] {
        EXPECT_TRUE(watch.bus->waitUntilIdle());
        std::lock_guard guard(queueMutex);
        return std::exchange(queued, {});
    };
    IONotificationPortSetDispatchQueue(watch.port, [&](std::function<void()> work) {
        std::lock_guard guard(queueMutex);
        queued.push_back(std::move(work));
    });
    drainIDs(watch.notification);
    const auto plugged = watch.bus->plug(phone());
    auto work = takeQueued();
    EXPECT_EQ(watch.deliver(), Calls{}) << "the run loop is no longer told";
    ASSERT_EQ(work.size(), 1u);
    work.front()();
    EXPECT_EQ(watch.deliver(), Calls{plugged.interfaceIDs});

    IONotificationPortDestroy(watch.port);
    watch.bus->plug(phone());
    EXPECT_TRUE(takeQueued().empty()) << "a destroyed port hands over nothing";
}

TEST(IONotificationTests, ReleasingTheNotificationOrDestroyingThePortEndsIt) {
    {
        Watch watch(kIOFirstMatchNotification);
        drainIDs(watch.notification);
        watch.notification.reset();
        watch.bus->plug(phone());
        EXPECT_EQ(watch.deliver(), Calls{});
    }
    {
        Watch watch(kIOFirstMatchNotification);
        drainIDs(watch.notification);
        watch.bus->plug(phone());
        ASSERT_TRUE(watch.bus->waitUntilIdle());
        IONotificationPortDestroy(watch.port); // a callback was posted but has not run: it is dropped
        EXPECT_EQ(watch.deliver(), Calls{});
        EXPECT_FALSE(IOIteratorNext(watch.notification));
    }
}

TEST(IONotificationTests, RejectsUnknownTypesAndDictionariesWithoutAClass) {
    auto bus = std::make_shared<simulation::SimulatedBus>();
    auto port = IONotificationPortCreate(MainPort::forBus(bus));
    io_iterator_t notification;
    const auto callback = [](const io_iterator_t&) {};
    EXPECT_EQ(IOServiceAddMatchingNotification(port, "IOServiceSometimes",
                                               IOServiceMatching("IOUSBHostInterface"), callback,
                                               notification),
              kIOReturnBadArgument);
    EXPECT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification, IORegistryEntryIDMatching(1),
                                               callback, notification),
              kIOReturnBadArgument);
    bus->setRegistryAvailable(false);
    EXPECT_NE(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                               IOServiceMatching("IOUSBHostInterface"), callback,
                                               notification),
              kIOReturnSuccess);
    EXPECT_FALSE(notification);
    IONotificationPortDestroy(port);
    EXPECT_EQ(IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                               IOServiceMatching("IOUSBHostInterface"), callback,
                                               notification),
              kIOReturnBadArgument);
}

} // namespace
} // namespace iokit
