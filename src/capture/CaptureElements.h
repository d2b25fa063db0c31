#pragma once
// Internal: the layer's own GStreamer features, registered with the process-wide registry.
#include <gst/gst.h>

namespace norvale::gst {

// The provider of the synthetic cameras ("Norvale Test Camera N") and their device type.
gboolean registerTestCameraProvider(GstPlugin* plugin);
// "norvalewmv1enc": WMV1 encoder over libavcodec that honours its bit rate.
gboolean registerWmv1Encoder(GstPlugin* plugin);

} // namespace norvale::gst
