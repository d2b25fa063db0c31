#include "MotionDetector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace norvale {

namespace {

// Background adaptation per frame, as a right shift of the difference: a still pixel follows
// the picture within a second or two at 15 fps; a changed one so slowly that a parked car
// becomes background only after minutes.
constexpr int StillShift = 4;
constexpr int ChangedShift = 10;
// A frame in which more than this share changed is a new scene, not motion.
constexpr double SceneChangeShare = 0.6;
// Grey levels that take part in fitting a change of light: the ends of the scale are clipped.
constexpr std::uint32_t FitLow = 8;
constexpr std::uint32_t FitHigh = 247;
// A background pixel beyond these (8.8 fixed point) may have been clipped.
constexpr int ClipWhite = FitHigh << 8;
constexpr int ClipBlack = FitLow << 8;

// Where the processor can do more at once (AVX2), the per-pixel loops are compiled for it too
// and the loader picks the better version: they are most of what detection costs.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define NORVALE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define NORVALE_VECTOR_CLONES
#endif

// The fit reads every second row.
constexpr int FitRowStep = 2;

struct FitSums {
    std::uint64_t n = 0, b = 0, f = 0, bb = 0, bf = 0;
};

// The sums of a least-squares fit of the frame against the background, over the pixels not
// ignored and not at either end of the grey scale. In integers, the background rounded to whole
// grey levels: exact, and a loop without branches that becomes vector code of 32-bit lanes. A
// row's sums are taken in chunks small enough for 32 bits; the totals in 64 bits hold any picture.
NORVALE_VECTOR_CLONES
FitSums fitSums(const GreyView& frame, const std::uint16_t* background, const std::uint8_t* ignored,
                int width, int height) {
    constexpr int Chunk = 16384; // 16384 * 255 * 255 < 2^32
    FitSums sums;
    for (int y = 0; y < height; y += FitRowStep) {
        const std::uint8_t* src = frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride;
        const std::uint16_t* bg = background + static_cast<std::ptrdiff_t>(y) * width;
        const std::uint8_t* skip = ignored + static_cast<std::ptrdiff_t>(y) * width;
        for (int x0 = 0; x0 < width; x0 += Chunk) {
            const int x1 = std::min(width, x0 + Chunk);
            std::uint32_t rn = 0, rb = 0, rf = 0, rbb = 0, rbf = 0;
            for (int x = x0; x < x1; ++x) {
                const std::uint32_t b = (static_cast<std::uint32_t>(bg[x]) + 128u) >> 8;
                const std::uint32_t f = src[x];
                const std::uint32_t keep = static_cast<std::uint32_t>(skip[x] == 0) &
                                           static_cast<std::uint32_t>(f >= FitLow) &
                                           static_cast<std::uint32_t>(f <= FitHigh) &
                                           static_cast<std::uint32_t>(b >= FitLow) &
                                           static_cast<std::uint32_t>(b <= FitHigh);
                const std::uint32_t kb = b * keep;
                const std::uint32_t kf = f * keep;
                rn += keep;
                rb += kb;
                rf += kf;
                rbb += kb * kb;
                rbf += kb * kf;
            }
            sums.n += rn;
            sums.b += rb;
            sums.f += rf;
            sums.bb += rbb;
            sums.bf += rbf;
        }
    }
    return sums;
}

// Marks the pixels that differ from the background in this light by more than `limit` grey
// levels, outside the ignored ones, lets the background adapt, and counts the marks.
// Written without branches, so it becomes vector code: both adaptations are worked out and the
// hit picks one.
NORVALE_VECTOR_CLONES
int compareAndAdapt(const GreyView& frame, std::uint16_t* background, const std::uint8_t* ignored,
                    std::uint8_t* changedMap, int width, int height, float gain, float offset,
                    float limit, int stillShift) {
    int changedCount = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride;
        std::uint16_t* bg = background + static_cast<std::ptrdiff_t>(y) * width;
        const std::uint8_t* skip = ignored + static_cast<std::ptrdiff_t>(y) * width;
        std::uint8_t* changed = changedMap + static_cast<std::ptrdiff_t>(y) * width;
        int rowCount = 0;
        for (int x = 0; x < width; ++x) {
            // What the background looks like in this light, as a camera could show it: a
            // pixel expected beyond white and shown white has not changed. A background pixel
            // that was itself clipped white (or black) was brighter (darker) than it shows, so
            // a frame brighter (darker) than expected from it has not changed either.
            const float expected = std::clamp(
                gain * static_cast<float>(bg[x]) * (1.0f / 256.0f) + offset, 0.0f, 255.0f);
            const float d = static_cast<float>(src[x]) - expected;
            const int brighter = static_cast<int>(d > limit) & static_cast<int>(bg[x] < ClipWhite);
            const int darker = static_cast<int>(d < -limit) & static_cast<int>(bg[x] > ClipBlack);
            const int hit = (brighter | darker) & (skip[x] == 0 ? 1 : 0);
            changed[x] = static_cast<std::uint8_t>(hit);
            rowCount += hit;
            const int diff = (static_cast<int>(src[x]) << 8) - static_cast<int>(bg[x]);
            const int step = hit ? diff >> ChangedShift : diff >> stillShift;
            bg[x] = static_cast<std::uint16_t>(bg[x] + step);
        }
        changedCount += rowCount;
    }
    return changedCount;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool MotionMask::ignored(int column, int row) const {
    if (column < 0 || column >= Columns || row < 0 || row >= Rows)
        return false;
    return (rows_[static_cast<std::size_t>(row)] >> (Columns - 1 - column)) & 1u;
}

void MotionMask::setIgnored(int column, int row, bool ignore) {
    if (column < 0 || column >= Columns || row < 0 || row >= Rows)
        return;
    const auto bit = static_cast<std::uint16_t>(1u << (Columns - 1 - column));
    auto& bits = rows_[static_cast<std::size_t>(row)];
    bits =
        ignore ? static_cast<std::uint16_t>(bits | bit) : static_cast<std::uint16_t>(bits & ~bit);
}

bool MotionMask::empty() const {
    return std::all_of(rows_.begin(), rows_.end(), [](std::uint16_t r) { return r == 0; });
}

std::optional<MotionMask> MotionMask::parse(std::string_view text) {
    MotionMask mask;
    if (text.empty())
        return mask;
    if (text.size() != Rows * 4)
        return std::nullopt;
    for (int row = 0; row < Rows; ++row) {
        unsigned bits = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(text[static_cast<std::size_t>(row * 4 + i)]);
            if (d < 0)
                return std::nullopt;
            bits = bits << 4 | static_cast<unsigned>(d);
        }
        mask.rows_[static_cast<std::size_t>(row)] = static_cast<std::uint16_t>(bits);
    }
    return mask;
}

