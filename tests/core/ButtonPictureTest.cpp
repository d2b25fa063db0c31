#include "core/ButtonPicture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using norvale::ButtonFlags;
using norvale::ButtonPicture;
using norvale::ButtonPictureSet;
using norvale::PixelRect;

namespace {

struct ChoiceCase {
    const char* name;
    ButtonFlags flags;
    ButtonPictureSet available;
    ButtonPicture expected;
};

constexpr ButtonPictureSet kAll{true, true, true, true};
constexpr ButtonPictureSet kThree{true, true, true, false}; // the wall's image lists
constexpr ButtonPictureSet kIdleOnly{true, false, false, false};
constexpr ButtonPictureSet kNothing{};

// flags: enabled, pressed, mouseInside, downed
const ChoiceCase kChoiceCases[] = {
    {"idle", {true, false, false, false}, kAll, ButtonPicture::Idle},
    {"hover", {true, false, true, false}, kAll, ButtonPicture::Up},
    {"pressedInside", {true, true, true, false}, kAll, ButtonPicture::Down},
    {"pressedOutsideShowsNormal", {true, true, false, false}, kAll, ButtonPicture::Idle},
    {"downed", {true, false, false, true}, kAll, ButtonPicture::Down},
    {"downedWinsOverHover", {true, false, true, true}, kAll, ButtonPicture::Down},
    {"downedWhilePressedOutside", {true, true, false, true}, kAll, ButtonPicture::Down},
    {"disabledIdle", {false, false, false, false}, kAll, ButtonPicture::Disabled},
    {"disabledNeverHovers", {false, false, true, false}, kAll, ButtonPicture::Disabled},
    {"disabledNeverDown", {false, true, true, true}, kAll, ButtonPicture::Disabled},
    {"disabledWithoutPictureLooksNormal", {false, false, true, true}, kThree, ButtonPicture::Idle},
    {"onlyIdleHover", {true, false, true, false}, kIdleOnly, ButtonPicture::Idle},
    {"onlyIdlePressed", {true, true, true, false}, kIdleOnly, ButtonPicture::Idle},
    {"onlyIdleDowned", {true, false, false, true}, kIdleOnly, ButtonPicture::Idle},
    {"noDownFallsBackToNormalNotHover",
     {true, true, true, false},
     {true, true, false, false},
     ButtonPicture::Idle},
    {"disabledDownedWithoutDownShowsDisabled",
     {false, false, false, true},
     {true, false, false, true},
     ButtonPicture::Disabled},
    {"nothingLoaded", {true, false, true, true}, kNothing, ButtonPicture::Idle},
};

TEST(ButtonPictureChoice, FollowsTheStateTable) {
    for (const ChoiceCase& c : kChoiceCases)
        EXPECT_EQ(norvale::chooseButtonPicture(c.flags, c.available), c.expected) << c.name;
}

// A picture written as rows of characters; each character is a colour.
norvale::PixelReader reader(const std::vector<std::string>& rows) {
    return [rows](int x, int y) { return static_cast<std::uint32_t>(rows.at(y).at(x)); };
}

TEST(ButtonPictureShape, KeyColourIsTheTopLeftPixel) {
    const std::vector<std::string> rows = {
        "m.m",
        "..m",
    };
    EXPECT_EQ(norvale::keptPixelMask(3, 2, reader(rows)),
              (std::vector<std::uint8_t>{0, 1, 0, 1, 1, 0}));
}

TEST(ButtonPictureShape, RectsAreBandedRunsOfKeptPixels) {
    const std::vector<std::string> rows = {
        "mmmmm", // nothing kept
        "m##m#", // two runs
        "m##m#", // same runs: same band
        "#####", // new band, one run
        "mmmmm",
    };
    const std::vector<PixelRect> expected = {
        {1, 1, 2, 2},
        {4, 1, 1, 2},
        {0, 3, 5, 1},
    };
    EXPECT_EQ(norvale::keptPixelRects(5, 5, reader(rows)), expected);
}

TEST(ButtonPictureShape, UniformPictureKeepsNothingAndEmptyPictureHasNoShape) {
    EXPECT_TRUE(norvale::keptPixelRects(4, 3, reader({"kkkk", "kkkk", "kkkk"})).empty());
    EXPECT_TRUE(norvale::keptPixelRects(0, 0, reader({})).empty());
    EXPECT_TRUE(norvale::keptPixelMask(-1, 5, reader({})).empty());
}

TEST(ButtonPictureShape, KeyInTheMiddleLeavesAHole) {
    const std::vector<std::string> rows = {
        "k###",
        "#k##",
    };
    const std::vector<PixelRect> expected = {{1, 0, 3, 1}, {0, 1, 1, 1}, {2, 1, 2, 1}};
    EXPECT_EQ(norvale::keptPixelRects(4, 2, reader(rows)), expected);
}

TEST(ButtonPictureShape, BufferWithStrideIsReadWithinBounds) {
    // 2 x 2 picture stored with a stride of 3; the padding column must not be read as a pixel.
    const std::vector<std::uint32_t> pixels = {7, 1, 99, 7, 7};
    const std::vector<PixelRect> expected = {{1, 0, 1, 1}};
    EXPECT_EQ(norvale::keptPixelRects(2, 2, pixels, 3), expected);
}

TEST(ButtonPictureShape, TooSmallBufferIsRefused) {
    const std::vector<std::uint32_t> pixels(5);
    EXPECT_THROW(norvale::keptPixelRects(3, 2, pixels, 3), std::invalid_argument);
    EXPECT_THROW(norvale::keptPixelRects(3, 2, pixels, 2), std::invalid_argument);
    EXPECT_NO_THROW(norvale::keptPixelRects(3, 2, std::vector<std::uint32_t>(6), 3));
}

} // namespace
