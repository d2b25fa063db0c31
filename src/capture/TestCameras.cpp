#include "TestCameras.h"

#include "CaptureElements.h"
#include "FileCamera.h"
#include "GstHandles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace norvale::testcameras {
namespace {

using Clock = std::chrono::steady_clock;

struct UnplugState {
    std::mutex mutex;
    std::map<int, bool> overrides;
    std::map<int, bool> stallOverrides;
    std::map<int, std::string> names;
    std::map<int, bool> mjpeg;
    std::map<int, bool> noCurrentFormat;
    std::optional<Clock::time_point> firstLook;
    std::string parsedEnv;
    // camera -> (seconds after first look, plugged in afterwards), in time order
    std::map<int, std::vector<std::pair<double, bool>>> envPlugEvents;
    std::string parsedStall;
    std::map<int, std::vector<std::pair<double, double>>> envStalls; // camera -> (from, seconds)
};

UnplugState& state() {
    static UnplugState s;
    return s;
}

// Calls `entry(number, rest)` for each "N<rest>" entry of a comma-separated list; entries without
// a camera number are skipped.
template <class F> void forEachEntry(const std::string& text, F entry) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(pos, end - pos);
        char* rest = nullptr;
        const long n = std::strtol(item.c_str(), &rest, 10);
        if (rest != item.c_str() && n > 0 && n <= 64)
            entry(static_cast<int>(n), rest);
        pos = end + 1;
    }
}

// "N" or "N@S": seconds after the first look (0 without "@").
double entrySeconds(const char* rest) {
    return *rest == '@' ? std::max(0.0, std::strtod(rest + 1, nullptr)) : 0.0;
}

// Parses "N", "N@S" entries separated by commas; malformed entries are skipped.
std::map<int, double> parseUnplug(const std::string& text) {
    std::map<int, double> out;
    forEachEntry(text, [&](int n, const char* rest) { out[n] = entrySeconds(rest); });
    return out;
}

// The unplug and replug lists as one time line per camera.
std::map<int, std::vector<std::pair<double, bool>>> parsePlugEvents(const std::string& unplug,
                                                                    const std::string& replug) {
    std::map<int, std::vector<std::pair<double, bool>>> out;
    forEachEntry(unplug, [&](int n, const char* rest) {
        out[n].push_back({entrySeconds(rest), false});
    });
    forEachEntry(replug, [&](int n, const char* rest) {
        out[n].push_back({entrySeconds(rest), true});
    });
    for (auto& [n, events] : out)
        std::stable_sort(events.begin(), events.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

// "N@T+D" entries: camera N delivers nothing from T seconds on, for D seconds.
std::map<int, std::vector<std::pair<double, double>>> parseStalls(const std::string& text) {
    std::map<int, std::vector<std::pair<double, double>>> out;
    forEachEntry(text, [&](int n, const char* rest) {
        if (*rest != '@')
            return;
        char* plus = nullptr;
        const double from = std::max(0.0, std::strtod(rest + 1, &plus));
        if (!plus || *plus != '+')
            return;
        const double seconds = std::strtod(plus + 1, nullptr);
        if (seconds > 0)
            out[n].push_back({from, seconds});
    });
    return out;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Seconds since the process first looked at the test cameras (the lock is held).
double sinceFirstLook(UnplugState& s) {
    if (!s.firstLook)
        s.firstLook = Clock::now();
    return std::chrono::duration<double>(Clock::now() - *s.firstLook).count();
}

} // namespace

std::string cameraName(int number) {
    {
        std::lock_guard lock(state().mutex);
        auto it = state().names.find(number);
        if (it != state().names.end())
            return it->second;
    }
    return "Norvale Test Camera " + std::to_string(number);
}

namespace {
// Set once any camera can be unplugged (an override, or NORVALE_TEST_UNPLUG when a camera's
// element is made): until then the per-frame check is this one load, not a shared lock and an
// environment lookup on every camera's streaming thread.
std::atomic<bool> unplugPossible{false};

void noteUnplugEnvironment() {
    for (const char* name : {"NORVALE_TEST_UNPLUG", "NORVALE_TEST_REPLUG", "NORVALE_TEST_STALL"})
        if (const char* env = std::getenv(name); env && *env)
            unplugPossible = true;
}
} // namespace

void setUnplugged(int number, bool unplugged) {
    if (unplugged)
        unplugPossible = true;
    std::lock_guard lock(state().mutex);
    state().overrides[number] = unplugged;
}

bool isUnplugged(int number) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (auto it = s.overrides.find(number); it != s.overrides.end())
        return it->second;
    const std::string text =
        environment("NORVALE_TEST_UNPLUG") + "|" + environment("NORVALE_TEST_REPLUG");
    if (text != s.parsedEnv) {
        s.parsedEnv = text;
        s.envPlugEvents =
            parsePlugEvents(environment("NORVALE_TEST_UNPLUG"), environment("NORVALE_TEST_REPLUG"));
    }
    const double elapsed = sinceFirstLook(s);
    auto it = s.envPlugEvents.find(number);
    if (it == s.envPlugEvents.end())
        return false;
    // The latest event that has happened decides.
    bool unplugged = false;
    for (const auto& [at, pluggedIn] : it->second)
        if (elapsed >= at)
            unplugged = !pluggedIn;
    return unplugged;
}

void setStalled(int number, bool stalled) {
    if (stalled)
        unplugPossible = true;
    std::lock_guard lock(state().mutex);
    state().stallOverrides[number] = stalled;
}

bool isStalled(int number) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (auto it = s.stallOverrides.find(number); it != s.stallOverrides.end())
        return it->second;
    const std::string text = environment("NORVALE_TEST_STALL");
    if (text != s.parsedStall) {
        s.parsedStall = text;
        s.envStalls = parseStalls(text);
    }
    const double elapsed = sinceFirstLook(s);
    auto it = s.envStalls.find(number);
    if (it == s.envStalls.end())
        return false;
    for (const auto& [from, seconds] : it->second)
        if (elapsed >= from && elapsed < from + seconds)
            return true;
    return false;
}

