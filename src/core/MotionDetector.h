#pragma once
// Motion detection on a small grey picture, and the events it makes.
//
// The detector keeps a slowly adapting background and counts the pixels that differ from it by
// more than the sensitivity allows, outside the masked cells. A share of changed pixels above
// the minimum area on two frames in a row is motion. What is not motion:
// - sensor noise: below the threshold;
// - slow light changes (clouds, dusk): the background follows them, and the picture's overall
//   brightness shift is taken out before pixels are compared;
// - a sudden change of most of the picture (a light switched on, an exposure step): the
//   background takes the new picture at once.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvale {

// Cells to ignore on a 16 × 12 grid laid over the picture. Stored as 48 hex digits, four per row
// of 16 cells, the first digit's high bit being the row's leftmost cell; empty: nothing ignored.
class MotionMask {
public:
    static constexpr int Columns = 16;
    static constexpr int Rows = 12;

    bool ignored(int column, int row) const;
    void setIgnored(int column, int row, bool ignore);
    bool empty() const;
    void clear() { rows_.fill(0); }

    // Nothing for text that is neither empty nor 48 hex digits.
    static std::optional<MotionMask> parse(std::string_view text);
    // Empty when nothing is ignored, so a stored default stays empty.
    std::string toString() const;

    bool operator==(const MotionMask&) const = default;

private:
    std::array<std::uint16_t, Rows> rows_{};
};

struct MotionSettings {
    int sensitivity = 60;  // 1 to 100; higher notices smaller differences
    int minAreaTenths = 5; // tenths of a percent of the unmasked picture, 1 to 1000
    MotionMask mask;
};

// A grey picture, one byte a pixel, rows `stride` bytes apart.
struct GreyView {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

class MotionDetector {
public:
    struct Result {
        bool over = false;   // the changed share exceeds the minimum area
        bool motion = false; // ... and did on the frame before too
        double share = 0.0;  // changed share of the unmasked picture, 0 to 1
        bool sceneChange =
            false; // most of the picture changed at once: taken as the new background
    };

    explicit MotionDetector(MotionSettings settings = {});

    // Takes effect from the next frame; the background is kept.
    void setSettings(const MotionSettings& settings);
    const MotionSettings& settings() const { return settings_; }

    // Compares one frame with the background and then lets the background adapt. A frame of
    // another size starts over: it becomes the background.
    Result feed(const GreyView& frame);

    // Forgets the background (a camera that restarts); the next frame becomes it.
    void reset();

    // The last frame's changed pixels, one byte a pixel (non-zero: changed), width × height of
    // that frame; for showing what the detector sees while it is being tuned.
    const std::vector<std::uint8_t>& changedMap() const { return changed_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // The grey-level difference a pixel must exceed at a sensitivity.
    static int thresholdFor(int sensitivity);

private:
    void takeAsBackground(const GreyView& frame);
    void rebuildCellMask();

    MotionSettings settings_;
    int threshold_ = 0;
    int width_ = 0;
    int height_ = 0;
    // Background in 8.8 fixed point, so a slow adaptation does not stall on rounding.
    std::vector<std::uint16_t> background_;
    std::vector<std::uint8_t> changed_;
    // Per pixel: 1 where the mask ignores it; rebuilt when the size or the mask changes.
    std::vector<std::uint8_t> ignored_;
    int counted_ = 0; // pixels not ignored
    int run_ = 0;     // consecutive frames over the minimum area
};

// Turns per-frame motion into events: an event starts with the first frame of a run of motion
// and ends `postMs` after the last frame with motion; motion before then extends it.
class MotionEventTracker {
public:
    struct Event {
        std::int64_t startMs = 0;
        std::int64_t endMs = 0; // while open: the last frame with motion; then when it ended
        double peak = 0.0;      // the largest changed share
        std::int64_t peakMs = 0;
    };
    enum class Change { None, Started, Ended };

    explicit MotionEventTracker(std::int64_t postMs = 10000) : postMs_(postMs) {}
    void setPostMs(std::int64_t postMs) { postMs_ = postMs; }

    // The detector's verdict on the frame taken at `nowMs`. Motion is confirmed on a run's
    // second frame; the event starts with the run's first.
    Change feed(std::int64_t nowMs, const MotionDetector::Result& frame);
    // Ends an open event now (the camera stops); true if there was one.
    bool finish(std::int64_t nowMs);

    bool active() const { return active_; }
    // The open event, or the one that just ended.
    const Event& event() const { return event_; }

private:
    std::int64_t postMs_;
    std::int64_t runStartMs_ = 0;
    bool previousOver_ = false;
    bool active_ = false;
    Event event_;
};

// A finished motion event as the program keeps it: times in milliseconds since the epoch, the
// largest changed share, the recording file that holds it (empty: none) and a small JPEG of the
// moment of the largest change (empty: none).
struct MotionEventRecord {
    int camera = 0;
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    double peak = 0.0;
    std::string file;
    std::vector<std::uint8_t> thumbnailJpeg;
};

} // namespace norvale
