#pragma once
// The renderer: the end of the preview stream. It keeps only the latest frame (32-bit BGRx,
// rows top to bottom) for a window to paint, and never blocks the streaming thread: a frame that
// arrives while the window has not taken the previous one simply replaces it. Frames are
// converted and, once the window has told its picture area, scaled down to fit it in one pass on
// the streaming thread, so painting is a plain copy. While no window wants frames (hidden or
// minimised) they are dropped on arrival, unconverted, unscaled and unpainted.
#include "FilterGraph.h"
#include "VideoFrame.h"

#include <functional>
#include <memory>

namespace norvale {

class TVideoRenderer : public TFilterComponent, public IFrameSource {
public:
    explicit TVideoRenderer(std::string name = "VideoWindow");
    ~TVideoRenderer() override;

    // IFrameSource. The latest frame is none before the first one and after the renderer left
    // its graph.
    std::shared_ptr<const TVideoFrame> LatestFrame() const override;
    void SetFrameListener(std::function<void()> listener) override;
    void SetFramesWanted(bool wanted) override;
    bool Connected() const override;
    // GUI thread. Takes effect at once, also while the graph runs.
    void SetPictureArea(int width, int height, bool keepAspect) override;
    bool FramesWanted() const;
    // Called on the thread of SetFramesWanted when whether frames are wanted changes.
    void SetOnFramesWantedChanged(std::function<void()> handler) {
        onWantedChanged_ = std::move(handler);
    }
    // Called on the GUI thread right before the graph runs (full-screen placement happens here).
    void SetOnAboutToRun(std::function<void()> handler) { onAboutToRun_ = std::move(handler); }

    struct Impl; // internal

private:
    void Joining() override;
    void Stopped() override;
    void Left() override;
    void AboutToRun() override;

    std::function<void()> onAboutToRun_;
    std::function<void()> onWantedChanged_;
    std::unique_ptr<Impl> d_;
};

} // namespace norvale
