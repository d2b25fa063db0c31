#include "VideoRenderer.h"

#include "GraphInternal.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

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
};

namespace {

GstFlowReturn onNewSample(GstAppSink* sink, gpointer data) {
    auto* d = static_cast<TVideoRenderer::Impl*>(data);
    gst::Sample sample(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_OK;
    if (!d->wanted.load())
        return GST_FLOW_OK; // dropped unseen
    auto holder = std::make_shared<MappedSample>();
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps))
        return GST_FLOW_OK;
    holder->mapped = gst_video_frame_map(&holder->frame, &info, buffer, GST_MAP_READ);
    if (!holder->mapped)
        return GST_FLOW_OK;
    holder->sample = std::move(sample);
    GstVideoFrame* f = &holder->frame;
    auto frame = std::make_shared<const TVideoFrame>(
        GST_VIDEO_FRAME_WIDTH(f), GST_VIDEO_FRAME_HEIGHT(f), GST_VIDEO_FRAME_PLANE_STRIDE(f, 0),
        static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(f, 0)), holder);
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
    d_->wanted = wanted;
    if (!wanted) {
        std::lock_guard lock(d_->lock);
        d_->latest.reset();
    }
}

bool TVideoRenderer::FramesWanted() const {
    return d_->wanted;
}

bool TVideoRenderer::Connected() const {
    return d_->input && gst_pad_is_linked(d_->input.get());
}

void TVideoRenderer::Joining() {
    gst::Ref<GstElement> sink = gst::make("appsink", Name().c_str());
    if (!sink)
        return;
    gst::Caps caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", nullptr));
    // Keep one frame, never wait for the clock or the window: the renderer must not slow the
    // stream that also feeds the grabber and the writer.
    g_object_set(sink.get(), "caps", caps.get(), "max-buffers", 1u, "drop", TRUE, "sync", FALSE,
                 "async", FALSE, "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, d_.get(), nullptr);
    d_->input = gst::Ref<GstPad>(gst_element_get_static_pad(sink.get(), "sink"));
    core().element = std::move(sink);
}

void TVideoRenderer::Left() {
    std::lock_guard lock(d_->lock);
    d_->latest.reset();
    d_->input.reset();
}

void TVideoRenderer::AboutToRun() {
    if (onAboutToRun_)
        onAboutToRun_();
}

} // namespace norvale
