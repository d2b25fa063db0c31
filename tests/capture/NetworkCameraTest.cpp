// Network cameras against real servers on loopback that we did not write: GStreamer's RTSP
// server (H.264 and MJPEG, with and without a password) and ffmpeg's HTTP MJPEG server; plus
// a server that accepts and never answers, and a port nobody listens on.
#include "capture/NetworkCamera.h"
#include "capture/VideoFrame.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
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

// An RTSP server on its own main loop, serving /h264 and /mjpeg; with a password when given.
class RtspServer {
public:
    explicit RtspServer(const char* user = nullptr, const char* password = nullptr) {
        gst_init(nullptr, nullptr);
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        server_ = gst_rtsp_server_new();
        gst_rtsp_server_set_address(server_, "127.0.0.1");
        gst_rtsp_server_set_service(server_, "0");
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        const char* video = "videotestsrc is-live=true ! "
                            "video/x-raw,format=I420,width=320,height=240,framerate=15/1";
        add(mounts, "/h264",
            std::string("( ") + video +
                " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 ! "
                "rtph264pay name=pay0 pt=96 )",
            user);
        add(mounts, "/mjpeg",
            std::string("( ") + video + " ! jpegenc ! rtpjpegpay name=pay0 pt=26 )", user);
        g_object_unref(mounts);
        if (user) {
            GstRTSPAuth* auth = gst_rtsp_auth_new();
            GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE,
                                                     G_TYPE_STRING, "viewer", nullptr);
            gchar* basic = gst_rtsp_auth_make_basic(user, password);
            gst_rtsp_auth_add_basic(auth, basic, token);
            g_free(basic);
            gst_rtsp_token_unref(token);
            gst_rtsp_server_set_auth(server_, auth);
            g_object_unref(auth);
        }
        source_ = gst_rtsp_server_attach(server_, context_);
        port_ = gst_rtsp_server_get_bound_port(server_);
        thread_ = std::thread([this] { g_main_loop_run(loop_); });
    }
    ~RtspServer() {
        g_main_loop_quit(loop_);
        thread_.join();
        g_source_remove_by_id_in_context(source_);
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    std::string url(const char* path) const {
        return "rtsp://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    void g_source_remove_by_id_in_context(guint id) {
        if (GSource* s = g_main_context_find_source_by_id(context_, id))
            g_source_destroy(s);
    }
    static void add(GstRTSPMountPoints* mounts, const char* path, const std::string& launch,
                    const char* user) {
        GstRTSPMediaFactory* f = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(f, launch.c_str());
        gst_rtsp_media_factory_set_shared(f, TRUE);
        if (user)
            gst_rtsp_media_factory_add_role(
                f, "viewer", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
        gst_rtsp_mount_points_add_factory(mounts, path, f);
    }

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GstRTSPServer* server_ = nullptr;
    guint source_ = 0;
    int port_ = 0;
    std::thread thread_;
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
bool listening(int port) {
    std::ifstream tcp("/proc/net/tcp");
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    for (std::string line; std::getline(tcp, line);)
        if (line.find(std::string(hex) + " ") != std::string::npos &&
            line.find(" 0A ") != std::string::npos)
            return true;
    return false;
}

class Ffmpeg {
public:
    explicit Ffmpeg(int port) {
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        std::vector<std::string> args{
            "ffmpeg",  "-loglevel", "quiet", "-re",
            "-f",      "lavfi",     "-i",    "testsrc=size=320x240:rate=10",
            "-f",      "mpjpeg",    "-q:v",  "5",
            "-listen", "1",         url};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Ffmpeg() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

} // namespace

TEST(NetworkCamera, ProbesRealServersAndSaysWhatIsWrong) {
    RtspServer open;
    RtspServer secured("admin", "hunter2");
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
    Ffmpeg server(port);
    if (!server.running())
        GTEST_SKIP() << "ffmpeg is not installed";
    for (int i = 0; i < 200 && !listening(port); ++i)
        std::this_thread::sleep_for(50ms); // ffmpeg's start-up; it serves one connection only
    ASSERT_TRUE(listening(port));
    const auto r =
        probeNetworkCamera({"http", "http://127.0.0.1:" + std::to_string(port) + "/", "", ""}, 10s);
    EXPECT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(r.codec, "MJPEG");
    EXPECT_EQ(r.width, 320);
}
