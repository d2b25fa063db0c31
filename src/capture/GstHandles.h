#pragma once
// Owning holders for GStreamer and GLib references, used inside the capture layer only.
// Every reference the layer takes lives in one of these, so no path can leak or double-free.
#include <gst/gst.h>

#include <memory>
#include <string>

namespace norvale::gst {

struct ObjectUnref {
    void operator()(gpointer p) const { gst_object_unref(p); }
};
struct CapsUnref {
    void operator()(GstCaps* p) const { gst_caps_unref(p); }
};
struct StructureFree {
    void operator()(GstStructure* p) const { gst_structure_free(p); }
};
struct MessageUnref {
    void operator()(GstMessage* p) const { gst_message_unref(p); }
};
struct BufferUnref {
    void operator()(GstBuffer* p) const { gst_buffer_unref(p); }
};
struct SampleUnref {
    void operator()(GstSample* p) const { gst_sample_unref(p); }
};
struct ErrorFree {
    void operator()(GError* p) const { g_error_free(p); }
};
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
struct ObjectListFree {
    void operator()(GList* p) const { g_list_free_full(p, gst_object_unref); }
};

// A GstObject subclass (element, pad, bus, device, ...).
template <typename T> using Ref = std::unique_ptr<T, ObjectUnref>;
using Caps = std::unique_ptr<GstCaps, CapsUnref>;
using Structure = std::unique_ptr<GstStructure, StructureFree>;
using Message = std::unique_ptr<GstMessage, MessageUnref>;
using Buffer = std::unique_ptr<GstBuffer, BufferUnref>;
using Sample = std::unique_ptr<GstSample, SampleUnref>;
using Error = std::unique_ptr<GError, ErrorFree>;
using CString = std::unique_ptr<gchar, GFree>;
using ObjectList = std::unique_ptr<GList, ObjectListFree>;

// Takes a new reference (for borrowed pointers).
template <typename T> Ref<T> addRef(T* p) {
    return Ref<T>(p ? static_cast<T*>(gst_object_ref(p)) : nullptr);
}
// Adopts a new object, floating or not: the holder owns the one reference the caller got. A
// floating reference is sunk; a full one (gst_device_monitor_new, for one, sinks its own) is
// taken as it is, since sinking it again would add a reference nobody gives back.
template <typename T> Ref<T> adopt(T* p) {
    if (p && g_object_is_floating(p))
        gst_object_ref_sink(p);
    return Ref<T>(p);
}

inline std::string str(const gchar* s) {
    return s ? std::string(s) : std::string();
}
inline std::string take(gchar* s) {
    CString owned(s);
    return str(owned.get());
}

// Makes an element of a factory, floating reference sunk; nothing when the factory is missing.
inline Ref<GstElement> make(const char* factory, const char* name = nullptr) {
    return adopt(gst_element_factory_make(factory, name));
}

} // namespace norvale::gst
