// norvale-rtsp-server: a camera on loopback for trying network cameras by hand and for
// benchmarks. Serves rtsp://ADDRESS:PORT/h264 and /mjpeg until it is interrupted.
//   norvale-rtsp-server [--port N] [--size WxH] [--fps N] [--user U --password P]
//                       [--address A] [--tcp-only 1]
#include "RtspTestServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
volatile std::sig_atomic_t stop = 0;
void onSignal(int) {
    stop = 1;
}
} // namespace

int main(int argc, char** argv) {
    norvale::test::RtspServerOptions o;
    o.port = 8554;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
        if (a == "--port")
            o.port = std::atoi(v);
        else if (a == "--size" && std::sscanf(v, "%dx%d", &o.width, &o.height) == 2)
            ;
        else if (a == "--fps")
            o.fps = std::atoi(v);
        else if (a == "--user")
            o.user = v;
        else if (a == "--password")
            o.password = v;
        else if (a == "--address")
            o.address = v;
        else if (a == "--tcp-only")
            o.tcpOnly = std::atoi(v) != 0;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
        ++i;
    }
    norvale::test::RtspTestServer server(o);
    if (!server.ok()) {
        std::fprintf(stderr, "cannot listen on %s:%d\n", o.address.c_str(), o.port);
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("%s\n%s\n", server.url("/h264").c_str(), server.url("/mjpeg").c_str());
    std::fflush(stdout);
    while (!stop)
        pause();
    return 0;
}
