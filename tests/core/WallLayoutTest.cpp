#include "core/WallLayout.h"

#include <gtest/gtest.h>

#include <vector>

using namespace norvale;

TEST(WallLayout, EveryLayoutCoversTheSameAreaWithTheListedGaps) {
    struct Case {
        int frames;
        int gap;
    };
    for (const Case c : {Case{1, 0}, Case{4, 3}, Case{6, 2}, Case{9, 2}}) {
        const auto rects = layoutRects(c.frames);
        ASSERT_EQ(rects.size(), static_cast<std::size_t>(c.frames));
        int minX = 10000, minY = 10000, maxX = 0, maxY = 0;
        for (const Rect& r : rects) {
            minX = std::min(minX, r.left);
            minY = std::min(minY, r.top);
            maxX = std::max(maxX, r.left + r.width);
            maxY = std::max(maxY, r.top + r.height);
        }
        EXPECT_EQ(minX, 26) << c.frames;
        EXPECT_EQ(minY, 24) << c.frames;
        EXPECT_EQ(maxX, 813) << c.frames;
        EXPECT_EQ(maxY, 667) << c.frames;
        // Horizontal neighbours on the same row stand exactly `gap` pixels apart.
        for (const Rect& a : rects) {
            for (const Rect& b : rects) {
                const int gap = b.left - (a.left + a.width);
                if (a.top == b.top && gap > 0 && gap < 10) {
                    EXPECT_EQ(gap, c.gap) << c.frames;
                }
            }
        }
    }
}

TEST(WallLayout, ListedRectangles) {
    EXPECT_EQ(layoutRects(1)[0], (Rect{26, 24, 787, 643}));
    EXPECT_EQ(layoutRects(4)[3], (Rect{421, 347, 392, 320}));
    EXPECT_EQ(layoutRects(6)[0], (Rect{26, 24, 524, 428}));
    EXPECT_EQ(layoutRects(6)[4], (Rect{289, 454, 261, 213}));
    EXPECT_EQ(layoutRects(9)[8], (Rect{552, 454, 261, 213}));
    EXPECT_TRUE(layoutRects(0).empty());
    EXPECT_TRUE(layoutRects(5).empty());
    EXPECT_FALSE(isKnownLayout(2));
    EXPECT_TRUE(isKnownLayout(6));
}

namespace {
std::vector<SlotFrame> nineVisible() {
    std::vector<SlotFrame> frames;
    for (const Rect& r : layoutRects(9))
        frames.push_back({true, r});
    return frames;
}
} // namespace

TEST(WallLayout, SlotAtIsInclusiveOnBothEnds) {
    const auto frames = nineVisible();
    struct Case {
        int x, y, slot;
    } cases[] = {
        {287, 100, 1},  {288, 100, -1}, {289, 100, 2}, // the 2-pixel gap: first pixel belongs left
        {26, 24, 1},    {25, 24, -1},   {813, 667, 9}, {814, 667, -1}, {552, 239, 6},
        {400, 238, -1}, {400, 237, 2},  {400, 239, 5}, {0, 0, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(slotAt(c.x, c.y, frames, std::nullopt), c.slot) << c.x << "," << c.y;
}

TEST(WallLayout, SlotAtSkipsHiddenFramesAndTheVisiblePanel) {
    auto frames = nineVisible();
    frames[0].visible = false;
    EXPECT_EQ(slotAt(100, 100, frames, std::nullopt), -1);
    // The panel lies over slots 8 and 9 of the nine-frame layout; its edges count as inside.
    const Rect panel{317, 449, 199, 239};
    EXPECT_EQ(slotAt(400, 500, frames, panel), -1);
    EXPECT_EQ(slotAt(317, 500, frames, panel), -1);
    EXPECT_EQ(slotAt(316, 500, frames, panel), 8);
    EXPECT_EQ(slotAt(400, 500, frames, std::nullopt), 8);
}

TEST(WallLayout, OverlappingFramesGiveTheLowestSlot) {
    std::vector<SlotFrame> frames(9);
    frames[2] = {true, {0, 0, 100, 100}};
    frames[6] = {true, {0, 0, 100, 100}};
    EXPECT_EQ(slotAt(50, 50, frames, std::nullopt), 3);
}

TEST(WallLayout, CameraNumbering) {
    EXPECT_EQ(cameraNumber(1, 1), 1);
    EXPECT_EQ(cameraNumber(2, 5), 14);
    EXPECT_EQ(cameraNumber(4, 9), 36);
    EXPECT_EQ(cameraSectionName(7), "Camera7");
    EXPECT_EQ(cameraSectionName(36), "Camera36");
    for (int n : {1, 9, 36})
        EXPECT_EQ(cameraNumberOfName(cameraSectionName(n)), n);
    for (const char* other : {"Camera0", "Camera37", "Camera07", "camera1", "Camera", ""})
        EXPECT_EQ(cameraNumberOfName(other), 0) << other;
}
