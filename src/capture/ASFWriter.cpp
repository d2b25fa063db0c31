#include "ASFWriter.h"

#include "CaptureLog.h"
#include "GraphInternal.h"
#include "NetworkStream.h"
#include "core/AsfStream.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

namespace norvale {

struct TASFWriter::Impl {
    gst::Ref<GstElement> rate, scale, format, encoder, rebase, muxer, sink;
    // The live service: a tee after the encoder feeds the file and, behind a leaky queue that
    // can never hold up the recording, the viewers.
    gst::Ref<GstElement> tee, fileQueue, netQueue;
    std::unique_ptr<NetworkStream> network;
    std::mutex lock;
    std::condition_variable finished;
    bool eos = false;
};

namespace {

GstPadProbeReturn eosProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
        auto* d = static_cast<TASFWriter::Impl*>(data);
        std::lock_guard lock(d->lock);
        d->eos = true;
        d->finished.notify_all();
    }
    return GST_PAD_PROBE_OK;
}

} // namespace

TASFWriter::TASFWriter(std::string name)
    : TFilterComponent(std::move(name)), current_(SystemProfile(profile_)),
      d_(std::make_unique<Impl>()) {}

TASFWriter::~TASFWriter() {
    try {
        SetFilterGraph(nullptr);
    } catch (...) {
        LogSwallowedFailure("the writer leaving its graph");
    }
}

TWriterProfile TASFWriter::SystemProfile(TWMProfiles8) {
    TWriterProfile p;
    p.Name = "Windows Media Video 8 for Dial-up Modem (No audio, 56 Kbps)";
    p.Description = p.Name;
    p.BitRate = 56000;
    return p;
}

void TASFWriter::SetFileName(const std::filesystem::path& name) {
    fileName_ = name;
    if (d_->sink)
        g_object_set(d_->sink.get(), "location", fileName_.c_str(), nullptr);
}

void TASFWriter::Joining() {
    Impl& d = *d_;
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(Name().c_str()));
    d.rate = gst::make("videorate", "rate");
    d.scale = gst::make("videoscale", "scale");
    d.format = gst::make("capsfilter", "format");
    d.encoder = gst::make("norvalewmv1enc", "encoder");
    d.rebase = gst::make("identity", "rebase");
    d.muxer = gst::make("asfmux", "muxer");
    d.sink = gst::make("filesink", "file");
    GstElement* chain[] = {d.rate.get(),   d.scale.get(), d.format.get(), d.encoder.get(),
                           d.rebase.get(), d.muxer.get(), d.sink.get()};
    for (GstElement* e : chain)
        if (!e) {
            Left();
            return;
        }
    for (GstElement* e : chain)
        gst_bin_add(GST_BIN(bin.get()), e);
    bool linked = gst_element_link_many(d.rate.get(), d.scale.get(), d.format.get(),
                                        d.encoder.get(), d.rebase.get(), nullptr) &&
                  gst_element_link(d.muxer.get(), d.sink.get());
    if (linked && NetworkServiceWanted() && port_ <= 65535) {
        d.tee = gst::make("tee", "split");
        d.fileQueue = gst::make("queue", "filequeue");
        d.netQueue = gst::make("queue", "netqueue");
        NetworkStreamOptions options;
        options.port = static_cast<std::uint16_t>(port_);
        options.maxUsers = maxUsers_;
        options.camera = cameraNumber_;
        d.network = std::make_unique<NetworkStream>(options);
        if (d.tee && d.fileQueue && d.netQueue && d.network->element()) {
            g_object_set(d.netQueue.get(), "leaky", 2 /* downstream */, "max-size-buffers", 0,
                         "max-size-bytes", 0, "max-size-time", guint64(2 * GST_SECOND), nullptr);
            for (GstElement* e :
                 {d.tee.get(), d.fileQueue.get(), d.netQueue.get(), d.network->element()})
                gst_bin_add(GST_BIN(bin.get()), e);
            linked =
                gst_element_link_many(d.rebase.get(), d.tee.get(), d.fileQueue.get(), d.muxer.get(),
                                      nullptr) &&
                gst_element_link_many(d.tee.get(), d.netQueue.get(), d.network->element(), nullptr);
        } else {
            // Without its parts the service is left out; the recording goes on.
            d.network.reset();
            linked = gst_element_link(d.rebase.get(), d.muxer.get());
        }
    } else if (linked) {
        linked = gst_element_link(d.rebase.get(), d.muxer.get());
    }
    if (!linked) {
        Left();
        return;
    }
    gst::Ref<GstPad> input(gst_element_get_static_pad(d.rate.get(), "sink"));
    gst_element_add_pad(bin.get(), gst_ghost_pad_new("sink", input.get()));
    gst::Ref<GstPad> fileInput(gst_element_get_static_pad(d.sink.get(), "sink"));
    gst_pad_add_probe(fileInput.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, eosProbe, d_.get(),
                      nullptr);
    core().element = std::move(bin);
}