void setMjpeg(int number, bool mjpeg) {
    std::lock_guard lock(state().mutex);
    state().mjpeg[number] = mjpeg;
}

bool isMjpeg(int number) {
    {
        std::lock_guard lock(state().mutex);
        if (auto it = state().mjpeg.find(number); it != state().mjpeg.end())
            return it->second;
    }
    const char* env = std::getenv("NORVALE_TEST_MJPEG");
    return env && parseUnplug(env).count(number) > 0;
}

void setReportsCurrentFormat(int number, bool reports) {
    std::lock_guard lock(state().mutex);
    state().noCurrentFormat[number] = !reports;
}

bool reportsCurrentFormat(int number) {
    std::lock_guard lock(state().mutex);
    auto it = state().noCurrentFormat.find(number);
    return it == state().noCurrentFormat.end() || !it->second;
}

void setNameOverride(int number, const std::string& name) {
    std::lock_guard lock(state().mutex);
    if (name.empty())
        state().names.erase(number);
    else
        state().names[number] = name;
}

} // namespace norvale::testcameras

// ---------------------------------------------------------------------------------------------
// The device provider and its devices (GObject types).

namespace {

using namespace norvale;

constexpr const char* testApi = "norvale-test";

int testDeviceCount() {
    const char* env = std::getenv("NORVALE_TEST_DEVICES");
    if (!env)
        return 0;
    char* end = nullptr;
    long n = std::strtol(env, &end, 10);
    if (end == env || n < 0)
        return 0;
    return static_cast<int>(std::min(n, 64L));
}

// NORVALE_TEST_FIRST_FORMAT="WxH": the formats of that size move to the front, in their order.
GstCaps* withChosenSizeFirst(GstCaps* caps) {
    const char* env = std::getenv("NORVALE_TEST_FIRST_FORMAT");
    int width = 0, height = 0;
    if (!caps || !env || std::sscanf(env, "%dx%d", &width, &height) != 2)
        return caps;
    GstCaps* chosen = gst_caps_new_empty();
    GstCaps* rest = gst_caps_new_empty();
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        int w = 0, h = 0;
        const bool match = gst_structure_get_int(s, "width", &w) &&
                           gst_structure_get_int(s, "height", &h) && w == width && h == height;
        gst_caps_append_structure(match ? chosen : rest, gst_structure_copy(s));
    }
    gst_caps_unref(caps);
    gst_caps_append(chosen, rest); // takes `rest`
    return chosen;
}

