#include "NetworkCamera.h"

#include "GstHandles.h"
#include "GstRuntime.h"
#include "PipelineUtil.h"
#include "VideoFrame.h"
#include "core/UniqueFd.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace norvale {

namespace {

GST_DEBUG_CATEGORY_STATIC(netcam_debug);
#define GST_CAT_DEFAULT netcam_debug

void ensureCategory() {
    static std::once_flag once;
    std::call_once(once, [] {
        GST_DEBUG_CATEGORY_INIT(netcam_debug, "norvale-netcam", 0, "Norvale network cameras");
    });
}

// Decoders tell which codec the camera sends.
std::string codecOfDecoder(const std::string& factory) {
    if (factory.find("h264") != std::string::npos)
        return "H.264";
    if (factory.find("h265") != std::string::npos || factory.find("hevc") != std::string::npos)
        return "H.265";
    if (factory.find("jpeg") != std::string::npos)
        return "MJPEG";
    if (factory.find("wmv") != std::string::npos)
        return "WMV"; // another Norvale's live stream
    return {};
}

struct BinState {
    std::mutex lock;
    std::string codec;
};

struct Registry {
    std::mutex lock;
    std::vector<NetCameraConfig> cameras;
    std::map<std::string, std::string> formats; // identity -> decoded caps structure
    std::map<std::string, std::string> streams; // identity -> media type as sent
};

Registry& registry() {
    static Registry r;
    return r;
}

void rememberFormat(const std::string& identity, const GstCaps* caps) {
    if (!caps || gst_caps_get_size(caps) == 0)
        return;
    const std::string text = gst::take(gst_structure_to_string(gst_caps_get_structure(caps, 0)));
    std::lock_guard lock(registry().lock);
    registry().formats[identity] = text;
}

// The stream as the camera sends it, once parsed: its media type is what a recording of the
// camera's own stream takes.
GstPadProbeReturn onStreamCaps(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    GstCaps* caps = nullptr;
    if (event && GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
        gst_event_parse_caps(event, &caps);
        if (caps && gst_caps_get_size(caps) > 0) {
            std::lock_guard lock(registry().lock);
            registry().streams[*static_cast<const std::string*>(data)] =
                gst_structure_get_name(gst_caps_get_structure(caps, 0));
        }
    }
    return GST_PAD_PROBE_OK;
}

// The decoder's output as it starts and whenever it changes (a camera set to another size).
GstPadProbeReturn onDecodedCaps(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        rememberFormat(*static_cast<const std::string*>(data), caps);
    }
    return GST_PAD_PROBE_OK;
}

// Links a new pad of a parser or decoder to `next`, unless it clearly carries something other
// than pictures (a camera's sound). Caps may not be settled when the pad appears.
void linkPicturePad(GstPad* pad, GstElement* next) {
    gst::Caps caps(gst_pad_get_current_caps(pad));
    if (!caps)
        caps.reset(gst_pad_query_caps(pad, nullptr));
    const GstStructure* s = caps && !gst_caps_is_any(caps.get()) && !gst_caps_is_empty(caps.get())
                                ? gst_caps_get_structure(caps.get(), 0)
                                : nullptr;
    const gchar* name = s ? gst_structure_get_name(s) : "";
    if (s && !g_str_has_prefix(name, "video/") && !g_str_has_prefix(name, "image/"))
        return;
    gst::Ref<GstPad> sink(gst_element_get_static_pad(next, "sink"));
    if (!gst_pad_is_linked(sink.get()))
        gst_pad_link(pad, sink.get());
}

// Decoded pictures go to the converter; the parser's stream goes on to the stream's tee.
void onNewPicturePad(GstElement*, GstPad* pad, gpointer next) {
    linkPicturePad(pad, static_cast<GstElement*>(next));
}

// rtspsrc's pads appear per stream; the first video stream goes to the parser.
void onRtspPad(GstElement*, GstPad* pad, gpointer data) {
    auto* decode = static_cast<GstElement*>(data);
    gst::Caps caps(gst_pad_query_caps(pad, nullptr));
    const GstStructure* s = caps ? gst_caps_get_structure(caps.get(), 0) : nullptr;
    const gchar* media = s ? gst_structure_get_string(s, "media") : nullptr;
    if (media && g_strcmp0(media, "video") != 0)
        return;
    gst::Ref<GstPad> sink(gst_element_get_static_pad(decode, "sink"));
    if (!gst_pad_is_linked(sink.get()))
        gst_pad_link(pad, sink.get());
}

