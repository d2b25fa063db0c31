#pragma once
// The "Motion" page's picture from the settings dialog's own preview: the latest frame of its
// renderer made into the small grey picture detection works on, and run through a detector of
// its own with the settings being tuned. So a user sees what the camera's detector would see
// while the camera itself is stopped for the dialog.
#include "app/dialogs/MotionPreview.h"
#include "core/MotionDetector.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace norvale {

class IFrameSource;
class TVideoFrame;

class FrameMotionPreview : public IMotionPreview {
public:
    // The width of the grey picture; a smaller frame keeps its own.
    static constexpr int GreyWidth = 160;

    explicit FrameMotionPreview(IFrameSource& source);

    bool view(std::vector<std::uint8_t>& grey, std::vector<std::uint8_t>& changed, int& width,
              int& height) override;
    void tune(const MotionSettings& settings) override;

private:
    IFrameSource& source_;
    MotionDetector detector_;
    std::shared_ptr<const TVideoFrame> last_;
    std::vector<std::uint8_t> grey_;
    int width_ = 0;
    int height_ = 0;
};

} // namespace norvale
