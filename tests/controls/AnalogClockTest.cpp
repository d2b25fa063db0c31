#include "controls/AnalogClock.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const QColor lime(0, 255, 0);
const QColor green(0, 128, 0);
const QColor black(0, 0, 0);

// A settable local time, so ticks are simulated rather than waited for.
struct FakeTime {
    QDateTime now{QDate(2024, 5, 17), QTime(11, 59, 30)};
    TAnalogClock::TimeSource source() {
        return [this] { return now; };
    }
};

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// A parent that fills itself with one colour and counts its paints.
class PlainParent : public QWidget {
public:
    explicit PlainParent(QColor fill) : fill_(fill) {}
    int paints = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        ++paints;
        QPainter(this).fillRect(rect(), fill_);
    }

private:
    QColor fill_;
};

QColor pixel(const QImage& image, int x, int y) {
    return image.pixelColor(x, y);
}

} // namespace

TEST(AnalogClock, ActiveClockFollowsItsTimerInBothKinds) {
    for (bool threaded : {true, false}) {
        // Every reading of the time is one second later, so every tick moves the seconds hand.
        QDateTime now(QDate(2024, 5, 17), QTime(8, 0, 0));
        TAnalogClock clock(nullptr, [&now] { return now = now.addSecs(1); });
        clock.setThreaded(threaded);
        clock.clockTimer().setInterval(2);
        int seconds = 0;
        QObject::connect(&clock, &TAnalogClock::secondsChanged, [&] { ++seconds; });
        clock.setActive(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (seconds < 3 && std::chrono::steady_clock::now() < deadline)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        EXPECT_GE(seconds, 3) << "threaded " << threaded;

        clock.setActive(false);
        QApplication::processEvents();
        const int stopped = seconds;
        clock.TimerTick(); // still works by hand
        EXPECT_EQ(seconds, stopped + 1);
    }
}

TEST(AnalogClock, TickWidthAcceptsOnlyPositiveValues) {
    TAnalogClock clock;
    for (int rejected : {0, -1, -100}) {
        clock.setTickWidth(rejected);
        EXPECT_EQ(clock.tickWidth(), 2) << rejected;
    }
    clock.setTickWidth(5);
    EXPECT_EQ(clock.tickWidth(), 5);
}

TEST(AnalogClock, RedrawsEachSecondWithSecondsHandAndEachMinuteWithout) {
    for (bool secondsHand : {true, false}) {
        FakeTime time;
        TAnalogClock clock(nullptr, time.source());
        clock.setSecondsIndicator(secondsHand);
        clock.show();
        QApplication::processEvents();
        PaintCounter paints(&clock);

        // 150 ticks, two per second, from 11:59:30.000 to 12:00:44.500.
        for (int tick = 0; tick < 150; ++tick) {
            time.now = QDateTime(QDate(2024, 5, 17), QTime(11, 59, 30)).addMSecs(tick * 500);
            clock.TimerTick();
        }
        // The first tick is still 11:59:30, as at construction: 74 second changes, one of
        // them to a new minute.
        EXPECT_EQ(paints.count, secondsHand ? 74 : 1) << "seconds hand " << secondsHand;
    }
}

TEST(AnalogClock, ReportsHourMinuteAndSecondChangesInThatOrder) {
    FakeTime time;
    time.now = QDateTime(QDate(2024, 5, 17), QTime(11, 59, 59));
    TAnalogClock clock(nullptr, time.source());
    std::vector<std::string> events; // "m0" shows that construction already read 11:59:59
    QObject::connect(&clock, &TAnalogClock::hoursChanged,
                     [&](quint16 h) { events.push_back("h" + std::to_string(h)); });
    QObject::connect(&clock, &TAnalogClock::minutesChanged,
                     [&](quint16 m) { events.push_back("m" + std::to_string(m)); });
    QObject::connect(&clock, &TAnalogClock::secondsChanged,
                     [&](quint16 s) { events.push_back("s" + std::to_string(s)); });

    time.now = QDateTime(QDate(2024, 5, 17), QTime(12, 0, 0));
    clock.TimerTick();
    EXPECT_EQ(events, (std::vector<std::string>{"h12", "m0", "s0"}));

    events.clear();
    time.now = time.now.addMSecs(400); // same second
    clock.TimerTick();
    time.now = time.now.addMSecs(600);
    clock.TimerTick();
    EXPECT_EQ(events, (std::vector<std::string>{"s1"}));
}

TEST(AnalogClock, AlarmFiresOnlyWithinItsSecondOnItsDate) {
    const QDate today(2024, 5, 17);
    const struct {
        const char* name;
        bool enabled;
        double alarmTime;
        int expected;
    } cases[] = {
        {"today", true, TAnalogClock::dateTimeValue(QDateTime(today, QTime(14, 30, 0))), 2},
        {"disabled", false, TAnalogClock::dateTimeValue(QDateTime(today, QTime(14, 30, 0))), 0},
        {"yesterday", true,
         TAnalogClock::dateTimeValue(QDateTime(today.addDays(-1), QTime(14, 30, 0))), 0},
        {"zero", true, 0.0, 0},
    };
    for (const auto& c : cases) {
        FakeTime time;
        time.now = QDateTime(today, QTime(14, 29, 58));
        TAnalogClock clock(nullptr, time.source());
        clock.setEnableAlarm(c.enabled);
        clock.setAlarmTime(c.alarmTime);
        int alarms = 0;
        QObject::connect(&clock, &TAnalogClock::alarm, [&] { ++alarms; });
        // Ticks at 14:29:59.5, 14:30:00.0, 14:30:00.5, 14:30:01.0: two fall within the second.
        for (int tick = 3; tick <= 6; ++tick) {
            time.now = QDateTime(today, QTime(14, 29, 58)).addMSecs(tick * 500);
            clock.TimerTick();
        }
        EXPECT_EQ(alarms, c.expected) << c.name;
    }
}

TEST(AnalogClock, AClockDestroyedByItsOwnEventStopsTheTick) {
    FakeTime time;
    QPointer<TAnalogClock> clock = new TAnalogClock(nullptr, time.source());
    int seconds = 0;
    QObject::connect(clock, &TAnalogClock::minutesChanged, [&] { delete clock.data(); });
    QObject::connect(clock, &TAnalogClock::secondsChanged, [&] { ++seconds; });
    time.now = time.now.addSecs(60);
    clock->TimerTick();
    EXPECT_TRUE(clock.isNull());
    EXPECT_EQ(seconds, 0);
}

TEST(AnalogClock, DrawsAReadableFace) {
    FakeTime time;
    time.now = QDateTime(QDate(2024, 5, 17), QTime(3, 0, 45));
    TAnalogClock clock(nullptr, time.source());
    clock.resize(109, 80);
    clock.setSecHandColor(QColor(255, 0, 0)); // to tell the hands apart
    const QImage face = clock.grab().toImage();
    ASSERT_EQ(face.size(), QSize(109, 80));

    EXPECT_EQ(pixel(face, 0, 0), black);
    EXPECT_EQ(pixel(face, 108, 79), black);
    EXPECT_EQ(pixel(face, 70, 40), lime);              // hour hand to the right, 21 long
    EXPECT_EQ(pixel(face, 76, 40), black);             // and no longer
    EXPECT_EQ(pixel(face, 54, 15), lime);              // minute hand straight up, 27 long
    EXPECT_EQ(pixel(face, 35, 40), QColor(255, 0, 0)); // seconds hand to the left
    EXPECT_EQ(pixel(face, 60, 40), QColor(255, 0, 0)); // its tail, drawn over the hour hand
    EXPECT_EQ(pixel(face, 54, 80 - 10), lime);         // 6 o'clock mark filled lime
    EXPECT_EQ(pixel(face, 54 - 2, 70), green);         // with a green outline
    EXPECT_EQ(pixel(face, 84, 40), lime);              // 3 o'clock mark on radius 30

    clock.setHourMarks(false);
    EXPECT_EQ(pixel(clock.grab().toImage(), 54, 70), black);
}

TEST(AnalogClock, GlyphFillsTheFaceUnderMarksAndHands) {
    FakeTime time;
    time.now = QDateTime(QDate(2024, 5, 17), QTime(3, 0, 0));
    TAnalogClock clock(nullptr, time.source());
    QImage glyph(4, 4, QImage::Format_RGB32);
    glyph.fill(QColor(0, 0, 200));
    clock.setGlyph(glyph);
    const QImage face = clock.grab().toImage();
    EXPECT_EQ(pixel(face, 0, 0), QColor(0, 0, 200));
    EXPECT_EQ(pixel(face, 89, 89), QColor(0, 0, 200));
    EXPECT_EQ(pixel(face, 60, 45), lime); // the hour hand lies on top
}

TEST(AnalogClock, TransparentClockShowsItsParentAndReusesItOnItsOwnRedraws) {
    FakeTime time;
    PlainParent parent(QColor(200, 0, 0));
    parent.resize(200, 200);
    auto* clock = new TAnalogClock(&parent, time.source());
    clock->move(20, 30);
    clock->setTransparent(true);
    // A black-keyed glyph with a blue middle: black lets the parent through.
    QImage glyph(3, 3, QImage::Format_RGB32);
    glyph.fill(black);
    glyph.setPixelColor(1, 1, QColor(0, 0, 255));
    clock->setGlyph(glyph);
    clock->setHourMarks(false);
    parent.show();
    QApplication::processEvents();

    const QImage face = clock->grab().toImage();
    EXPECT_EQ(pixel(face, 2, 2), QColor(200, 0, 0));
    EXPECT_EQ(pixel(face, 40, 40), QColor(0, 0, 255));

    // A tick of the clock itself leaves the parent alone.
    parent.paints = 0;
    time.now = time.now.addSecs(1);
    clock->TimerTick();
    EXPECT_EQ(parent.paints, 0);

    // Any other repaint looks at the parent again.
    clock->repaint();
    EXPECT_GT(parent.paints, 0);
}
