#include "FileCamera.h"

#include "GraphInternal.h"
#include "PipelineUtil.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include <sys/stat.h>

namespace norvale::filecameras {

namespace {

std::string cannotPlay(const std::string& path, const std::string& why) {
    return "The file \"" + path + "\" cannot be played: " + why;
}

} // namespace

std::vector<std::string> files() {
    std::vector<std::string> out;
    const char* env = std::getenv("NORVALE_TEST_FILES");
    if (!env)
        return out;
    const std::string text = env;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos)
            end = text.size();
        if (end > pos)
            out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

std::string cameraName(int number) {
    return "Norvale Test File " + std::to_string(number);
}

namespace {

constexpr int FramesPerSecond = 15;
// How long a file may take to show its first picture before it is taken as one that cannot be
// played.
constexpr GstClockTime OpenTimeout = 5 * GST_SECOND;

// Whether file cameras send their files' compressed video as it is.
bool compressed() {
    const char* env = std::getenv("NORVALE_TEST_FILES_COMPRESSED");
    return env && std::string(env) == "1";
}

// The elements after parsing that make the stream a camera's: H.264/H.265 as a byte stream of
// whole pictures, with the parameter sets before every key frame (the file loops).
std::string cameraStream(const std::string& mediaType) {
    if (mediaType == "video/x-h264")
        return " ! h264parse config-interval=-1 ! "
               "video/x-h264,stream-format=byte-stream,alignment=au";
    if (mediaType == "video/x-h265")
        return " ! h265parse config-interval=-1 ! "
               "video/x-h265,stream-format=byte-stream,alignment=au";
    return {};
}

struct Probed {
    bool exists = false;
    std::int64_t modified = 0;
    std::int64_t size = 0;
    std::string caps;
    std::string error;
};

// Decodes the file's first picture to learn its size.
Probed probe(const std::string& path) {
    Probed p;
    p.caps = "video/x-raw, format=(string)I420, width=(int)320, height=(int)240, "
             "framerate=(fraction)15/1, pixel-aspect-ratio=(fraction)1/1";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        p.error = cannotPlay(path, "there is no such file.");
        return p;
    }
    p.exists = true;
    p.modified = static_cast<std::int64_t>(st.st_mtime);
    p.size = static_cast<std::int64_t>(st.st_size);
    std::string error;
    gst::Pipeline pipeline =
        gst::parsePipeline("filesrc location=" + gst::quotedLocation(path) +
                               " ! decodebin ! videoconvert ! appsink name=frames sync=false "
                               "caps=video/x-raw,format=I420",
                           error);
    if (!pipeline) {
        p.error = cannotPlay(path, error);
        return p;
    }
    GstStateChangeReturn r = gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
    if (r == GST_STATE_CHANGE_ASYNC)
        r = gst_element_get_state(pipeline.get(), nullptr, nullptr, OpenTimeout);
    gst::Ref<GstBus> bus(gst_element_get_bus(pipeline.get()));
    error = gst::popErrorText(bus.get());
    int width = 0, height = 0, parN = 1, parD = 1;
    if (r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL) {
        gst::Ref<GstElement> sink = gst::childByName(pipeline.get(), "frames");
        gst::Ref<GstPad> pad(sink ? gst_element_get_static_pad(sink.get(), "sink") : nullptr);
        gst::Caps caps(pad ? gst_pad_get_current_caps(pad.get()) : nullptr);
        if (caps && gst_caps_get_size(caps.get()) > 0) {
            const GstStructure* s = gst_caps_get_structure(caps.get(), 0);
            gst_structure_get_int(s, "width", &width);
            gst_structure_get_int(s, "height", &height);
            gst_structure_get_fraction(s, "pixel-aspect-ratio", &parN, &parD);
        }
    }
    if (width <= 0 || height <= 0 || width > 8192 || height > 8192 || parN <= 0 || parD <= 0) {
        p.error =
            cannotPlay(path, error.empty() ? "it holds no video GStreamer can decode." : error);
        return p;
    }
    if (compressed()) {
        // The stream as the file holds it, at its own rate, where it is one a camera may send.
        pipeline.reset();
        gst::Pipeline parsed = gst::parsePipeline("filesrc location=" + gst::quotedLocation(path) +
                                                      " ! parsebin ! appsink name=frames",
                                                  error);
        if (parsed) {
            r = gst_element_set_state(parsed.get(), GST_STATE_PAUSED);
            if (r == GST_STATE_CHANGE_ASYNC)
                r = gst_element_get_state(parsed.get(), nullptr, nullptr, OpenTimeout);
            gst::Ref<GstElement> sink = gst::childByName(parsed.get(), "frames");
            gst::Ref<GstPad> pad(sink ? gst_element_get_static_pad(sink.get(), "sink") : nullptr);
            gst::Caps caps(pad ? gst_pad_get_current_caps(pad.get()) : nullptr);
            const GstStructure* s = caps && gst_caps_get_size(caps.get()) > 0
                                        ? gst_caps_get_structure(caps.get(), 0)
                                        : nullptr;
            const std::string kind = s ? gst_structure_get_name(s) : "";
            int rateN = 0, rateD = 1;
            if (s)
                gst_structure_get_fraction(s, "framerate", &rateN, &rateD);
            if ((kind == "image/jpeg" || !cameraStream(kind).empty()) && rateN > 0 && rateD > 0) {
                std::string c = kind + ", width=(int)" + std::to_string(width) + ", height=(int)" +
                                std::to_string(height) + ", framerate=(fraction)" +
                                std::to_string(rateN) + "/" + std::to_string(rateD) +
                                ", pixel-aspect-ratio=(fraction)" + std::to_string(parN) + "/" +
                                std::to_string(parD);
                if (kind != "image/jpeg")
                    c += ", stream-format=(string)byte-stream, alignment=(string)au";
                p.caps = c;
                return p;
            }
        }
    }
    p.caps = "video/x-raw, format=(string)I420, width=(int)" + std::to_string(width) +
             ", height=(int)" + std::to_string(height) + ", framerate=(fraction)" +
             std::to_string(FramesPerSecond) + "/1, pixel-aspect-ratio=(fraction)" +
             std::to_string(parN) + "/" + std::to_string(parD);
    return p;
}

} // namespace

