#pragma once
// The camera wall's geometry and numbering: which rectangles the 1-, 4-, 6- and 9-frame layouts
// use, how a click finds its slot, and how group and slot give a camera number.
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace norvale {

inline constexpr int kCameraCount = 36;
inline constexpr int kGroupCount = 4;
inline constexpr int kSlotsPerGroup = 9;

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    // Inclusive on both ends: the pixel at left + width still belongs to the rectangle.
    bool containsInclusive(int x, int y) const {
        return left <= x && x <= left + width && top <= y && y <= top + height;
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// True for the layouts the wall knows: 1, 4, 6 and 9 frames.
bool isKnownLayout(int frames);

// The rectangles of a layout, slot 1 first; empty for an unknown layout.
std::span<const Rect> layoutRects(int frames);

// Camera N (1..36) is slot s (1..9) of group g (1..4).
constexpr int cameraNumber(int group, int slot) {
    return (group - 1) * kSlotsPerGroup + slot;
}

// "Camera" followed by the number in decimal: the settings section and component name.
std::string cameraSectionName(int cameraNumber);
// The camera number such a name gives (1..36), 0 for any other name.
int cameraNumberOfName(std::string_view name);

// What SlotAt needs to know about one slot: whether its frame is visible and where it is.
struct SlotFrame {
    bool visible = false;
    Rect rect;
};

// The slot (1..9) whose visible frame contains the point, testing slots in ascending order;
// -1 when none does or when the visible list panel covers the point.
int slotAt(int x, int y, std::span<const SlotFrame> slots, std::optional<Rect> visiblePanel);

} // namespace norvale