GstCaps* testCameraCaps(bool mjpeg) {
    if (mjpeg)
        return withChosenSizeFirst(gst_caps_from_string(
            "image/jpeg, width=640, height=480, framerate=15/1, pixel-aspect-ratio=1/1; "
            "image/jpeg, width=320, height=240, framerate=15/1, pixel-aspect-ratio=1/1; "
            "image/jpeg, width=352, height=288, framerate=15/1, pixel-aspect-ratio=1/1"));
    return withChosenSizeFirst(gst_caps_from_string(
        "video/x-raw, format=YUY2, width=320, height=240, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=YUY2, width=352, height=288, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=YUY2, width=640, height=480, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=I420, width=320, height=240, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=I420, width=352, height=288, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=BGR, width=320, height=240, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=YUY2, width=176, height=144, framerate=15/1, pixel-aspect-ratio=1/1; "
        "video/x-raw, format=YUY2, width=720, height=576, framerate=15/1, "
        "pixel-aspect-ratio=16/15"));
}

struct UnplugWatch {
    int number;
    bool reported;
};

GstPadProbeReturn unplugProbe(GstPad* pad, GstPadProbeInfo*, gpointer data) {
    auto* watch = static_cast<UnplugWatch*>(data);
    if (!testcameras::unplugPossible.load(std::memory_order_relaxed))
        return GST_PAD_PROBE_OK;
    if (!testcameras::isUnplugged(watch->number))
        // A stalled driver: no frames, no error.
        return testcameras::isStalled(watch->number) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
    if (!watch->reported) {
        watch->reported = true;
        gst::Ref<GstElement> src(gst_pad_get_parent_element(pad));
        if (src) {
            std::string text =
                "Device '" + testcameras::cameraName(watch->number) + "' has been disconnected.";
            GError* err =
                g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND, text.c_str());
            gst_element_post_message(src.get(),
                                     gst_message_new_error(GST_OBJECT(src.get()), err, nullptr));
            g_error_free(err);
        }
    }
    return GST_PAD_PROBE_DROP;
}

// Each camera its own pattern; all move (the ball by itself, the others scroll).
const char* const patterns[] = {"smpte",  "ball",     "zone-plate", "colors",  "checkers-8",
                                "spokes", "pinwheel", "gamut",      "circular"};

