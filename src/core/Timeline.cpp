#include "Timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace norvale {

namespace {

std::int64_t toMs(std::tm local) {
    local.tm_isdst = -1; // let the zone decide: midnight is never inside a gap in practice
    return static_cast<std::int64_t>(std::mktime(&local)) * 1000;
}

std::tm localOf(std::int64_t ms) {
    const auto seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return tm;
}

} // namespace

std::pair<std::int64_t, std::int64_t> localDay(int year, int month, int day) {
    std::tm start{};
    start.tm_year = year - 1900;
    start.tm_mon = month - 1;
    start.tm_mday = day;
    std::tm end = start;
    ++end.tm_mday; // mktime normalises the month's end
    return {toMs(start), toMs(end)};
}

std::pair<std::int64_t, std::int64_t> localDayAround(std::int64_t ms) {
    const std::tm tm = localOf(ms);
    return localDay(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

TimelineView::TimelineView(std::int64_t dayStartMs, std::int64_t dayEndMs, int width)
    : dayStart_(dayStartMs), dayEnd_(std::max(dayEndMs, dayStartMs + MinSpanMs)),
      width_(std::max(width, 1)), viewStart_(dayStart_), viewEnd_(dayEnd_) {}

void TimelineView::setWidth(int width) {
    width_ = std::max(width, 1);
}

double TimelineView::xOf(std::int64_t ms) const {
    return static_cast<double>(ms - viewStart_) * width_ /
           static_cast<double>(viewEnd_ - viewStart_);
}

std::int64_t TimelineView::timeAt(double x) const {
    return viewStart_ + static_cast<std::int64_t>(
                            std::llround(x * static_cast<double>(viewEnd_ - viewStart_) / width_));
}

void TimelineView::clampView(std::int64_t span, std::int64_t start) {
    span = std::clamp(span, MinSpanMs, dayEnd_ - dayStart_);
    start = std::clamp(start, dayStart_, dayEnd_ - span);
    viewStart_ = start;
    viewEnd_ = start + span;
}

void TimelineView::zoomAt(double x, double factor) {
    if (!(factor > 0) || !std::isfinite(factor))
        return;
    const std::int64_t anchor = timeAt(x);
    const auto span =
        static_cast<std::int64_t>(static_cast<double>(viewEnd_ - viewStart_) / factor);
    const auto clampedSpan = std::clamp(span, MinSpanMs, dayEnd_ - dayStart_);
    const auto start = anchor - static_cast<std::int64_t>(
                                    std::llround(x / width_ * static_cast<double>(clampedSpan)));
    clampView(clampedSpan, start);
}

void TimelineView::scrollBy(double dx) {
    const auto span = viewEnd_ - viewStart_;
    clampView(span, viewStart_ + static_cast<std::int64_t>(std::llround(dx * span / width_)));
}

void TimelineView::showAll() {
    viewStart_ = dayStart_;
    viewEnd_ = dayEnd_;
}

std::vector<TimelineView::Mark> TimelineView::marks(double minSpacing) const {
    static constexpr int StepsMinutes[] = {1, 2, 5, 10, 15, 30, 60, 120, 180, 360};
    const double pxPerMinute = 60000.0 * width_ / static_cast<double>(viewEnd_ - viewStart_);
    int step = StepsMinutes[std::size(StepsMinutes) - 1];
    for (int s : StepsMinutes)
        if (s * pxPerMinute >= minSpacing) {
            step = s;
            break;
        }
    std::vector<Mark> out;
    // Walk the wall clock minute by minute: correct across daylight-saving changes and in zones
    // whose offset is not whole hours, and at most a day's 1,500 minutes.
    std::int64_t t = (viewStart_ + 59999) / 60000 * 60000;
    for (; t < viewEnd_; t += 60000) {
        const std::tm tm = localOf(t);
        const int minuteOfDay = tm.tm_hour * 60 + tm.tm_min;
        if (minuteOfDay % step != 0)
            continue;
        char label[8];
        std::snprintf(label, sizeof label, "%02d:%02d", tm.tm_hour, tm.tm_min);
        out.push_back({xOf(t), t, label, tm.tm_min == 0});
    }
    return out;
}

std::vector<TimelineView::PixelRun>
TimelineView::runs(const std::vector<std::pair<std::int64_t, std::int64_t>>& spans) const {
    std::vector<std::pair<std::int64_t, std::int64_t>> sorted;
    for (const auto& [a, b] : spans) {
        const auto from = std::max(a, viewStart_);
        const auto to = std::min(b, viewEnd_);
        if (to > from || (a == b && a >= viewStart_ && a < viewEnd_))
            sorted.emplace_back(from, std::max(to, from));
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<PixelRun> out;
    for (const auto& [a, b] : sorted) {
        double x0 = std::floor(xOf(a));
        double x1 = std::max(std::ceil(xOf(b)), x0 + 1);
        if (!out.empty() && x0 <= out.back().x1)
            out.back().x1 = std::max(out.back().x1, x1);
        else
            out.push_back({x0, x1});
    }
    return out;
}

} // namespace norvale
