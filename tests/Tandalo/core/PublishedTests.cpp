#include "Tandalo/core/Published.h"

#include "Tandalo/core/ManualExecutor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tandalo::app {
namespace {

struct Owner {
    Signal<> objectWillChange;
    Published<int> count{objectWillChange, 0};
};

struct Watcher {
    std::vector<std::string> seen;
};

TEST(PublishedTests, AnnouncesTheChangeBeforeStoringIt) {
    Owner owner;
    std::vector<std::string> seen;
    auto announcements = owner.objectWillChange.subscribe(
        [&] { seen.push_back("will change from " + std::to_string(*owner.count)); });
    auto values = owner.count.subscribe([&](const int& value) {
        seen.push_back("value " + std::to_string(value) + " while " + std::to_string(*owner.count));
    });
    owner.count.set(1);
    owner.count.modify([](int& value) { value += 10; });
    EXPECT_EQ(seen, (std::vector<std::string>{"value 0 while 0", "will change from 0", "value 1 while 0",
                                              "will change from 1", "value 11 while 1"}));
}

TEST(PublishedTests, TokensEndSubscriptionsAlsoInsideAnAnnouncement) {
    Signal<int> signal;
    std::vector<int> seen;
    Subscription second;
    auto first = signal.subscribe([&](const int& value) {
        seen.push_back(value);
        second.reset(); // ends the later subscriber before it is reached
    });
    second = signal.subscribe([&](const int& value) { seen.push_back(-value); });
    signal.send(1);
    first = Subscription();
    signal.send(2);
    EXPECT_EQ(seen, std::vector<int>{1});
    EXPECT_EQ(signal.subscriberCount(), 0U);
}

TEST(PublishedTests, QueuedDeliveriesGoToLiveTargetsWithLiveTokensOnly) {
    platform::VirtualClock clock;
    ManualExecutor executor(clock);
    Owner owner;
    auto watcher = std::make_shared<Watcher>();
    auto gone = std::make_shared<Watcher>();
    const auto deliver = [](Watcher& target, const int& value) {
        target.seen.push_back(std::to_string(value));
    };
    auto kept = owner.count.subscribe(executor, std::weak_ptr(watcher), deliver);
    auto orphan = owner.count.subscribe(executor, std::weak_ptr(gone), deliver);
    auto dropped = owner.count.subscribe(executor, std::weak_ptr(watcher), deliver);
    owner.count.set(5);
    EXPECT_TRUE(watcher->seen.empty()) << "deliveries wait for the executor";
    dropped.reset();
    const std::weak_ptr<Watcher> goneWeak = gone;
    gone.reset();
    EXPECT_TRUE(goneWeak.expired()) << "a subscription never keeps its target alive";
    executor.runUntilIdle();
    EXPECT_EQ(watcher->seen, (std::vector<std::string>{"0", "5"}));
}

} // namespace
} // namespace tandalo::app
