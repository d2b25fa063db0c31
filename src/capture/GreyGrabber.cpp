#include "GreyGrabber.h"

#include "CaptureLog.h"
#include "GraphInternal.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <mutex>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace norvale {

struct TGreyGrabber::Impl {
    std::mutex callbackLock; // serialises the handler; guards what follows
    Handler handler;
    // Streaming thread: the layout of the pictures, read again only when their caps change.
    gst::Caps infoCaps;
    GstVideoInfo info{};
    // Packed YUV: where the Y bytes lie (offset, step), and the picture they are gathered into,
    // allocated again only when the caps change. Planar: nothing, the Y plane is the picture.
    int lumaOffset = 0, lumaStep = 0;
    std::vector<std::uint8_t> gathered;
    std::atomic<bool> fresh{true};
    // Stream time of the last frame let into the branch; none after a (re)start.
    std::atomic<GstClockTime> lastTaken{GST_CLOCK_TIME_NONE};
    std::atomic<std::uint64_t> delivered{0};
};

namespace {

// When the frame was taken on the wall clock: its running time on the pipeline's clock, and how
// long ago that was. The stream's time stamp, not the moment the picture reached the end of the
// branch; the arrival time where a frame carries no usable stamp.
std::int64_t wallClockMs(GstElement* sink, GstSample* sample, GstBuffer* buffer) {
    const std::int64_t now = g_get_real_time() / 1000;
    const GstSegment* segment = gst_sample_get_segment(sample);
    if (!segment || segment->format != GST_FORMAT_TIME || !GST_BUFFER_PTS_IS_VALID(buffer))
        return now;
    const GstClockTime running =
        gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    gst::Ref<GstClock> clock(gst_element_get_clock(sink));
    if (!clock || !GST_CLOCK_TIME_IS_VALID(running))
        return now;
    const GstClockTime taken = gst_element_get_base_time(sink) + running;
    const GstClockTimeDiff age = GST_CLOCK_DIFF(taken, gst_clock_get_time(clock.get()));
    // A stamp from the future or from long ago is no stamp to trust.
    if (age < 0 || age > 10 * GST_SECOND)
        return now;
    return now - age / GST_MSECOND;
}

// Where a picture of `info` keeps its luminance: the first plane of a planar or grey format
// (step 0: the plane is the grey picture as it is), or every `step` bytes from `offset` of a
// packed YUV row.
bool lumaLayout(const GstVideoInfo& info, int& offset, int& step) {
    offset = step = 0;
    switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_GRAY8:
    case GST_VIDEO_FORMAT_I420:
    case GST_VIDEO_FORMAT_YV12:
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
    case GST_VIDEO_FORMAT_Y42B:
    case GST_VIDEO_FORMAT_Y444:
        return true;
    case GST_VIDEO_FORMAT_YUY2:
    case GST_VIDEO_FORMAT_YVYU:
        step = 2;
        return true;
    case GST_VIDEO_FORMAT_UYVY:
        offset = 1;
        step = 2;
        return true;
    default:
        return false;
    }
}

// Formats whose luminance is taken as it is; anything else is converted to the first.
constexpr const char* LumaFormats =
    "video/x-raw, format=(string){ GRAY8, I420, YV12, NV12, NV21, Y42B, Y444, YUY2, YVYU, UYVY }";

