// Network cameras against real servers on loopback that we did not write: GStreamer's RTSP
// server (H.264 and MJPEG, with and without a password) and ffmpeg's HTTP MJPEG server; plus
// a server that accepts and never answers, and a port nobody listens on.
#include "capture/NetworkCamera.h"
#include "capture/VideoFrame.h"
#include "support/MjpegHttpServer.h"
#include "support/TestSupport.h"

#include "RtspTestServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace norvale;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// GStreamer's RTSP server, serving /h264 and /mjpeg at 320 x 240; with a password when given.
class RtspServer : public test::RtspTestServer {
public:
    RtspServer() : RtspTestServer(test::RtspServerOptions{}) {}
    RtspServer(const char* user, const char* password) : RtspTestServer(options(user, password)) {}

private:
    static test::RtspServerOptions options(const char* user, const char* password) {
        test::RtspServerOptions o;
        o.user = user;
        o.password = password;
        return o;
    }
};

// A TCP server that accepts and then says nothing.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~SilentServer() { ::close(fd_); } // connections still queued go with it
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Whether something listens on a loopback TCP port (read from /proc, without connecting: the
// ffmpeg server serves only its first connection).
} // namespace

TEST(NetworkCamera, ProbesRealServersAndSaysWhatIsWrong) {
    RtspServer open;
    RtspServer secured("admin", "hunter2");
    test::RtspServerOptions tcp;
    tcp.tcpOnly = true;
    test::RtspTestServer tcpOnly(tcp);
    SilentServer silent;
    const int nobody = test::freeTcpPort();
    using P = NetProbeResult::Problem;
    struct Case {
        NetCameraConfig camera;
        P problem;
        const char* codec;
    };
    const Case cases[] = {
        {{"h264", open.url("/h264"), "", ""}, P::None, "H.264"},
        {{"mjpeg", open.url("/mjpeg"), "", ""}, P::None, "MJPEG"},
        {{"right password", secured.url("/h264"), "admin", "hunter2"}, P::None, "H.264"},
        {{"no UDP: over TCP", tcpOnly.url("/h264"), "", ""}, P::None, "H.264"},
        {{"password in the address", "rtsp://admin:hunter2@" + secured.url("/mjpeg").substr(7), "",
          ""},
         P::None,
         "MJPEG"},
        {{"wrong password", secured.url("/h264"), "admin", "wrong-secret"}, P::Credentials, ""},
        {{"nobody there", "rtsp://127.0.0.1:" + std::to_string(nobody) + "/x", "u", "pw-nobody"},
         P::Refused,
         ""},
        {{"silent", "rtsp://127.0.0.1:" + std::to_string(silent.port()) + "/x", "", ""},
         P::NoPicture,
         ""},
        {{"bad address", "ftp://127.0.0.1/x", "", ""}, P::Address, ""},
    };
    for (const auto& c : cases) {
        const auto r = probeNetworkCamera(c.camera, 8s);
        EXPECT_EQ(r.problem, c.problem) << c.camera.name << ": " << r.reason;
        EXPECT_EQ(r.codec, c.codec) << c.camera.name;
        if (c.problem == P::None) {
            EXPECT_EQ(r.width, 320) << c.camera.name;
            EXPECT_EQ(r.height, 240) << c.camera.name;
            ASSERT_TRUE(r.picture) << c.camera.name;
            EXPECT_EQ(r.picture->Width(), 320);
        } else {
            EXPECT_FALSE(r.reason.empty()) << c.camera.name;
        }
        for (const char* secret : {"hunter2", "wrong-secret", "pw-nobody"})
            EXPECT_EQ(r.reason.find(secret), std::string::npos)
                << c.camera.name << ": " << r.reason;
    }
}

TEST(NetworkCamera, PlaysAnHttpMjpegCamera) {
    const int port = test::freeTcpPort();
    test::MjpegHttpServer server(port);
    if (!server.running())
        GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(server.ready(port)); // ffmpeg serves one connection only
    const auto r =
        probeNetworkCamera({"http", "http://127.0.0.1:" + std::to_string(port) + "/", "", ""}, 10s);
    EXPECT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(r.codec, "MJPEG");
    EXPECT_EQ(r.width, 320);
}