void onDecoderElement(GstBin*, GstBin*, GstElement* element, gpointer data) {
    auto* state = static_cast<BinState*>(data);
    GstElementFactory* factory = gst_element_get_factory(element);
    if (!factory)
        return;
    // An MJPEG camera's multipart stream never says it has no more parts: without this the
    // decoder would hold the picture back until its queue overflowed.
    if (g_strcmp0(GST_OBJECT_NAME(factory), "multipartdemux") == 0)
        g_object_set(element, "single-stream", TRUE, nullptr);
    const std::string codec = codecOfDecoder(GST_OBJECT_NAME(factory));
    if (!codec.empty()) {
        std::lock_guard lock(state->lock);
        state->codec = codec;
    }
}

// A Windows Media live stream (another Norvale's /camera/N) carries its own time stamps, and
// announces its data object with the size of its own header, 50 bytes, as its length is not
// known. GStreamer's ASF demuxer, reading it as it arrives, would take that for an empty data
// object (a size of 0 says "unknown" to it), and it shifts the stream's times by those of the
// buffers it gets: the arrival times the source stamps (which an MJPEG camera needs) would hold
// every picture back. An ASF stream therefore gets neither.
struct AsfStart {
    std::uint64_t position = 0;   // bytes of the stream seen so far
    std::uint64_t dataObject = 0; // where the data object starts
    bool asf = false;
};

GstPadProbeReturn onHttpBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
    static constexpr std::uint8_t HeaderObject[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66,
                                                      0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA,
                                                      0x00, 0x62, 0xCE, 0x6C};
    static constexpr std::uint8_t DataObject[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    auto& start = *static_cast<AsfStart*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer)
        return GST_PAD_PROBE_OK;
    auto le64 = [](const std::uint8_t* p) {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = v << 8 | p[i];
        return v;
    };
    std::uint64_t patchAt = 0;
    if (!start.asf || start.dataObject >= start.position) {
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
            return GST_PAD_PROBE_OK;
        if (start.position == 0 && map.size >= 24 && std::memcmp(map.data, HeaderObject, 16) == 0) {
            start.asf = true;
            start.dataObject = le64(map.data + 16);
        }
        const std::uint64_t end = start.position + map.size;
        // The data object's header in this buffer (one split across buffers stays as it is).
        if (start.asf && start.dataObject >= start.position && start.dataObject + 24 <= end) {
            const std::uint8_t* object = map.data + (start.dataObject - start.position);
            if (std::memcmp(object, DataObject, 16) == 0 && le64(object + 16) == 50)
                patchAt = start.dataObject - start.position + 16;
        }
        start.position = end;
        gst_buffer_unmap(buffer, &map);
        if (!start.asf)
            return GST_PAD_PROBE_REMOVE;
    }
    buffer = gst_buffer_make_writable(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    if (patchAt) {
        static constexpr std::uint8_t unknown[8] = {};
        gst_buffer_fill(buffer, static_cast<gsize>(patchAt), unknown, sizeof unknown);
    }
    return GST_PAD_PROBE_OK;
}

// Whether the camera's computer takes a TCP connection on the camera's port: tells a wrong
// address, a computer that is off and a service that is not running apart, which the
// streaming elements' own errors do not.
struct Reachability {
    NetProbeResult::Problem problem = NetProbeResult::Problem::None;
    std::string detail;
};