// At the branch's entrance: lets a frame in when it is at least MinGapMs after the last one let
// in. A frame without a time stamp, or one from before the last (a new segment), is let in.
GstPadProbeReturn onBranchBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* d = static_cast<TGreyGrabber::Impl*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer))
        return GST_PAD_PROBE_OK;
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const GstClockTime last = d->lastTaken.load(std::memory_order_relaxed);
    if (GST_CLOCK_TIME_IS_VALID(last) && pts >= last &&
        pts - last < static_cast<GstClockTime>(TGreyGrabber::MinGapMs) * GST_MSECOND)
        return GST_PAD_PROBE_DROP;
    d->lastTaken.store(pts, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

GstFlowReturn onGreySample(GstAppSink* sink, gpointer data) {
    auto* d = static_cast<TGreyGrabber::Impl*>(data);
    gst::Sample sample(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_OK;
    GstCaps* caps = gst_sample_get_caps(sample.get());
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (!caps || !buffer)
        return GST_FLOW_OK;
    std::lock_guard lock(d->callbackLock);
    if (caps != d->infoCaps.get()) {
        d->infoCaps.reset();
        if (!gst_video_info_from_caps(&d->info, caps) ||
            !lumaLayout(d->info, d->lumaOffset, d->lumaStep))
            return GST_FLOW_OK;
        d->gathered.assign(d->lumaStep > 0 ? static_cast<std::size_t>(d->info.width) *
                                                 static_cast<std::size_t>(d->info.height)
                                           : 0,
                           0);
        d->infoCaps.reset(gst_caps_ref(caps));
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &d->info, buffer, GST_MAP_READ))
        return GST_FLOW_OK;
    const int width = GST_VIDEO_FRAME_WIDTH(&frame), height = GST_VIDEO_FRAME_HEIGHT(&frame);
    const auto* plane = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    GreyView picture{plane, width, height, stride};
    if (d->lumaStep > 0 &&
        d->gathered.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) &&
        d->lumaOffset + (width - 1) * d->lumaStep < stride) {
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* row =
                plane + static_cast<std::ptrdiff_t>(y) * stride + d->lumaOffset;
            std::uint8_t* out = d->gathered.data() + static_cast<std::ptrdiff_t>(y) * width;
            for (int x = 0; x < width; ++x)
                out[x] = row[x * d->lumaStep];
        }
        picture = GreyView{d->gathered.data(), width, height, width};
    } else if (d->lumaStep > 0) {
        gst_video_frame_unmap(&frame);
        return GST_FLOW_OK;
    }
    const std::int64_t wallMs = wallClockMs(GST_ELEMENT(sink), sample.get(), buffer);
    d->delivered.fetch_add(1, std::memory_order_relaxed);
    if (d->handler) {
        try {
            d->handler(picture, wallMs, d->fresh.exchange(false));
        } catch (...) {
            // A failing handler must not take the streaming thread down.
            LogSwallowedFailure("the motion picture handler");
        }
    }
    gst_video_frame_unmap(&frame);
    return GST_FLOW_OK;
}

} // namespace

TGreyGrabber::TGreyGrabber(std::string name)
    : TFilterComponent(std::move(name)), d_(std::make_unique<Impl>()) {}

TGreyGrabber::~TGreyGrabber() {
    try {
        SetFilterGraph(nullptr);
    } catch (...) {
        LogSwallowedFailure("the motion grabber leaving its graph");
    }
}

void TGreyGrabber::SetOnPicture(Handler handler) {
    std::lock_guard lock(d_->callbackLock);
    d_->handler = std::move(handler);
}

std::uint64_t TGreyGrabber::PicturesDelivered() const {
    return d_->delivered.load(std::memory_order_relaxed);
}

