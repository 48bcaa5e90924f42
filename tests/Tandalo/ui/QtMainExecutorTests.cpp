// The core's tasks on the Qt main thread: work from any thread, timers on the injected clock.
#include "Tandalo/core/Task.h"
#include "Tandalo/ui/QtMainExecutor.h"

#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

namespace tandalo::ui {
namespace {

app::Task<void> sleepThenMark(std::chrono::seconds duration, std::vector<int>& marks, int mark) {
    co_await app::sleep(duration);
    marks.push_back(mark);
}

TEST(QtMainExecutorTests, RunsPostedWorkAndTasksOnTheMainThreadAndTimersOnTheInjectedClock) {
    platform::VirtualClock clock;
    QtMainExecutor executor(clock);
    std::vector<int> marks;
    std::vector<QThread*> threads;
    std::thread poster([&] {
        for (int each = 0; each < 3 * QtMainExecutor::itemsPerTurn; ++each) {
            executor.post([&] { threads.push_back(QThread::currentThread()); });
        }
    });
    poster.join();
    app::spawn(executor, sleepThenMark(std::chrono::seconds(20), marks, 20));
    app::spawn(executor, sleepThenMark(std::chrono::seconds(5), marks, 5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return threads.size() == 3 * QtMainExecutor::itemsPerTurn; }));
    EXPECT_TRUE(
        std::all_of(threads.begin(), threads.end(), [](QThread* each) { return each == qApp->thread(); }));

    QTest::qWait(5);
    EXPECT_TRUE(marks.empty()) << "no time has passed on the clock";
    clock.advance(std::chrono::seconds(5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return marks.size() == 1; }));
    clock.advance(std::chrono::seconds(15));
    ASSERT_TRUE(QTest::qWaitFor([&] { return marks.size() == 2; }));
    EXPECT_EQ(marks, (std::vector<int>{5, 20}));
}

TEST(QtMainExecutorTests, DropsWhatIsQueuedWhenItGoes) {
    platform::VirtualClock clock;
    bool ran = false;
    {
        QtMainExecutor executor(clock);
        executor.post([&] { ran = true; });
        executor.postAt(clock.now(), [&] { ran = true; });
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace tandalo::ui
