#include "core/Timeline.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace norvale;

namespace {

// Runs the test body in a time zone, restoring the previous one.
class InZone {
public:
    explicit InZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old, had_ = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~InZone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

constexpr std::int64_t Hour = 3600 * 1000;

std::vector<std::string> labels(const std::vector<TimelineView::Mark>& marks) {
    std::vector<std::string> out;
    for (const auto& m : marks)
        out.push_back(m.label);
    return out;
}

} // namespace

TEST(Timeline, LocalDaysHaveTheirWallClockLengthAndMarks) {
    struct Case {
        const char* zone;
        int y, m, d;
        std::int64_t hours;
        std::vector<std::string> firstMarks; // with 6-hour steps
        int hourMarks;
    };
    const Case cases[] = {
        {"Europe/Berlin", 2026, 6, 10, 24, {"00:00", "06:00", "12:00", "18:00"}, 24},
        {"Europe/Berlin", 2026, 3, 29, 23, {"00:00", "06:00", "12:00", "18:00"}, 23},  // no 02:00
        {"Europe/Berlin", 2026, 10, 25, 25, {"00:00", "06:00", "12:00", "18:00"}, 25}, // 02:00
                                                                                       // twice
        {"Asia/Kolkata", 2026, 1, 1, 24, {"00:00", "06:00", "12:00", "18:00"}, 24},
        {"UTC", 2026, 12, 31, 24, {"00:00", "06:00", "12:00", "18:00"}, 24}, // the year's end
    };
    for (const auto& c : cases) {
        InZone zone(c.zone);
        const auto [start, end] = localDay(c.y, c.m, c.d);
        EXPECT_EQ(end - start, c.hours * Hour) << c.zone << " " << c.m << "/" << c.d;
        EXPECT_EQ(localDayAround(start + 5 * Hour), std::make_pair(start, end));
        TimelineView view(start, end, 960);
        // Six-hour marks need 240 px spacing at 40 px an hour.
        EXPECT_EQ(labels(view.marks(200)), c.firstMarks) << c.zone;
        const auto hourly = view.marks(30);
        int whole = 0;
        for (const auto& m : hourly)
            whole += m.major && m.ms < end;
        EXPECT_EQ(whole, c.hourMarks) << c.zone << " " << c.m << "/" << c.d;
        EXPECT_DOUBLE_EQ(hourly.front().x, 0.0);
    }
}

TEST(Timeline, PixelsAndTimesMapBothWaysAndZoomKeepsThePointUnderTheMouse) {
    InZone zone("UTC");
    const auto [start, end] = localDay(2026, 12, 9);
    TimelineView view(start, end, 1440); // one pixel a minute
    EXPECT_DOUBLE_EQ(view.xOf(start + 90 * 60000), 90.0);
    EXPECT_EQ(view.timeAt(90.0), start + 90 * 60000);

    struct Zoom {
        double x, factor;
        std::int64_t expectedSpan;
    };
    const Zoom zooms[] = {
        {720, 2, 12 * Hour},
        {100, 4, 3 * Hour},
        {1439, 1e6, TimelineView::MinSpanMs}, // no closer than a minute
        {0, 1e-6, 24 * Hour},                 // no further than the day
        {500, 0, 24 * Hour},                  // nonsense factors change nothing
    };
    for (const auto& z : zooms) {
        const auto anchor = view.timeAt(z.x);
        view.zoomAt(z.x, z.factor);
        EXPECT_EQ(view.viewEnd() - view.viewStart(), z.expectedSpan) << z.factor;
        EXPECT_GE(view.viewStart(), start);
        EXPECT_LE(view.viewEnd(), end);
        if (z.factor > 0 && z.expectedSpan < 24 * Hour && z.x < 1439) {
            EXPECT_NEAR(view.timeAt(z.x), anchor, z.expectedSpan / 1440 + 1) << z.factor;
        }
    }
    view.zoomAt(720, 24); // one hour
    view.scrollBy(1e9);
    EXPECT_EQ(view.viewEnd(), end);
    view.scrollBy(-1e9);
    EXPECT_EQ(view.viewStart(), start);
    // Zoomed to two minutes, the marks step by a minute.
    view.zoomAt(0, 30);
    EXPECT_EQ(labels(view.marks(100)), (std::vector<std::string>{"00:00", "00:01"}));
}

TEST(Timeline, SpansBecomeMergedPixelRunsClippedToTheView) {
    InZone zone("UTC");
    const auto [start, end] = localDay(2026, 12, 9);
    TimelineView view(start, end, 1440);
    const std::int64_t M = 60000;
    struct Case {
        std::vector<std::pair<std::int64_t, std::int64_t>> spans;
        std::vector<std::pair<double, double>> expected;
    };
    const Case cases[] = {
        {{{start + 10 * M, start + 20 * M}}, {{10, 20}}},
        // Back-to-back segments, given out of order, draw as one bar.
        {{{start + 21 * M, start + 30 * M}, {start + 10 * M, start + 21 * M}}, {{10, 30}}},
        // Across midnight at both ends: clipped to the day.
        {{{start - Hour, start + 5 * M}, {end - 5 * M, end + Hour}}, {{0, 5}, {1435, 1440}}},
        // A second-long event is still a pixel wide; one outside the day is not drawn.
        {{{start + 100 * M, start + 100 * M + 1000}, {end + M, end + 2 * M}}, {{100, 101}}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        const auto runs = view.runs(c.spans);
        ASSERT_EQ(runs.size(), c.expected.size());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_DOUBLE_EQ(runs[i].x0, c.expected[i].first);
            EXPECT_DOUBLE_EQ(runs[i].x1, c.expected[i].second);
        }
    }
}