void TGreyGrabber::Joining() {
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(Name().c_str()));
    gst::Ref<GstElement> scale = gst::make("videoscale", "scale");
    gst::Ref<GstElement> size = gst::make("capsfilter", "size");
    gst::Ref<GstElement> grey = gst::make("videoconvert", "grey");
    gst::Ref<GstElement> format = gst::make("capsfilter", "format");
    gst::Ref<GstElement> sink = gst::make("appsink", "sink");
    if (!bin || !scale || !size || !grey || !format || !sink)
        return;
    // Scaled first, in the stream's own format, by picking pixels: the full-size frame is only
    // read where a picked pixel lies. The shape is kept (square pixels, no borders).
    gst_util_set_object_arg(G_OBJECT(scale.get()), "method", "nearest-neighbour");
    g_object_set(scale.get(), "add-borders", FALSE, nullptr);
    gst::Caps sizeCaps(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, Width,
                                           "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
    g_object_set(size.get(), "caps", sizeCaps.get(), nullptr);
    // Then the luminance alone. A YUV stream passes the converter untouched and its Y bytes are
    // the grey picture; anything else (RGB) is converted, without resampling or dithering colour.
    gst_util_set_object_arg(G_OBJECT(grey.get()), "chroma-mode", "none");
    gst_util_set_object_arg(G_OBJECT(grey.get()), "dither", "none");
    gst::Caps greyCaps(gst_caps_from_string(LumaFormats));
    g_object_set(format.get(), "caps", greyCaps.get(), nullptr);
    g_object_set(sink.get(), "max-buffers", 1u, "drop", TRUE, "sync", FALSE, "async", FALSE,
                 "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onGreySample;
    // The element never outlives the grabber: it is released when the grabber leaves its graph,
    // which the destructor makes sure of.
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, d_.get(), nullptr);
    gst_bin_add_many(GST_BIN(bin.get()), scale.get(), size.get(), grey.get(), format.get(),
                     sink.get(), nullptr);
    if (!gst_element_link_many(scale.get(), size.get(), grey.get(), format.get(), sink.get(),
                               nullptr))
        return;
    gst::Ref<GstPad> input(gst_element_get_static_pad(scale.get(), "sink"));
    gst_pad_add_probe(input.get(), GST_PAD_PROBE_TYPE_BUFFER, onBranchBuffer, d_.get(), nullptr);
    gst_element_add_pad(bin.get(), gst_ghost_pad_new("sink", input.get()));
    core().element = std::move(bin);
}

void TGreyGrabber::Left() {
    std::lock_guard lock(d_->callbackLock);
    d_->infoCaps.reset();
}

void TGreyGrabber::AboutToRun() {
    d_->fresh = true;
    d_->lastTaken = GST_CLOCK_TIME_NONE;
}

// ---------------------------------------------------------------------------------------------
// JPEG

namespace {

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void onJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}

void onJpegMessage(j_common_ptr, int) {}

// Kept free of C++ objects with destructors: libjpeg reports errors with longjmp. Encodes into
// `*out`, a buffer of `*size` bytes; on success `*size` is the length of the picture.
bool encodeInto(const GreyView& picture, int quality, unsigned char** out, unsigned long* size) {
    jpeg_compress_struct cinfo;
    JpegErrors err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onJpegError;
    err.pub.emit_message = onJpegMessage;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, size);
    cinfo.image_width = static_cast<JDIMENSION>(picture.width);
    cinfo.image_height = static_cast<JDIMENSION>(picture.height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        // libjpeg takes rows as writable pointers but only reads them.
        auto* row = const_cast<JSAMPLE*>(
            picture.pixels + static_cast<std::ptrdiff_t>(cinfo.next_scanline) * picture.stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

std::vector<std::uint8_t> EncodeGreyJpeg(const GreyView& picture, int quality) {
    if (!picture.pixels || picture.width <= 0 || picture.height <= 0 ||
        picture.stride < picture.width || picture.width > 4096 || picture.height > 4096)
        return {};
    // Room for the worst a picture of this size can take, so libjpeg hardly ever has to grow
    // the buffer; when it does, the picture ends up in a buffer of its own.
    unsigned long size =
        static_cast<unsigned long>(picture.width) * static_cast<unsigned long>(picture.height) * 2 +
        4096;
    std::unique_ptr<unsigned char, decltype(&std::free)> buffer(
        static_cast<unsigned char*>(std::malloc(size)), &std::free);
    unsigned char* bytes = buffer.get();
    if (!bytes || !encodeInto(picture, std::clamp(quality, 1, 100), &bytes, &size))
        return {};
    if (bytes != buffer.get())
        buffer.reset(bytes);
    return std::vector<std::uint8_t>(bytes, bytes + size);
}

} // namespace norvale
