#include "SampleGrabber.h"

#include "CaptureLog.h"
#include "GraphInternal.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace norvale {

struct ConverterFree {
    void operator()(GstVideoConverter* c) const { gst_video_converter_free(c); }
};
using Converter = std::unique_ptr<GstVideoConverter, ConverterFree>;

struct TSampleGrabber::Impl {
    TSampleGrabber* owner = nullptr;
    GstVideoFormat delivered = GST_VIDEO_FORMAT_BGR; // what OnBuffer receives
    std::mutex callbackLock;                         // serialises OnBuffer
    TOnBuffer onBuffer;
    std::function<bool()> wanted;
    // Streaming thread, under callbackLock: the converter for the current input and the frame
    // it writes into, both kept from frame to frame.
    Converter converter;
    std::vector<uint8_t> converted;
    mutable std::mutex bufferLock; // the last frame, separate so OnBuffer may read it
    gst::Buffer current;
    gst::Ref<GstPad> input; // the grabber's input (connected or not)
    gst::Caps connected;    // the last negotiated caps; they outlive a stop, as a connection does
    GstVideoInfo inInfo{}, outInfo{}; // valid while `connected` is raw video
    bool haveInfo = false;
    std::atomic<std::uint64_t> frames{0};
};

namespace {

// The delivered layout of a frame of `in`: same size, `format`, rows 4-byte aligned (as the
// bitmap rows of the connected type).
bool deliveredInfo(const GstVideoInfo& in, GstVideoFormat format, GstVideoInfo& out) {
    gst_video_info_init(&out);
    if (!gst_video_info_set_format(&out, format, GST_VIDEO_INFO_WIDTH(&in),
                                   GST_VIDEO_INFO_HEIGHT(&in)))
        return false;
    GST_VIDEO_INFO_FPS_N(&out) = GST_VIDEO_INFO_FPS_N(&in);
    GST_VIDEO_INFO_FPS_D(&out) = GST_VIDEO_INFO_FPS_D(&in);
    return true;
}

bool needsConversion(const GstVideoInfo& in, const GstVideoInfo& out) {
    return GST_VIDEO_INFO_FORMAT(&in) != GST_VIDEO_INFO_FORMAT(&out);
}

// Converts `buffer` (laid out as `in`) into `dst` (laid out as `out`, `dst` holding out.size
// bytes) with `converter`.
bool convertInto(GstVideoConverter* converter, GstBuffer* buffer, const GstVideoInfo& in,
                 const GstVideoInfo& out, uint8_t* dst) {
    GstVideoFrame source, target;
    if (!gst_video_frame_map(&source, &in, buffer, GST_MAP_READ))
        return false;
    gst::Buffer wrapped(gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), dst, out.size,
                                                    0, out.size, nullptr, nullptr));
    const bool ok = wrapped && gst_video_frame_map(&target, &out, wrapped.get(), GST_MAP_WRITE);
    if (ok) {
        gst_video_converter_frame(converter, &source, &target);
        gst_video_frame_unmap(&target);
    }
    gst_video_frame_unmap(&source);
    return ok;
}