void TASFWriter::Joined() {
    Impl& d = *d_;
    if (!d.sink)
        return;
    current_ = SystemProfile(profile_);
    applyProfile();
    g_object_set(d.rebase.get(), "single-segment", TRUE, nullptr);
    // Index and duration need the finished file (not streamable); small packets and no file
    // buffering keep a killed recording almost whole.
    g_object_set(d.muxer.get(), "streamable", !autoIndex_, "packet-size", PacketSize, nullptr);
    g_object_set(d.sink.get(), "location", fileName_.c_str(), "buffer-mode", 2 /* unbuffered */,
                 "async", FALSE, nullptr);
    g_object_set(d.rate.get(), "drop-only", TRUE, nullptr);
}

void TASFWriter::applyProfile() {
    Impl& d = *d_;
    if (!d.format)
        return;
    const TWriterProfile& p = current_;
    int fpsN = 15, fpsD = 1;
    if (p.AvgTimePerFrame > 0) {
        double fps = std::round(1e10 / static_cast<double>(p.AvgTimePerFrame)) / 1000.0;
        gst_util_double_to_fraction(fps, &fpsN, &fpsD);
    }
    gst::Caps caps(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "framerate",
                                       GST_TYPE_FRACTION, fpsN, fpsD, nullptr));
    if (p.Width > 0 && p.Height > 0)
        gst_caps_set_simple(caps.get(), "width", G_TYPE_INT, p.Width, "height", G_TYPE_INT,
                            p.Height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(d.format.get(), "caps", caps.get(), nullptr);
    guint keyInt = 45;
    if (p.AvgTimePerFrame > 0 && p.MaxKeyFrameSpacing > 0)
        keyInt = static_cast<guint>(std::max<int64_t>(1, p.MaxKeyFrameSpacing / p.AvgTimePerFrame));
    g_object_set(d.encoder.get(), "bitrate", std::max<guint>(1000, p.BitRate), "key-int-max",
                 keyInt, nullptr);
    if (d.network)
        d.network->setHeaderFacts(p.BitRate, static_cast<std::uint64_t>(p.AvgTimePerFrame));
}

const NetworkStream* TASFWriter::Network() const {
    return d_->network.get();
}

HResult TASFWriter::ConfigureFilterUsingProfile(const TWriterProfile& profile) {
    RequireFilter();
    current_ = profile;
    // A rate the encoder cannot hold would be refused (the recording would go on at the
    // built-in rate, its header claiming another) or held by dropping nearly every frame.
    current_.BitRate = std::clamp(profile.BitRate, MinBitRate, MaxBitRate);
    applyProfile();
    return hr::S_OK;
}

void TASFWriter::AboutToRun() {
    ran_ = true;
    std::lock_guard lock(d_->lock);
    d_->eos = false;
}

void TASFWriter::Stopping(std::chrono::milliseconds timeout) {
    if (!HasFilter())
        return;
    // End the stream at the writer's own input, so the file is finished even when the source
    // has gone; then wait, bounded, until the end reached the file.
    gst::Ref<GstPad> input = gst::firstPad(core().element.get(), GST_PAD_SINK);
    if (input && gst_pad_is_linked(input.get()))
        gst_pad_send_event(input.get(), gst_event_new_eos());
    std::unique_lock lock(d_->lock);
    d_->finished.wait_for(lock, timeout, [&] { return d_->eos; });
}

void TASFWriter::Stopped() {
    if (!ran_)
        return;
    ran_ = false;
    std::error_code ec;
    if (!fileName_.empty() && std::filesystem::is_regular_file(fileName_, ec)) {
        RepairLastAsfPacket(fileName_);
        RepairAsfHeader(fileName_, current_);
    }
}

void TASFWriter::Left() {
    Impl& d = *d_;
    d.rate.reset();
    d.scale.reset();
    d.format.reset();
    d.encoder.reset();
    d.rebase.reset();
    d.muxer.reset();
    d.sink.reset();
    d.tee.reset();
    d.fileQueue.reset();
    d.netQueue.reset();
    // The viewers' sockets and the port go with the writer leaving its graph.
    d.network.reset();
}

namespace {

// Object identifiers in their on-disk byte order.
constexpr TGuid headerObject = guid("{75B22630-668E-11CF-A6D9-00AA0062CE6C}");
constexpr TGuid filePropertiesObject = guid("{8CABDCA1-A947-11CF-8EE4-00C00C205365}");
constexpr TGuid dataObject = guid("{75B22636-668E-11CF-A6D9-00AA0062CE6C}");

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool readAt(std::FILE* f, uint64_t offset, uint8_t* out, size_t n) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out, 1, n, f) == n;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