Reachability tryConnect(const std::string& url, std::chrono::milliseconds timeout) {
    const std::string scheme = netCameraScheme(url);
    const std::string identity = netCameraIdentity(url);
    const auto begin = identity.find("://") + 3;
    auto end = identity.find_first_of("/?#", begin);
    if (end == std::string::npos)
        end = identity.size();
    std::string host = identity.substr(begin, end - begin);
    std::string port = scheme == "rtsp" ? "554" : scheme == "https" ? "443" : "80";
    if (!host.empty() && host.front() == '[') { // [IPv6]:port
        const auto close = host.find(']');
        if (close != std::string::npos && close + 1 < host.size() && host[close + 1] == ':')
            port = host.substr(close + 2);
        host = host.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else if (const auto colon = host.rfind(':'); colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return {NetProbeResult::Problem::Unreachable, "the name " + host + " is not known"};
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    Reachability result{NetProbeResult::Problem::Unreachable, "no answer from " + host};
    for (addrinfo* a = found; a; a = a->ai_next) {
        const UniqueFd socket(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket)
            continue;
        const int fd = socket.get();
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
                    socklen_t len = sizeof error;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
                } else {
                    error = ETIMEDOUT;
                }
            }
        }
        if (error == 0)
            return {};
        if (error == ECONNREFUSED)
            return {NetProbeResult::Problem::Refused, "nothing answers on port " + port};
        result.detail = std::strerror(error);
    }
    return result;
}

} // namespace

GstElement* makeNetworkCameraSource(const NetCameraConfig& camera, std::string& error) {
    gst::ensureInitialised();
    ensureCategory();
    const std::string scheme = netCameraScheme(camera.url, &error);
    if (scheme.empty())
        return nullptr;
    // Credentials in the address count as well as the separate fields; the element gets them
    // as properties and the address without them.
    const UrlCredentials inUrl = credentialsInUrl(camera.url);
    const std::string user = camera.user.empty() ? inUrl.user : camera.user;
    const std::string password = camera.password.empty() ? inUrl.password : camera.password;
    const std::string location = netCameraIdentity(camera.url);

    GstElement* bin = gst_bin_new(nullptr);
    auto source = gst::make(scheme == "rtsp" ? "rtspsrc" : "souphttpsrc");
    // source ! parsebin ! tee ! decodebin ! videoconvert: the tee's other branch, ghosted as the
    // "stream" pad, is the camera's stream as it comes, for a recording that keeps it.
    auto parse = gst::make("parsebin");
    auto streamTee = gst::make("tee");
    auto decode = gst::make("decodebin", NetworkCameraDecoderName);
    auto convert = gst::make("videoconvert");
    if (!parse || !streamTee || !decode || !convert) {
        error = "The GStreamer parsers and decoders (parsebin, decodebin) are not installed.";
        gst_object_unref(gst_object_ref_sink(bin));
        return nullptr;
    }
    if (!source) {
        error = scheme == "rtsp" ? "The RTSP source (rtspsrc) is not installed."
                                 : "The HTTP source (souphttpsrc) is not installed.";
        gst_object_unref(gst_object_ref_sink(bin));
        return nullptr;
    }
    g_object_set(source.get(), "location", location.c_str(), nullptr);
    if (!user.empty())
        g_object_set(source.get(), "user-id", user.c_str(), "user-pw", password.c_str(), nullptr);
    if (scheme == "rtsp") {
        // Low latency for a wall; TCP is tried when UDP brings nothing within the timeout.
        g_object_set(source.get(), "latency", 200, "tcp-timeout", G_GUINT64_CONSTANT(5000000),
                     nullptr);
    } else {
        g_object_set(source.get(), "is-live", TRUE, "do-timestamp", TRUE, "timeout", 10, nullptr);
    }
    auto* state = new BinState;
    g_object_set_data_full(G_OBJECT(bin), "norvale-netcam", state,
                           [](gpointer p) { delete static_cast<BinState*>(p); });
    // The bin takes references of its own.
    gst_bin_add_many(GST_BIN(bin), source.get(), parse.get(), streamTee.get(), decode.get(),
                     convert.get(), nullptr);
    g_object_set(streamTee.get(), "allow-not-linked", TRUE, nullptr);
    gst_element_link(streamTee.get(), decode.get());
    g_signal_connect(parse.get(), "pad-added", G_CALLBACK(onNewPicturePad), streamTee.get());
    // A multipart stream's demuxer sits in the parser: it must know its parts never end.
    g_signal_connect(parse.get(), "deep-element-added", G_CALLBACK(onDecoderElement), state);
    if (scheme == "rtsp")
        g_signal_connect(source.get(), "pad-added", G_CALLBACK(onRtspPad), parse.get());
    else {
        gst_element_link(source.get(), parse.get());
        gst::Ref<GstPad> received(gst_element_get_static_pad(source.get(), "src"));
        gst_pad_add_probe(received.get(), GST_PAD_PROBE_TYPE_BUFFER, onHttpBuffer, new AsfStart,
                          [](gpointer p) { delete static_cast<AsfStart*>(p); });
    }
    g_signal_connect(decode.get(), "pad-added", G_CALLBACK(onNewPicturePad), convert.get());
    g_signal_connect(decode.get(), "deep-element-added", G_CALLBACK(onDecoderElement), state);
    gst::Ref<GstPad> decoded(gst_element_get_static_pad(convert.get(), "sink"));
    gst_pad_add_probe(decoded.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onDecodedCaps,
                      new std::string(location),
                      [](gpointer p) { delete static_cast<std::string*>(p); });
    gst::Ref<GstPad> parsed(gst_element_get_static_pad(streamTee.get(), "sink"));
    gst_pad_add_probe(parsed.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, onStreamCaps,
                      new std::string(location),
                      [](gpointer p) { delete static_cast<std::string*>(p); });
    gst::Ref<GstPad> out(gst_element_get_static_pad(convert.get(), "src"));
    gst_element_add_pad(bin, gst_ghost_pad_new("src", out.get()));
    gst::Ref<GstPad> stream(gst_element_request_pad_simple(streamTee.get(), "src_%u"));
    gst_element_add_pad(bin, gst_ghost_pad_new("stream", stream.get()));
    GST_INFO("network camera %s", scrubCredentials(camera.url, {password}).c_str());
    return bin;
}

