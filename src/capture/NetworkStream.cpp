#include "NetworkStream.h"

#include "AsfPacketCut.h"
#include "GstHandles.h"
#include "GstRuntime.h"
#include "StreamListener.h"
#include "core/AsfStream.h"
#include "core/TsPackets.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace norvale {

// The camera's side, owned by the bin: attaches to the port's listener while the bin runs.
class StreamServer {
public:
    explicit StreamServer(const NetworkStreamOptions& options, std::string contentType)
        : options_(options), channel_(std::make_shared<StreamChannel>()) {
        channel_->camera = options.camera;
        channel_->maxUsers = options.maxUsers;
        channel_->contentType = std::move(contentType);
    }
    bool asf() const { return channel_->contentType.empty(); }
    bool ts() const { return channel_->contentType == TsContentType; }
    static constexpr const char* TsContentType = "video/mp2t";
    ~StreamServer() { close(); }

    const NetworkStreamOptions& options() const { return options_; }
    void setReady() { ready_ = true; }
    bool wanted() const {
        return options_.port > 0 && options_.maxUsers > 0 && ready_ && !disabled_;
    }

    void open() {
        std::lock_guard life(life_);
        if (!wanted() || listener_)
            return;
        listener_ = StreamListener::acquire(options_);
        if (listener_)
            listener_->attach(channel_);
    }
    void close() {
        std::shared_ptr<StreamListener> listener;
        {
            std::lock_guard life(life_);
            listener.swap(listener_);
            if (listener)
                listener->detach(channel_);
        }
        // The last camera on the port closes it here.
    }
    void disable() {
        disabled_ = true;
        close();
    }

    bool listening() const {
        std::lock_guard life(life_);
        return listener_ != nullptr;
    }
    unsigned viewers() const {
        std::lock_guard life(life_);
        return listener_ ? listener_->seats(*channel_) : 0;
    }
    std::uint64_t bytesServed() const { return channel_->bytesServed; }

    void setFacts(const asf::HeaderFacts& facts) {
        std::lock_guard life(life_);
        facts_ = facts;
    }

    // Streaming thread.
    void header(std::vector<std::uint8_t> bytes) {
        std::lock_guard life(life_);
        if (facts_.bitRate > 0 && asf())
            asf::repairHeader(bytes.data(), bytes.size(), facts_);
        if (listener_)
            listener_->setHeader(*channel_, bytes.data(), bytes.size());
    }
    void packet(const std::uint8_t* data, std::size_t size, bool key) {
        std::lock_guard life(life_);
        if (listener_)
            listener_->deliver(*channel_, data, size, key);
    }
    // A list of buffers as one stretch, starting where its first buffer may be started at.
    // Gathered in a buffer kept from list to list.
    void packets(GstBufferList* list) {
        const guint count = gst_buffer_list_length(list);
        if (count == 0)
            return;
        gathered_.clear();
        for (guint i = 0; i < count; ++i) {
            GstBuffer* b = gst_buffer_list_get(list, i);
            const std::size_t at = gathered_.size();
            gathered_.resize(at + gst_buffer_get_size(b));
            gst_buffer_extract(b, 0, gathered_.data() + at, gathered_.size() - at);
        }
        if (ts())
            tsPackets(gathered_.data(), gathered_.size());
        else
            packet(
                gathered_.data(), gathered_.size(),
                !GST_BUFFER_FLAG_IS_SET(gst_buffer_list_get(list, 0), GST_BUFFER_FLAG_DELTA_UNIT));
    }
    // MPEG-TS packets: the muxer marks none of its buffers as a key frame's, but it flags the
    // packet where one begins. The stretch is cut there, so a viewer starts with the key frame
    // (the tables it needs came with the header), not with pictures it cannot decode.
    void tsPackets(const std::uint8_t* data, std::size_t size) {
        const std::optional<std::size_t> key = ts::randomAccessOffset(data, size);
        if (!key) {
            packet(data, size, false);
            return;
        }
        if (*key > 0)
            packet(data, *key, false);
        packet(data + *key, size - *key, true);
    }

private:
    const NetworkStreamOptions options_;
    const std::shared_ptr<StreamChannel> channel_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> disabled_{false};
    mutable std::mutex life_; // never held by the listener's thread
    std::shared_ptr<StreamListener> listener_;
    asf::HeaderFacts facts_;
    std::vector<std::uint8_t> gathered_; // streaming thread
};

} // namespace norvale

