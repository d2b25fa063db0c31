#include "app/dialogs/FrameMotionPreview.h"

#include "capture/VideoFrame.h"

#include <algorithm>

namespace norvale {

FrameMotionPreview::FrameMotionPreview(IFrameSource& source) : source_(source) {}

void FrameMotionPreview::tune(const MotionSettings& settings) {
    detector_.setSettings(settings);
}

bool FrameMotionPreview::view(std::vector<std::uint8_t>& grey, std::vector<std::uint8_t>& changed,
                              int& width, int& height) {
    // The page looks while the dialog's own picture may be on a hidden page: frames are wanted.
    source_.SetFramesWanted(true);
    std::shared_ptr<const TVideoFrame> frame = source_.LatestFrame();
    if (!frame) {
        // Stopped: the next picture starts a new background.
        last_.reset();
        detector_.reset();
        return false;
    }
    if (frame != last_) {
        const int fw = frame->Width(), fh = frame->Height();
        const int bytes = frame->Format() == TVideoFrame::PixelFormat::Bgrx32 ? 4 : 3;
        if (fw <= 0 || fh <= 0 || !frame->Data() || frame->Stride() < fw * bytes)
            return false;
        width_ = std::min(fw, GreyWidth);
        height_ = std::max(1, static_cast<int>(static_cast<long long>(fh) * width_ / fw));
        grey_.resize(static_cast<std::size_t>(width_) * height_);
        // Nearest pixel of the frame for each grey pixel; luminance by the usual weights.
        for (int y = 0; y < height_; ++y) {
            const std::uint8_t* row =
                frame->Data() + static_cast<std::ptrdiff_t>(y * fh / height_) * frame->Stride();
            for (int x = 0; x < width_; ++x) {
                const std::uint8_t* p = row + static_cast<std::ptrdiff_t>(x * fw / width_) * bytes;
                grey_[static_cast<std::size_t>(y) * width_ + x] =
                    static_cast<std::uint8_t>((29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8);
            }
        }
        detector_.feed({grey_.data(), width_, height_, width_});
        last_ = std::move(frame);
    }
    grey = grey_;
    changed = detector_.changedMap();
    width = width_;
    height = height_;
    return true;
}

} // namespace norvale
