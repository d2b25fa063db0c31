#pragma once
// A real RTSP server for tests and benchmarks, built from GStreamer's own (gst-rtsp-server):
// moving test pictures as H.264 at /h264 and as MJPEG at /mjpeg, on loopback, optionally behind
// a user name and password. Its picture size can be changed while it serves, as a camera's
// owner changes its settings. It runs its own main loop on a thread of its own.
#include <string>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GstRTSPServer GstRTSPServer;

namespace norvale::test {

struct RtspServerOptions {
    int port = 0; // 0: any free port
    int width = 320;
    int height = 240;
    int fps = 15;
    std::string user; // empty: no password asked
    std::string password;
    std::string address = "127.0.0.1";
    bool tcpOnly = false; // refuses RTP over UDP, as a server behind a firewall does
};

class RtspTestServer {
public:
    explicit RtspTestServer(RtspServerOptions options = {});
    // Closes every client connection, then the server: to a client it is gone.
    ~RtspTestServer();
    RtspTestServer(const RtspTestServer&) = delete;
    RtspTestServer& operator=(const RtspTestServer&) = delete;

    int port() const { return port_; }
    bool ok() const { return port_ > 0; }
    // rtsp://address:port<path>, without credentials.
    std::string url(const char* path) const;
    // From now on every stream sends pictures of this size.
    void setSize(int width, int height);

    struct Shared; // internal

private:
    RtspServerOptions options_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GstRTSPServer* server_ = nullptr;
    unsigned source_ = 0;
    int port_ = 0;
    Shared* shared_ = nullptr;
    std::thread thread_;
};

} // namespace norvale::test