GstElement* makeCameraElement(int number, const gchar* name) {
    testcameras::noteUnplugEnvironment(); // NORVALE_TEST_UNPLUG as it is now
    // Every part is required: a camera that quietly lost one (its name overlay without
    // gstreamer1.0-x) would make tests and benchmarks measure something else. A missing one is
    // named on the console and the camera cannot be opened.
    std::string missing;
    auto part = [&](const char* factory, const char* role) {
        gst::Ref<GstElement> e = gst::make(factory, role);
        if (!e)
            missing += std::string(missing.empty() ? "" : ", ") + factory;
        return e;
    };
    gst::Ref<GstElement> bin = gst::adopt(gst_bin_new(name));
    gst::Ref<GstElement> src = part("videotestsrc", "source");
    // NORVALE_TEST_CLOCK: the name is followed by the camera's clock (running time, in ms), so a
    // viewer's picture can be compared with the preview's (see scripts/bench-viewer-latency).
    gst::Ref<GstElement> text =
        part(std::getenv("NORVALE_TEST_CLOCK") ? "timeoverlay" : "textoverlay", "name");
    gst::Ref<GstElement> convert = part("videoconvert", "convert");
    gst::Ref<GstElement> scale = part("videoscale", "scale");
    // Adjustable picture controls, as a real camera's driver offers them.
    gst::Ref<GstElement> balance = part("videobalance", "controls");
    gst::Ref<GstElement> filter = part("capsfilter", "formats");
    const bool mjpeg = testcameras::isMjpeg(number);
    gst::Ref<GstElement> encoder = mjpeg ? part("jpegenc", "encoder") : nullptr;
    if (!missing.empty()) {
        std::fprintf(stderr,
                     "%s cannot be opened: GStreamer element(s) missing: %s (scripts/setup "
                     "installs them)\n",
                     testcameras::cameraName(number).c_str(), missing.c_str());
        return nullptr;
    }
    if (!bin)
        return nullptr;

    // NORVALE_TEST_PATTERN: one pattern for every camera (see the header).
    const char* chosen = std::getenv("NORVALE_TEST_PATTERN");
    const char* pattern = chosen && *chosen ? chosen : patterns[(number - 1) % std::size(patterns)];
    gst_util_set_object_arg(G_OBJECT(src.get()), "pattern", pattern);
    g_object_set(src.get(), "is-live", TRUE, nullptr);
    if (std::string(pattern) == "ball")
        g_object_set(src.get(), "foreground-color", 0xFFFFC000u, nullptr);
    else if (std::string(pattern) == "zone-plate")
        g_object_set(src.get(), "kt", 2, nullptr);
    else
        g_object_set(src.get(), "horizontal-speed", 2, nullptr);

    gst::Caps caps(testCameraCaps(mjpeg));
    g_object_set(filter.get(), "caps", caps.get(), nullptr);

    const std::string label = testcameras::cameraName(number);
    g_object_set(text.get(), "text", label.c_str(), "font-desc", "Sans Bold 18", "valignment",
                 2 /* top */, "halignment", 0 /* left */, "shaded-background", TRUE, nullptr);
    std::vector<GstElement*> chain = {src.get(), text.get(), convert.get(), balance.get(),
                                      scale.get()};
    if (encoder)
        chain.push_back(encoder.get());
    chain.push_back(filter.get());
    for (GstElement* e : chain)
        gst_bin_add(GST_BIN(bin.get()), e);
    for (size_t i = 0; i + 1 < chain.size(); ++i)
        if (!gst_element_link(chain[i], chain[i + 1]))
            return nullptr;

    gst::Ref<GstPad> inner(gst_element_get_static_pad(filter.get(), "src"));
    GstPad* ghost = gst_ghost_pad_new("src", inner.get());
    gst_element_add_pad(bin.get(), ghost);

    gst::Ref<GstPad> srcPad(gst_element_get_static_pad(src.get(), "src"));
    auto* watch = g_new0(UnplugWatch, 1);
    watch->number = number;
    gst_pad_add_probe(srcPad.get(), GST_PAD_PROBE_TYPE_BUFFER, unplugProbe, watch, g_free);

    // Devices hand out floating references, like gst_element_factory_make.
    GstElement* out = bin.release();
    g_object_force_floating(G_OBJECT(out));
    return out;
}

} // namespace

