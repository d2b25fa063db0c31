#pragma once
// Frames for painting, and where a window gets them from. Header only, so a window can use it
// without linking the capture layer's internals.
#include <cstdint>
#include <functional>
#include <memory>

namespace norvale {

// One picture, rows from top to bottom, Stride bytes apart: 3 bytes per pixel in blue, green,
// red order (Bgr24), or 4 with an unused fourth byte (Bgrx32, what a window paints fastest).
// Whatever holds the pixels stays alive as long as the frame.
class TVideoFrame {
public:
    enum class PixelFormat { Bgr24, Bgrx32 };
    TVideoFrame(int width, int height, int stride, const uint8_t* data,
                std::shared_ptr<const void> keepAlive, PixelFormat format = PixelFormat::Bgr24)
        : width_(width), height_(height), stride_(stride), data_(data), format_(format),
          keepAlive_(std::move(keepAlive)) {}
    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }
    const uint8_t* Data() const { return data_; }
    PixelFormat Format() const { return format_; }

private:
    int width_, height_, stride_;
    const uint8_t* data_;
    PixelFormat format_;
    std::shared_ptr<const void> keepAlive_;
};

// The latest-frame source a video window paints from (the renderer). All members are
// thread-safe; the listener is called on the streaming thread, under the source's lock: it must
// only schedule work and must not call back into the source.
class IFrameSource {
public:
    virtual ~IFrameSource() = default;
    // The latest frame, or none. Taking it re-arms the listener.
    virtual std::shared_ptr<const TVideoFrame> LatestFrame() const = 0;
    // Called once per new frame after the previous call was answered by LatestFrame. Setting
    // another listener (or none) waits for a call in progress, so a window can drop itself safely.
    virtual void SetFrameListener(std::function<void()> listener) = 0;
    // False while nobody can see the frames: they are then dropped on arrival.
    virtual void SetFramesWanted(bool wanted) = 0;
    // Whether a stream is connected (full screen is applied only then).
    virtual bool Connected() const = 0;
    // The area the frames are painted into (0 x 0: unknown). A source may then deliver them
    // already scaled to fit it (never enlarged; keeping their shape when `keepAspect`), so
    // painting copies instead of scaling. Frames of any size remain possible.
    virtual void SetPictureArea(int width, int height, bool keepAspect) {
        (void)width, (void)height, (void)keepAspect;
    }
};

} // namespace norvale
