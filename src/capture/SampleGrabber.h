#pragma once
// The frame grabber: every frame that passes it reaches OnBuffer as 24-bit RGB, on the
// streaming thread, under the grabber's own lock (calls never overlap).
//
// The stream itself passes through in the format it comes in; a frame is converted only to be
// handed to OnBuffer (or asked for with GetCurrentBuffer / FrameToBitmap). A handler that needs
// only some frames says so with SetBufferWanted, and the others then cost no conversion.
#include "FilterGraph.h"
#include "core/MediaTypeText.h"

#include <functional>
#include <memory>
#include <mutex>

namespace norvale {

// A device-independent bitmap in memory: the picture header and the pixel rows as the header
// describes them (a negative height means rows from top to bottom).
struct TBitmap {
    BitmapInfoHeader header;
    std::vector<uint8_t> bits;

    bool empty() const { return bits.empty(); }
    // The whole .bmp file: 14-byte file header, picture header, rows.
    std::vector<uint8_t> BmpFile() const;
};

class TSampleGrabber;
// sender, sample time in seconds, the frame's bytes, their number.
using TOnBuffer = std::function<void(TSampleGrabber& sender, double sampleTime,
                                     const uint8_t* buffer, size_t length)>;

class TSampleGrabber : public TFilterComponent {
public:
    // EAssertionFailed("The SampleGrabber Filter is not available on this system.") when the
    // elements it is made of are missing.
    explicit TSampleGrabber(std::string name = "VideoSampleGrabber");
    ~TSampleGrabber() override;

    // The type frames are delivered in: video, RGB24 (or RGB32), VideoInfo, no format block.
    AmMediaType& MediaType() { return mediaType_; }
    const AmMediaType& MediaType() const { return mediaType_; }

    // Set it while the graph is not running (never from within OnBuffer).
    void SetOnBuffer(TOnBuffer handler);
    // Asked on the streaming thread, under the grabber's lock, before each frame is converted
    // for OnBuffer: when it answers false the frame is neither converted nor handed to OnBuffer.
    // It must be cheap. None (the default): every frame goes to OnBuffer.
    void SetBufferWanted(std::function<bool()> wanted);

    // The negotiated type (with its VideoInfo block; rows run top to bottom, so RGB pictures have
    // a negative height). E_FAIL / VFW_E_NOT_CONNECTED while nothing is negotiated.
    HResult GetConnectedMediaType(AmMediaType& out) const;
    // A copy of the last frame that passed, in the delivered format (buffering is always on).
    // E_FAIL when none.
    HResult GetCurrentBuffer(std::vector<uint8_t>& out) const;

    // Frames that have passed the grabber since it was made (any thread; for measurements).
    std::uint64_t FramesDelivered() const;

    // Builds `bitmap` from a frame: `bytes`/`count` when given (a count of 0 is refused), else
    // the last frame. Copies the smaller of the picture size and the bytes available.
    bool FrameToBitmap(TBitmap* bitmap, const uint8_t* bytes, size_t count) const;

    struct Impl; // internal

private:
    void Joining() override;
    void Left() override;

    AmMediaType mediaType_;
    std::unique_ptr<Impl> d_;
};

} // namespace norvale