NetProbeResult::Problem classifyNetworkError(const std::string& domain, int code,
                                             const std::string& message) {
    using P = NetProbeResult::Problem;
    auto has = [&](const char* s) { return message.find(s) != std::string::npos; };
    if (domain == "gst-resource-error-quark") {
        if (code == GST_RESOURCE_ERROR_NOT_AUTHORIZED || has("Unauthorized") || has("401"))
            return P::Credentials;
        if (has("refused") || has("Connection refused"))
            return P::Refused;
        if (code == GST_RESOURCE_ERROR_NOT_FOUND && !has("resolve"))
            return P::Other;
        return P::Unreachable;
    }
    if (domain == "gst-core-error-quark" && code == GST_CORE_ERROR_MISSING_PLUGIN)
        return P::Codec;
    if (domain == "gst-stream-error-quark" &&
        (code == GST_STREAM_ERROR_CODEC_NOT_FOUND || code == GST_STREAM_ERROR_DECODE ||
         code == GST_STREAM_ERROR_WRONG_TYPE || code == GST_STREAM_ERROR_FORMAT))
        return has("not-linked") ? P::NoPicture : P::Codec;
    if (has("Unauthorized") || has("401"))
        return P::Credentials;
    if (has("refused"))
        return P::Refused;
    return P::Other;
}

std::string describeNetworkProblem(NetProbeResult::Problem problem, const std::string& detail) {
    using P = NetProbeResult::Problem;
    switch (problem) {
    case P::None:
        return {};
    case P::Address:
        return detail;
    case P::Unreachable:
        return "The camera cannot be reached: " + detail;
    case P::Refused:
        return "The camera refused the connection: " + detail;
    case P::Credentials:
        return "The camera did not accept the user name or password.";
    case P::Codec:
        return "The camera sends a picture format this program cannot decode: " + detail;
    case P::NoPicture:
        return "The camera answered but sent no picture in time.";
    case P::Other:
        return "The camera cannot be played: " + detail;
    }
    return detail;
}