gst::Caps formatOf(const std::string& path, std::string& error) {
    static std::mutex lock;
    static std::map<std::string, Probed> known;
    std::lock_guard guard(lock);
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    auto it = known.find(path);
    // Listing happens often (every binding lists the devices): a file is decoded again only
    // when it changed.
    if (it == known.end() || it->second.exists != exists ||
        (exists && (it->second.modified != static_cast<std::int64_t>(st.st_mtime) ||
                    it->second.size != static_cast<std::int64_t>(st.st_size))))
        it = known.insert_or_assign(path, probe(path)).first;
    error = it->second.error;
    return gst::Caps(gst_caps_from_string(it->second.caps.c_str()));
}

} // namespace norvale::filecameras

// ---------------------------------------------------------------------------------------------
// The camera element: a bin whose source is fed by a player pipeline of its own, which plays
// the file at its pace on the system clock and starts again at its end.

namespace {

using namespace norvale;

struct FilePlayer {
    std::string path;
    std::string caps;         // the camera's one format
    std::string error;        // why the file cannot be played; empty: it can
    gst::Ref<GstElement> out; // the bin's appsrc
    gst::Pipeline player;
    std::thread looper;
    std::atomic<bool> stopping{false};
};

void postFailure(GstElement* element, const std::string& text) {
    gst::Error err(
        g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, text.c_str()));
    gst_element_post_message(element,
                             gst_message_new_error(GST_OBJECT(element), err.get(), nullptr));
}

