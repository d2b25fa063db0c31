#include "GstRuntime.h"

#include "CaptureElements.h"

#include <gst/gst.h>

#include <mutex>

namespace norvale::gst {
namespace {

GST_DEBUG_CATEGORY_STATIC(norvaleCategory);

gboolean registerFeatures(GstPlugin* plugin) {
    return registerTestCameraProvider(plugin) && registerWmv1Encoder(plugin);
}

} // namespace

GstDebugCategory* debugCategory() {
    return norvaleCategory;
}

void ensureInitialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        gst_init(nullptr, nullptr);
        GST_DEBUG_CATEGORY_INIT(norvaleCategory, "norvale", 0, "Norvale capture layer");
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "norvale",
                                   "Norvale capture elements", registerFeatures, "0.1",
                                   "Proprietary", "norvale", "Norvale",
                                   "https://example.invalid/norvale");
    });
}

} // namespace norvale::gst
