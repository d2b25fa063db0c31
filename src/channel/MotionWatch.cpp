#include "channel/MotionWatch.h"

#include <chrono>
#include <cstring>

namespace norvale {

namespace {

std::int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

MotionWatch::MotionWatch(Notify notify) : notify_(std::move(notify)) {}

void MotionWatch::start(const MotionSettings& settings, std::int64_t postMs, bool events) {
    std::lock_guard lock(lock_);
    detector_.setSettings(settings);
    detector_.reset();
    tracker_ = MotionEventTracker(postMs);
    peakWidth_ = peakHeight_ = 0;
    events_ = events;
}

void MotionWatch::stop(std::int64_t nowMs) {
    std::lock_guard lock(lock_);
    events_ = false;
    if (tracker_.finish(nowMs))
        tellEnded();
}

void MotionWatch::setSettings(const MotionSettings& settings) {
    std::lock_guard lock(lock_);
    detector_.setSettings(settings);
}

bool MotionWatch::viewWanted() const {
    const std::int64_t until = viewUntil_.load(std::memory_order_relaxed);
    return until != 0 && steadyMs() < until;
}

bool MotionWatch::eventOpen() const {
    std::lock_guard lock(lock_);
    return tracker_.active();
}

// Copies a picture into a buffer kept from frame to frame: it is allocated again only when the
// picture's size changes.
void MotionWatch::keep(std::vector<std::uint8_t>& into, const GreyView& picture) {
    const auto width = static_cast<std::size_t>(picture.width);
    into.resize(width * static_cast<std::size_t>(picture.height));
    for (int y = 0; y < picture.height; ++y)
        std::memcpy(into.data() + static_cast<std::size_t>(y) * width,
                    picture.pixels + static_cast<std::ptrdiff_t>(y) * picture.stride, width);
}

void MotionWatch::feed(const GreyView& picture, std::int64_t wallMs, bool firstOfRun) {
    const bool events = events_.load(std::memory_order_relaxed);
    const bool viewing = viewWanted();
    if ((!events && !viewing) || !picture.pixels || picture.width <= 0 || picture.height <= 0 ||
        picture.stride < picture.width)
        return;
    std::lock_guard lock(lock_);
    if (firstOfRun)
        detector_.reset();
    const MotionDetector::Result result = detector_.feed(picture);
    if (viewing) {
        keep(view_.grey, picture);
        view_.changed = detector_.changedMap(); // same size from frame to frame: no allocation
        if (view_.changed.size() != view_.grey.size())
            view_.changed.assign(view_.grey.size(), 0); // the background was just taken
        view_.width = picture.width;
        view_.height = picture.height;
        view_.share = result.share;
        view_.motion = result.motion;
        view_.wallMs = wallMs;
    }
    if (!events_.load(std::memory_order_relaxed))
        return;
    const MotionEventTracker::Change change = tracker_.feed(wallMs, result);
    // The picture of the largest change so far: the tracker has just taken this frame as it.
    if (result.motion && tracker_.active() && tracker_.event().peakMs == wallMs) {
        keep(peak_, picture);
        peakWidth_ = picture.width;
        peakHeight_ = picture.height;
    }
    if (change == MotionEventTracker::Change::Started) {
        Notice notice;
        notice.started = true;
        notice.event = tracker_.event();
        notify_(std::move(notice));
    } else if (change == MotionEventTracker::Change::Ended) {
        tellEnded();
    }
}

void MotionWatch::tellEnded() {
    Notice notice;
    notice.event = tracker_.event();
    if (peakWidth_ > 0 && peak_.size() == static_cast<std::size_t>(peakWidth_) *
                                              static_cast<std::size_t>(peakHeight_)) {
        notice.width = peakWidth_;
        notice.height = peakHeight_;
        notice.peakPicture = peak_; // once per event
    }
    peakWidth_ = peakHeight_ = 0;
    notify_(std::move(notice));
}

bool MotionWatch::view(MotionView& out) {
    const bool wasWanted = viewWanted();
    viewUntil_ = steadyMs() + ViewKeepMs;
    std::lock_guard lock(lock_);
    if (!wasWanted)
        view_.width = 0; // what was kept when someone last looked is long gone
    if (view_.width <= 0)
        return false;
    out.width = view_.width;
    out.height = view_.height;
    out.grey.assign(view_.grey.begin(), view_.grey.end());
    out.changed.assign(view_.changed.begin(), view_.changed.end());
    out.share = view_.share;
    out.motion = view_.motion;
    out.wallMs = view_.wallMs;
    return true;
}

} // namespace norvale
