#include "platform/foundation/Guarded.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

using platform::Guarded;

TEST(GuardedTests, ContendedUpdatesAreNeverLost) {
    struct Table {
        std::map<int, int> counts;
        std::vector<int> order;
    };
    Guarded<Table> table;
    constexpr int threads = 8;
    constexpr int perThread = 5000;
    {
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < threads; ++thread) {
            writers.emplace_back([&, thread] {
                for (int index = 0; index < perThread; ++index) {
                    table.withLock([&](Table& t) {
                        ++t.counts[index % 10];
                        t.order.push_back(thread);
                    });
                }
            });
        }
        const Guarded<Table>& reader = table;
        for (int read = 0; read < 100; ++read) {
            const auto size = reader.withLock([](const Table& t) { return t.order.size(); });
            EXPECT_LE(size, static_cast<std::size_t>(threads * perThread));
        }
    }
    table.withLock([&](const Table& t) {
        EXPECT_EQ(t.order.size(), static_cast<std::size_t>(threads * perThread));
        for (const auto& [key, count] : t.counts) {
            EXPECT_EQ(count, threads * perThread / 10) << key;
        }
    });
}

TEST(GuardedTests, ConstructsItsValueInPlaceAndReturnsWhatTheFunctionReturns) {
    Guarded<std::vector<int>> values(3, 7);
    EXPECT_EQ(values.withLock([](auto& v) { return v.size(); }), 3u);
    const auto copy = values.withLock([](auto& v) {
        v.push_back(8);
        return v;
    });
    EXPECT_EQ(copy, (std::vector<int>{7, 7, 7, 8}));
}
