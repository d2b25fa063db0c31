#include "core/ClockGeometry.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <numbers>

using namespace norvale;

namespace {

double degrees(double radians) {
    return radians * 180.0 / std::numbers::pi;
}

ClockPoint offset(ClockPoint p, ClockPoint centre) {
    return {p.x - centre.x, p.y - centre.y};
}

} // namespace

TEST(ClockGeometry, RoundsHalvesToEven) {
    const struct {
        long double value;
        std::int64_t expected;
    } cases[] = {{0.5L, 0},    {1.5L, 2},
                 {2.5L, 2},    {3.5L, 4},
                 {-0.5L, 0},   {-1.5L, -2},
                 {-2.5L, -2},  {2.4999L, 2},
                 {2.5001L, 3}, {-2.5001L, -3},
                 {0.0L, 0},    {-17.5L, -18},
                 {17.5L, 18},  {1e30L, 9'000'000'000'000'000'000}};
    for (const auto& c : cases)
        EXPECT_EQ(roundHalfEven(c.value), c.expected) << static_cast<double>(c.value);
    EXPECT_EQ(roundHalfEven(std::numeric_limits<long double>::quiet_NaN()), 0);
}

TEST(ClockGeometry, AnglesStartStraightUpAndTurnClockwise) {
    EXPECT_DOUBLE_EQ(degrees(minuteHandAngle(0)), 270.0);
    EXPECT_DOUBLE_EQ(degrees(secondHandAngle(15)), 360.0);
    EXPECT_DOUBLE_EQ(degrees(hourHandAngle(12, 0)), 630.0); // 270 one turn on
    EXPECT_DOUBLE_EQ(degrees(hourHandAngle(3, 0)), 360.0);
    EXPECT_DOUBLE_EQ(degrees(hourHandAngle(6, 30)), 465.0); // halfway between 6 and 7
    EXPECT_DOUBLE_EQ(degrees(hourMarkAngle(0)), 270.0);
}

TEST(ClockGeometry, WallClockOf109By80) {
    const ClockFace face = clockFace(109, 80, {12, 0, 0});
    EXPECT_EQ(face.centre, (ClockPoint{54, 40}));
    EXPECT_EQ(face.radius, 30);
    // Minute and hour hands straight up, 27 and 21 pixels; seconds hand from 9 behind to 30.
    EXPECT_EQ(face.minuteHand, (ClockLine{{54, 40}, {54, 13}}));
    EXPECT_EQ(face.hourHand, (ClockLine{{54, 40}, {54, 19}}));
    EXPECT_EQ(face.secondHand, (ClockLine{{54, 49}, {54, 10}}));
    EXPECT_EQ(hourMarkBox(face.marks[0], 2), (ClockMarkBox{52, 68, 56, 72}));
}

TEST(ClockGeometry, HourMarksSitOnTheCircle) {
    const ClockFace face = clockFace(90, 90, {});
    EXPECT_EQ(face.radius, 35);
    // Index 0 is 6 o'clock; each index is one hour on, clockwise.
    EXPECT_EQ(face.marks[0], (ClockPoint{45, 80}));
    EXPECT_EQ(face.marks[3], (ClockPoint{10, 45}));
    EXPECT_EQ(face.marks[6], (ClockPoint{45, 10}));
    EXPECT_EQ(face.marks[9], (ClockPoint{80, 45}));
    for (const ClockPoint& mark : face.marks) {
        const ClockPoint d = offset(mark, face.centre);
        EXPECT_NEAR(std::hypot(d.x, d.y), 35.0, 1.0);
    }
}

TEST(ClockGeometry, HandsAtKnownTimes) {
    const struct {
        ClockTime time;
        ClockPoint hourTip, minuteTip, secondTip;
    } cases[] = {
        {{3, 0, 0}, {75, 40}, {54, 13}, {54, 10}},   // hour hand points right
        {{6, 30, 0}, {49, 60}, {54, 67}, {54, 10}},  // hour at 105 degrees, minute down
        {{9, 45, 30}, {35, 32}, {27, 40}, {54, 70}}, // 9:45: hour three quarters to 10
        {{0, 0, 45}, {54, 19}, {54, 13}, {24, 40}},
    };
    for (const auto& c : cases) {
        const ClockFace face = clockFace(109, 80, c.time);
        SCOPED_TRACE(c.time.hours * 10000 + c.time.minutes * 100 + c.time.seconds);
        EXPECT_EQ(face.hourHand.from, face.centre);
        EXPECT_EQ(face.hourHand.to, c.hourTip);
        EXPECT_EQ(face.minuteHand.to, c.minuteTip);
        EXPECT_EQ(face.secondHand.to, c.secondTip);
    }
}

