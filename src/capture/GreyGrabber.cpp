#include "GreyGrabber.h"

#include "CaptureLog.h"
#include "GraphInternal.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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
    // Streaming thread: the stream's layout, read again only when its caps change, and the
    // picture the luminance is gathered into (allocated again only then).
    GstVideoInfo info{};
    bool usable = false;
    int outWidth = 0, outHeight = 0;
    std::vector<int> columns;     // the source column of each picture column
    std::vector<int> lumaOffsets; // YUV: where each picture column's Y is in a source row
    std::vector<std::uint8_t> picture;
    GstSegment segment{};
    std::atomic<bool> fresh{true};
    // Stream time of the last frame taken; none after a (re)start.
    std::atomic<GstClockTime> lastTaken{GST_CLOCK_TIME_NONE};
    std::atomic<std::uint64_t> delivered{0};
};

namespace {

// When the frame was taken on the wall clock: its running time on the pipeline's clock, and how
// long ago that was. The stream's time stamp, not the moment the picture reached the branch;
// the arrival time where a frame carries no usable stamp.
std::int64_t wallClockMs(GstElement* element, const GstSegment& segment, GstBuffer* buffer) {
    const std::int64_t now = g_get_real_time() / 1000;
    if (segment.format != GST_FORMAT_TIME || !GST_BUFFER_PTS_IS_VALID(buffer))
        return now;
    const GstClockTime running =
        gst_segment_to_running_time(&segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    gst::Ref<GstClock> clock(element ? gst_element_get_clock(element) : nullptr);
    if (!clock || !GST_CLOCK_TIME_IS_VALID(running))
        return now;
    const GstClockTime taken = gst_element_get_base_time(element) + running;
    const GstClockTimeDiff age = GST_CLOCK_DIFF(taken, gst_clock_get_time(clock.get()));
    // A stamp from the future or from long ago is no stamp to trust.
    if (age < 0 || age > 10 * GST_SECOND)
        return now;
    return now - age / GST_MSECOND;
}

// Whether the luminance of `info`'s frames can be read: an 8-bit YUV format (its Y component)
// or an 8-bit RGB one (weighted from its three components).
bool readable(const GstVideoInfo& info) {
    const GstVideoFormatInfo* f = info.finfo;
    if (!f || GST_VIDEO_FORMAT_INFO_IS_COMPLEX(f) || GST_VIDEO_FORMAT_INFO_HAS_PALETTE(f) ||
        GST_VIDEO_FORMAT_INFO_BITS(f) != 8)
        return false;
    if (GST_VIDEO_FORMAT_INFO_IS_YUV(f) || GST_VIDEO_FORMAT_INFO_IS_GRAY(f))
        return GST_VIDEO_FORMAT_INFO_DEPTH(f, 0) == 8;
    return GST_VIDEO_FORMAT_INFO_IS_RGB(f) && GST_VIDEO_FORMAT_INFO_N_COMPONENTS(f) >= 3;
}

void takeLayout(TGreyGrabber::Impl& d, GstCaps* caps) {
    d.usable = caps && gst_video_info_from_caps(&d.info, caps) && readable(d.info) &&
               d.info.width > 0 && d.info.height > 0;
    if (!d.usable)
        return;
    // Square pixels at about Width pixels across, never more than the frame has.
    const int width = d.info.width, height = d.info.height;
    const int parN = std::max(1, d.info.par_n), parD = std::max(1, d.info.par_d);
    d.outWidth = std::min(width, TGreyGrabber::Width);
    const double shownWidth = static_cast<double>(width) * parN / parD;
    d.outHeight = std::clamp(
        static_cast<int>(std::lround(static_cast<double>(height) * d.outWidth / shownWidth)), 1,
        height);
    d.columns.resize(static_cast<std::size_t>(d.outWidth));
    for (int x = 0; x < d.outWidth; ++x)
        d.columns[static_cast<std::size_t>(x)] = (2 * x + 1) * width / (2 * d.outWidth);
    d.lumaOffsets.resize(d.columns.size());
    const int lumaStep = GST_VIDEO_INFO_COMP_PSTRIDE(&d.info, 0);
    for (std::size_t x = 0; x < d.columns.size(); ++x)
        d.lumaOffsets[x] = d.columns[x] * lumaStep;
    d.picture.assign(static_cast<std::size_t>(d.outWidth) * static_cast<std::size_t>(d.outHeight),
                     0);
}

// Picks the nearest pixel of the frame for every pixel of the small picture: only those are
// read. YUV gives its Y byte; RGB its luminance (BT.601 weights).
void gather(TGreyGrabber::Impl& d, const GstVideoFrame& frame) {
    const GstVideoFormatInfo* f = d.info.finfo;
    const int height = GST_VIDEO_FRAME_HEIGHT(&frame);
    const bool rgb = GST_VIDEO_FORMAT_INFO_IS_RGB(f);
    const auto* c0 =
        static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, 0)); // Y, or R
    const int stride0 = GST_VIDEO_FRAME_COMP_STRIDE(&frame, 0);
    std::uint8_t* out = d.picture.data();
    if (!rgb) {
        // The frame is seldom in the cache by now (a camera's DMA, or another camera's frames
        // since): the rows to come are asked for ahead, so their reading overlaps this one's.
        const int outWidth = d.outWidth, outHeight = d.outHeight;
        const int* offsets = d.lumaOffsets.data();
        const int rowBytes = offsets[outWidth - 1] + 1;
        auto rowOf = [&](int y) {
            return c0 +
                   static_cast<std::ptrdiff_t>((2 * y + 1) * height / (2 * outHeight)) * stride0;
        };
        for (int y = 0; y < outHeight; ++y) {
            if (y + 1 < outHeight) {
                const std::uint8_t* next = rowOf(y + 1);
                for (int b = 0; b < rowBytes; b += 64)
                    __builtin_prefetch(next + b);
            }
            const std::uint8_t* row = rowOf(y);
            for (int x = 0; x < outWidth; ++x)
                out[x] = row[offsets[x]];
            out += outWidth;
        }
        return;
    }
    const auto* c1 = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, 1));
    const auto* c2 = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, 2));
    const int stride1 = GST_VIDEO_FRAME_COMP_STRIDE(&frame, 1);
    const int stride2 = GST_VIDEO_FRAME_COMP_STRIDE(&frame, 2);
    const int step0 = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0);
    const int step1 = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 1);
    const int step2 = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 2);
    for (int y = 0; y < d.outHeight; ++y) {
        const std::ptrdiff_t r = (2 * y + 1) * height / (2 * d.outHeight);
        for (int x = 0; x < d.outWidth; ++x) {
            const int c = d.columns[static_cast<std::size_t>(x)];
            const int red = c0[r * stride0 + c * step0];
            const int green = c1[r * stride1 + c * step1];
            const int blue = c2[r * stride2 + c * step2];
            *out++ = static_cast<std::uint8_t>((77 * red + 150 * green + 29 * blue + 128) >> 8);
        }
    }
}

