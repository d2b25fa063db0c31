#pragma once
// What the "Motion" page of the camera settings dialog needs from the camera while it is open:
// the detector's last small grey picture with its changed pixels, and a way to try settings on
// the running detector at once, so a user tunes the sensitivity by watching.
#include "core/MotionDetector.h"

#include <cstdint>
#include <vector>

namespace norvale {

class IMotionPreview {
public:
    virtual ~IMotionPreview() = default;
    // The last grey picture the detector saw and its changed pixels (non-zero: changed), both
    // width × height bytes, rows without gaps; false while there is none (the camera is not
    // running or detects nothing yet). Called on the GUI thread; may be called often.
    virtual bool view(std::vector<std::uint8_t>& grey, std::vector<std::uint8_t>& changed,
                      int& width, int& height) = 0;
    // Settings to be tried from the next frame on (the dialog keeps them only after OK).
    virtual void tune(const MotionSettings& settings) = 0;
};

} // namespace norvale
