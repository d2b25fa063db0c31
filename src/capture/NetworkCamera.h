#pragma once
// Network cameras as video sources: RTSP (H.264, H.265, MJPEG; over UDP, or TCP when UDP does
// not get through) and HTTP/HTTPS MJPEG. The source is a bin that delivers raw video, like a
// local camera's. Credentials go to the source element's own properties, never into a text
// that could be shown: every error text is scrubbed of them.
#include "core/NetCamera.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GstElement GstElement;

namespace norvale {

class TVideoFrame;

// What a probe of the camera found: its first picture, or why there is none, in words a user
// understands.
struct NetProbeResult {
    enum class Problem {
        None,
        Address,
        Unreachable,
        Refused,
        Credentials,
        Codec,
        NoPicture,
        Other
    };
    Problem problem = Problem::None;
    std::string reason; // empty when a picture came
    int width = 0;
    int height = 0;
    std::string codec;                          // "H.264", "H.265", "MJPEG" or the caps' name
    std::shared_ptr<const TVideoFrame> picture; // 24-bit BGR
    bool ok() const { return problem == Problem::None; }
};

// Opens the camera, waits for its first decoded picture (at most `timeout`), closes it.
NetProbeResult probeNetworkCamera(const NetCameraConfig& camera, std::chrono::milliseconds timeout);

// A new source bin for the camera (floating reference), with a "src" pad of raw video once the
// stream is decoded, and a "stream" pad of the stream as the camera sends it (depayloaded and
// parsed, before decoding); nothing for an address no source can take (`error` says why).
GstElement* makeNetworkCameraSource(const NetCameraConfig& camera, std::string& error);
// The name of the source bin's decoder, the element that takes the parsed stream.
inline constexpr const char* NetworkCameraDecoderName = "decoder";

// The user's words for a GStreamer error of a network source (domain, code and message),
// scrubbed of the camera's credentials.
NetProbeResult::Problem classifyNetworkError(const std::string& domain, int code,
                                             const std::string& message);
std::string describeNetworkProblem(NetProbeResult::Problem problem, const std::string& detail);

// The network cameras the program knows: the settings file's [NetCamN] sections, as the camera
// settings dialog edits them. The video device listing shows them after the local and synthetic
// cameras, in this order, by name; their identity is the address without credentials. Any
// thread.
void setNetworkCameras(std::vector<NetCameraConfig> cameras);
std::vector<NetCameraConfig> networkCameras();

// The decoded format a camera with this identity delivered last (a caps structure as text,
// size and pixel format included), remembered whenever its stream starts or changes; empty
// while none was seen in this run. It is the camera's format list and its recording size.
std::string knownNetworkFormat(const std::string& identity);

// The media type of the stream a camera with this identity sent last ("video/x-h264",
// "video/x-h265", "image/jpeg", ...), before decoding; empty while none was seen in this run.
std::string knownNetworkStream(const std::string& identity);

// `text` with every known network camera's password (in its field or in its address) and every
// "user:password@" of an address made unreadable: for whatever may be shown or logged.
std::string scrubNetworkSecrets(std::string_view text);

} // namespace norvale
