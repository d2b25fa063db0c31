#pragma once
// The capture graph and its filter components.
//
// A TFilterGraph is a GStreamer pipeline while it is Active. Filter components (the device
// source TFilter, the frame grabber TSampleGrabber, the renderer TVideoRenderer and the file
// writer TASFWriter) are linked to a graph with SetFilterGraph; they keep their settings while
// the graph is inactive, create their element when it becomes active (in link order, named after
// the component) and release it when it is deactivated. RenderStream connects a source to a
// renderer or writer, inserting what the connection needs (tee branches, queues, converters, a
// JPEG decoder); PurgeGraph removes exactly those inserted elements again.
//
// Typical use by a camera channel:
//   preview:   link source, renderer, grabber; source.BaseFilter().StoreMoniker(
//              VideoDevices.MonikerAt(index)); graph.SetActive(true);
//              graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer);
//              graph.RunGraph();
//   recording: also link the writer (first), set writer.SetFileName/SetPort, activate,
//              optionally FirstPin of TPinList(source) -> SetFormat, render the preview stream and
//              RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), NativeVideoSize(),
//              writer.ConfigureProfile(...), RunGraph().
//   teardown:  StopGraph(); PurgeGraph(); SetActive(false); unlink the components.
// All calls run on the GUI thread. Stopping is bounded: a writer gets end-of-stream and at most
// a few seconds to finish its file.
#include "CaptureErrors.h"
#include "EnumMediaType.h"
#include "SysDevEnum.h"
#include "core/Guid.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

typedef struct _GstMessage GstMessage;
typedef struct _GstObject GstObject;

namespace norvale {

inline constexpr TGuid PIN_CATEGORY_CAPTURE = guid("{FB6C4281-0353-11D1-905F-0000C0CC16BA}");
inline constexpr TGuid PIN_CATEGORY_PREVIEW = guid("{FB6C4282-0353-11D1-905F-0000C0CC16BA}");

enum class TGraphMode { gmNormal, gmCapture };
enum class TGraphState { gsUninitialized, gsStopped, gsPaused, gsPlaying };

class TFilterGraph;
struct ComponentCore;
struct GraphCore;

// Common part of every filter component.
class TFilterComponent {
public:
    virtual ~TFilterComponent();
    TFilterComponent(const TFilterComponent&) = delete;
    TFilterComponent& operator=(const TFilterComponent&) = delete;

    // The name the component's element gets in the graph.
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    TFilterGraph* FilterGraph() const { return graph_; }
    // Links to `graph` (none: unlinks). With an active graph the element is created and added,
    // or stopped, removed and released, at once. Linking to the same graph again does nothing.
    void SetFilterGraph(TFilterGraph* graph);

    // Whether the component has its element (it is linked to an active graph and could create
    // it). RequireFilter throws EIntfCastError ("Interface not supported") when not.
    bool HasFilter() const;
    void RequireFilter() const;

    // A sink that takes the source's compressed stream (before it is decoded) rather than
    // pictures, from sources that have one.
    virtual bool TakesCompressedStream() const { return false; }

    // Internal to the capture layer.
    ComponentCore& core() const { return *core_; }

protected:
    explicit TFilterComponent(std::string name);

private:
    friend class TFilterGraph;
    virtual void Joining() = 0; // create the element in core().element (may leave none)
    virtual void Joined() {}    // configure it once it is in the graph
    virtual void Leaving() {}
    virtual void Left() {}
    virtual void AboutToRun() {}
    virtual void Stopping(std::chrono::milliseconds) {} // the graph is about to stop
    virtual void Stopped() {}                           // the graph has stopped

    std::string name_;
    TFilterGraph* graph_ = nullptr;
    std::unique_ptr<ComponentCore> core_;
};

// The device source.
class TFilter : public TFilterComponent {
public:
    explicit TFilter(std::string name = "VideoSourceFilter");
    ~TFilter() override;

    // The stored device identity; the element is bound from it when the graph becomes active.
    TBaseFilter& BaseFilter() { return baseFilter_; }
    const TBaseFilter& BaseFilter() const { return baseFilter_; }

    // The capture format to apply when the stream is rendered (a type from this device's
    // formats). S_OK; E_INVALIDARG for a type that does not come from a device's formats;
    // VFW_E_INVALIDMEDIATYPE for one the bound device cannot deliver (or without a device). A
    // refused type keeps the format there was. The format is forgotten when the filter leaves its
    // graph, so the next stream starts from the device's own format again.
    HResult SetFormat(const TMediaType& mt);
    void ClearFormat() { format_.clear(); }

    // The bound device's name (empty without element).
    std::string DeviceName() const;
    // Whether the bound device is a network camera (its stream opens only when the graph runs).
    bool IsNetworkCamera() const;

    // The device's formats, in its order, a raw format described as VideoInfo2 preceded by its
    // VideoInfo twin (empty without element).
    std::vector<TMediaType> DeviceFormats() const;

    // The device's adjustable controls, for the device settings dialog: for V4L2 every
    // control its driver lets be set now (brightness, contrast, gain, white balance, exposure,
    // ...), else the element's colour balance (brightness, contrast, hue, saturation). Empty
    // without element.
    struct Control {
        std::string Name;
        int Min = 0;
        int Max = 0;
        int Value = 0;
        int Default = 0;
    };
    std::vector<Control> DeviceControls() const;
    // Sets a control by name, clamped to its range; false when there is no such control.
    bool SetDeviceControl(const std::string& name, int value);