bool RepairLastAsfPacket(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
    if (!file)
        return false;
    std::FILE* f = file.get();
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec || fileSize < 30)
        return false;

    // Header object: find the packet size in the file properties.
    uint8_t head[30];
    if (!readAt(f, 0, head, sizeof head) || TGuid::fromBytes(head) != headerObject)
        return false;
    const uint64_t headerSize = le(head + 16, 8);
    const uint64_t objects = le(head + 24, 4);
    if (headerSize > fileSize || headerSize < 30)
        return false;
    uint64_t pos = 30;
    uint32_t packetSize = 0;
    for (uint64_t i = 0; i < objects && pos + 24 <= headerSize; ++i) {
        uint8_t obj[100];
        if (!readAt(f, pos, obj, 24))
            return false;
        const uint64_t objSize = le(obj + 16, 8);
        if (objSize < 24 || pos + objSize > headerSize)
            return false;
        if (TGuid::fromBytes(obj) == filePropertiesObject && objSize >= 100) {
            if (!readAt(f, pos, obj, 100))
                return false;
            const uint64_t minSize = le(obj + 92, 4), maxSize = le(obj + 96, 4);
            if (minSize != maxSize)
                return false; // variable-size packets carry their own length
            packetSize = static_cast<uint32_t>(minSize);
        }
        pos += objSize;
    }
    if (packetSize < 16)
        return false;

    // Data object: 50 bytes, then fixed-size packets.
    uint8_t data[50];
    if (headerSize + 50 > fileSize || !readAt(f, headerSize, data, sizeof data) ||
        TGuid::fromBytes(data) != dataObject)
        return false;
    const uint64_t dataEnd = std::min<uint64_t>(fileSize, headerSize + le(data + 16, 8));
    if (dataEnd < headerSize + 50 + packetSize)
        return false;
    const uint64_t packets = (dataEnd - headerSize - 50) / packetSize;
    const uint64_t last = headerSize + 50 + (packets - 1) * packetSize;

    uint8_t packet[32];
    if (!readAt(f, last, packet, sizeof packet))
        return false;
    size_t at = 0;
    if (packet[0] & 0x80) // error correction data first
        at += 1 + (packet[0] & 0x0F);
    if (at + 2 >= sizeof packet)
        return false;
    const uint8_t lengthFlags = packet[at];
    at += 2; // length type flags, property flags
    static constexpr int widths[4] = {0, 1, 2, 4};
    const int lengthWidth = widths[(lengthFlags >> 5) & 3];
    if (lengthWidth == 0 || at + static_cast<size_t>(lengthWidth) > sizeof packet)
        return false;
    const uint64_t declared = le(packet + at, lengthWidth);
    if (declared == packetSize || (lengthWidth == 1 && packetSize > 0xFF) ||
        (lengthWidth == 2 && packetSize > 0xFFFF))
        return false;
    uint8_t fixed[4];
    for (int i = 0; i < lengthWidth; ++i)
        fixed[i] = static_cast<uint8_t>(packetSize >> (8 * i));
    if (fseeko(f, static_cast<off_t>(last + at), SEEK_SET) != 0 ||
        std::fwrite(fixed, 1, static_cast<size_t>(lengthWidth), f) !=
            static_cast<size_t>(lengthWidth))
        return false;
    return std::fflush(f) == 0;
}

bool RepairAsfHeader(const std::filesystem::path& path, const TWriterProfile& profile) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r+b"));
    if (!file)
        return false;
    std::FILE* f = file.get();
    uint8_t head[30];
    if (!readAt(f, 0, head, sizeof head) || TGuid::fromBytes(head) != headerObject)
        return false;
    // Our headers are a few hundred bytes; anything far larger is not ours to rewrite.
    const uint64_t headerSize = le(head + 16, 8);
    if (headerSize < 30 || headerSize > (1u << 20))
        return false;
    std::vector<uint8_t> header(static_cast<size_t>(headerSize));
    if (!readAt(f, 0, header.data(), header.size()))
        return false;
    const asf::HeaderFacts facts{profile.BitRate, static_cast<uint64_t>(profile.AvgTimePerFrame)};
    if (asf::repairHeader(header.data(), header.size(), facts) == 0)
        return false;
    return fseeko(f, 0, SEEK_SET) == 0 &&
           std::fwrite(header.data(), 1, header.size(), f) == header.size() && std::fflush(f) == 0;
}

} // namespace norvale
