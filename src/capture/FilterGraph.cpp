#include "FilterGraph.h"

#include "CaptureLog.h"
#include "DeviceElement.h"
#include "GraphInternal.h"
#include "GstRuntime.h"
#include "NetworkCamera.h"
#include "V4l2Device.h"

#include <gst/video/colorbalance.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unistd.h>

namespace norvale {

// ---------------------------------------------------------------------------------------------
// Helpers

namespace gst {

Ref<GstPad> firstPad(GstElement* element, GstPadDirection direction) {
    Ref<GstPad> found;
    GstIterator* it = direction == GST_PAD_SRC ? gst_element_iterate_src_pads(element)
                                               : gst_element_iterate_sink_pads(element);
    GValue item = G_VALUE_INIT;
    if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        found = addRef(GST_PAD(g_value_get_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

std::string popErrorText(GstBus* bus) {
    Message msg(gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR));
    if (!msg)
        return {};
    return errorMessageText(msg.get());
}

} // namespace gst

namespace {

struct Publications {
    std::mutex mutex;
    std::map<uint32_t, std::string> names;
    uint32_t next = 1;
};
Publications& publications() {
    static Publications p;
    return p;
}

std::string inspectionName(const TFilterGraph& graph) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "FilterGraph %p pid %x", static_cast<const void*>(&graph),
                  static_cast<unsigned>(getpid()));
    return buf;
}

gboolean onBusMessage(GstBus*, GstMessage* msg, gpointer data);

bool hasSystemMemory(const GstCaps* caps, guint index) {
    GstCapsFeatures* f = gst_caps_get_features(caps, index);
    return !f || gst_caps_features_is_any(f) ||
           gst_caps_features_contains(f, GST_CAPS_FEATURE_MEMORY_SYSTEM_MEMORY);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Components

TFilterComponent::TFilterComponent(std::string name)
    : name_(std::move(name)), core_(std::make_unique<ComponentCore>()) {
    gst::ensureInitialised();
}

TFilterComponent::~TFilterComponent() {
    // Derived classes unlink in their own destructors; this only catches a graph that is
    // still set, without calling the (already destroyed) derived hooks.
    if (graph_) {
        auto& v = graph_->linked_;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
        if (core_->element && graph_->core_->pipeline) {
            gst_element_set_state(core_->element.get(), GST_STATE_NULL);
            gst_bin_remove(GST_BIN(graph_->core_->pipeline.get()), core_->element.get());
        }
        graph_ = nullptr;
    }
}

void TFilterComponent::SetFilterGraph(TFilterGraph* graph) {
    if (graph == graph_)
        return;
    if (graph_)
        graph_->unlink(this);
    if (graph)
        graph->link(this);
}

bool TFilterComponent::HasFilter() const {
    return core_->element != nullptr;
}

void TFilterComponent::RequireFilter() const {
    if (!HasFilter())
        throw EIntfCastError();
}

TFilter::TFilter(std::string name) : TFilterComponent(std::move(name)) {}

TFilter::~TFilter() {
    try {
        SetFilterGraph(nullptr);
    } catch (...) {
        LogSwallowedFailure("the source leaving its graph");
    }
}

HResult TFilter::SetFormat(const TMediaType& mt) {
    if (mt.Caps().empty())
        return hr::E_INVALIDARG;
    gst::Caps caps(gst_caps_from_string(mt.Caps().c_str()));
    if (!caps || gst_caps_is_empty(caps.get()))
        return hr::E_INVALIDARG;
    // A format the device cannot produce would only fail later, when the stream is linked.
    if (!bound_ || !bound_->deviceCaps ||
        !gst_caps_can_intersect(caps.get(), bound_->deviceCaps.get()))
        return hr::VFW_E_INVALIDMEDIATYPE;
    format_ = mt.Caps();
    return hr::S_OK;
}

std::string TFilter::DeviceName() const {
    return bound_ ? bound_->name : std::string();
}

bool TFilter::IsNetworkCamera() const {
    return bound_ && bound_->network;
}

std::vector<TMediaType> TFilter::DeviceFormats() const {
    std::vector<TMediaType> out;
    if (!bound_ || !bound_->deviceCaps)
        return out;
    for (auto& [type, caps] : gst::deviceFormatTypes(bound_->deviceCaps.get()))
        out.emplace_back(std::move(type), std::move(caps));
    return out;
}

namespace {

// The colour-balance interface of a device element, or of the element inside it that has one.
GstColorBalance* colorBalanceOf(GstElement* element, gst::Ref<GstElement>& holder) {
    if (GST_IS_COLOR_BALANCE(element))
        return GST_COLOR_BALANCE(element);
    if (GST_IS_BIN(element))
        holder.reset(gst_bin_get_by_interface(GST_BIN(element), GST_TYPE_COLOR_BALANCE));
    return holder ? GST_COLOR_BALANCE(holder.get()) : nullptr;
}

} // namespace

std::vector<TFilter::Control> TFilter::DeviceControls() const {
    std::vector<Control> out;
    if (!HasFilter())
        return out;
    if (bound_ && !bound_->v4l2Path.empty()) {
        for (const v4l2::Control& c : v4l2::controls(bound_->v4l2Path))
            out.push_back({c.name, c.min, c.max, c.value, c.defaultValue});
        return out;
    }
    gst::Ref<GstElement> holder;
    GstColorBalance* balance = colorBalanceOf(core().element.get(), holder);
    if (!balance)
        return out;
    for (const GList* l = gst_color_balance_list_channels(balance); l; l = l->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(l->data);
        // Colour balance channels centre on their neutral value.
        out.push_back({gst::str(channel->label), channel->min_value, channel->max_value,
                       gst_color_balance_get_value(balance, channel),
                       channel->min_value + (channel->max_value - channel->min_value) / 2});
    }
    return out;
}

bool TFilter::SetDeviceControl(const std::string& name, int value) {
    if (!HasFilter())
        return false;
    if (bound_ && !bound_->v4l2Path.empty()) {
        for (const v4l2::Control& c : v4l2::controls(bound_->v4l2Path))
            if (c.name == name)
                return v4l2::setControl(bound_->v4l2Path, c.id, std::clamp(value, c.min, c.max));
        return false;
    }
    gst::Ref<GstElement> holder;
    GstColorBalance* balance = colorBalanceOf(core().element.get(), holder);
    if (!balance)
        return false;
    for (const GList* l = gst_color_balance_list_channels(balance); l; l = l->next) {
        auto* channel = GST_COLOR_BALANCE_CHANNEL(l->data);
        if (gst::str(channel->label) == name) {
            gst_color_balance_set_value(balance, channel,
                                        std::clamp(value, channel->min_value, channel->max_value));
            return true;
        }
    }
    return false;
}

void TFilter::Joining() {
    bound_ = BaseFilter().BindFilter(Name().c_str());
    if (bound_)
        core().element = gst::addRef(bound_->element.get());
}

void TFilter::Left() {
    bound_.reset();
    format_.clear();
}

// ---------------------------------------------------------------------------------------------
// Graph

TFilterGraph::TFilterGraph(std::string name)
    : name_(std::move(name)), core_(std::make_unique<GraphCore>()) {
    gst::ensureInitialised();
}

TFilterGraph::~TFilterGraph() {
    try {
        SetActive(false);
    } catch (...) {
        LogSwallowedFailure("deactivating the graph");
    }
    for (auto* c : linked_)
        c->graph_ = nullptr;
    linked_.clear();
}

bool TFilterGraph::Active() const {
    return core_->pipeline != nullptr;
}

void TFilterGraph::SetActive(bool active) {
    if (active == Active())
        return;
    if (active) {
        core_->pipeline = gst::adopt(gst_pipeline_new(name_.c_str()));
        core_->failed = false;
        gst::Ref<GstBus> bus(gst_element_get_bus(core_->pipeline.get()));
        core_->busWatch = gst_bus_add_watch(bus.get(), onBusMessage, this);
        if (graphEdit_) {
            PublishGraphForInspection(*this, core_->cookie);
            core_->published = true;
        }
        for (auto* c : linked_)
            join(c);
        // Stopped, not uninitialised: sources are opened but deliver nothing yet.
        gst_element_set_state(core_->pipeline.get(), GST_STATE_READY);
        return;
    }
    GstState state = GST_STATE_NULL, pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(core_->pipeline.get(), &state, &pending, 0);
    if (state > GST_STATE_READY || pending > GST_STATE_READY)
        StopGraph();
    gst_element_set_state(core_->pipeline.get(), GST_STATE_NULL);
    for (auto* c : linked_)
        leave(c);
    if (core_->busWatch)
        g_source_remove(core_->busWatch);
    core_->busWatch = 0;
    if (core_->published)
        WithdrawGraphPublication(core_->cookie);
    core_->published = false;
    core_->sources.clear();
    core_->renderedSize.reset();
    core_->addedOrder.clear();
    core_->pipeline.reset();
}

void TFilterGraph::link(TFilterComponent* c) {
    linked_.push_back(c);
    c->graph_ = this;
    if (Active()) {
        join(c);
        if (c->core().element)
            gst_element_sync_state_with_parent(c->core().element.get());
    }
}

void TFilterGraph::unlink(TFilterComponent* c) {
    if (Active())
        leave(c);
    linked_.erase(std::remove(linked_.begin(), linked_.end(), c), linked_.end());
    c->graph_ = nullptr;
}

void TFilterGraph::join(TFilterComponent* c) {
    c->Joining();
    GstElement* e = c->core().element.get();
    if (!e)
        return;
    gst_object_set_name(GST_OBJECT(e), c->Name().c_str());
    if (!gst_bin_add(GST_BIN(core_->pipeline.get()), e)) {
        // Another element already carries that name: the filter stays out of the graph.
        c->core().element.reset();
        c->Left();
        return;
    }
    core_->addedOrder.push_back(c->Name());
    c->Joined();
}

void TFilterGraph::leave(TFilterComponent* c) {
    c->Leaving();
    if (auto& e = c->core().element) {
        gst_element_set_state(e.get(), GST_STATE_NULL);
        gst_bin_remove(GST_BIN(core_->pipeline.get()), e.get());
        auto& order = core_->addedOrder;
        order.erase(std::remove(order.begin(), order.end(), c->Name()), order.end());
    }
    c->Left();
    c->core().element.reset();
    core_->sources.erase(c);
}

namespace {

GstPadProbeReturn onDecoderInput(GstPad*, GstPadProbeInfo* info, gpointer data) {
    DecodeGate& g = **static_cast<std::shared_ptr<DecodeGate>*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    g.seen.fetch_add(1, std::memory_order_relaxed);
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!g.sparse.load(std::memory_order_relaxed)) {
        // Back to every frame: pictures that refer to spared ones cannot be decoded.
        if (g.needKey && !key)
            return GST_PAD_PROBE_DROP;
        g.needKey = false;
    } else {
        g.needKey = true;
        if (!key || (GST_CLOCK_TIME_IS_VALID(g.lastPassed) && GST_CLOCK_TIME_IS_VALID(pts) &&
                     pts >= g.lastPassed && pts - g.lastPassed < DecodeGate::SparseGap))
            return GST_PAD_PROBE_DROP;
    }
    if (key)
        g.lastPassed = pts;
    return GST_PAD_PROBE_OK;
}

gst::Ref<GstElement> addInserted(GraphCore& core, const char* factory, const std::string& name) {
    gst::Ref<GstElement> e =
        gst::make(factory, (name + " " + std::to_string(++core.insertedCounter)).c_str());
    if (!e)
        return nullptr;
    gst_bin_add(GST_BIN(core.pipeline.get()), e.get());
    core.addedOrder.push_back(gst::take(gst_element_get_name(e.get())));
    return e;
}

} // namespace

void addDecodeGate(GstPad* decoderInput, const std::shared_ptr<DecodeGate>& gate) {
    if (!decoderInput)
        return;
    gst_pad_add_probe(decoderInput, GST_PAD_PROBE_TYPE_BUFFER, onDecoderInput,
                      new std::shared_ptr<DecodeGate>(gate),
                      [](gpointer p) { delete static_cast<std::shared_ptr<DecodeGate>*>(p); });
}

HResult TFilterGraph::RenderStream(const TGuid& category, TFilterComponent& source,
                                   TFilterComponent* intermediate, TFilterComponent& sink) {
    source.RequireFilter();
    if (intermediate)
        intermediate->RequireFilter();
    sink.RequireFilter();
    if (!Active())
        throw EIntfCastError();
    GraphCore& core = *core_;
    const bool preview = category == PIN_CATEGORY_PREVIEW;

    // One chain per source: fixed format, decoder when the device sends JPEG, H.264 or H.265, then
    // a tee whose branches feed preview and capture.
    auto chainIt = core.sources.find(&source);
    if (chainIt == core.sources.end()) {
        GstElement* src = source.core().element.get();
        gst::Caps caps;
        auto* device = dynamic_cast<TFilter*>(&source);
        const TDeviceElement* bound = device ? device->boundDevice().get() : nullptr;
        if (bound && bound->network) {
            // A network camera sends the size and pixel format it is set to, and may change
            // them while it runs: nothing can be chosen, only raw video is asked for. The size
            // it delivered last (when known) is the size a recording is made at.
            caps = gst::Caps(gst_caps_from_string("video/x-raw"));
            SourceChain chain;
            gst::Structure known(
                bound->currentFormat.empty()
                    ? gst_structure_new_empty("video/x-raw")
                    : gst_structure_from_string(bound->currentFormat.c_str(), nullptr));
            if (!known)
                known = gst::Structure(gst_structure_new_empty("video/x-raw"));
            chain.fixedCaps = std::move(known);
            chain.streamPad = gst::Ref<GstPad>(gst_element_get_static_pad(src, "stream"));
            chain.networkIdentity = bound->networkIdentity;
            if (GST_IS_BIN(src)) {
                gst::Ref<GstElement> decoder(
                    gst_bin_get_by_name(GST_BIN(src), NetworkCameraDecoderName));
                if (decoder) {
                    chain.gate = std::make_shared<DecodeGate>();
                    gst::Ref<GstPad> input(gst_element_get_static_pad(decoder.get(), "sink"));
                    addDecodeGate(input.get(), chain.gate);
                }
            }
            auto filter = addInserted(core, "capsfilter", source.Name() + " Format");
            chain.tee = addInserted(core, "tee", source.Name() + " Tee");
            if (!filter || !chain.tee)
                return hr::VFW_E_CANNOT_RENDER;
            g_object_set(filter.get(), "caps", caps.get(), nullptr);
            g_object_set(chain.tee.get(), "allow-not-linked", TRUE, nullptr);
            const bool ok = gst_element_link_many(src, filter.get(), chain.tee.get(), nullptr);
            gst_element_sync_state_with_parent(filter.get());
            gst_element_sync_state_with_parent(chain.tee.get());
            if (!ok)
                return hr::VFW_E_CANNOT_CONNECT;
            chainIt = core.sources.emplace(&source, std::move(chain)).first;
        }
    }
    if (chainIt == core.sources.end()) {
        GstElement* src = source.core().element.get();
        gst::Caps caps;
        auto* device = dynamic_cast<TFilter*>(&source);
        if (device && !device->formatCaps().empty())
            caps = gst::Caps(gst_caps_from_string(device->formatCaps().c_str()));
        if (!caps) {
            gst::Ref<GstPad> pad = gst::firstPad(src, GST_PAD_SRC);
            if (pad)
                caps = gst::Caps(gst_pad_query_caps(pad.get(), nullptr));
        }
        if (!caps || gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get()))
            return hr::VFW_E_CANNOT_RENDER;
        SourceChain chain;
        if (device && !device->formatCaps().empty()) {
            const GstStructure* chosen = nullptr;
            for (guint i = 0; i < gst_caps_get_size(caps.get()) && !chosen; ++i)
                if (hasSystemMemory(caps.get(), i))
                    chosen = gst_caps_get_structure(caps.get(), i);
            if (chosen)
                chain.fixedCaps = gst::fixatedCopy(chosen);
        } else {
            // No chosen format: the driver's current one, else a moderate size at a fluent
            // rate (devices tend to list their largest, slowest size first).
            int width = 0, height = 0;
            std::string kind;
            const TDeviceElement* bound = device ? device->boundDevice().get() : nullptr;
            if (bound && !bound->v4l2Path.empty()) {
                if (auto current = v4l2::currentFormat(bound->v4l2Path)) {
                    width = current->width;
                    height = current->height;
                    kind = v4l2::isJpeg(current->pixelFormat)
                               ? std::string("image/jpeg")
                               : v4l2::rawFormatName(current->pixelFormat);
                }
            } else if (bound && !bound->currentFormat.empty()) {
                gst::Structure current(
                    gst_structure_from_string(bound->currentFormat.c_str(), nullptr));
                if (current) {
                    gst_structure_get_int(current.get(), "width", &width);
                    gst_structure_get_int(current.get(), "height", &height);
                    const gchar* format = gst_structure_get_string(current.get(), "format");
                    kind = gst_structure_has_name(current.get(), "video/x-raw")
                               ? std::string(format ? format : "")
                               : std::string(gst_structure_get_name(current.get()));
                }
            }
            chain.fixedCaps = gst::choosePreviewStructure(caps.get(), width, height, kind);
        }
        if (!chain.fixedCaps)
            return hr::VFW_E_CANNOT_RENDER;
        const std::string kind = gst_structure_get_name(chain.fixedCaps.get());
        // Raw video passes as it is; MJPEG (most USB webcams) and H.264/H.265 are decoded; other
        // compressed streams are not rendered.
        const char* decoderName = kind == "image/jpeg"     ? "jpegdec"
                                  : kind == "video/x-h264" ? "avdec_h264"
                                  : kind == "video/x-h265" ? "avdec_h265"
                                                           : nullptr;
        if (kind != "video/x-raw" && !decoderName)
            return hr::VFW_E_CANNOT_RENDER;

        auto filter = addInserted(core, "capsfilter", source.Name() + " Format");
        gst::Ref<GstElement> parser, decoder;
        if (decoderName && kind != "image/jpeg") {
            parser = addInserted(core, kind == "video/x-h264" ? "h264parse" : "h265parse",
                                 source.Name() + " Parser");
            if (!parser)
                return hr::VFW_E_CANNOT_RENDER;
        }
        if (decoderName) {
            decoder = addInserted(core, decoderName, source.Name() + " Decoder");
            if (decoder) {
                chain.gate = std::make_shared<DecodeGate>();
                gst::Ref<GstPad> input(gst_element_get_static_pad(decoder.get(), "sink"));
                addDecodeGate(input.get(), chain.gate);
            }
        }
        chain.tee = addInserted(core, "tee", source.Name() + " Tee");
        if (!filter || !chain.tee || (decoderName && !decoder))
            return hr::VFW_E_CANNOT_RENDER;
        gst::Caps fixed(gst_caps_new_full(gst_structure_copy(chain.fixedCaps.get()), nullptr));
        g_object_set(filter.get(), "caps", fixed.get(), nullptr);
        g_object_set(chain.tee.get(), "allow-not-linked", TRUE, nullptr);
        bool ok = gst_element_link(src, filter.get());
        if (decoder) {
            // A tee for the stream as it comes may later go in front of the parser (or of the
            // decoder, where there is none).
            if (parser)
                ok = ok && gst_element_link(parser.get(), decoder.get());
            ok = ok &&
                 gst_element_link_many(filter.get(), parser ? parser.get() : decoder.get(),
                                       nullptr) &&
                 gst_element_link(decoder.get(), chain.tee.get());
            chain.filter = gst::addRef(filter.get());
            chain.decodeEntry = gst::addRef(parser ? parser.get() : decoder.get());
        } else {
            ok = ok && gst_element_link(filter.get(), chain.tee.get());
        }
        for (GstElement* e : {filter.get(), parser.get(), decoder.get(), chain.tee.get()})
            if (e)
                gst_element_sync_state_with_parent(e);
        if (!ok)
            return hr::VFW_E_CANNOT_CONNECT;
        chainIt = core.sources.emplace(&source, std::move(chain)).first;
    }
    SourceChain& chain = chainIt->second;

