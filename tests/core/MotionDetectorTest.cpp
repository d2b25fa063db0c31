#include "core/MotionDetector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace norvale;

namespace {

constexpr int W = 160;
constexpr int H = 120;
constexpr double FrameMs = 1000.0 / 15.0;

std::int64_t timeOf(int frame) {
    return static_cast<std::int64_t>(std::llround(frame * FrameMs));
}

// A textured still scene with sensor noise; each scene may paint on it per frame.
struct Scene {
    std::string name;
    int frames = 0;
    std::function<void(int frame, std::vector<std::uint8_t>& picture)> paint;
    std::string mask;                // MotionMask text
    std::vector<int> expectedStarts; // frames at which events start
};

std::vector<std::uint8_t> stillPicture() {
    std::vector<std::uint8_t> picture(W * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            picture[y * W + x] = static_cast<std::uint8_t>(60 + (x * 3 + y * 2) % 80);
    return picture;
}

void addNoise(std::vector<std::uint8_t>& picture, std::uint32_t& seed) {
    for (auto& p : picture) {
        seed = seed * 1664525u + 1013904223u;
        const int n = static_cast<int>((seed >> 24) % 13) - 6; // ±6 grey levels
        p = static_cast<std::uint8_t>(std::clamp(p + n, 0, 255));
    }
}

void paintBlock(std::vector<std::uint8_t>& picture, int x0, int y0, int size, int value) {
    for (int y = std::max(0, y0); y < std::min(H, y0 + size); ++y)
        for (int x = std::max(0, x0); x < std::min(W, x0 + size); ++x)
            picture[y * W + x] = static_cast<std::uint8_t>(value);
}

// A 24-pixel dark object crossing left to right, entering at `enter`, 4 pixels a frame.
std::function<void(int, std::vector<std::uint8_t>&)> crossing(int enter, int row) {
    return [=](int frame, std::vector<std::uint8_t>& p) {
        if (frame >= enter)
            paintBlock(p, -24 + (frame - enter) * 4, row, 24, 10);
    };
}

std::vector<int> eventStarts(const Scene& scene) {
    MotionSettings settings;
    auto mask = MotionMask::parse(scene.mask);
    EXPECT_TRUE(mask) << scene.name;
    settings.mask = mask.value_or(MotionMask{});
    MotionDetector detector(settings);
    MotionEventTracker tracker(10000);
    std::uint32_t seed = 12345;
    std::vector<int> starts;
    for (int f = 0; f < scene.frames; ++f) {
        auto picture = stillPicture();
        if (scene.paint)
            scene.paint(f, picture);
        addNoise(picture, seed);
        const auto result = detector.feed({picture.data(), W, H, W});
        if (tracker.feed(timeOf(f), result) == MotionEventTracker::Change::Started) {
            // Report the frame the event says it began at.
            const auto start = tracker.event().startMs;
            starts.push_back(static_cast<int>(std::llround(start / FrameMs)));
        }
    }
    return starts;
}

} // namespace

TEST(MotionDetector, ScenesMakeEventsOnlyForMovingObjects) {
    // The mask "F000" on every row ignores the 4 leftmost cells (40 pixels) of each row.
    std::string maskLeft;
    for (int r = 0; r < 12; ++r)
        maskLeft += "F000";
    std::string maskTopHalf;
    for (int r = 0; r < 12; ++r)
        maskTopHalf += r < 6 ? "FFFF" : "0000";

    const std::vector<Scene> scenes = {
        {"noise only", 300, nullptr, "", {}},
        {"object crossing", 200, crossing(100, 50), "", {100}},
        {"two crossings",
         600,
         [](int f, std::vector<std::uint8_t>& p) {
             crossing(100, 20)(f, p);
             crossing(400, 80)(f, p);
         },
         "",
         {100, 400}},
        {"light switched on",
         300,
         [](int f, std::vector<std::uint8_t>& p) {
             if (f >= 100)
                 for (auto& v : p)
                     v = static_cast<std::uint8_t>(std::min(255, v * 8 / 5 + 20));
         },
         "",
         {}},
        {"light switched on, the brightest parts turning white",
         300,
         [](int f, std::vector<std::uint8_t>& p) {
             if (f >= 100)
                 for (auto& v : p)
                     v = static_cast<std::uint8_t>(std::min(255, v * 3 - 100));
         },
         "",
         {}},
        {"light switched off, the parts it had turned white showing again",
         300,
         [](int f, std::vector<std::uint8_t>& p) {
             if (f < 100)
                 for (auto& v : p)
                     v = static_cast<std::uint8_t>(std::min(255, v * 3 - 100));
         },
         "",
         {}},
        {"light dimmed on a contrasty scene: white and black parts at both ends",
         300,
         [](int f, std::vector<std::uint8_t>& p) {
             for (auto& v : p)
                 v = static_cast<std::uint8_t>(std::clamp(v * 3 - (f < 100 ? 80 : 230), 0, 255));
         },
         "",
         {}},
        {"slow brightness ramp",
         450,
         [](int f, std::vector<std::uint8_t>& p) {
             const int add = f / 5; // 3 grey levels a second, 90 in all
             for (auto& v : p)
                 v = static_cast<std::uint8_t>(std::min(255, v + add));
         },
         "",
         {}},
        {"one-frame flash of an object",
         200,
         [](int f, std::vector<std::uint8_t>& p) {
             if (f == 100)
                 paintBlock(p, 60, 40, 30, 250);
         },
         "",
         {}},
        {"object in the masked half", 300, crossing(100, 10), maskTopHalf, {}},
        {"object below the masked half", 300, crossing(100, 80), maskTopHalf, {100}},
        {"object waving in the masked left edge",
         300,
         [](int f, std::vector<std::uint8_t>& p) {
             if (f >= 100)
                 paintBlock(p, (f % 2) * 10, 40, 24, 240);
         },
         maskLeft,
         {}},
    };
    for (const auto& scene : scenes) {
        const auto starts = eventStarts(scene);
        ASSERT_EQ(starts.size(), scene.expectedStarts.size()) << scene.name;
        for (std::size_t i = 0; i < starts.size(); ++i)
            // Within two frames (well inside half a second) of the object's entry; the first
            // frames show only its edge.
            EXPECT_NEAR(starts[i], scene.expectedStarts[i], 2) << scene.name;
    }
}

TEST(MotionDetector, SensitivityAndAreaDecideWhatCounts) {
    struct Case {
        int sensitivity;
        int minAreaTenths;
        int contrast; // grey levels between the object and the scene
        int size;     // object edge in pixels
        bool motion;
    };
    const Case cases[] = {
        {60, 5, 80, 20, true},  // 400 px = 2 % of the picture
        {60, 5, 15, 20, false}, // too faint at the default sensitivity
        {100, 5, 15, 20, true}, // ... seen at the highest
        {60, 5, 80, 8, false},  // 64 px = 0.33 %: below 0.5 %
        {60, 3, 80, 8, true},   // ... over 0.3 %
        {1, 5, 50, 40, false},  // the lowest sensitivity ignores 50 levels
    };
    for (const auto& c : cases) {
        MotionDetector detector({c.sensitivity, c.minAreaTenths, {}});
        auto still = stillPicture();
        std::fill(still.begin(), still.end(), std::uint8_t{100});
        detector.feed({still.data(), W, H, W});
        bool motion = false;
        for (int f = 0; f < 3; ++f) {
            auto picture = still;
            paintBlock(picture, 40 + f, 40, c.size, 100 + c.contrast);
            motion = detector.feed({picture.data(), W, H, W}).motion || motion;
        }
        EXPECT_EQ(motion, c.motion)
            << c.sensitivity << "/" << c.minAreaTenths << "/" << c.contrast << "/" << c.size;
    }
}

TEST(MotionDetector, ChangedMapFollowsTheFrameAndStrideIsHonoured) {
    MotionDetector detector;
    constexpr int Stride = W + 32;
    std::vector<std::uint8_t> frame(Stride * H, 100);
    detector.feed({frame.data(), W, H, Stride});
    for (int y = 10; y < 30; ++y)
        for (int x = 150; x < 160; ++x)
            frame[y * Stride + x] = 200;
    // Padding beyond the width must not count.
    for (int y = 0; y < H; ++y)
        std::fill(frame.begin() + y * Stride + W, frame.begin() + (y + 1) * Stride, 0);
    const auto result = detector.feed({frame.data(), W, H, Stride});
    EXPECT_NEAR(result.share, 200.0 / (W * H), 1e-9);
    ASSERT_EQ(detector.changedMap().size(), static_cast<std::size_t>(W * H));
    EXPECT_TRUE(detector.changedMap()[15 * W + 155]);
    EXPECT_FALSE(detector.changedMap()[15 * W + 100]);
    // Another size starts over without reading past the smaller frame.
    std::vector<std::uint8_t> small(80 * 60, 7);
    EXPECT_FALSE(detector.feed({small.data(), 80, 60, 80}).over);
    EXPECT_EQ(detector.width(), 80);
}

TEST(MotionEventTracker, EventsEndAfterPostTimeAndMotionExtendsThem) {
    MotionEventTracker tracker(1000);
    using C = MotionEventTracker::Change;
    auto frame = [](bool over, bool motion, double share) {
        MotionDetector::Result r;
        r.over = over;
        r.motion = motion;
        r.share = share;
        return r;
    };
    EXPECT_EQ(tracker.feed(0, frame(false, false, 0)), C::None);
    EXPECT_EQ(tracker.feed(100, frame(true, false, 0.01)), C::None); // a run begins
    EXPECT_EQ(tracker.feed(200, frame(true, true, 0.05)), C::Started);
    EXPECT_EQ(tracker.event().startMs, 100);
    EXPECT_EQ(tracker.feed(300, frame(true, true, 0.02)), C::None);
    EXPECT_EQ(tracker.feed(1200, frame(false, false, 0)), C::None);  // 900 ms quiet
    EXPECT_EQ(tracker.feed(1250, frame(true, true, 0.03)), C::None); // extends
    EXPECT_EQ(tracker.feed(2200, frame(false, false, 0)), C::None);
    EXPECT_EQ(tracker.feed(2250, frame(false, false, 0)), C::Ended);
    EXPECT_EQ(tracker.event().endMs, 2250);
    EXPECT_DOUBLE_EQ(tracker.event().peak, 0.05);
    EXPECT_EQ(tracker.event().peakMs, 200);
    EXPECT_FALSE(tracker.finish(3000));
    EXPECT_EQ(tracker.feed(3000, frame(true, false, 0.01)), C::None);
    EXPECT_EQ(tracker.feed(3100, frame(true, true, 0.01)), C::Started);
    EXPECT_EQ(tracker.event().startMs, 3000);
    EXPECT_TRUE(tracker.finish(3200));
    EXPECT_EQ(tracker.event().endMs, 3200);
}

TEST(MotionMask, TextRoundTripsAndBadTextIsRefused) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {std::string(48, '0'), true},
        {"8000" + std::string(40, '0') + "0001", true},
        {std::string(47, '0'), false},
        {std::string(49, '0'), false},
        {std::string(47, '0') + "G", false},
        {std::string(47, '0') + " ", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MotionMask::parse(c.text).has_value(), c.valid) << c.text;

    auto mask = MotionMask::parse("8000" + std::string(40, '0') + "0001");
    ASSERT_TRUE(mask);
    EXPECT_TRUE(mask->ignored(0, 0));
    EXPECT_FALSE(mask->ignored(1, 0));
    EXPECT_TRUE(mask->ignored(15, 11));
    EXPECT_FALSE(mask->ignored(16, 11)); // outside the grid
    EXPECT_EQ(mask->toString(), "8000" + std::string(40, '0') + "0001");
    EXPECT_EQ(MotionMask::parse(std::string(48, '0'))->toString(), ""); // nothing ignored
    mask->setIgnored(0, 0, false);
    mask->setIgnored(15, 11, false);
    EXPECT_TRUE(mask->empty());
}