GstPadProbeReturn grabProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* d = static_cast<TSampleGrabber::Impl*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            {
                std::lock_guard lock(d->bufferLock);
                d->connected.reset(caps ? gst_caps_ref(caps) : nullptr);
                d->haveInfo = caps && gst_video_info_from_caps(&d->inInfo, caps) &&
                              deliveredInfo(d->inInfo, d->delivered, d->outInfo);
            }
            std::lock_guard lock(d->callbackLock);
            d->converter.reset();
        }
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    d->frames.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard lock(d->bufferLock);
        d->current.reset(gst_buffer_ref(buffer));
    }
    std::lock_guard lock(d->callbackLock);
    // Frames nobody asks for cost no more than this: a camera whose snapshot is not due reads
    // its clock, compares and goes on, without copying the frame's layout or converting it.
    if (!d->onBuffer || (d->wanted && !d->wanted()))
        return GST_PAD_PROBE_OK;
    GstVideoInfo in, out;
    {
        std::lock_guard info(d->bufferLock);
        if (!d->haveInfo)
            return GST_PAD_PROBE_OK;
        in = d->inInfo;
        out = d->outInfo;
    }
    const double time = GST_BUFFER_PTS_IS_VALID(buffer)
                            ? static_cast<double>(GST_BUFFER_PTS(buffer)) / GST_SECOND
                            : 0.0;
    auto deliver = [&](const uint8_t* bytes, size_t length) {
        try {
            d->onBuffer(*d->owner, time, bytes, length);
        } catch (...) {
            // A failing handler must not take the streaming thread down.
            LogSwallowedFailure("the frame handler");
        }
    };
    if (!needsConversion(in, out)) {
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            deliver(map.data, map.size);
            gst_buffer_unmap(buffer, &map);
        }
        return GST_PAD_PROBE_OK;
    }
    if (!d->converter)
        d->converter.reset(gst_video_converter_new(&in, &out, nullptr));
    d->converted.resize(out.size);
    if (d->converter && convertInto(d->converter.get(), buffer, in, out, d->converted.data()))
        deliver(d->converted.data(), d->converted.size());
    return GST_PAD_PROBE_OK;
}

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
}

} // namespace

std::vector<uint8_t> TBitmap::BmpFile() const {
    const size_t offset = 14 + BitmapInfoHeader::size;
    std::vector<uint8_t> file(offset + bits.size(), 0);
    put16(file, 0, 0x4D42); // "BM"
    put32(file, 2, static_cast<uint32_t>(file.size()));
    put32(file, 10, static_cast<uint32_t>(offset));
    header.writeTo(file.data() + 14);
    std::copy(bits.begin(), bits.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    return file;
}

TSampleGrabber::TSampleGrabber(std::string name)
    : TFilterComponent(std::move(name)), d_(std::make_unique<Impl>()) {
    gst::Ref<GstElementFactory> factory(gst_element_factory_find("capsfilter"));
    if (!factory)
        throw EAssertionFailed("The SampleGrabber Filter is not available on this system.");
    d_->owner = this;
    mediaType_.majortype = mediatype::Video;
    mediaType_.subtype = mediatype::RGB24;
    mediaType_.bFixedSizeSamples = true;
    mediaType_.bTemporalCompression = false;
    mediaType_.lSampleSize = 1;
    mediaType_.formattype = mediatype::VideoInfo;
}

TSampleGrabber::~TSampleGrabber() {
    try {
        SetFilterGraph(nullptr);
    } catch (...) {
        LogSwallowedFailure("the frame grabber leaving its graph");
    }
}

void TSampleGrabber::SetOnBuffer(TOnBuffer handler) {
    std::lock_guard lock(d_->callbackLock);
    d_->onBuffer = std::move(handler);
}

void TSampleGrabber::SetBufferWanted(std::function<bool()> wanted) {
    std::lock_guard lock(d_->callbackLock);
    d_->wanted = std::move(wanted);
}

std::uint64_t TSampleGrabber::FramesDelivered() const {
    return d_->frames.load(std::memory_order_relaxed);
}

void TSampleGrabber::Joining() {
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(Name().c_str()));
    gst::Ref<GstElement> filter = gst::make("capsfilter", "grab");
    if (!bin || !filter)
        return;
    d_->delivered =
        mediaType_.subtype == mediatype::RGB32 ? GST_VIDEO_FORMAT_BGRx : GST_VIDEO_FORMAT_BGR;
    // Raw video in the format it comes in: frames are converted for OnBuffer only when wanted,
    // and the stream passes on unconverted.
    gst::Caps caps(gst_caps_new_empty_simple("video/x-raw"));
    g_object_set(filter.get(), "caps", caps.get(), nullptr);
    gst_bin_add(GST_BIN(bin.get()), filter.get());
    gst::Ref<GstPad> sink(gst_element_get_static_pad(filter.get(), "sink"));
    gst::Ref<GstPad> src(gst_element_get_static_pad(filter.get(), "src"));
    gst_element_add_pad(bin.get(), gst_ghost_pad_new("sink", sink.get()));
    gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", src.get()));
    // The element never outlives the grabber: it is stopped and released when the grabber
    // leaves its graph, which the destructor makes sure of.
    gst_pad_add_probe(src.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      grabProbe, d_.get(), nullptr);
    d_->input = gst::firstPad(bin.get(), GST_PAD_SINK);
    core().element = std::move(bin);
}

