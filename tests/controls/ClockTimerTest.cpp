#include "controls/ClockTimer.h"

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs the GUI event loop until `done` holds; false when a generous deadline passed first.
bool processUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

class ClockTimerModes : public ::testing::TestWithParam<TClockTimerType> {};

} // namespace

TEST_P(ClockTimerModes, TicksArriveOnTheGuiThread) {
    TClockTimer timer;
    timer.setTimerType(GetParam());
    timer.setInterval(2);
    int ticks = 0;
    bool offThread = false;
    timer.setOnTimer([&] {
        ++ticks;
        offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
    });
    ASSERT_TRUE(processUntil([&] { return ticks >= 3; }));
    EXPECT_FALSE(offThread);
}

TEST_P(ClockTimerModes, AFailingHandlerIsReportedAndTheTimerGoesOn) {
    TClockTimer timer;
    timer.setTimerType(GetParam());
    timer.setInterval(2);
    std::vector<QString> errors;
    timer.setErrorHandler([&](const QString& text) { errors.push_back(text); });
    int ticks = 0;
    timer.setOnTimer([&] {
        if (++ticks == 1)
            throw std::runtime_error("Clock face lost.");
    });
    ASSERT_TRUE(processUntil([&] { return ticks >= 3; }));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front(), QStringLiteral("Clock face lost."));
}

TEST_P(ClockTimerModes, WithoutAnErrorHandlerTheTextGoesToStandardError) {
    TClockTimer timer;
    timer.setTimerType(GetParam());
    timer.setInterval(2);
    int ticks = 0;
    testing::internal::CaptureStderr();
    timer.setOnTimer([&] {
        ++ticks;
        throw 42; // not even a standard exception
    });
    const bool ticked = processUntil([&] { return ticks >= 2; });
    timer.setEnabled(false);
    const std::string output = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ticked);
    EXPECT_NE(output.find("Unknown error in the clock timer."), std::string::npos) << output;
}

TEST_P(ClockTimerModes, AHandlerMayDestroyItsTimer) {
    auto timer = std::make_unique<TClockTimer>();
    timer->setTimerType(GetParam());
    timer->setInterval(2);
    timer->setOnTimer([&] { timer.reset(); });
    ASSERT_TRUE(processUntil([&] { return timer == nullptr; }));
    QCoreApplication::processEvents(); // nothing left behind may fire
}

TEST_P(ClockTimerModes, SwitchedOffItDeliversNothing) {
    TClockTimer timer;
    timer.setTimerType(GetParam());
    timer.setInterval(2);
    int ticks = 0;
    timer.setOnTimer([&] { ++ticks; });
    ASSERT_TRUE(processUntil([&] { return ticks >= 1; }));
    timer.setEnabled(false);
    const int stopped = ticks;
    const auto until = std::chrono::steady_clock::now() + 50ms;
    processUntil([&] { return std::chrono::steady_clock::now() > until; });
    EXPECT_EQ(ticks, stopped);

    timer.setEnabled(true);
    EXPECT_TRUE(processUntil([&] { return ticks > stopped; }));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ClockTimerModes,
                         ::testing::Values(TClockTimerType::ttThread, TClockTimerType::ttSystem),
                         [](const auto& info) {
                             return info.param == TClockTimerType::ttThread ? "Thread" : "System";
                         });

TEST(ClockTimer, WithoutSyncEventTheTickRunsOnTheWorker) {
    TClockTimer timer;
    timer.setSyncEvent(false);
    timer.setInterval(2);
    std::atomic<int> ticks = 0;
    std::atomic<bool> onGui = false;
    timer.setOnTimer([&] {
        onGui = onGui || QThread::currentThread() == QCoreApplication::instance()->thread();
        ++ticks;
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ticks < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms); // no event processing: the worker needs none
    EXPECT_GE(ticks, 2);
    EXPECT_FALSE(onGui);
}

TEST(ClockTimer, DestructionStopsTheThreadPromptly) {
    auto timer = std::make_unique<TClockTimer>();
    timer->setInterval(600'000); // ten minutes: only the stop event can end the wait
    timer->setOnTimer([] {});
    const auto start = std::chrono::steady_clock::now();
    timer.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(ClockTimer, DestructionWhileATickWaitsForTheGuiThread) {
    int ticks = 0;
    auto timer = std::make_unique<TClockTimer>();
    timer->setInterval(1);
    timer->setOnTimer([&] { ++ticks; });
    // The GUI thread does not take the tick, so the worker sits in the hand-off.
    std::this_thread::sleep_for(30ms);
    timer.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 0);
}

TEST(ClockTimer, ChangingTheKindWhileRunningKeepsTicking) {
    TClockTimer timer;
    timer.setInterval(2);
    int ticks = 0;
    timer.setOnTimer([&] { ++ticks; });
    ASSERT_TRUE(processUntil([&] { return ticks >= 1; }));
    timer.setTimerType(TClockTimerType::ttSystem);
    const int before = ticks;
    ASSERT_TRUE(processUntil([&] { return ticks >= before + 2; }));
    timer.setTimerType(TClockTimerType::ttThread);
    const int later = ticks;
    EXPECT_TRUE(processUntil([&] { return ticks >= later + 2; }));
}

TEST(ClockTimer, SystemTimerRefusedReportsNoTimerResources) {
    // A plain thread has no event loop, so the platform cannot give it a GUI timer.
    std::string error;
    std::thread([&] {
        TClockTimer timer;
        timer.setTimerType(TClockTimerType::ttSystem);
        try {
            timer.setOnTimer([] {});
        } catch (const EOutOfResources& e) {
            error = e.what();
        }
    }).join();
    EXPECT_EQ(error, "No timer resources left.");
}