std::string MotionMask::toString() const {
    if (empty())
        return {};
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(Rows * 4);
    for (std::uint16_t bits : rows_)
        for (int shift = 12; shift >= 0; shift -= 4)
            text += digits[(bits >> shift) & 0xF];
    return text;
}

MotionDetector::MotionDetector(MotionSettings settings) {
    setSettings(settings);
}

int MotionDetector::thresholdFor(int sensitivity) {
    sensitivity = std::clamp(sensitivity, 1, 100);
    // 100 notices 6 grey levels, the default 60 about 26, 1 only 56: well above the noise of a
    // camera's picture once it is scaled down to detection size.
    return 6 + (100 - sensitivity) / 2;
}

void MotionDetector::setSettings(const MotionSettings& settings) {
    const bool maskChanged = !(settings.mask == settings_.mask);
    settings_ = settings;
    settings_.sensitivity = std::clamp(settings_.sensitivity, 1, 100);
    settings_.minAreaTenths = std::clamp(settings_.minAreaTenths, 1, 1000);
    threshold_ = thresholdFor(settings_.sensitivity);
    if (maskChanged && width_ > 0)
        rebuildCellMask();
}

void MotionDetector::reset() {
    width_ = height_ = 0;
    background_.clear();
    changed_.clear();
    run_ = 0;
}

void MotionDetector::rebuildCellMask() {
    ignored_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), 0);
    counted_ = width_ * height_;
    if (settings_.mask.empty())
        return;
    counted_ = 0;
    for (int y = 0; y < height_; ++y) {
        const int row = y * MotionMask::Rows / height_;
        for (int x = 0; x < width_; ++x) {
            const bool skip = settings_.mask.ignored(x * MotionMask::Columns / width_, row);
            ignored_[static_cast<std::size_t>(y * width_ + x)] = skip ? 1 : 0;
            counted_ += skip ? 0 : 1;
        }
    }
}

