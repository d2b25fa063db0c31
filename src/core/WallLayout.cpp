#include "core/WallLayout.h"

namespace norvale {

namespace {

constexpr std::array<Rect, 1> kOne{{{26, 24, 787, 643}}};

constexpr std::array<Rect, 4> kFour{{
    {26, 24, 392, 320},
    {421, 24, 392, 320},
    {26, 347, 392, 320},
    {421, 347, 392, 320},
}};

constexpr std::array<Rect, 6> kSix{{
    {26, 24, 524, 428},
    {552, 24, 261, 213},
    {552, 239, 261, 213},
    {26, 454, 261, 213},
    {289, 454, 261, 213},
    {552, 454, 261, 213},
}};

constexpr std::array<Rect, 9> kNine{{
    {26, 24, 261, 213},
    {289, 24, 261, 213},
    {552, 24, 261, 213},
    {26, 239, 261, 213},
    {289, 239, 261, 213},
    {552, 239, 261, 213},
    {26, 454, 261, 213},
    {289, 454, 261, 213},
    {552, 454, 261, 213},
}};

} // namespace

bool isKnownLayout(int frames) {
    return frames == 1 || frames == 4 || frames == 6 || frames == 9;
}

std::span<const Rect> layoutRects(int frames) {
    switch (frames) {
    case 1:
        return kOne;
    case 4:
        return kFour;
    case 6:
        return kSix;
    case 9:
        return kNine;
    default:
        return {};
    }
}

std::string cameraSectionName(int cameraNumber) {
    return "Camera" + std::to_string(cameraNumber);
}

int cameraNumberOfName(std::string_view name) {
    constexpr std::string_view prefix = "Camera";
    if (name.substr(0, prefix.size()) != prefix)
        return 0;
    for (int n = 1; n <= kGroupCount * kSlotsPerGroup; ++n)
        if (name == cameraSectionName(n))
            return n;
    return 0;
}

int slotAt(int x, int y, std::span<const SlotFrame> slots, std::optional<Rect> visiblePanel) {
    if (visiblePanel && visiblePanel->containsInclusive(x, y))
        return -1;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].visible && slots[i].rect.containsInclusive(x, y))
            return static_cast<int>(i) + 1;
    }
    return -1;
}

} // namespace norvale