// The bin type: a plain bin that opens and closes the service with its state.
namespace {

struct NorvaleStreamBin {
    GstBin parent;
    norvale::StreamServer* server;
};

struct NorvaleStreamBinClass {
    GstBinClass parent_class;
};

GType norvale_stream_bin_get_type();
G_DEFINE_TYPE(NorvaleStreamBin, norvale_stream_bin, GST_TYPE_BIN)

GstStateChangeReturn streamBinChangeState(GstElement* element, GstStateChange transition) {
    auto* self = reinterpret_cast<NorvaleStreamBin*>(element);
    // Attached to the port before data flows, detached before the elements stop, so no viewer
    // waits on a camera that is not running.
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED)
        self->server->open();
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
        self->server->close();
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(norvale_stream_bin_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED && result == GST_STATE_CHANGE_FAILURE)
        self->server->close();
    return result;
}

void streamBinDispose(GObject* object) {
    // The children still exist here: close every viewer of this camera before they go away.
    auto* self = reinterpret_cast<NorvaleStreamBin*>(object);
    if (self->server)
        self->server->disable();
    G_OBJECT_CLASS(norvale_stream_bin_parent_class)->dispose(object);
}

void streamBinFinalize(GObject* object) {
    auto* self = reinterpret_cast<NorvaleStreamBin*>(object);
    delete self->server;
    self->server = nullptr;
    G_OBJECT_CLASS(norvale_stream_bin_parent_class)->finalize(object);
}

void norvale_stream_bin_class_init(NorvaleStreamBinClass* klass) {
    G_OBJECT_CLASS(klass)->dispose = streamBinDispose;
    G_OBJECT_CLASS(klass)->finalize = streamBinFinalize;
    GST_ELEMENT_CLASS(klass)->change_state = streamBinChangeState;
}

void norvale_stream_bin_init(NorvaleStreamBin* self) {
    self->server = nullptr;
}

std::vector<std::uint8_t> bufferBytes(GstBuffer* buffer) {
    std::vector<std::uint8_t> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    return bytes;
}

// The muxer's output goes to the viewers from here: the header (in the caps, and as header
// buffers) and every data packet, with its key-frame mark.
GstPadProbeReturn toViewers(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* server = static_cast<norvale::StreamServer*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
            return GST_PAD_PROBE_OK;
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        const GstStructure* s = caps ? gst_caps_get_structure(caps, 0) : nullptr;
        const GValue* headers = s ? gst_structure_get_value(s, "streamheader") : nullptr;
        if (!headers || !GST_VALUE_HOLDS_ARRAY(headers))
            return GST_PAD_PROBE_OK;
        std::vector<std::uint8_t> asfHeader;
        for (guint i = 0; i < gst_value_array_get_size(headers); ++i) {
            const GValue* v = gst_value_array_get_value(headers, i);
            if (GST_VALUE_HOLDS_BUFFER(v)) {
                std::vector<std::uint8_t> part = bufferBytes(gst_value_get_buffer(v));
                asfHeader.insert(asfHeader.end(), part.begin(), part.end());
            }
        }
        if (!asfHeader.empty())
            server->header(std::move(asfHeader));
        return GST_PAD_PROBE_OK;
    }
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        // The TS muxer hands its packets over seven at a time: one stretch for the viewers.
        if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info))
            server->packets(list);
        return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) {
        server->header(bufferBytes(buffer));
        return GST_PAD_PROBE_OK;
    }
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (server->ts())
            server->tsPackets(map.data, map.size);
        else
            server->packet(map.data, map.size,
                           !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT));
        gst_buffer_unmap(buffer, &map);
    }
    return GST_PAD_PROBE_OK;
}

} // namespace

