#include "DeviceArrivals.h"

#include "GstHandles.h"
#include "GstRuntime.h"
#include "SysDevEnum.h"

#include <cstring>
#include <map>
#include <vector>

namespace norvale {

namespace {

// The providers of one category, started while anyone listens. A device monitor would do, but
// a started provider answers every listing from what it last announced, and the synthetic
// cameras' provider only lists: started, it would keep a camera that was unplugged missing from
// every listing after. So each provider that announces is started on its own, that one never.
struct Hub {
    struct Watched {
        gst::Ref<GstDeviceProvider> provider;
        gst::Ref<GstBus> bus;
        guint watch = 0;
    };
    std::vector<Watched> providers;
    std::map<int, std::function<void()>> listeners;
    int next = 1;

    static gboolean onMessage(GstBus*, GstMessage* msg, gpointer data) {
        auto* hub = static_cast<Hub*>(data);
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_DEVICE_ADDED) {
            // A copy: a listener may leave while it is told.
            const auto listeners = hub->listeners;
            for (const auto& [id, arrived] : listeners)
                if (arrived)
                    arrived();
        }
        return G_SOURCE_CONTINUE;
    }

    void start(const char* klass) {
        gst::ObjectList factories(
            gst_device_provider_factory_list_get_device_providers(GST_RANK_NONE));
        for (GList* l = factories.get(); l; l = l->next) {
            auto* factory = GST_DEVICE_PROVIDER_FACTORY(l->data);
            if (std::strcmp(GST_OBJECT_NAME(factory), "norvaletestcameras") == 0 ||
                !gst_device_provider_factory_has_classes(factory, klass))
                continue;
            Watched w;
            w.provider = gst::Ref<GstDeviceProvider>(gst_device_provider_factory_get(factory));
            if (!w.provider)
                continue;
            w.bus = gst::Ref<GstBus>(gst_device_provider_get_bus(w.provider.get()));
            w.watch = gst_bus_add_watch(w.bus.get(), onMessage, this);
            if (!gst_device_provider_start(w.provider.get())) {
                if (w.watch)
                    g_source_remove(w.watch);
                continue;
            }
            providers.push_back(std::move(w));
        }
    }

    void stop() {
        for (Watched& w : providers) {
            gst_device_provider_stop(w.provider.get());
            if (w.watch)
                g_source_remove(w.watch);
        }
        providers.clear();
    }
};

Hub& hub() {
    static Hub h;
    return h;
}

} // namespace

struct TDeviceArrivals::Impl {
    int id = 0;
};

TDeviceArrivals::TDeviceArrivals(const TGuid& category, std::function<void()> arrived)
    : d_(std::make_unique<Impl>()) {
    gst::ensureInitialised();
    Hub& h = hub();
    if (h.listeners.empty())
        h.start(category == CLSID_AudioInputDeviceCategory ? "Audio/Source" : "Video/Source");
    d_->id = h.next++;
    h.listeners[d_->id] = std::move(arrived);
}

TDeviceArrivals::~TDeviceArrivals() {
    Hub& h = hub();
    h.listeners.erase(d_->id);
    if (h.listeners.empty())
        h.stop();
}

} // namespace norvale
