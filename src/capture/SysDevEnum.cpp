#include "SysDevEnum.h"

#include "CaptureErrors.h"
#include "DeviceElement.h"
#include "GstRuntime.h"
#include "NetworkCamera.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>

namespace norvale {
namespace gst {
namespace {

const char* deviceClassOf(const TGuid& category) {
    if (category == CLSID_VideoInputDeviceCategory)
        return "Video/Source";
    if (category == CLSID_AudioInputDeviceCategory)
        return "Audio/Source";
    return nullptr;
}

std::string property(const GstStructure* props, const char* key) {
    if (!props)
        return {};
    const gchar* v = gst_structure_get_string(props, key);
    return v ? v : "";
}

// "10" after "9": device paths compare by their numbers.
bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t i2 = i, j2 = j;
            while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2])))
                ++i2;
            while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2])))
                ++j2;
            std::string na = a.substr(i, i2 - i), nb = b.substr(j, j2 - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = i2;
            j = j2;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

} // namespace

// Two identical devices without a path would share one identity; later ones get their rank.
void makeIdentitiesUnique(std::vector<DeviceRecord>& records) {
    std::map<std::string, int> seen;
    for (auto& r : records) {
        const int n = ++seen[r.identity];
        if (n > 1)
            r.identity += "\n#" + std::to_string(n);
    }
}

std::string deviceIdentity(const GstStructure* props, const std::string& displayName) {
    std::string api = property(props, "device.api");
    std::string path = property(props, "device.path");
    if (path.empty())
        path = property(props, "api.v4l2.path");
    if (path.empty())
        path = property(props, "object.path");
    if (path.empty())
        return "name\n" + displayName;
    return api + "\n" + path;
}

// The identities once listed as video devices. Binding a stored identity looks among the audio
// devices only for one never seen as video: listing audio devices probes the sound server's
// provider, which keeps descriptors of every probe, and a lost camera tries to bind again every
// minute for as long as it stays away.
static std::mutex& seenLock() {
    static std::mutex lock;
    return lock;
}
static std::set<std::string>& seenAsVideo() {
    static std::set<std::string> seen;
    return seen;
}
static void rememberCategory(const TGuid& category, const std::vector<DeviceRecord>& devices) {
    if (category != CLSID_VideoInputDeviceCategory)
        return;
    std::lock_guard lock(seenLock());
    for (const auto& r : devices)
        seenAsVideo().insert(r.identity);
}

std::vector<DeviceRecord> listDevices(const TGuid& category) {
    ensureInitialised();
    std::vector<DeviceRecord> real, test;
    const char* klass = deviceClassOf(category);
    if (!klass)
        return {};
    // A new monitor comes without a floating reference: taking it as it is, not sinking it.
    Ref<GstDeviceMonitor> monitor(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor.get(), klass, nullptr);
    ObjectList devices(gst_device_monitor_get_devices(monitor.get()));
    for (GList* l = devices.get(); l; l = l->next) {
        auto* device = GST_DEVICE(l->data);
        Structure props(gst_device_get_properties(device));
        std::string api = property(props.get(), "device.api");
        DeviceRecord r;
        r.device = addRef(device);
        r.name = take(gst_device_get_display_name(device));
        r.identity = deviceIdentity(props.get(), r.name);
        r.test = api == "norvale-test";
        r.currentFormat = property(props.get(), "norvale.current-format");
        if (api == "v4l2")
            r.v4l2Path = property(props.get(), "device.path");
        else if (api == "pipewire" || api.empty())
            r.v4l2Path = property(props.get(), "api.v4l2.path");
        (r.test ? test : real).push_back(std::move(r));
    }
    std::stable_sort(real.begin(), real.end(), [](const DeviceRecord& a, const DeviceRecord& b) {
        return naturalLess(a.identity, b.identity);
    });
    std::stable_sort(test.begin(), test.end(), [](const DeviceRecord& a, const DeviceRecord& b) {
        return naturalLess(a.identity, b.identity);
    });
    makeIdentitiesUnique(real);
    makeIdentitiesUnique(test);
    real.insert(real.end(), std::make_move_iterator(test.begin()),
                std::make_move_iterator(test.end()));
    if (category == CLSID_VideoInputDeviceCategory) {
        std::vector<DeviceRecord> network;
        for (auto& camera : networkCameras()) {
            DeviceRecord r;
            r.name = camera.name;
            r.identity = netCameraIdentity(camera.url);
            r.currentFormat = knownNetworkFormat(r.identity);
            r.network = std::move(camera);
            network.push_back(std::move(r));
        }
        makeIdentitiesUnique(network);
        real.insert(real.end(), std::make_move_iterator(network.begin()),
                    std::make_move_iterator(network.end()));
    }
    rememberCategory(category, real);
    return real;
}