void MotionDetector::takeAsBackground(const GreyView& frame) {
    for (int y = 0; y < height_; ++y) {
        const std::uint8_t* src = frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride;
        std::uint16_t* bg = background_.data() + static_cast<std::ptrdiff_t>(y) * width_;
        for (int x = 0; x < width_; ++x)
            bg[x] = static_cast<std::uint16_t>(src[x] << 8);
    }
    std::fill(changed_.begin(), changed_.end(), 0);
}

MotionDetector::Result MotionDetector::feed(const GreyView& frame) {
    Result result;
    if (!frame.pixels || frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width)
        return result;
    if (frame.width != width_ || frame.height != height_ || background_.empty()) {
        width_ = frame.width;
        height_ = frame.height;
        const auto size = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
        background_.assign(size, 0);
        changed_.assign(size, 0);
        rebuildCellMask();
        takeAsBackground(frame);
        run_ = 0;
        return result;
    }
    if (counted_ == 0)
        return result; // everything masked

    // The picture's overall brightness change (an exposure step, a cloud, dusk) is fitted as
    // gain and offset against the background and taken out before pixels are compared, so it
    // does not count as change. Pixels at either end of the grey scale are left out of the fit:
    // a light switched on drives the bright parts of a picture into white, where they cannot
    // follow the gain, and would bend the fit for every other pixel.
    // The fit reads every second row: half the pixels fit the light just as well.
    const FitSums sums = fitSums(frame, background_.data(), ignored_.data(), width_, height_);
    double gain = 1.0, offset = 0.0;
    // How far the light moved the average pixel of this frame, in grey levels.
    double lightStep = 0.0;
    // Too few pixels in the middle of the scale (a picture almost all black or white) fit
    // nothing: compared as they are.
    if (sums.n * 8 * FitRowStep >= static_cast<std::uint64_t>(counted_)) {
        const auto sb = static_cast<double>(sums.b);
        const auto sf = static_cast<double>(sums.f);
        const auto sbb = static_cast<double>(sums.bb);
        const auto sbf = static_cast<double>(sums.bf);
        const auto n = static_cast<double>(sums.n);
        const double variance = sbb - sb * sb / n;
        gain = variance > n ? (sbf - sb * sf / n) / variance : 1.0;
        gain = std::clamp(gain, 0.25, 4.0);
        offset = (sf - gain * sb) / n;
        const double mean = sb / n, spread = std::sqrt(std::max(0.0, variance / n));
        lightStep = std::abs((gain - 1.0) * mean + offset) + std::abs(gain - 1.0) * spread;
    }
    // A step of light that is plain to see (a light switched, an exposure step): the pixels it
    // did not change beyond it take their new look at once, rather than over a second, so the
    // parts the camera clipped into white or black cannot show as change while they follow.
    const int stillShift = lightStep * 2 >= threshold_ ? 0 : StillShift;
    const int changedCount =
        compareAndAdapt(frame, background_.data(), ignored_.data(), changed_.data(), width_,
                        height_, static_cast<float>(gain), static_cast<float>(offset),
                        static_cast<float>(threshold_), stillShift);

    result.share = static_cast<double>(changedCount) / counted_;
    if (result.share > SceneChangeShare) {
        takeAsBackground(frame);
        run_ = 0;
        result.sceneChange = true;
        result.share = 0.0;
        return result;
    }
    result.over = result.share * 1000.0 > settings_.minAreaTenths;
    run_ = result.over ? run_ + 1 : 0;
    result.motion = run_ >= 2;
    return result;
}

MotionEventTracker::Change MotionEventTracker::feed(std::int64_t nowMs,
                                                    const MotionDetector::Result& frame) {
    if (frame.over && !previousOver_)
        runStartMs_ = nowMs;
    previousOver_ = frame.over;

    if (frame.motion) {
        const bool starting = !active_;
        if (starting) {
            active_ = true;
            event_ = Event{runStartMs_, nowMs, 0.0, nowMs};
        }
        event_.endMs = nowMs;
        if (frame.share > event_.peak) {
            event_.peak = frame.share;
            event_.peakMs = nowMs;
        }
        return starting ? Change::Started : Change::None;
    }
    if (active_ && nowMs - event_.endMs >= postMs_) {
        active_ = false;
        event_.endMs = nowMs;
        return Change::Ended;
    }
    return Change::None;
}

bool MotionEventTracker::finish(std::int64_t nowMs) {
    if (!active_)
        return false;
    active_ = false;
    event_.endMs = nowMs;
    previousOver_ = false;
    return true;
}

} // namespace norvale
