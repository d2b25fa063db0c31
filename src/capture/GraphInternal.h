#pragma once
// Internal: what graphs and components hold while a pipeline exists.
#include "CapsMapping.h"
#include "FilterGraph.h"
#include "GstHandles.h"

#include <atomic>
#include <map>
#include <memory>
#include <optional>

namespace norvale {

struct ComponentCore {
    gst::Ref<GstElement> element; // exists only while linked to an active graph
};

// At a compressed source's decoder input: everything, or (sparing) a key frame about once a
// second. Flags from any thread; the rest belongs to the streaming thread.
struct DecodeGate {
    static constexpr GstClockTime SparseGap = GST_SECOND;
    std::atomic<bool> sparse{false};
    std::atomic<std::uint64_t> seen{0};
    bool needKey = false;
    GstClockTime lastPassed = GST_CLOCK_TIME_NONE;
};

// Installs `gate` on a decoder's input pad.
void addDecodeGate(GstPad* decoderInput, const std::shared_ptr<DecodeGate>& gate);

// What rendering built after one source: format filter, optional decoder, tee.
struct SourceChain {
    gst::Ref<GstElement> tee;
    gst::Structure fixedCaps; // the format the source delivers
    // A compressed source: its format filter, the first element of its decoding (parser or
    // decoder), and (once a sink takes the stream as it comes) a tee between the two.
    gst::Ref<GstElement> filter, decodeEntry, compressedTee;
    // A network camera decodes inside its source: the stream as it comes is the source's own
    // "stream" pad, of the type its identity last sent.
    gst::Ref<GstPad> streamPad;
    std::string networkIdentity;
    std::shared_ptr<DecodeGate> gate; // compressed sources
};

struct GraphCore {
    gst::Ref<GstElement> pipeline;
    guint busWatch = 0;
    PublicationCookie cookie;
    bool published = false;
    std::map<const TFilterComponent*, SourceChain> sources;
    std::optional<std::pair<int, int>> renderedSize;
    std::vector<std::string> addedOrder; // element names in the order they entered the pipeline
    int insertedCounter = 0;
    // The current run has failed and that failure was reported: later errors of the same run
    // are its echoes (the elements behind the failing one, the teardown) and are dropped.
    bool failed = false;
};

namespace gst {
// The first pad of `element` in the given direction (ghost pads of bins included).
Ref<GstPad> firstPad(GstElement* element, GstPadDirection direction);
// Text of the first error message waiting on `bus` (empty when none).
std::string popErrorText(GstBus* bus);
// The user's text of an error message; its debug text and the failing element go to the debug
// log (CaptureLog.h).
std::string errorMessageText(GstMessage* msg);
} // namespace gst

} // namespace norvale