// The player's streaming thread: each frame goes out of the camera stamped anew with the moment
// it leaves, as a live camera's frames are (appsrc stamps frames that carry no time).
GstFlowReturn onPlayerFrame(GstAppSink* sink, gpointer data) {
    auto* d = static_cast<FilePlayer*>(data);
    gst::Sample sample(gst_app_sink_pull_sample(sink));
    GstBuffer* buffer = sample ? gst_sample_get_buffer(sample.get()) : nullptr;
    // Like a live camera, nothing leaves before the camera plays: a frame stamped before its
    // pipeline has a base time would carry the clock's absolute time, far ahead of the frames
    // after it.
    if (!buffer || GST_STATE(d->out.get()) != GST_STATE_PLAYING)
        return GST_FLOW_OK;
    gst::Buffer frame(gst_buffer_copy(buffer)); // shares the pixels
    if (!frame)
        return GST_FLOW_OK;
    GST_BUFFER_PTS(frame.get()) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DTS(frame.get()) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(frame.get()) = GST_CLOCK_TIME_NONE;
    gst_app_src_push_buffer(GST_APP_SRC(d->out.get()), frame.release()); // takes the frame
    return GST_FLOW_OK;
}

// Starts the file again at its end; a failure of the player is the camera's.
void loopPlayer(GstElement* camera, FilePlayer* d) {
    gst::Ref<GstBus> bus(gst_element_get_bus(d->player.get()));
    while (!d->stopping.load()) {
        gst::Message msg(gst_bus_timed_pop_filtered(
            bus.get(), 100 * GST_MSECOND,
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
        if (!msg)
            continue;
        if (GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS) {
            gst_element_seek_simple(
                d->player.get(), GST_FORMAT_TIME,
                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT), 0);
            continue;
        }
        postFailure(camera, filecameras::cannotPlay(d->path, gst::errorMessageText(msg.get())));
        return;
    }
}

} // namespace

extern "C" {

struct NorvaleFileCamera {
    GstBin parent;
    FilePlayer player; // constructed in place by the instance init, destroyed by finalize
};
struct NorvaleFileCameraClass {
    GstBinClass parent_class;
};

G_DEFINE_TYPE(NorvaleFileCamera, norvale_file_camera, GST_TYPE_BIN)

} // extern "C"

namespace {

void stopPlayer(FilePlayer& d) {
    d.stopping = true;
    if (d.looper.joinable())
        d.looper.join();
    d.player.reset(); // brought to a stop, its threads joined
    d.stopping = false;
}

// Opens the file and shows its first picture; a file that cannot be played fails the camera's
// start with the reason.
bool startPlayer(GstElement* camera, FilePlayer& d) {
    if (!d.error.empty()) {
        postFailure(camera, d.error);
        return false;
    }
    std::string error;
    const std::string kind = d.caps.substr(0, d.caps.find(','));
    // A compressed stream loses no frame on the way: a decoder needs every one.
    d.player = gst::parsePipeline(
        "filesrc location=" + gst::quotedLocation(d.path) +
            (kind == "video/x-raw"
                 ? " ! decodebin ! videoconvert ! videoscale ! videorate ! " + d.caps +
                       " ! appsink name=frames sync=true max-buffers=2 drop=true "
                       "enable-last-sample=false"
                 : " ! parsebin" + filecameras::cameraStream(kind) +
                       " ! appsink name=frames sync=true enable-last-sample=false"),
        error);
    gst::Ref<GstElement> sink =
        d.player ? gst::childByName(d.player.get(), "frames") : gst::Ref<GstElement>();
    if (!sink) {
        postFailure(camera, filecameras::cannotPlay(d.path, error));
        d.player.reset();
        return false;
    }
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onPlayerFrame;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, &d, nullptr);
    GstStateChangeReturn r = gst_element_set_state(d.player.get(), GST_STATE_PAUSED);
    if (r == GST_STATE_CHANGE_ASYNC)
        r = gst_element_get_state(d.player.get(), nullptr, nullptr, 5 * GST_SECOND);
    if (r != GST_STATE_CHANGE_SUCCESS && r != GST_STATE_CHANGE_NO_PREROLL) {
        gst::Ref<GstBus> bus(gst_element_get_bus(d.player.get()));
        error = gst::popErrorText(bus.get());
        d.player.reset();
        postFailure(camera,
                    filecameras::cannotPlay(d.path, error.empty() ? "it does not start." : error));
        return false;
    }
    d.looper = std::thread(loopPlayer, camera, &d);
    return true;
}