NetProbeResult probeNetworkCamera(const NetCameraConfig& camera,
                                  std::chrono::milliseconds timeout) {
    gst::ensureInitialised();
    NetProbeResult result;
    const std::vector<std::string> secrets{camera.password, credentialsInUrl(camera.url).password};
    std::string error;
    GstElement* raw = makeNetworkCameraSource(camera, error);
    if (!raw) {
        result.problem = NetProbeResult::Problem::Address;
        result.reason = scrubCredentials(error, secrets);
        return result;
    }
    gst::Pipeline pipeline(gst_pipeline_new(nullptr));
    gst_object_ref_sink(pipeline.get());
    auto convert = gst::make("videoconvert");
    auto sink = gst::make("appsink");
    gst::Caps caps(gst_caps_from_string("video/x-raw,format=BGR"));
    g_object_set(sink.get(), "caps", caps.get(), "sync", FALSE, "max-buffers", 1, "drop", TRUE,
                 nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), raw, convert.get(), sink.get(), nullptr);
    gst_element_link_many(raw, convert.get(), sink.get(), nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);

    // Wait for the first picture or the first error, whichever comes first.
    gst::Ref<GstBus> bus(gst_element_get_bus(pipeline.get()));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    gst::Sample sample;
    while (!sample) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        sample.reset(gst_app_sink_try_pull_sample(
            GST_APP_SINK(sink.get()), std::min<gint64>(left.count(), 100) * GST_MSECOND));
        if (sample)
            break;
        if (gst::Message m{gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)}) {
            GError* rawError = nullptr;
            gchar* rawDebug = nullptr;
            gst_message_parse_error(m.get(), &rawError, &rawDebug);
            gst::Error e(rawError);
            const std::string debug = gst::take(rawDebug);
            const std::string message = e ? e->message : "unknown error";
            const std::string domain = e ? g_quark_to_string(e->domain) : "";
            result.problem = classifyNetworkError(domain, e ? e->code : 0, message + " " + debug);
            std::string detail = message;
            if (result.problem == NetProbeResult::Problem::Unreachable) {
                // The elements say little more than "could not connect": a connection of our
                // own tells a wrong name, a computer that is off and a service not running
                // apart; one that is taken means a camera that says nothing.
                const Reachability reach = tryConnect(camera.url, std::chrono::milliseconds(3000));
                result.problem = reach.problem == NetProbeResult::Problem::None
                                     ? NetProbeResult::Problem::NoPicture
                                     : reach.problem;
                detail = reach.detail;
            }
            result.reason =
                scrubCredentials(describeNetworkProblem(result.problem, detail), secrets);
            GST_INFO("probe failed: %s (%s)", scrubCredentials(message, secrets).c_str(),
                     scrubCredentials(debug, secrets).c_str());
            return result;
        }
    }
    if (!sample) {
        result.problem = NetProbeResult::Problem::NoPicture;
        result.reason = describeNetworkProblem(result.problem, {});
        return result;
    }
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())) || !buffer) {
        result.problem = NetProbeResult::Problem::Other;
        result.reason = describeNetworkProblem(result.problem, "no picture size");
        return result;
    }
    result.width = GST_VIDEO_INFO_WIDTH(&info);
    result.height = GST_VIDEO_INFO_HEIGHT(&info);
    if (auto* state = static_cast<BinState*>(g_object_get_data(G_OBJECT(raw), "norvale-netcam"))) {
        std::lock_guard lock(state->lock);
        result.codec = state->codec;
    }
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const uint8_t* data = map.data;
        gst_buffer_unmap(buffer, &map); // the sample keeps the memory
        auto owner = std::shared_ptr<GstSample>(sample.release(), gst_sample_unref);
        result.picture = std::make_shared<TVideoFrame>(
            result.width, result.height, GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), data, owner);
    }
    return result;
}

void setNetworkCameras(std::vector<NetCameraConfig> cameras) {
    std::lock_guard lock(registry().lock);
    registry().cameras = std::move(cameras);
}

std::vector<NetCameraConfig> networkCameras() {
    std::lock_guard lock(registry().lock);
    return registry().cameras;
}

std::string knownNetworkFormat(const std::string& identity) {
    std::lock_guard lock(registry().lock);
    auto it = registry().formats.find(identity);
    return it == registry().formats.end() ? std::string() : it->second;
}

std::string knownNetworkStream(const std::string& identity) {
    std::lock_guard lock(registry().lock);
    auto it = registry().streams.find(identity);
    return it == registry().streams.end() ? std::string() : it->second;
}

std::string scrubNetworkSecrets(std::string_view text) {
    std::vector<std::string> secrets;
    {
        std::lock_guard lock(registry().lock);
        for (const auto& c : registry().cameras) {
            secrets.push_back(c.password);
            secrets.push_back(credentialsInUrl(c.url).password);
        }
    }
    return scrubCredentials(text, secrets);
}

} // namespace norvale
