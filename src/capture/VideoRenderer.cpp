#include "VideoRenderer.h"

#include "CaptureLog.h"
#include "GraphInternal.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace norvale {

namespace {

// Keeps a sample and its mapping for as long as a frame made from it lives.
struct MappedSample {
    gst::Sample sample;
    GstVideoFrame frame{};
    bool mapped = false;
    MappedSample() = default;
    MappedSample(const MappedSample&) = delete;
    MappedSample& operator=(const MappedSample&) = delete;
    ~MappedSample() {
        if (mapped)
            gst_video_frame_unmap(&frame);
    }
};

} // namespace

struct TVideoRenderer::Impl {
    mutable std::mutex lock;
    std::shared_ptr<const TVideoFrame> latest;
    std::function<void()> listener;
    std::atomic<bool> wanted{true};
    mutable std::atomic<bool> notified{false};
    gst::Ref<GstPad> input;
    // GUI thread: the picture area and the filter that asks the converter for that size.
    gst::Ref<GstElement> size;
    int areaWidth = 0, areaHeight = 0;
    bool keepAspect = true;
    // Streaming thread: the layout of the frames, read again only when their caps change.
    gst::Caps infoCaps;
    GstVideoInfo info{};
};

namespace {

// Frames are asked for in 32-bit (what a window paints without converting), fitted into the
// picture area when the shape is kept and the area is known; never enlarged.
gst::Caps sizeCaps(int width, int height, bool keepAspect) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr);
    if (keepAspect && width > 0 && height > 0)
        gst_caps_set_simple(caps, "width", GST_TYPE_INT_RANGE, 1, width, "height",
                            GST_TYPE_INT_RANGE, 1, height, "pixel-aspect-ratio", GST_TYPE_FRACTION,
                            1, 1, nullptr);
    return gst::Caps(caps);
}

// Frames nobody can see are dropped before they are converted or scaled.
GstPadProbeReturn dropUnwanted(GstPad*, GstPadProbeInfo*, gpointer data) {
    auto* d = static_cast<TVideoRenderer::Impl*>(data);
    return d->wanted.load(std::memory_order_relaxed) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
}

GstFlowReturn onNewSample(GstAppSink* sink, gpointer data) {
    auto* d = static_cast<TVideoRenderer::Impl*>(data);
    gst::Sample sample(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_OK;
    if (!d->wanted.load())
        return GST_FLOW_OK; // dropped unseen
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (!caps || !buffer)
        return GST_FLOW_OK;
    if (caps != d->infoCaps.get()) {
        if (!gst_video_info_from_caps(&d->info, caps)) {
            d->infoCaps.reset();
            return GST_FLOW_OK;
        }
        d->infoCaps.reset(gst_caps_ref(caps));
    }
    auto holder = std::make_shared<MappedSample>();
    holder->mapped = gst_video_frame_map(&holder->frame, &d->info, buffer, GST_MAP_READ);
    if (!holder->mapped)
        return GST_FLOW_OK;
    holder->sample = std::move(sample);
    GstVideoFrame* f = &holder->frame;
    const auto format = GST_VIDEO_FRAME_FORMAT(f) == GST_VIDEO_FORMAT_BGRx
                            ? TVideoFrame::PixelFormat::Bgrx32
                            : TVideoFrame::PixelFormat::Bgr24;
    auto frame = std::make_shared<const TVideoFrame>(
        GST_VIDEO_FRAME_WIDTH(f), GST_VIDEO_FRAME_HEIGHT(f), GST_VIDEO_FRAME_PLANE_STRIDE(f, 0),
        static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(f, 0)), holder, format);
    // The listener runs under the lock so that replacing it (a window going away) waits for a
    // call in progress; it only posts work, so the lock is held briefly.
    std::lock_guard lock(d->lock);
    d->latest = std::move(frame);
    if (!d->notified.exchange(true) && d->listener)
        d->listener();
    return GST_FLOW_OK;
}

} // namespace

TVideoRenderer::TVideoRenderer(std::string name)
    : TFilterComponent(std::move(name)), d_(std::make_unique<Impl>()) {}

