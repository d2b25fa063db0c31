#pragma once
// Internal: self-contained pipelines from a description (export, playback), owned so that they
// are always brought to NULL before their last reference goes.
#include "GstHandles.h"

#include <memory>
#include <string>

namespace norvale::gst {

struct PipelineStop {
    void operator()(GstElement* p) const {
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    }
};
using Pipeline = std::unique_ptr<GstElement, PipelineStop>;

// Builds a pipeline from gst-launch syntax; nothing (and `error` set) when it cannot be built.
inline Pipeline parsePipeline(const std::string& description, std::string& error) {
    GError* raw = nullptr;
    GstElement* p = gst_parse_launch(description.c_str(), &raw);
    Error owned(raw);
    if (p)
        gst_object_ref_sink(p);
    if (!p || owned) {
        error = owned ? owned->message : "cannot build the pipeline";
        if (p)
            gst_object_unref(p);
        return nullptr;
    }
    return Pipeline(p);
}

inline Ref<GstElement> childByName(GstElement* bin, const char* name) {
    return Ref<GstElement>(gst_bin_get_by_name(GST_BIN(bin), name));
}

// A file name as a quoted value inside a pipeline description.
inline std::string quotedLocation(const std::string& path) {
    CString escaped(g_strescape(path.c_str(), nullptr));
    return "\"" + std::string(escaped.get()) + "\"";
}

} // namespace norvale::gst
