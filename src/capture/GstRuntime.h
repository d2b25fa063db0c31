#pragma once
// Internal: GStreamer start-up for the capture layer.
#include <gst/gst.h>

namespace norvale::gst {

// Initialises GStreamer once per process (thread-safe) and registers the layer's own elements:
// the synthetic camera provider and the WMV1 encoder. Every public entry point calls it.
void ensureInitialised();

// The layer's debug category "norvale" (see CaptureLog.h); valid once initialised.
GstDebugCategory* debugCategory();

} // namespace norvale::gst