extern "C" {

struct NorvaleTestDevice {
    GstDevice parent;
    int number;
    int fileNumber; // a file camera (1-based): then `number` is 0
};
struct NorvaleTestDeviceClass {
    GstDeviceClass parent_class;
};
struct NorvaleTestProvider {
    GstDeviceProvider parent;
};
struct NorvaleTestProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(NorvaleTestDevice, norvale_test_device, GST_TYPE_DEVICE)
G_DEFINE_TYPE(NorvaleTestProvider, norvale_test_provider, GST_TYPE_DEVICE_PROVIDER)

static GstElement* norvale_test_device_create_element(GstDevice* device, const gchar* name) {
    auto* self = reinterpret_cast<NorvaleTestDevice*>(device);
    if (self->fileNumber > 0) {
        const std::vector<std::string> files = filecameras::files();
        if (self->fileNumber > static_cast<int>(files.size()))
            return nullptr;
        return filecameras::makeElement(files[static_cast<size_t>(self->fileNumber - 1)], name);
    }
    if (testcameras::isUnplugged(self->number))
        return nullptr;
    return makeCameraElement(self->number, name);
}

static void norvale_test_device_class_init(NorvaleTestDeviceClass* klass) {
    GST_DEVICE_CLASS(klass)->create_element = norvale_test_device_create_element;
}

static void norvale_test_device_init(NorvaleTestDevice* self) {
    self->number = 0;
    self->fileNumber = 0;
}

static GList* norvale_test_provider_probe(GstDeviceProvider*) {
    GList* devices = nullptr;
    int count = testDeviceCount();
    for (int n = 1; n <= count; ++n) {
        if (testcameras::isUnplugged(n))
            continue;
        std::string name = testcameras::cameraName(n);
        std::string path = std::string(testApi) + ":" + std::to_string(n);
        gst::Caps caps(testCameraCaps(testcameras::isMjpeg(n)));
        gst::Structure props(gst_structure_new("norvale-test-device", "device.api", G_TYPE_STRING,
                                               testApi, "device.path", G_TYPE_STRING, path.c_str(),
                                               nullptr));
        // Like a driver, the camera reports the format it is set to: its first listed one.
        if (testcameras::reportsCurrentFormat(n) && caps && gst_caps_get_size(caps.get()) > 0)
            gst_structure_set(
                props.get(), "norvale.current-format", G_TYPE_STRING,
                gst::take(gst_structure_to_string(gst_caps_get_structure(caps.get(), 0))).c_str(),
                nullptr);
        auto* device = static_cast<NorvaleTestDevice*>(g_object_new(
            norvale_test_device_get_type(), "display-name", name.c_str(), "device-class",
            "Video/Source", "caps", caps.get(), "properties", props.get(), nullptr));
        device->number = n;
        devices = g_list_append(devices, device);
    }
    // The file cameras after them, in the order of NORVALE_TEST_FILES; their paths sort after
    // the numbered ones ("norvale-test:file1" after "norvale-test:64").
    const std::vector<std::string> files = filecameras::files();
    for (int n = 1; n <= static_cast<int>(std::min<size_t>(files.size(), 64)); ++n) {
        std::string error; // told when the camera is started
        gst::Caps caps = filecameras::formatOf(files[static_cast<size_t>(n - 1)], error);
        if (!caps || gst_caps_is_empty(caps.get()))
            continue;
        const std::string name = filecameras::cameraName(n);
        const std::string path = std::string(testApi) + ":file" + std::to_string(n);
        gst::Structure props(gst_structure_new(
            "norvale-test-device", "device.api", G_TYPE_STRING, testApi, "device.path",
            G_TYPE_STRING, path.c_str(), "norvale.current-format", G_TYPE_STRING,
            gst::take(gst_structure_to_string(gst_caps_get_structure(caps.get(), 0))).c_str(),
            nullptr));
        auto* device = static_cast<NorvaleTestDevice*>(g_object_new(
            norvale_test_device_get_type(), "display-name", name.c_str(), "device-class",
            "Video/Source", "caps", caps.get(), "properties", props.get(), nullptr));
        device->fileNumber = n;
        devices = g_list_append(devices, device);
    }
    return devices;
}

static void norvale_test_provider_class_init(NorvaleTestProviderClass* klass) {
    GstDeviceProviderClass* dpc = GST_DEVICE_PROVIDER_CLASS(klass);
    dpc->probe = norvale_test_provider_probe;
    gst_device_provider_class_set_static_metadata(
        dpc, "Norvale test cameras", "Source/Video",
        "Synthetic cameras for machines without capture hardware", "Norvale");
}

static void norvale_test_provider_init(NorvaleTestProvider*) {}

} // extern "C"

namespace norvale::gst {

gboolean registerTestCameraProvider(GstPlugin* plugin) {
    return gst_device_provider_register(plugin, "norvaletestcameras", GST_RANK_MARGINAL,
                                        norvale_test_provider_get_type());
}

} // namespace norvale::gst