    // The preview branch runs on the source's own streaming thread, straight from the tee into
    // the grabber and the renderer: neither ever waits (the renderer keeps only the latest frame
    // and drops what nobody sees), so a queue would only add a thread hand-off to every frame of
    // every camera. The capture branch gets a leaky queue, so encoding runs on a thread of its
    // own and a slow writer drops frames instead of holding up the preview, and a converter into
    // the writer's format.
    GstElement* last = chain.tee.get();
    std::vector<GstElement*> inserted;
    bool ok = true;
    if (!preview && sink.TakesCompressedStream()) {
        // The stream as the camera sends it, taken before the decoder: a tee goes in there the
        // first time, then a leaky queue per sink, as for pictures.
        if (!chain.decodeEntry && !chain.streamPad)
            return hr::VFW_E_CANNOT_CONNECT;
        if (!chain.compressedTee) {
            chain.compressedTee = addInserted(core, "tee", source.Name() + " Stream Tee");
            if (!chain.compressedTee)
                return hr::VFW_E_CANNOT_RENDER;
            g_object_set(chain.compressedTee.get(), "allow-not-linked", TRUE, nullptr);
            if (chain.streamPad) {
                gst::Ref<GstPad> in(gst_element_get_static_pad(chain.compressedTee.get(), "sink"));
                if (gst_pad_link(chain.streamPad.get(), in.get()) != GST_PAD_LINK_OK)
                    return hr::VFW_E_CANNOT_CONNECT;
            } else {
                gst_element_unlink(chain.filter.get(), chain.decodeEntry.get());
                if (!gst_element_link_many(chain.filter.get(), chain.compressedTee.get(),
                                           chain.decodeEntry.get(), nullptr))
                    return hr::VFW_E_CANNOT_CONNECT;
            }
            gst_element_sync_state_with_parent(chain.compressedTee.get());
        }
        auto queue = addInserted(core, "queue", sink.Name() + " Queue");
        if (!queue)
            return hr::VFW_E_CANNOT_RENDER;
        g_object_set(queue.get(), "leaky", 2, "max-size-buffers", 0u, "max-size-bytes", 0u,
                     "max-size-time", guint64{2 * GST_SECOND}, nullptr);
        gst_element_sync_state_with_parent(queue.get());
        if (!gst_element_link_many(chain.compressedTee.get(), queue.get(),
                                   sink.core().element.get(), nullptr))
            return hr::VFW_E_CANNOT_CONNECT;
        return hr::S_OK;
    }
    if (!preview) {
        auto queue = addInserted(core, "queue", sink.Name() + " Queue");
        auto convert = addInserted(core, "videoconvert", sink.Name() + " Converter");
        if (!queue || !convert)
            return hr::VFW_E_CANNOT_RENDER;
        g_object_set(queue.get(), "leaky", 2, "max-size-buffers", 0u, "max-size-bytes", 0u,
                     "max-size-time", guint64{2 * GST_SECOND}, nullptr);
        ok = gst_element_link_many(last, queue.get(), convert.get(), nullptr);
        inserted = {queue.get(), convert.get()};
        last = convert.get();
        if (chain.streamPad) {
            // A network camera may send pictures as they come, with no frame rate (MJPEG over
            // HTTP): an encoder needs a steady one, so the pictures are given one here.
            auto steady = addInserted(core, "videorate", sink.Name() + " Rate");
            if (!steady)
                return hr::VFW_E_CANNOT_RENDER;
            ok = ok && gst_element_link(last, steady.get());
            inserted.push_back(steady.get());
            last = steady.get();
        }
    }
    // A converter goes in only where a direct link fails.
    auto linkTo = [&](GstElement* next) {
        if (!ok)
            return;
        if (!gst_element_link(last, next)) {
            auto again = addInserted(core, "videoconvert", sink.Name() + " Converter");
            ok = again && gst_element_link_many(last, again.get(), next, nullptr);
            if (again)
                inserted.push_back(again.get());
        }
        last = next;
    };
    if (intermediate)
        linkTo(intermediate->core().element.get());
    linkTo(sink.core().element.get());
    for (GstElement* e : inserted)
        gst_element_sync_state_with_parent(e);
    if (!ok)
        return hr::VFW_E_CANNOT_CONNECT;
    if (preview || !core.renderedSize) {
        int w = 0, h = 0;
        gst_structure_get_int(chain.fixedCaps.get(), "width", &w);
        gst_structure_get_int(chain.fixedCaps.get(), "height", &h);
        core.renderedSize = std::make_pair(w, h);
    }
    return hr::S_OK;
}

bool TFilterGraph::RunGraph() {
    if (!Active())
        throw EIntfCastError();
    GstElement* p = core_->pipeline.get();
    gst::Ref<GstBus> bus(gst_element_get_bus(p));
    // Errors still waiting were posted while this start was being built (a file that could not
    // be opened when the writer got ready): they are this run's failure, thrown below, never
    // handed to OnError from inside this call.
    std::string error = gst::popErrorText(bus.get());
    core_->failed = false;
    GstStateChangeReturn r = GST_STATE_CHANGE_FAILURE;
    if (error.empty()) {
        for (auto* c : linked_)
            c->AboutToRun();
        if (core_->published && std::getenv("GST_DEBUG_DUMP_DOT_DIR"))
            GST_DEBUG_BIN_TO_DOT_FILE(GST_BIN(p), GST_DEBUG_GRAPH_SHOW_ALL,
                                      inspectionName(*this).c_str());
        r = gst_element_set_state(p, GST_STATE_PLAYING);
        if (r == GST_STATE_CHANGE_ASYNC)
            r = gst_element_get_state(p, nullptr, nullptr, 2 * GST_SECOND);
        error = gst::popErrorText(bus.get());
        if (r == GST_STATE_CHANGE_FAILURE && error.empty()) {
            // The failing element's reason (a network camera's refusal, from its own thread)
            // may reach the bus just after the failure itself.
            gst::Message msg(
                gst_bus_timed_pop_filtered(bus.get(), GST_SECOND / 2, GST_MESSAGE_ERROR));
            if (msg)
                error = gst::errorMessageText(msg.get());
        }
    }
    if (r == GST_STATE_CHANGE_FAILURE || !error.empty()) {
        // The exception is the one report of this failure.
        core_->failed = true;
        if (gst_element_set_state(p, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE)
            gst_element_set_state(p, GST_STATE_NULL);
        CheckDirectShowResult(hr::E_FAIL, error);
    }
    return true;
}

void TFilterGraph::StopGraph() {
    if (!Active())
        return;
    GstElement* p = core_->pipeline.get();
    GstState state = GST_STATE_NULL, pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(p, &state, &pending, 0);
    // A graph that does not run is stopped already. Asking it for "ready" again would make an
    // element that failed to get ready (a file that cannot be opened) fail, and post its
    // error, once more.
    if (state <= GST_STATE_READY && pending <= GST_STATE_READY)
        return;
    for (auto* c : linked_)
        c->Stopping(StopTimeout);
    GstStateChangeReturn r = gst_element_set_state(p, GST_STATE_READY);
    if (r == GST_STATE_CHANGE_ASYNC)
        r = gst_element_get_state(p, nullptr, nullptr, GST_SECOND * StopTimeout.count() / 1000);
    if (r == GST_STATE_CHANGE_FAILURE) {
        // Whatever keeps an element from "ready", nothing runs once it is all shut down: the
        // stop has worked, and teardown can go on.
        gst::Ref<GstBus> bus(gst_element_get_bus(p));
        std::string error = gst::popErrorText(bus.get());
        r = gst_element_set_state(p, GST_STATE_NULL);
        for (auto* c : linked_)
            c->Stopped();
        if (r == GST_STATE_CHANGE_FAILURE)
            CheckDirectShowResult(hr::E_FAIL, error);
        return;
    }
    for (auto* c : linked_)
        c->Stopped();
}

void TFilterGraph::PurgeGraph() {
    if (!Active())
        return;
    StopGraph();
    GstBin* bin = GST_BIN(core_->pipeline.get());
    std::vector<gst::Ref<GstElement>> elements;
    GST_OBJECT_LOCK(bin);
    for (GList* l = bin->children; l; l = l->next)
        elements.push_back(gst::addRef(GST_ELEMENT(l->data)));
    GST_OBJECT_UNLOCK(bin);
    // Disconnect every pin of every filter.
    for (auto& e : elements) {
        GstIterator* it = gst_element_iterate_src_pads(e.get());
        GValue item = G_VALUE_INIT;
        while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
            auto* pad = GST_PAD(g_value_get_object(&item));
            gst::Ref<GstPad> peer(gst_pad_get_peer(pad));
            if (peer)
                gst_pad_unlink(pad, peer.get());
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(it);
    }
    // Remove what rendering inserted.
    for (auto& e : elements) {
        bool owned = std::any_of(linked_.begin(), linked_.end(), [&](TFilterComponent* c) {
            return c->core().element.get() == e.get();
        });
        if (owned)
            continue;
        std::string name = gst::take(gst_element_get_name(e.get()));
        gst_element_set_state(e.get(), GST_STATE_NULL);
        if (!gst_bin_remove(bin, e.get()))
            CheckDirectShowResult(hr::E_FAIL, "Cannot remove " + name);
        auto& order = core_->addedOrder;
        order.erase(std::remove(order.begin(), order.end(), name), order.end());
    }
    // Tee request pads of removed tees went with them; components may have request pads too.
    core_->sources.clear();
    core_->renderedSize.reset();
}

TGraphState TFilterGraph::GraphState() const {
    if (!Active())
        return TGraphState::gsUninitialized;
    GstState state = GST_STATE_NULL, pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(core_->pipeline.get(), &state, &pending, 0);
    GstState target = pending != GST_STATE_VOID_PENDING ? pending : state;
    switch (target) {
    case GST_STATE_PLAYING:
        return TGraphState::gsPlaying;
    case GST_STATE_PAUSED:
        return TGraphState::gsPaused;
    default:
        return TGraphState::gsStopped;
    }
}

std::vector<std::string> TFilterGraph::FilterNames() const {
    if (!Active())
        return {};
    return core_->addedOrder;
}

std::string TFilterGraph::SourceMediaType(const TFilterComponent& source) const {
    if (!core_)
        return {};
    const auto it = core_->sources.find(&source);
    if (it == core_->sources.end() || !it->second.fixedCaps)
        return {};
    if (it->second.streamPad) {
        // What the network camera sent last; raw pictures until its stream has been seen.
        std::string sent = knownNetworkStream(it->second.networkIdentity);
        return sent.empty() ? std::string("video/x-raw") : sent;
    }
    return gst_structure_get_name(it->second.fixedCaps.get());
}

void TFilterGraph::SetSparseDecoding(const TFilterComponent& source, bool sparse) {
    if (!core_)
        return;
    const auto it = core_->sources.find(&source);
    if (it != core_->sources.end() && it->second.gate)
        it->second.gate->sparse.store(sparse, std::memory_order_relaxed);
}

std::uint64_t TFilterGraph::StreamBuffersSeen(const TFilterComponent& source) const {
    if (!core_)
        return 0;
    const auto it = core_->sources.find(&source);
    return it != core_->sources.end() && it->second.gate
               ? it->second.gate->seen.load(std::memory_order_relaxed)
               : 0;
}

std::pair<int, int> TFilterGraph::NativeVideoSize() const {
    if (!Active())
        return {0, 0};
    // Negotiated size at a renderer's input when the graph has run.
    for (auto* c : linked_) {
        if (!c->core().element || dynamic_cast<TFilter*>(c))
            continue;
        gst::Ref<GstPad> pad = gst::firstPad(c->core().element.get(), GST_PAD_SINK);
        if (!pad)
            continue;
        gst::Caps caps(gst_pad_get_current_caps(pad.get()));
        int w = 0, h = 0;
        if (caps && gst_caps_get_size(caps.get()) > 0) {
            const GstStructure* s = gst_caps_get_structure(caps.get(), 0);
            if (gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &h) &&
                std::string(gst_structure_get_name(s)) == "video/x-raw")
                return {w, h};
        }
    }
    return core_->renderedSize.value_or(std::make_pair(0, 0));
}

TFilterComponent* TFilterGraph::componentOf(GstObject* object) const {
    // The element itself or an element inside it (a writer's muxer or file sink), else an
    // element rendering inserted for it, named after it ("ASFWriter Queue 7").
    for (GstObject* o = object; o; o = GST_OBJECT_PARENT(o)) {
        for (auto* c : linked_)
            if (GST_OBJECT(c->core().element.get()) == o)
                return c;
        if (GST_OBJECT_PARENT(o) == GST_OBJECT(core_->pipeline.get())) {
            const std::string name = gst::take(gst_object_get_name(o));
            for (auto* c : linked_)
                if (name.rfind(c->Name() + " ", 0) == 0)
                    return c;
            return nullptr;
        }
    }
    return nullptr;
}

void TFilterGraph::HandleBusError(GstMessage* msg) {
    const std::string text = gst::errorMessageText(msg); // logged also when it is an echo
    if (!Active() || core_->failed)
        return;
    core_->failed = true; // before the handler, which may run a nested event loop
    TFilterComponent* origin = componentOf(GST_MESSAGE_SRC(msg));
    if (onError_)
        onError_(text, origin);
}

void TFilterGraph::ProcessEvents() {
    if (!Active())
        return;
    // Everything waiting is taken off the bus (so it cannot pile up without a main loop). The
    // bus is held here: the handler may deactivate the graph.
    gst::Ref<GstBus> bus(gst_element_get_bus(core_->pipeline.get()));
    while (gst::Message msg{gst_bus_pop(bus.get())}) {
        if (GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_ERROR)
            HandleBusError(msg.get());
        if (!Active())
            return;
    }
}

namespace {

gboolean onBusMessage(GstBus*, GstMessage* msg, gpointer data) {
    if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR)
        static_cast<TFilterGraph*>(data)->HandleBusError(msg);
    return G_SOURCE_CONTINUE;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Inspection

HResult PublishGraphForInspection(const TFilterGraph& graph, PublicationCookie& cookie) {
    auto& p = publications();
    std::lock_guard lock(p.mutex);
    cookie.value = p.next++;
    p.names[cookie.value] = inspectionName(graph);
    return hr::S_OK;
}

HResult WithdrawGraphPublication(PublicationCookie cookie) {
    auto& p = publications();
    std::lock_guard lock(p.mutex);
    return p.names.erase(cookie.value) ? hr::S_OK : hr::E_INVALIDARG;
}

std::vector<std::string> PublishedGraphs() {
    auto& p = publications();
    std::lock_guard lock(p.mutex);
    std::vector<std::string> out;
    for (auto& [cookie, name] : p.names)
        out.push_back(name);
    return out;
}

} // namespace norvale