bool listedAsVideo(const std::string& identity) {
    std::lock_guard lock(seenLock());
    return seenAsVideo().count(identity) > 0;
}

} // namespace gst

std::string CutFriendlyName(const std::string& name) {
    size_t chars = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) {
            if (chars == 255)
                return name.substr(0, i);
            ++chars;
        }
    }
    return name;
}

TSysDevEnum::TSysDevEnum(const TGuid& category) {
    SelectCategory(category);
}

void TSysDevEnum::SelectCategory(const TGuid& category) {
    category_ = category;
    entries_.clear();
    for (const auto& r : gst::listDevices(category)) {
        DeviceEntry e;
        e.FriendlyName = CutFriendlyName(r.name);
        e.ClassId = r.test ? CLSID_NorvaleTestCamera : CLSID_CaptureDeviceProxy;
        entries_.push_back(std::move(e));
    }
}

DeviceEntry TSysDevEnum::EntryAt(int index) const {
    if (index < 0 || index >= DeviceCount())
        throw EListError(index);
    return entries_[static_cast<size_t>(index)];
}

std::optional<TMoniker> TSysDevEnum::MonikerAt(int index) const {
    if (index < 0 || index >= DeviceCount())
        return std::nullopt;
    auto devices = gst::listDevices(category_);
    if (index >= static_cast<int>(devices.size()))
        return std::nullopt;
    const auto& r = devices[static_cast<size_t>(index)];
    return TMoniker{std::vector<uint8_t>(r.identity.begin(), r.identity.end()), r.name};
}

std::vector<uint8_t> TPersistentMemory::DataBytes() const {
    std::vector<uint8_t> out(4 + bytes_.size());
    uint32_t n = static_cast<uint32_t>(bytes_.size());
    for (int i = 0; i < 4; ++i)
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
    std::copy(bytes_.begin(), bytes_.end(), out.begin() + 4);
    return out;
}

bool TPersistentMemory::LoadDataBytes(const std::vector<uint8_t>& data) {
    if (data.size() < 4)
        return false;
    uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                 static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (data.size() - 4 != n)
        return false;
    bytes_.assign(data.begin() + 4, data.end());
    return true;
}

void TBaseFilter::StoreMoniker(const std::optional<TMoniker>& moniker) {
    if (moniker)
        setBytes(moniker->bytes);
    else
        clear();
}

std::optional<TMoniker> TBaseFilter::RestoreMoniker() const {
    if (empty())
        return std::nullopt;
    return TMoniker{bytes(), {}};
}

namespace {

// A network camera is bound without connecting to it: the stream opens when the graph runs.
TDeviceElementPtr bindNetworkCamera(const gst::DeviceRecord& r, const char* elementName) {
    std::string error;
    gst::Ref<GstElement> element = gst::adopt(makeNetworkCameraSource(*r.network, error));
    if (!element)
        return nullptr;
    if (elementName)
        gst_object_set_name(GST_OBJECT(element.get()), elementName);
    auto bound = std::make_shared<TDeviceElement>();
    bound->element = std::move(element);
    // Its formats are what its stream delivered last time, else raw video of any kind.
    bound->currentFormat = r.currentFormat;
    bound->deviceCaps = gst::Caps(
        gst_caps_from_string(r.currentFormat.empty() ? "video/x-raw" : r.currentFormat.c_str()));
    bound->name = r.name;
    bound->network = true;
    bound->networkIdentity = netCameraIdentity(r.network->url); // as its source names it
    return bound;
}

} // namespace

TDeviceElementPtr TBaseFilter::BindFilter(const char* elementName) const {
    auto moniker = RestoreMoniker();
    if (!moniker)
        return nullptr;
    std::string identity(moniker->bytes.begin(), moniker->bytes.end());
    // Same category as the identity's device: video first, then audio, unless it is known to be
    // a video device.
    const bool video = gst::listedAsVideo(identity);
    for (const TGuid& category : {CLSID_VideoInputDeviceCategory, CLSID_AudioInputDeviceCategory}) {
        if (video && category != CLSID_VideoInputDeviceCategory)
            break;
        for (auto& r : gst::listDevices(category)) {
            if (r.identity != identity)
                continue;
            if (r.network)
                return bindNetworkCamera(r, elementName);
            gst::Ref<GstElement> element =
                gst::adopt(gst_device_create_element(r.device.get(), elementName));
            if (!element)
                return nullptr;
            auto bound = std::make_shared<TDeviceElement>();
            bound->element = std::move(element);
            bound->deviceCaps = gst::Caps(gst_device_get_caps(r.device.get()));
            bound->name = r.name;
            bound->v4l2Path = r.v4l2Path;
            bound->currentFormat = r.currentFormat;
            return bound;
        }
    }
    return nullptr;
}

} // namespace norvale
