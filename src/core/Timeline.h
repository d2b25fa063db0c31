#pragma once
// The geometry of a day's timeline: which part of a local day a strip of pixels shows, time to
// pixel and back, zooming about a point, the marks and their labels, and recorded spans as
// pixel runs. A local day is midnight to midnight on the wall clock, so it has 23 or 25 hours
// where daylight saving begins or ends; marks follow the wall clock.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace norvale {

// [start, end) of the local day that holds `ms` (milliseconds since the epoch).
std::pair<std::int64_t, std::int64_t> localDayAround(std::int64_t ms);
// [start, end) of the local calendar day year-month-day.
std::pair<std::int64_t, std::int64_t> localDay(int year, int month, int day);

class TimelineView {
public:
    static constexpr std::int64_t MinSpanMs = 60 * 1000; // zoomed in as far as a minute

    struct Mark {
        double x = 0;
        std::int64_t ms = 0;
        std::string label;  // "HH:MM" on the wall clock
        bool major = false; // a whole hour
    };
    struct PixelRun {
        double x0 = 0, x1 = 0; // x1 > x0; at least one pixel wide
    };

    // The whole of [dayStart, dayEnd) on `width` pixels.
    TimelineView(std::int64_t dayStartMs, std::int64_t dayEndMs, int width);

    void setWidth(int width);
    int width() const { return width_; }
    std::int64_t viewStart() const { return viewStart_; }
    std::int64_t viewEnd() const { return viewEnd_; }
    std::int64_t dayStart() const { return dayStart_; }
    std::int64_t dayEnd() const { return dayEnd_; }

    double xOf(std::int64_t ms) const;
    std::int64_t timeAt(double x) const;

    // Zooms by `factor` (> 1: in) keeping the time under `x` where it is; the view stays inside
    // the day and never shows less than a minute.
    void zoomAt(double x, double factor);
    // Moves the view by `dx` pixels (positive: later), inside the day.
    void scrollBy(double dx);
    void showAll();

    // Marks at the finest wall-clock step (1, 2, 5, 10, 15, 30 minutes, 1, 2, 3, 6 hours) that
    // keeps neighbours at least `minSpacing` pixels apart.
    std::vector<Mark> marks(double minSpacing) const;
    // The parts of the spans that the view shows, as pixel runs in order; runs that touch or
    // fall in one pixel are merged, so a day of 1-minute segments draws as one bar.
    std::vector<PixelRun>
    runs(const std::vector<std::pair<std::int64_t, std::int64_t>>& spans) const;

private:
    void clampView(std::int64_t span, std::int64_t start);

    std::int64_t dayStart_;
    std::int64_t dayEnd_;
    int width_;
    std::int64_t viewStart_;
    std::int64_t viewEnd_;
};

} // namespace norvale
