#include "ButtonPicture.h"

#include <stdexcept>
#include <string>

namespace norvale {

ButtonPicture chooseButtonPicture(const ButtonFlags& flags, const ButtonPictureSet& available) {
    const ButtonPicture normal =
        (!flags.enabled && available.disabled) ? ButtonPicture::Disabled : ButtonPicture::Idle;
    if (flags.enabled && ((flags.pressed && flags.mouseInside) || flags.downed))
        return available.down ? ButtonPicture::Down : normal;
    if (flags.enabled && flags.mouseInside && !flags.pressed)
        return available.up ? ButtonPicture::Up : normal;
    return normal;
}

std::vector<std::uint8_t> keptPixelMask(int width, int height, const PixelReader& pixel) {
    if (width <= 0 || height <= 0)
        return {};
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(width) * height);
    const std::uint32_t key = pixel(0, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            mask[static_cast<std::size_t>(y) * width + x] = pixel(x, y) != key ? 1 : 0;
    return mask;
}

namespace {

struct Run {
    int x;
    int width;
    bool operator==(const Run&) const = default;
};

std::vector<Run> rowRuns(const std::uint8_t* row, int width) {
    std::vector<Run> runs;
    int x = 0;
    while (x < width) {
        while (x < width && !row[x])
            ++x;
        const int start = x;
        while (x < width && row[x])
            ++x;
        if (x > start)
            runs.push_back({start, x - start});
    }
    return runs;
}

} // namespace

std::vector<PixelRect> keptPixelRects(int width, int height, const PixelReader& pixel) {
    const std::vector<std::uint8_t> mask = keptPixelMask(width, height, pixel);
    std::vector<PixelRect> rects;
    if (mask.empty())
        return rects;
    std::vector<Run> bandRuns;
    int bandTop = 0;
    auto flush = [&](int bandBottom) {
        for (const Run& run : bandRuns)
            rects.push_back({run.x, bandTop, run.width, bandBottom - bandTop});
    };
    for (int y = 0; y < height; ++y) {
        std::vector<Run> runs = rowRuns(&mask[static_cast<std::size_t>(y) * width], width);
        if (y > 0 && runs == bandRuns)
            continue;
        if (y > 0)
            flush(y);
        bandRuns = std::move(runs);
        bandTop = y;
    }
    flush(height);
    return rects;
}

std::vector<PixelRect> keptPixelRects(int width, int height, std::span<const std::uint32_t> pixels,
                                      std::size_t stride) {
    if (width <= 0 || height <= 0)
        return {};
    if (stride < static_cast<std::size_t>(width))
        throw std::invalid_argument("picture row stride " + std::to_string(stride) +
                                    " is shorter than its width " + std::to_string(width));
    const std::size_t needed = stride * (static_cast<std::size_t>(height) - 1) + width;
    if (pixels.size() < needed)
        throw std::invalid_argument("picture buffer holds " + std::to_string(pixels.size()) +
                                    " pixels, " + std::to_string(needed) + " needed");
    return keptPixelRects(width, height, [&](int x, int y) {
        return pixels[static_cast<std::size_t>(y) * stride + x];
    });
}

} // namespace norvale