TEST(ClockGeometry, AfternoonHoursDrawAsMorningHours) {
    for (int minute = 0; minute < 60; ++minute) {
        EXPECT_EQ(clockFace(109, 80, {3, minute, 0}).hourHand,
                  clockFace(109, 80, {15, minute, 0}).hourHand)
            << minute;
    }
    // Where a tip falls exactly on half a pixel (whole hours at 30 and 60 degrees off the axes),
    // the angle one turn on, stored as a double, may round to the neighbouring pixel.
    for (int hour = 0; hour < 12; ++hour)
        for (int minute = 0; minute < 60; ++minute) {
            const ClockPoint morning = clockFace(109, 80, {hour, minute, 0}).hourHand.to;
            const ClockPoint afternoon = clockFace(109, 80, {hour + 12, minute, 0}).hourHand.to;
            EXPECT_LE(std::abs(morning.x - afternoon.x), 1) << hour << ":" << minute;
            EXPECT_LE(std::abs(morning.y - afternoon.y), 1) << hour << ":" << minute;
        }
}

TEST(ClockGeometry, TinyControlsMirrorTheFaceWithoutFailing) {
    const ClockFace flat = clockFace(21, 21, {4, 20, 40});
    EXPECT_EQ(flat.radius, 0);
    for (const ClockPoint& mark : flat.marks)
        EXPECT_EQ(mark, flat.centre);
    EXPECT_EQ(flat.secondHand, (ClockLine{flat.centre, flat.centre}));

    // R = -5 draws what R = 5 draws, turned half a circle about the centre.
    const ClockTime time{4, 20, 40};
    const ClockFace mirrored = clockFace(10, 30, time);
    const ClockFace normal = clockFace(30, 40, time);
    ASSERT_EQ(mirrored.radius, -5);
    ASSERT_EQ(normal.radius, 5);
    for (int i = 0; i < 12; ++i) {
        const ClockPoint m = offset(mirrored.marks[i], mirrored.centre);
        const ClockPoint n = offset(normal.marks[i], normal.centre);
        EXPECT_EQ(m, (ClockPoint{-n.x, -n.y})) << i;
    }
    const ClockPoint m = offset(mirrored.secondHand.to, mirrored.centre);
    const ClockPoint n = offset(normal.secondHand.to, normal.centre);
    EXPECT_EQ(m, (ClockPoint{-n.x, -n.y}));

    EXPECT_NO_THROW(clockFace(0, 0, {23, 59, 59}));
}

TEST(ClockGeometry, RedrawPolicy) {
    const struct {
        ClockTime before, after;
        bool withSeconds, withoutSeconds;
    } cases[] = {
        {{10, 0, 0}, {10, 0, 0}, false, false}, // same second
        {{10, 0, 0}, {10, 0, 1}, true, false},  // next second
        {{10, 0, 59}, {10, 1, 0}, true, true},  // next minute
        {{10, 59, 59}, {11, 0, 0}, true, true},
        {{10, 5, 7}, {11, 5, 7}, false, false}, // an hour jump alone changes no hand drawn by
                                                // the second or minute rule
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clockRedrawNeeded(c.before, c.after, true), c.withSeconds);
        EXPECT_EQ(clockRedrawNeeded(c.before, c.after, false), c.withoutSeconds);
    }
}

TEST(ClockGeometry, DateTimeValues) {
    EXPECT_EQ(dayNumber(1899, 12, 30), 0);
    EXPECT_EQ(dayNumber(1900, 1, 1), 2);
    EXPECT_EQ(dayNumber(1970, 1, 1), 25569);
    EXPECT_EQ(dayNumber(2000, 3, 1), 36586); // after a leap day
    EXPECT_EQ(dayNumber(1600, 1, 1), -109571);
    EXPECT_DOUBLE_EQ(encodeDateTime(1899, 12, 30, 12, 0, 0), 0.5);
    EXPECT_DOUBLE_EQ(encodeDateTime(1899, 12, 29, 6, 0, 0), -1.25);
    EXPECT_DOUBLE_EQ(encodeDateTime(2000, 1, 1, 18, 0, 0), 36526.75);
}

TEST(ClockGeometry, AlarmTiedToOneDateAndOneSecond) {
    const LocalDateTime now{2024, 5, 17, {14, 30, 0}};
    const double today = encodeDateTime(2024, 5, 17, 14, 30, 0);
    const double yesterday = encodeDateTime(2024, 5, 16, 14, 30, 0);
    const double almost = encodeDateTime(2024, 5, 17, 14, 29, 59, 999) + 0.5 / 86'400'000;
    const struct {
        bool enabled;
        double alarmTime;
        LocalDateTime now;
        bool due;
    } cases[] = {
        {true, today, now, true},
        {false, today, now, false},
        {true, today, {2024, 5, 17, {14, 30, 1}}, false},
        {true, today, {2024, 5, 17, {2, 30, 0}}, false},
        {true, yesterday, now, false},
        {true, 0.0, now, false},
        {true, 0.0, {1899, 12, 30, {0, 0, 0}}, true}, // 0 is a real date, just long past
        {true, almost, now, true},                    // milliseconds rounded as a whole
        {true, std::numeric_limits<double>::quiet_NaN(), now, false},
        {true, std::numeric_limits<double>::infinity(), now, false},
        {true, 1e300, now, false},
        {true, encodeDateTime(1899, 12, 29, 6, 0, 0), {1899, 12, 29, {6, 0, 0}}, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(alarmDue(c.enabled, c.alarmTime, c.now), c.due) << "case " << i;
    }
}