namespace norvale {

NetworkStream::NetworkStream(std::uint16_t port, unsigned maxUsers)
    : NetworkStream([&] {
          NetworkStreamOptions o;
          o.port = port;
          o.maxUsers = maxUsers;
          return o;
      }()) {}

namespace {

constexpr const char* PartBoundary = "norvalepicture";

// The camera's own stream, served as it comes: H.264/H.265 in MPEG-TS, MJPEG as multipart JPEG.
// The muxer's buffers are whole TS packets (seven at a time) or, for JPEG, a part's head marked as
// a start and its picture as a continuation. Its content type; empty when it cannot be built.
std::string buildOwnStreamChain(GstElement* bin, const std::string& mediaType) {
    const bool jpeg = mediaType == "image/jpeg";
    gst::Ref<GstElement> parser;
    gst::Ref<GstElement> muxer;
    if (jpeg) {
        muxer = gst::make("multipartmux", "muxer");
        if (muxer)
            g_object_set(muxer.get(), "boundary", PartBoundary, nullptr);
    } else {
        parser = gst::make(mediaType == "video/x-h265" ? "h265parse" : "h264parse", "parser");
        muxer = gst::make("mpegtsmux", "muxer");
        if (!parser || !muxer)
            return {};
        // Parameter sets before every key frame: a viewer joining mid-stream can decode.
        g_object_set(parser.get(), "config-interval", -1, nullptr);
        g_object_set(muxer.get(), "alignment", 7, nullptr);
    }
    gst::Ref<GstElement> sink = gst::make("fakesink", "viewers");
    if (!muxer || !sink)
        return {};
    g_object_set(sink.get(), "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    for (GstElement* e : {parser.get(), muxer.get(), sink.get()})
        if (e)
            gst_bin_add(GST_BIN(bin), e);
    if ((parser && !gst_element_link(parser.get(), muxer.get())) ||
        !gst_element_link(muxer.get(), sink.get()))
        return {};
    // The JPEG muxer's input is a request pad.
    gst::Ref<GstPad> input(parser ? gst_element_get_static_pad(parser.get(), "sink") : nullptr);
    if (!input)
        input.reset(gst_element_request_pad_simple(muxer.get(), "sink_%u"));
    if (!input)
        return {};
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", input.get()));
    return jpeg ? std::string("multipart/x-mixed-replace; boundary=") + PartBoundary
                : std::string(StreamServer::TsContentType);
}

} // namespace

NetworkStream::NetworkStream(const NetworkStreamOptions& options) {
    gst::ensureInitialised();
    auto* bin = static_cast<GstElement*>(g_object_new(norvale_stream_bin_get_type(), nullptr));
    gst_object_ref_sink(bin);
    bin_.reset(bin);
    if (!options.ownStream.empty()) {
        const std::string contentType = buildOwnStreamChain(bin, options.ownStream);
        server_ = new StreamServer(options, contentType);
        reinterpret_cast<NorvaleStreamBin*>(bin)->server = server_;
        if (contentType.empty())
            return; // a missing plugin: no service, the recording still runs
        gst::Ref<GstElement> sink(gst_bin_get_by_name(GST_BIN(bin), "viewers"));
        gst::Ref<GstPad> sinkInput(gst_element_get_static_pad(sink.get(), "sink"));
        gst_pad_add_probe(sinkInput.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                       GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                                       GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          toViewers, server_, nullptr);
        server_->setReady();
        return;
    }
    server_ = new StreamServer(options, {});
    reinterpret_cast<NorvaleStreamBin*>(bin)->server = server_;

    gst::Ref<GstElement> rebase = gst::make("identity", "rebase");
    gst::Ref<GstElement> muxer = gst::make("asfmux", "muxer");
    gst::Ref<GstElement> cut = makeAsfPacketCut("cut");
    gst::Ref<GstElement> sink = gst::make("fakesink", "viewers");
    if (!rebase || !muxer || !sink)
        return; // a missing plugin: no service, the recording still runs
    // Encoders offset their time stamps by a large constant; the ASF times count milliseconds
    // in 32 bits, so the muxer gets the pipeline's running time instead (and each viewer's
    // times are moved to start at its own first picture).
    g_object_set(rebase.get(), "single-segment", TRUE, "silent", TRUE, nullptr);
    g_object_set(muxer.get(), "streamable", TRUE, "packet-size", options.packetSize, "preroll",
                 guint64{options.prerollMs}, nullptr);
    // Never wait for the clock or for preroll: a live recording pipeline is never held up here.
    g_object_set(sink.get(), "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    for (GstElement* e : {rebase.get(), muxer.get(), cut.get(), sink.get()})
        gst_bin_add(GST_BIN(bin), e); // the bin takes a reference of its own
    if (!gst_element_link_many(muxer.get(), cut.get(), sink.get(), nullptr))
        return;
    gst::Ref<GstPad> video(gst_element_request_pad_simple(muxer.get(), "video_%u"));
    gst::Ref<GstPad> rebased(gst_element_get_static_pad(rebase.get(), "src"));
    if (!video || gst_pad_link(rebased.get(), video.get()) != GST_PAD_LINK_OK)
        return;
    gst::Ref<GstPad> input(gst_element_get_static_pad(rebase.get(), "sink"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", input.get()));

    gst::Ref<GstPad> sinkInput(gst_element_get_static_pad(sink.get(), "sink"));
    gst_pad_add_probe(sinkInput.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      toViewers, server_, nullptr);
    server_->setReady();
}

NetworkStream::~NetworkStream() {
    server_->disable();
}

bool NetworkStream::listening() const {
    return server_->listening();
}

std::uint16_t NetworkStream::port() const {
    return server_->options().port;
}

unsigned NetworkStream::viewers() const {
    return server_->viewers();
}

std::uint64_t NetworkStream::bytesServed() const {
    return server_->bytesServed();
}

void NetworkStream::setHeaderFacts(std::uint32_t bitRate, std::uint64_t avgTimePerFrame) {
    server_->setFacts({bitRate, avgTimePerFrame});
}

} // namespace norvale
