#include "SampleGrabber.h"

#include "GraphInternal.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace norvale {

struct TSampleGrabber::Impl {
    TSampleGrabber* owner = nullptr;
    std::mutex callbackLock; // serialises OnBuffer
    TOnBuffer onBuffer;
    mutable std::mutex bufferLock; // the last frame, separate so OnBuffer may read it
    gst::Buffer current;
    gst::Ref<GstPad> input; // the grabber's input (connected or not)
    gst::Caps connected;    // the last negotiated caps; they outlive a stop, as a connection does
    std::atomic<std::uint64_t> frames{0};
};

namespace {

GstPadProbeReturn grabProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* d = static_cast<TSampleGrabber::Impl*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            std::lock_guard lock(d->bufferLock);
            d->connected.reset(caps ? gst_caps_ref(caps) : nullptr);
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
    if (d->onBuffer) {
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            double time = GST_BUFFER_PTS_IS_VALID(buffer)
                              ? static_cast<double>(GST_BUFFER_PTS(buffer)) / GST_SECOND
                              : 0.0;
            try {
                d->onBuffer(*d->owner, time, map.data, map.size);
            } catch (...) {
                // A failing handler must not take the streaming thread down.
            }
            gst_buffer_unmap(buffer, &map);
        }
    }
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
    }
}

void TSampleGrabber::SetOnBuffer(TOnBuffer handler) {
    std::lock_guard lock(d_->callbackLock);
    d_->onBuffer = std::move(handler);
}

std::uint64_t TSampleGrabber::FramesDelivered() const {
    return d_->frames.load(std::memory_order_relaxed);
}

void TSampleGrabber::Joining() {
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(Name().c_str()));
    gst::Ref<GstElement> filter = gst::make("capsfilter", "grab");
    if (!bin || !filter)
        return;
    const char* format = mediaType_.subtype == mediatype::RGB32 ? "BGRx" : "BGR";
    gst::Caps caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format, nullptr));
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
    std::lock_guard lock(d_->bufferLock);
    d_->current.reset();
    d_->connected.reset();
    d_->input.reset();
}

HResult TSampleGrabber::GetConnectedMediaType(AmMediaType& out) const {
    if (!d_->input)
        return hr::E_FAIL;
    std::lock_guard lock(d_->bufferLock);
    if (!gst_pad_is_linked(d_->input.get()) || !d_->connected ||
        gst_caps_get_size(d_->connected.get()) == 0)
        return hr::VFW_E_NOT_CONNECTED;
    out = gst::mediaTypeFromStructure(gst_caps_get_structure(d_->connected.get(), 0), true);
    return hr::S_OK;
}

HResult TSampleGrabber::GetCurrentBuffer(std::vector<uint8_t>& out) const {
    std::lock_guard lock(d_->bufferLock);
    if (!d_->current)
        return hr::E_FAIL;
    out.resize(gst_buffer_get_size(d_->current.get()));
    gst_buffer_extract(d_->current.get(), 0, out.data(), out.size());
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
        std::lock_guard lock(d_->bufferLock);
        if (!d_->current)
            return false;
        size_t available = gst_buffer_get_size(d_->current.get());
        if (available == 0)
            return false;
        gst_buffer_extract(d_->current.get(), 0, bits.data(), std::min(bits.size(), available));
    }
    bitmap->header = header;
    bitmap->bits = std::move(bits);
    return true;
}

} // namespace norvale
