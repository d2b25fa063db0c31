#pragma once
// The picture button's pure rules: which of its four pictures a state shows, and which pixels of a
// picture remain when its key colour (the colour of its top-left pixel) is cut away.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace norvale {

// The four pictures of a picture button.
enum class ButtonPicture { Idle, Up, Down, Disabled };

// The state a picture button paints from.
struct ButtonFlags {
    bool enabled = true;      // the button's own enabled flag (clicks are reported)
    bool pressed = false;     // the left button went down on it and is still down
    bool mouseInside = false; // the pointer is over it
    bool downed = false;      // held down by the program
};

// Which pictures hold a graphic.
struct ButtonPictureSet {
    bool idle = false;
    bool up = false;
    bool down = false;
    bool disabled = false;
};

// The picture to show. Being held down (by the pointer over the button, or by the program) wins
// over hovering; a disabled button only ever shows its normal picture, which is the disabled
// picture when it has one. The result may name an empty picture (Idle when nothing is loaded):
// the caller then draws nothing.
ButtonPicture chooseButtonPicture(const ButtonFlags& flags, const ButtonPictureSet& available);

// A rectangle of pixels.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};

// Reads the colour of pixel (x, y) as one 32-bit value; equal values mean equal colours.
using PixelReader = std::function<std::uint32_t(int x, int y)>;

// One byte per pixel, row-major: 1 where the pixel is kept, 0 where it has the key colour, which
// is the colour of pixel (0, 0). Empty when width or height is not positive.
std::vector<std::uint8_t> keptPixelMask(int width, int height, const PixelReader& pixel);

// The kept pixels as rectangles in y-x banded order: each band is a run of rows with identical
// kept runs, each rectangle a maximal horizontal run within its band. No rectangle overlaps or
// touches another in the same band, so the list is a valid region description as it stands.
std::vector<PixelRect> keptPixelRects(int width, int height, const PixelReader& pixel);

// The same over a buffer of 32-bit pixels, row-major, `stride` pixels from one row to the next.
// Throws std::invalid_argument when the buffer is too small for the given geometry.
std::vector<PixelRect> keptPixelRects(int width, int height, std::span<const std::uint32_t> pixels,
                                      std::size_t stride);

} // namespace norvale
