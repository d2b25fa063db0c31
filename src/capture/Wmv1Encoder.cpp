#include "CaptureElements.h"

namespace norvale::gst {

gboolean registerWmv1Encoder(GstPlugin*) {
    return TRUE;
}

} // namespace norvale::gst
