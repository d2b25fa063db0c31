#include "AsfPacketCut.h"

#include "GstRuntime.h"
#include "core/AsfStream.h"

#include <optional>
#include <vector>

namespace {

struct NorvaleAsfCut {
    GstElement parent;
    GstPad* sink;
    GstPad* src;
};

struct NorvaleAsfCutClass {
    GstElementClass parent_class;
};

GType norvale_asf_cut_get_type();
G_DEFINE_TYPE(NorvaleAsfCut, norvale_asf_cut, GST_TYPE_ELEMENT)

GstStaticPadTemplate cutSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate cutSrcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

GstBuffer* packetLike(GstBuffer* original, const std::vector<std::uint8_t>& bytes, bool key) {
    GstBuffer* out = gst_buffer_new_memdup(bytes.data(), bytes.size());
    gst_buffer_copy_into(
        out, original,
        static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS), 0,
        static_cast<gsize>(-1));
    if (key)
        GST_BUFFER_FLAG_UNSET(out, GST_BUFFER_FLAG_DELTA_UNIT);
    else
        GST_BUFFER_FLAG_SET(out, GST_BUFFER_FLAG_DELTA_UNIT);
    return out;
}

GstFlowReturn cutChain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    auto* self = reinterpret_cast<NorvaleAsfCut*>(parent);
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER))
        return gst_pad_push(self->src, buffer);
    std::optional<norvale::asf::KeyFrameSplit> split;
    std::optional<bool> starts;
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        split = norvale::asf::splitAtKeyFrame(map.data, map.size);
        if (!split)
            starts = norvale::asf::packetStartsKeyFrame(map.data, map.size);
        gst_buffer_unmap(buffer, &map);
    }
    if (split) {
        GstBuffer* before = packetLike(buffer, split->before, false);
        GstBuffer* from = packetLike(buffer, split->from, true);
        gst_buffer_unref(buffer);
        const GstFlowReturn ret = gst_pad_push(self->src, before);
        if (ret != GST_FLOW_OK) {
            gst_buffer_unref(from);
            return ret;
        }
        return gst_pad_push(self->src, from);
    }
    // What cannot be read stays as the muxer marked it.
    if (starts && *starts == GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
        buffer = gst_buffer_make_writable(buffer);
        if (*starts)
            GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        else
            GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    }
    return gst_pad_push(self->src, buffer);
}

void norvale_asf_cut_class_init(NorvaleAsfCutClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element, &cutSinkTemplate);
    gst_element_class_add_static_pad_template(element, &cutSrcTemplate);
    gst_element_class_set_static_metadata(element, "ASF key-frame packet cut", "Filter",
                                          "Starts a packet at every key frame", "Norvale");
}

void norvale_asf_cut_init(NorvaleAsfCut* self) {
    self->sink = gst_pad_new_from_static_template(&cutSinkTemplate, "sink");
    gst_pad_set_chain_function(self->sink, cutChain);
    GST_PAD_SET_PROXY_CAPS(self->sink);
    gst_element_add_pad(GST_ELEMENT(self), self->sink);
    self->src = gst_pad_new_from_static_template(&cutSrcTemplate, "src");
    GST_PAD_SET_PROXY_CAPS(self->src);
    gst_element_add_pad(GST_ELEMENT(self), self->src);
}

} // namespace

namespace norvale {

gst::Ref<GstElement> makeAsfPacketCut(const char* name) {
    gst::ensureInitialised();
    return gst::adopt(
        static_cast<GstElement*>(g_object_new(norvale_asf_cut_get_type(), "name", name, nullptr)));
}

} // namespace norvale