void TSampleGrabber::Left() {
    {
        std::lock_guard lock(d_->bufferLock);
        d_->current.reset();
        d_->connected.reset();
        d_->haveInfo = false;
        d_->input.reset();
    }
    std::lock_guard lock(d_->callbackLock);
    d_->converter.reset();
    d_->converted = {};
}

HResult TSampleGrabber::GetConnectedMediaType(AmMediaType& out) const {
    if (!d_->input)
        return hr::E_FAIL;
    std::lock_guard lock(d_->bufferLock);
    if (!gst_pad_is_linked(d_->input.get()) || !d_->connected ||
        gst_caps_get_size(d_->connected.get()) == 0)
        return hr::VFW_E_NOT_CONNECTED;
    // The type frames are delivered in: the stream's size and rate in the grabber's format.
    gst::Structure s(gst_structure_copy(gst_caps_get_structure(d_->connected.get(), 0)));
    if (d_->haveInfo) {
        gst_structure_set(s.get(), "format", G_TYPE_STRING,
                          gst_video_format_to_string(d_->delivered), nullptr);
        gst_structure_remove_fields(s.get(), "colorimetry", "chroma-site", nullptr);
    }
    out = gst::mediaTypeFromStructure(s.get(), true);
    return hr::S_OK;
}

HResult TSampleGrabber::GetCurrentBuffer(std::vector<uint8_t>& out) const {
    std::lock_guard lock(d_->bufferLock);
    if (!d_->current)
        return hr::E_FAIL;
    if (!d_->haveInfo || !needsConversion(d_->inInfo, d_->outInfo)) {
        out.resize(gst_buffer_get_size(d_->current.get()));
        gst_buffer_extract(d_->current.get(), 0, out.data(), out.size());
        return hr::S_OK;
    }
    // Converted on request, with a converter of its own (the streaming thread's may be busy).
    Converter converter(gst_video_converter_new(&d_->inInfo, &d_->outInfo, nullptr));
    std::vector<uint8_t> frame(d_->outInfo.size);
    if (!converter ||
        !convertInto(converter.get(), d_->current.get(), d_->inInfo, d_->outInfo, frame.data()))
        return hr::E_FAIL;
    out = std::move(frame);
    return hr::S_OK;
}

bool TSampleGrabber::FrameToBitmap(TBitmap* bitmap, const uint8_t* bytes, size_t count) const {
    if (!bitmap || (bytes && count == 0))
        return false;
    AmMediaType mt;
    if (GetConnectedMediaType(mt) < 0)
        return false;
    BitmapInfoHeader header;
    if (!VideoHeaderOf(mt, header))
        return false;
    const int64_t imageSize = header.imageSize();
    if (imageSize <= 0)
        return false;
    std::vector<uint8_t> bits(static_cast<size_t>(imageSize), 0);
    if (bytes) {
        std::memcpy(bits.data(), bytes, std::min(bits.size(), count));
    } else {
        std::vector<uint8_t> last;
        if (GetCurrentBuffer(last) < 0 || last.empty())
            return false;
        std::memcpy(bits.data(), last.data(), std::min(bits.size(), last.size()));
    }
    bitmap->header = header;
    bitmap->bits = std::move(bits);
    return true;
}

} // namespace norvale