GstStateChangeReturn changeState(GstElement* element, GstStateChange transition) {
    FilePlayer& d = reinterpret_cast<NorvaleFileCamera*>(element)->player;
    switch (transition) {
    case GST_STATE_CHANGE_READY_TO_PAUSED:
        if (!startPlayer(element, d))
            return GST_STATE_CHANGE_FAILURE;
        break;
    case GST_STATE_CHANGE_PAUSED_TO_PLAYING:
        if (d.player)
            gst_element_set_state(d.player.get(), GST_STATE_PLAYING);
        break;
    default:
        break;
    }
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(norvale_file_camera_parent_class)->change_state(element, transition);
    switch (transition) {
    case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
        if (d.player)
            gst_element_set_state(d.player.get(), GST_STATE_PAUSED);
        break;
    case GST_STATE_CHANGE_PAUSED_TO_READY:
        stopPlayer(d);
        break;
    default:
        break;
    }
    return result;
}

void finalize(GObject* object) {
    FilePlayer& d = reinterpret_cast<NorvaleFileCamera*>(object)->player;
    stopPlayer(d);
    d.~FilePlayer();
    G_OBJECT_CLASS(norvale_file_camera_parent_class)->finalize(object);
}

} // namespace

extern "C" {

static void norvale_file_camera_class_init(NorvaleFileCameraClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = finalize;
    GST_ELEMENT_CLASS(klass)->change_state = changeState;
}

static void norvale_file_camera_init(NorvaleFileCamera* self) {
    new (&self->player) FilePlayer();
}

} // extern "C"

namespace norvale::filecameras {

GstElement* makeElement(const std::string& path, const char* name) {
    std::string error;
    gst::Caps caps = formatOf(path, error);
    gst::Ref<GstElement> src = gst::make("appsrc", "frames");
    // The format told to whoever asks before the first frame (appsrc itself answers "any").
    gst::Ref<GstElement> format = gst::make("capsfilter", "format");
    if (!caps || !src || !format)
        return nullptr;
    auto* camera = static_cast<NorvaleFileCamera*>(
        g_object_new(norvale_file_camera_get_type(), "name", name, nullptr));
    FilePlayer& d = camera->player;
    d.path = path;
    d.error = error;
    d.caps = gst::take(gst_caps_to_string(caps.get()));
    // A live source: it runs whether or not anyone takes its frames, keeps only the newest two
    // when nobody does, and stamps each with the moment it goes out.
    const bool raw = gst_structure_has_name(gst_caps_get_structure(caps.get(), 0), "video/x-raw");
    g_object_set(src.get(), "caps", caps.get(), "format", GST_FORMAT_TIME, "is-live", TRUE,
                 "do-timestamp", TRUE, "max-buffers", guint64{raw ? 2u : 64u}, "block", FALSE,
                 nullptr);
    gst_util_set_object_arg(G_OBJECT(src.get()), "leaky-type", "downstream");
    g_object_set(format.get(), "caps", caps.get(), nullptr);
    gst_bin_add_many(GST_BIN(camera), src.get(), format.get(), nullptr);
    gst_element_link(src.get(), format.get());
    gst::Ref<GstPad> inner(gst_element_get_static_pad(format.get(), "src"));
    gst_element_add_pad(GST_ELEMENT(camera), gst_ghost_pad_new("src", inner.get()));
    d.out = std::move(src);
    // Floating, as devices hand out their elements.
    return GST_ELEMENT(camera);
}

} // namespace norvale::filecameras
