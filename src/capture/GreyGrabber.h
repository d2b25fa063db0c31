#pragma once
// The end of the motion branch: every frame that reaches it is handed to a callback as a small
// grey picture, on the streaming thread.
//
// The picture is made from the stream's own luminance, as cheaply as it can be: a probe at the
// branch's end picks the frame's nearest pixel for each pixel of a picture about Width pixels
// across (its shape kept, square pixels), and reads only those: the Y byte of a YUV stream, the
// weighted components of an RGB one. Nothing is scaled, converted or allocated per frame, and
// nothing goes on past the probe; the branch never holds the stream up.
// Motion is judged on at most about six pictures a second: frames closer than MinGapMs to the
// last one taken are dropped at the branch's entrance, before any work is done on them. A
// 15 fps camera is judged on every third frame, a third of the cost of judging them all, and
// motion is still confirmed (two pictures in a row) within half a second, its start stamped
// with the first of them.
//
// Rendered like a renderer, as a preview branch of the source's tee:
//   grabber.SetFilterGraph(&graph);   // after the renderer, so it never stands for the picture
//   graph.RenderStream(PIN_CATEGORY_PREVIEW, source, nullptr, grabber);
#include "FilterGraph.h"
#include "core/MotionDetector.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace norvale {

class TGreyGrabber : public TFilterComponent {
public:
    static constexpr int Width = 160;
    static constexpr int MinGapMs = 150;

    explicit TGreyGrabber(std::string name = "MotionGrabber");
    ~TGreyGrabber() override;

    // `picture` is valid during the call only. `wallMs`: when the frame was taken, in
    // milliseconds since the epoch (the stream's own time stamp put on the wall clock).
    // `firstOfRun`: the first picture since the graph was last run, so whatever compares frames
    // starts over.
    using Handler =
        std::function<void(const GreyView& picture, std::int64_t wallMs, bool firstOfRun)>;
    // Set it while the graph does not run; calls never overlap.
    void SetOnPicture(Handler handler);

    // Pictures handed over since the grabber was made (any thread; for tests and measurements).
    std::uint64_t PicturesDelivered() const;

    struct Impl; // internal

private:
    void Joining() override;
    void Left() override;
    void AboutToRun() override;

    std::unique_ptr<Impl> d_;
};

// A grey picture as a baseline JPEG (`quality` 1 to 100); empty when it cannot be encoded.
std::vector<std::uint8_t> EncodeGreyJpeg(const GreyView& picture, int quality = 75);

} // namespace norvale
