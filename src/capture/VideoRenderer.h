#pragma once
// The renderer: the end of the preview stream. It keeps only the latest frame (24-bit, rows top
// to bottom) for a window to paint, and never blocks the streaming thread: a frame that arrives
// while the window has not taken the previous one simply replaces it. While no window wants
// frames (hidden or minimised) they are dropped on arrival, unconverted and unpainted.
#include "FilterGraph.h"

#include <functional>
#include <memory>

namespace norvale {

// One decoded picture, kept alive (and mapped) for as long as someone holds it.
class TVideoFrame {
public:
    ~TVideoFrame();
    TVideoFrame(const TVideoFrame&) = delete;
    TVideoFrame& operator=(const TVideoFrame&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }
    // Width x Height pixels, 3 bytes each in blue, green, red order; rows Stride bytes apart.
    const uint8_t* Data() const { return data_; }

    struct Holder; // internal
    explicit TVideoFrame(std::unique_ptr<Holder> holder);

private:
    std::unique_ptr<Holder> holder_;
    int width_ = 0, height_ = 0, stride_ = 0;
    const uint8_t* data_ = nullptr;
};

class TVideoRenderer : public TFilterComponent {
public:
    explicit TVideoRenderer(std::string name = "VideoWindow");
    ~TVideoRenderer() override;

    // The latest frame (none before the first one or after the renderer left its graph).
    // Taking it re-arms the frame listener.
    std::shared_ptr<const TVideoFrame> LatestFrame() const;

    // Called on the streaming thread when a frame arrived and the previous call has been
    // answered by LatestFrame; it must only schedule work (e.g. a queued repaint).
    void SetFrameListener(std::function<void()> listener);
    // Whether frames are kept at all (false while the window is hidden).
    void SetFramesWanted(bool wanted);
    bool FramesWanted() const;

    // Whether a stream is connected to the renderer's input.
    bool Connected() const;
    // Called on the GUI thread right before the graph runs (full-screen placement happens here).
    void SetOnAboutToRun(std::function<void()> handler) { onAboutToRun_ = std::move(handler); }

    struct Impl; // internal

private:
    void Joining() override;
    void Left() override;
    void AboutToRun() override;

    std::function<void()> onAboutToRun_;
    std::unique_ptr<Impl> d_;
};

} // namespace norvale