// At the branch's end, for everything that reaches it: caps and segments are noted; a frame is
// taken when it is at least MinGapMs after the last one taken (a frame without a time stamp, or
// one from before the last, a new segment, is taken), turned into the small grey picture and
// handed over. Nothing goes on past here.
GstPadProbeReturn onBranchData(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    auto* d = static_cast<TGreyGrabber::Impl*>(data);
    if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        event && (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM)) {
        std::lock_guard lock(d->callbackLock);
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            takeLayout(*d, caps);
        } else if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
            const GstSegment* segment = nullptr;
            gst_event_parse_segment(event, &segment);
            if (segment)
                gst_segment_copy_into(segment, &d->segment);
        }
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    if (GST_BUFFER_PTS_IS_VALID(buffer)) {
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        const GstClockTime last = d->lastTaken.load(std::memory_order_relaxed);
        if (GST_CLOCK_TIME_IS_VALID(last) && pts >= last &&
            pts - last < static_cast<GstClockTime>(TGreyGrabber::MinGapMs) * GST_MSECOND)
            return GST_PAD_PROBE_DROP;
        d->lastTaken.store(pts, std::memory_order_relaxed);
    }
    std::lock_guard lock(d->callbackLock);
    GstVideoFrame frame;
    if (!d->usable || !gst_video_frame_map(&frame, &d->info, buffer, GST_MAP_READ))
        return GST_PAD_PROBE_DROP;
    gather(*d, frame);
    gst_video_frame_unmap(&frame);
    gst::Ref<GstElement> element(gst_pad_get_parent_element(pad));
    const std::int64_t wallMs = wallClockMs(element.get(), d->segment, buffer);
    d->delivered.fetch_add(1, std::memory_order_relaxed);
    if (d->handler) {
        try {
            d->handler(GreyView{d->picture.data(), d->outWidth, d->outHeight, d->outWidth}, wallMs,
                       d->fresh.exchange(false));
        } catch (...) {
            // A failing handler must not take the streaming thread down.
            LogSwallowedFailure("the motion picture handler");
        }
    }
    return GST_PAD_PROBE_DROP;
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
    // A sink that takes any raw video and never waits; the probe at its input does the work and
    // lets nothing reach it.
    gst::Ref<GstElement> sink = gst::make("fakesink", Name().c_str());
    if (!sink)
        return;
    g_object_set(sink.get(), "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    gst::Ref<GstPad> input(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(input.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      onBranchData, d_.get(), nullptr);
    core().element = std::move(sink);
}

void TGreyGrabber::Left() {
    std::lock_guard lock(d_->callbackLock);
    d_->usable = false;
}

void TGreyGrabber::AboutToRun() {
    d_->fresh = true;
    d_->lastTaken = GST_CLOCK_TIME_NONE;
    std::lock_guard lock(d_->callbackLock);
    gst_segment_init(&d_->segment, GST_FORMAT_UNDEFINED);
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
