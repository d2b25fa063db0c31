#pragma once
// An element between an ASF muxer and whoever serves its packets to viewers: it cuts the muxer's
// packets so that a key frame always starts a packet of its own, and marks as key-frame packets
// only those. The muxer marks every packet holding any piece of a key frame and packs the end of
// earlier pictures in front of it; a viewer starting there would begin mid-picture or with
// pictures it cannot decode. Header buffers pass as they are, and so does what cannot be read.
#include "GstHandles.h"

namespace norvale {

gst::Ref<GstElement> makeAsfPacketCut(const char* name);

} // namespace norvale