    const std::string& formatCaps() const { return format_; }       // internal
    const TDeviceElementPtr& boundDevice() const { return bound_; } // internal

private:
    void Joining() override;
    void Left() override;

    TBaseFilter baseFilter_;
    std::string format_;
    TDeviceElementPtr bound_;
};

class TFilterGraph {
public:
    explicit TFilterGraph(std::string name = "CaptureGraph");
    ~TFilterGraph(); // deactivates, unlinks every component
    TFilterGraph(const TFilterGraph&) = delete;
    TFilterGraph& operator=(const TFilterGraph&) = delete;

    const std::string& Name() const { return name_; }
    TGraphMode Mode() const { return mode_; }
    void SetMode(TGraphMode mode) { mode_ = mode; }
    // While active, the graph is listed for inspection (see PublishGraphForInspection).
    bool GraphEdit() const { return graphEdit_; }
    void SetGraphEdit(bool on) { graphEdit_ = on; }

    bool Active() const;
    void SetActive(bool active);

    // The linked components in link order.
    const std::vector<TFilterComponent*>& LinkedFilters() const { return linked_; }

    // Connects `source` to `sink` (a renderer or writer), through `intermediate` when given.
    // `category` chooses the preview or capture branch; media type: any. Throws EIntfCastError
    // when a component has no element; otherwise returns S_OK or a failure code.
    HResult RenderStream(const TGuid& category, TFilterComponent& source,
                         TFilterComponent* intermediate, TFilterComponent& sink);

    // Tells the linked renderers that the graph runs, then runs it. Throws EDirectShowException
    // on failure; returns true when the run call succeeded.
    bool RunGraph();
    // Nothing when inactive; else stops (bounded wait for writers to finish their files).
    void StopGraph();
    // Nothing when inactive; else StopGraph, disconnect every element, remove those that
    // rendering inserted (the linked components' elements stay).
    void PurgeGraph();
    // Uninitialised when inactive; else the state the graph is in or heading to, without waiting.
    TGraphState GraphState() const;

    // Names of the elements in the graph, in the order they were added (for diagnostics/tests).
    std::vector<std::string> FilterNames() const;
    // The media type ("video/x-raw", "image/jpeg", "video/x-h264", ...) `source` delivers once a
    // stream of it is rendered; empty before. A network camera's is the type it sent last, raw
    // video until it has sent any.
    std::string SourceMediaType(const TFilterComponent& source) const;
    // A compressed source whose pictures nobody looks at (a hidden camera that is not encoded
    // again) need not decode them all: sparing, its decoder gets a key frame about once a second
    // (snapshots stay fresh), and on return to full it waits for the next key frame. Raw sources
    // are not affected. Any thread.
    void SetSparseDecoding(const TFilterComponent& source, bool sparse);
    // Compressed buffers the source sent to its decoder, spared ones included: a sparing source
    // still shows it is alive. 0 for raw sources.
    std::uint64_t StreamBuffersSeen(const TFilterComponent& source) const;
    // Native size of the picture that reaches the renderer: negotiated when running, else what
    // the rendered source will deliver; {0, 0} when unknown.
    std::pair<int, int> NativeVideoSize() const;

    // Errors the pipeline reports while running (a camera that disappears, a full disk), with
    // the linked component whose element or branch failed (none when it cannot be told).
    // Delivered on the GUI thread by GLib's default main context (Qt's event loop runs it), or
    // by ProcessEvents for callers without one; never from inside another graph operation.
    // One failure per run: once one is delivered (or RunGraph threw), the errors that follow
    // from it are dropped until the graph runs again. The handler may tear the graph down.
    using ErrorHandler = std::function<void(const std::string& text, TFilterComponent* origin)>;
    void SetOnError(ErrorHandler handler) { onError_ = std::move(handler); }
    void ProcessEvents();

    // How long StopGraph waits for writers to finish.
    static constexpr std::chrono::milliseconds StopTimeout{3000};

    GraphCore& core() const { return *core_; } // internal
    void HandleBusError(GstMessage* msg);      // internal: an error message of the pipeline

private:
    friend class TFilterComponent;
    void link(TFilterComponent* c);
    void unlink(TFilterComponent* c);
    void join(TFilterComponent* c);
    void leave(TFilterComponent* c);
    TFilterComponent* componentOf(GstObject* object) const;

    std::string name_;
    TGraphMode mode_ = TGraphMode::gmCapture;
    bool graphEdit_ = false;
    std::vector<TFilterComponent*> linked_;
    ErrorHandler onError_;
    std::unique_ptr<GraphCore> core_;
};

// Graph inspection: while published, a graph is listed under "FilterGraph %p pid %x"; when
// GST_DEBUG_DUMP_DOT_DIR is set its .dot picture is written under that name when it runs.
struct PublicationCookie {
    uint32_t value = 0;
};
HResult PublishGraphForInspection(const TFilterGraph& graph, PublicationCookie& cookie);
HResult WithdrawGraphPublication(PublicationCookie cookie);
std::vector<std::string> PublishedGraphs();

} // namespace norvale