TVideoRenderer::~TVideoRenderer() {
    try {
        SetFilterGraph(nullptr);
    } catch (...) {
        LogSwallowedFailure("the renderer leaving its graph");
    }
}

std::shared_ptr<const TVideoFrame> TVideoRenderer::LatestFrame() const {
    std::lock_guard lock(d_->lock);
    d_->notified = false;
    return d_->latest;
}

void TVideoRenderer::SetFrameListener(std::function<void()> listener) {
    std::lock_guard lock(d_->lock);
    d_->listener = std::move(listener);
}

void TVideoRenderer::SetFramesWanted(bool wanted) {
    const bool was = d_->wanted.exchange(wanted);
    if (!wanted) {
        std::lock_guard lock(d_->lock);
        d_->latest.reset();
    }
    if (was != wanted && onWantedChanged_)
        onWantedChanged_();
}

bool TVideoRenderer::FramesWanted() const {
    return d_->wanted;
}

bool TVideoRenderer::Connected() const {
    return d_->input && gst_pad_is_linked(d_->input.get());
}

void TVideoRenderer::SetPictureArea(int width, int height, bool keepAspect) {
    Impl& d = *d_;
    width = std::max(0, width);
    height = std::max(0, height);
    if (width == d.areaWidth && height == d.areaHeight && keepAspect == d.keepAspect)
        return;
    d.areaWidth = width;
    d.areaHeight = height;
    d.keepAspect = keepAspect;
    // A running stream renegotiates its size with the next frame.
    if (d.size) {
        gst::Caps caps = sizeCaps(width, height, keepAspect);
        g_object_set(d.size.get(), "caps", caps.get(), nullptr);
    }
}

void TVideoRenderer::Joining() {
    // Conversion and scaling in one pass, then one frame kept for the window.
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(Name().c_str()));
    gst::Ref<GstElement> scale = gst::make("videoconvertscale", "scale");
    gst::Ref<GstElement> size = gst::make("capsfilter", "size");
    gst::Ref<GstElement> sink = gst::make("appsink", "sink");
    if (!bin || !scale || !size || !sink)
        return;
    gst::Caps caps = sizeCaps(d_->areaWidth, d_->areaHeight, d_->keepAspect);
    g_object_set(size.get(), "caps", caps.get(), nullptr);
    // Shown pictures are mostly scaled down to a tile: resampling the chroma first and dithering
    // 8-bit values into 8 bits change nothing one can see there, and cost about as much as the
    // scaling itself.
    gst_util_set_object_arg(G_OBJECT(scale.get()), "chroma-mode", "none");
    gst_util_set_object_arg(G_OBJECT(scale.get()), "dither", "none");
    // Keep one frame, never wait for the clock or the window: the renderer must not slow the
    // stream that also feeds the grabber and the writer.
    g_object_set(sink.get(), "max-buffers", 1u, "drop", TRUE, "sync", FALSE, "async", FALSE,
                 "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, d_.get(), nullptr);
    gst_bin_add_many(GST_BIN(bin.get()), scale.get(), size.get(), sink.get(), nullptr);
    if (!gst_element_link_many(scale.get(), size.get(), sink.get(), nullptr))
        return;
    gst::Ref<GstPad> input(gst_element_get_static_pad(scale.get(), "sink"));
    // The element never outlives the renderer: it is released when the renderer leaves its
    // graph, which the destructor makes sure of.
    gst_pad_add_probe(input.get(), GST_PAD_PROBE_TYPE_BUFFER, dropUnwanted, d_.get(), nullptr);
    GstPad* ghost = gst_ghost_pad_new("sink", input.get());
    gst_element_add_pad(bin.get(), ghost);
    d_->input = gst::addRef(ghost);
    d_->size = std::move(size);
    core().element = std::move(bin);
}

void TVideoRenderer::Stopped() {
    // A stopped graph shows nothing, not its last picture.
    std::lock_guard lock(d_->lock);
    d_->latest.reset();
}

void TVideoRenderer::Left() {
    std::lock_guard lock(d_->lock);
    d_->latest.reset();
    d_->input.reset();
    d_->size.reset();
    d_->infoCaps.reset();
}

void TVideoRenderer::AboutToRun() {
    if (onAboutToRun_)
        onAboutToRun_();
}

} // namespace norvale
