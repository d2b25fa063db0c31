#pragma once
// Internal: what the V4L2 driver of a camera answers directly, beside GStreamer: its current
// capture format and its controls. Each call opens the device node for itself, so it works while
// the source element holds the device open too.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace norvale::v4l2 {

struct Format {
    int width = 0;
    int height = 0;
    uint32_t pixelFormat = 0; // V4L2 four-character code (YUYV, MJPG, ...)
};

struct Control {
    uint32_t id = 0;
    std::string name;
    int min = 0;
    int max = 0;
    int defaultValue = 0;
    int value = 0;
};

// The format the driver is set to; nothing when the node cannot be opened or asked.
std::optional<Format> currentFormat(const std::string& devicePath);

// Integer, boolean and menu controls that can be set now (disabled, inactive and read-only ones
// are left out), in the driver's order.
std::vector<Control> controls(const std::string& devicePath);
bool setControl(const std::string& devicePath, uint32_t id, int value);

// The GStreamer raw format name for a V4L2 pixel format ("" when unknown; "image/jpeg" kinds are
// told by isJpeg).
std::string rawFormatName(uint32_t pixelFormat);
bool isJpeg(uint32_t pixelFormat);

} // namespace norvale::v4l2
