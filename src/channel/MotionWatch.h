#pragma once
// One camera's motion detection between the frames and the channel: the detector and the event
// tracker, fed on the streaming thread with the grey pictures of the motion branch; the picture
// of each event's largest change; and the live view of what the detector sees, for tuning.
//
// Nothing is allocated per frame: the picture of the largest change and the live view are copied
// into buffers kept from frame to frame (and the view only while someone looks at it). All
// members are thread-safe.
#include "core/MotionDetector.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace norvale {

// What detection sees, for a page that shows it while it is tuned: the last grey picture the
// detector was fed and, pixel for pixel, what it counted as changed in it.
struct MotionView {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> grey;    // width × height bytes, rows without gaps
    std::vector<std::uint8_t> changed; // width × height bytes, non-zero: changed
    double share = 0.0;                // the changed share of the unmasked picture, 0 to 1
    bool motion = false;               // the frame counted as motion
    std::int64_t wallMs = 0;           // when it was taken, milliseconds since the epoch
};

class MotionWatch {
public:
    // A motion event began (`started`) or ended. An end carries the grey picture of the event's
    // largest change (width × height bytes; empty when there was none).
    struct Notice {
        bool started = false;
        MotionEventTracker::Event event;
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> peakPicture;
    };
    // Called under the watch's lock, on the thread that fed the frame (or stopped the run), so
    // notices are told in the order they happened. It must only hand them on.
    using Notify = std::function<void(Notice&&)>;

    explicit MotionWatch(Notify notify);

    // A run of the camera begins: the detector starts over with these settings; `events` says
    // whether the run makes events (false: the detector only feeds the live view).
    void start(const MotionSettings& settings, std::int64_t postMs, bool events);
    // The run ends at `nowMs`: an open event ends with it (told like any end), and no more are
    // made until the next start.
    void stop(std::int64_t nowMs);
    // New detector settings, from the next frame on; the background is kept.
    void setSettings(const MotionSettings& settings);

    // Streaming thread: one grey picture taken at `wallMs`. `firstOfRun`: the stream started
    // again, the background starts over. Costs an atomic load and a clock read when neither
    // events nor the live view are wanted.
    void feed(const GreyView& picture, std::int64_t wallMs, bool firstOfRun);

    // Copies the last picture and its changes into `out` (reusing its buffers); false when there
    // is none yet. Asking keeps the view alive: while it was asked for within the last
    // ViewKeepMs, the detector runs and keeps its last picture, even for a camera that makes no
    // events. The first call arms it and may find nothing.
    bool view(MotionView& out);
    static constexpr std::int64_t ViewKeepMs = 2000;

    bool eventOpen() const;

private:
    bool viewWanted() const;
    void keep(std::vector<std::uint8_t>& into, const GreyView& picture);
    void tellEnded();

    Notify notify_;
    std::atomic<bool> events_{false};
    std::atomic<std::int64_t> viewUntil_{0}; // steady milliseconds
    mutable std::mutex lock_;
    MotionDetector detector_;
    MotionEventTracker tracker_;
    std::vector<std::uint8_t> peak_;
    int peakWidth_ = 0;
    int peakHeight_ = 0;
    MotionView view_;
};

} // namespace norvale
