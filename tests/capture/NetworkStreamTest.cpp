// The live stream on loopback: real pipelines with a WMV1 encoder feed the component, and
// ffprobe/ffmpeg (plain HTTP and the Windows Media protocol) and raw sockets act as viewers.
#include "capture/NetworkStream.h"

#include "core/AsfStream.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace norvale;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A port that is free right now on loopback.
uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool portFree(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Waits, bounded, until the condition holds.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

// A raw viewer connection.
class Client {
public:
    explicit Client(uint16_t port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { close(); }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }

    bool send(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    bool get(const char* extraHeaders = "") {
        return send(std::string("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n") + extraHeaders + "\r\n");
    }
    // Ends what this side sends; what it receives goes on.
    void halfClose() { ::shutdown(fd_, SHUT_WR); }
    // Sends what the socket takes now; false once sending fails.
    bool sendSome(const std::string& data) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    // Takes what arrives within `limit`; false once the peer has closed (or failed).
    bool readSome(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return true;
        char buffer[16384];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        data_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    // Reads until `enough` holds for what arrived, the peer closes, or the time is up.
    // Returns false when the peer closed (or failed).
    bool readUntil(const std::function<bool(const std::string&)>& enough,
                   std::chrono::milliseconds limit = 10s) {
        const auto end = Clock::now() + limit;
        char buffer[16384];
        while (!enough(data_)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0)
                return true;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                return false;
            data_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    // Reads until the peer closes; true when it closed within the limit.
    bool readToEnd(std::chrono::milliseconds limit = 10s) {
        return !readUntil([](const std::string&) { return false; }, limit);
    }
    const std::string& data() const { return data_; }
    std::string& data() { return data_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string data_;
};

bool hasHead(const std::string& d) {
    return d.find("\r\n\r\n") != std::string::npos;
}

// Runs a command with a time limit; returns its exit code and what it printed.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult run(const std::string& command) {
    CommandResult r;
    FILE* pipe = ::popen(("timeout 25 " + command + " 2>&1").c_str(), "r");
    if (!pipe)
        return r;
    char buffer[512];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        r.output.append(buffer, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A live camera stand-in: test pictures, encoded to WMV1, into the component.
class Camera {
public:
    // With a `recording` file, the encoder feeds a tee with the file branch beside ours, laid
    // out as the component's documentation says.
    // `encoder`: another encoder than WMV1 (a camera's own compressed stream).
    explicit Camera(NetworkStream& stream, int bitrate = 400000, const char* pattern = "ball",
                    const std::filesystem::path& recording = {}, const std::string& encoder = {}) {
        GError* error = nullptr;
        std::string description =
            std::string("videotestsrc is-live=true pattern=") + pattern +
            " ! video/x-raw,width=320,height=240,"
            "framerate=15/1 ! videoconvert ! " +
            (encoder.empty() ? "avenc_wmv1 bitrate=" + std::to_string(bitrate) + " gop-size=15"
                             : encoder) +
            " ! ";
        if (recording.empty())
            description += "queue name=branch";
        else
            description += "tee name=t t. ! queue ! asfmux ! filesink async=false location=\"" +
                           recording.string() + "\" t. ! queue leaky=downstream name=branch";
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        gst_object_ref_sink(pipeline_);
        gst_bin_add(GST_BIN(pipeline_), stream.element());
        GstElement* branch = gst_bin_get_by_name(GST_BIN(pipeline_), "branch");
        EXPECT_TRUE(gst_element_link(branch, stream.element()));
        gst_object_unref(branch);
        GstPad* pad = gst_element_get_static_pad(stream.element(), "sink");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &Camera::countFrame, this, nullptr);
        gst_object_unref(pad);
    }
    ~Camera() {
        stop();
        gst_object_unref(pipeline_);
    }
    void start() {
        EXPECT_NE(gst_element_set_state(pipeline_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    }
    void stop() { gst_element_set_state(pipeline_, GST_STATE_NULL); }
    int frames() const { return frames_; }
    bool waitFrames(int n) {
        return eventually([&] { return frames_ >= n; }, 15s);
    }
    // An error posted on the bus so far, empty if none.
    std::string busError() {
        GstBus* bus = gst_element_get_bus(pipeline_);
        std::string text;
        while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
            GError* e = nullptr;
            gst_message_parse_error(m, &e, nullptr);
            text += e->message;
            g_error_free(e);
            gst_message_unref(m);
        }
        gst_object_unref(bus);
        return text;
    }

private:
    static GstPadProbeReturn countFrame(GstPad*, GstPadProbeInfo*, gpointer self) {
        ++static_cast<Camera*>(self)->frames_;
        return GST_PAD_PROBE_OK;
    }
    GstElement* pipeline_ = nullptr;
    std::atomic<int> frames_{0};
};

NetworkStreamOptions loopback(uint16_t port) {
    NetworkStreamOptions o;
    o.port = port;
    o.maxUsers = 8;
    o.bindAddress = "127.0.0.1";
    o.requestTimeout = 1000ms;
    return o;
}

// ASF header object size plus the data object's 50 bytes: where the packets begin.
size_t asfHeaderLength(const std::string& body) {
    if (body.size() < 24)
        return 0;
    uint64_t size = 0;
    for (int i = 7; i >= 0; --i)
        size = size << 8 | static_cast<uint8_t>(body[16 + i]);
    return static_cast<size_t>(size) + 50;
}

TEST(NetworkStreamTest, PlainAndWindowsMediaViewersDecodeTheStream) {
    const uint16_t port = freePort();
    NetworkStream stream(loopback(port));
    Camera camera(stream);
    EXPECT_FALSE(stream.listening()); // opened with the pipeline
    camera.start();
    ASSERT_TRUE(stream.listening());
    ASSERT_TRUE(camera.waitFrames(5));

    const std::string url = "127.0.0.1:" + std::to_string(port) + "/";
    const std::string probe = "ffprobe -v error -select_streams v -show_entries "
                              "stream=codec_name,width,height -of csv=p=0 ";
    for (const std::string scheme : {"http://", "mmsh://"}) {
        const CommandResult r = run(probe + scheme + url);
        EXPECT_EQ(r.status, 0) << scheme << r.output;
        EXPECT_NE(r.output.find("wmv1,320,240"), std::string::npos) << scheme << r.output;
    }

    // Two viewers joining mid-stream at once, one of each kind, decode frames without errors.
    ASSERT_TRUE(camera.waitFrames(30));
    const std::string decode = "ffmpeg -nostdin -v error -i ";
    auto plain = std::async(std::launch::async, [&] {
        return run(decode + "http://" + url + " -frames:v 10 -f null -");
    });
    auto framed = std::async(std::launch::async, [&] {
        return run(decode + "mmsh://" + url + " -frames:v 10 -f null -");
    });
    const CommandResult a = plain.get(), b = framed.get();
    EXPECT_EQ(a.status, 0) << a.output;
    EXPECT_EQ(a.output, "");
    EXPECT_EQ(b.status, 0) << b.output;
    EXPECT_EQ(b.output, "");
    EXPECT_TRUE(eventually([&] { return stream.viewers() == 0; }));
    EXPECT_GT(stream.bytesServed(), 0u);
    EXPECT_EQ(camera.busError(), "");
}

// A camera recorded in its own stream serves that stream, not WMV1: H.264 and H.265 as MPEG-TS,
// MJPEG as multipart JPEG. Viewers joining mid-stream decode it, with the content type players
// go by; a HEAD request gets the same type.
TEST(NetworkStreamTest, ACamerasOwnStreamIsServedAsMpegTsOrMultipartJpeg) {
    struct Case {
        const char* ownStream;
        const char* encoder;
        const char* contentType;
        const char* probed; // ffprobe: format, codec
    } cases[] = {
        {"video/x-h264", "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15",
         "video/mp2t", "h264,320,240\nmpegts"},
        {"video/x-h265", "x265enc tune=zerolatency speed-preset=ultrafast key-int-max=15",
         "video/mp2t", "hevc,320,240\nmpegts"},
        {"image/jpeg", "jpegenc", "multipart/x-mixed-replace; boundary=", "mjpeg,320,240\nmpjpeg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ownStream);
        const uint16_t port = freePort();
        NetworkStreamOptions options = loopback(port);
        options.camera = 3;
        options.ownStream = c.ownStream;
        NetworkStream stream(options);
        Camera camera(stream, 0, "ball", {}, c.encoder);
        camera.start();
        ASSERT_TRUE(stream.listening());
        ASSERT_TRUE(camera.waitFrames(30)); // two seconds in: viewers join mid-stream

        Client head(port);
        ASSERT_TRUE(head.send("HEAD /camera/3 HTTP/1.0\r\n\r\n"));
        EXPECT_TRUE(head.readToEnd(5s));
        EXPECT_EQ(
            head.data().rfind(std::string("HTTP/1.0 200 OK\r\nContent-Type: ") + c.contentType, 0),
            0u)
            << head.data();

        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/camera/3";
        const CommandResult probed =
            run("ffprobe -v error -analyzeduration 1000000 -select_streams v -show_entries "
                "format=format_name:stream=codec_name,width,height -of csv=p=0 " +
                url);
        EXPECT_EQ(probed.status, 0) << probed.output;
        EXPECT_NE(probed.output.find(c.probed), std::string::npos) << probed.output;
        const CommandResult decoded =
            run("ffmpeg -nostdin -v error -i " + url + " -frames:v 10 -f null -");
        EXPECT_EQ(decoded.status, 0) << decoded.output;
        // A viewer starts at a key frame: nothing it gets is undecodable.
        EXPECT_EQ(decoded.output, "");
        EXPECT_TRUE(eventually([&] { return stream.viewers() == 0; }));
        EXPECT_GT(stream.bytesServed(), 0u);
        EXPECT_EQ(camera.busError(), "");

        // The port's root keeps serving the first WMV1 camera, even one that came later.
        NetworkStreamOptions wmvOptions = loopback(port);
        wmvOptions.camera = 4;
        NetworkStream wmv(wmvOptions);
        Camera wmvCamera(wmv);
        wmvCamera.start();
        ASSERT_TRUE(wmvCamera.waitFrames(3));
        Client root(port);
        ASSERT_TRUE(root.send("HEAD / HTTP/1.0\r\n\r\n"));
        EXPECT_TRUE(root.readToEnd(5s));
        EXPECT_NE(root.data().find("Content-Type: video/x-ms-asf"), std::string::npos)
            << root.data();
    }
}

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

// A viewer joining a stream that has run for seconds gets times of its own: the first packet
// it receives is where a key frame starts, sent at 0, and every later packet counts on from
// there, in the plain stream and in the Windows Media framing alike. Players stop early on a
// stream whose first times are tens of seconds in.
TEST(NetworkStreamTest, LateViewerStartsWithTheHeaderThenAKeyFrameAtTimeZero) {
    const uint16_t port = freePort();
    NetworkStream stream(loopback(port));
    Camera camera(stream);
    camera.start();
    ASSERT_TRUE(camera.waitFrames(60)); // four seconds: past the first key frames

    for (const char* agent : {"", "User-Agent: NSPlayer/7.10\r\nPragma: xPlayStrm=1\r\n"}) {
        const bool framed = *agent != '\0';
        const size_t prefix = framed ? asf::ChunkPrefixSize : 0;
        Client viewer(port);
        ASSERT_TRUE(viewer.get(agent));
        // The head, the ASF header and three packets.
        const size_t packets = 3;
        ASSERT_TRUE(viewer.readUntil([&](const std::string& d) {
            const size_t body = d.find("\r\n\r\n");
            if (body == std::string::npos || d.size() < body + 4 + prefix + 24)
                return false;
            return d.size() >= body + 4 + prefix + asfHeaderLength(d.substr(body + 4 + prefix)) +
                                   packets * (prefix + 1400);
        })) << agent;
        const std::string& d = viewer.data();
        ASSERT_EQ(d.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
        EXPECT_NE(d.find(framed ? "Content-Type: application/x-mms-framed\r\n"
                                : "Content-Type: video/x-ms-asf\r\n"),
                  std::string::npos);
        const std::string body = d.substr(d.find("\r\n\r\n") + 4);
        if (framed) {
            ASSERT_EQ(body.rfind("$H", 0), 0u);
        }
        const std::string asfHeaderGuid = "\x30\x26\xB2\x75\x8E\x66\xCF\x11";
        ASSERT_EQ(body.substr(prefix).rfind(asfHeaderGuid, 0), 0u) << agent;
        const size_t first = prefix + asfHeaderLength(body.substr(prefix));
        ASSERT_GE(body.size(), first + packets * (prefix + 1400));
        uint32_t lastSend = 0;
        for (size_t i = 0; i < packets; ++i) {
            const auto* chunk =
                reinterpret_cast<const uint8_t*>(body.data() + first) + i * (prefix + 1400);
            if (framed) {
                ASSERT_EQ(chunk[0], '$');
                ASSERT_EQ(chunk[1], 'D');
                EXPECT_EQ(le32(chunk + 4), i) << "each viewer's packets count from 0";
            }
            const uint8_t* packet = chunk + prefix;
            const std::optional<uint32_t> send = asf::packetSendTime(packet, 1400);
            ASSERT_TRUE(send.has_value());
            if (i == 0) {
                // Never mid-picture, nor with pictures that cannot be decoded.
                EXPECT_EQ(asf::packetStartsKeyFrame(packet, 1400), std::optional<bool>(true));
                EXPECT_FALSE(asf::splitAtKeyFrame(packet, 1400).has_value());
                EXPECT_EQ(*send, 0u) << agent;
            }
            EXPECT_GE(*send, lastSend);
            EXPECT_LT(*send, 5000u) << agent;
            lastSend = *send;
        }
    }
}

TEST(NetworkStreamTest, NinthViewerIsRefusedUntilASlotIsFree) {
    const uint16_t port = freePort();
    NetworkStream stream(loopback(port));
    Camera camera(stream);
    camera.start();
    ASSERT_TRUE(camera.waitFrames(3));

    // Connections that never send a request, more than may wait at once, take no viewer slot
    // and cannot keep real viewers out: the oldest of them make room for newcomers.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(idle.back()->connected());
    }
    std::vector<std::unique_ptr<Client>> holders;
    for (int i = 0; i < 8; ++i) {
        holders.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(holders.back()->get());
        ASSERT_TRUE(holders.back()->readUntil(hasHead));
        EXPECT_EQ(holders.back()->data().rfind("HTTP/1.0 200 OK", 0), 0u);
    }
    EXPECT_EQ(stream.viewers(), 8u);
    for (const char* agent : {"", "User-Agent: NSPlayer/7.10\r\nPragma: xPlayStrm=1\r\n",
                              "User-Agent: NSPlayer/7.10\r\n"}) {
        Client ninth(port);
        ASSERT_TRUE(ninth.get(agent));
        EXPECT_TRUE(ninth.readToEnd());
        EXPECT_EQ(ninth.data().rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << agent;
    }
    // A viewer leaving frees its slot once its sink lets go of the socket.
    holders.front()->close();
    ASSERT_TRUE(eventually([&] { return stream.viewers() == 7; }));
    Client next(port);
    ASSERT_TRUE(next.get());
    ASSERT_TRUE(next.readUntil(hasHead));
    EXPECT_EQ(next.data().rfind("HTTP/1.0 200 OK", 0), 0u);
}

TEST(NetworkStreamTest, StalledViewerIsDroppedWhileOthersKeepReceiving) {
    const uint16_t port = freePort();
    NetworkStreamOptions options = loopback(port);
    options.stallTimeout = 1000ms;
    NetworkStream stream(options);
    test::TempDir dir;
    const auto file = dir / "recording.wmv";
    Camera camera(stream, 2000000, "snow", file); // noise: plenty of data to back up
    camera.start();
    ASSERT_TRUE(camera.waitFrames(3));

    Client stalled(port, 4096); // never reads after its request
    ASSERT_TRUE(stalled.get());
    Client reader(port);
    ASSERT_TRUE(reader.get());
    ASSERT_TRUE(eventually([&] { return stream.viewers() == 2; }));

    const auto start = Clock::now();
    bool dropped = false;
    while (Clock::now() - start < 20s && !dropped) {
        const size_t before = reader.data().size();
        reader.readUntil([&](const std::string& d) { return d.size() > before + 1000; }, 2s);
        ASSERT_GT(reader.data().size(), before) << "the reading viewer starved";
        dropped = stream.viewers() == 1;
    }
    EXPECT_TRUE(dropped);
    std::printf(
        "[ info ] the stalled viewer was dropped after %lld ms\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    // Neither the recording nor the stream stalled.
    const int framesBefore = camera.frames();
    const auto fileBefore = std::filesystem::file_size(file);
    EXPECT_TRUE(camera.waitFrames(framesBefore + 5));
    EXPECT_TRUE(eventually([&] { return std::filesystem::file_size(file) > fileBefore; }));
}

// Cameras serving on one port share its listener: the first one answers at any address, each
// one at /camera/N, each with its own viewer limit. A port another program holds means no
// service, and the recording goes on.
TEST(NetworkStreamTest, EveryCameraIsServedAtItsOwnAddressOnOnePort) {
    const uint16_t port = freePort();
    NetworkStreamOptions first = loopback(port), fourth = loopback(port);
    first.camera = 1;
    first.maxUsers = 1;
    fourth.camera = 4;
    auto one = std::make_unique<NetworkStream>(first);
    NetworkStream four(fourth);
    auto cameraOne = std::make_unique<Camera>(*one);
    Camera cameraFour(four);
    cameraOne->start();
    cameraFour.start();
    ASSERT_TRUE(one->listening());
    ASSERT_TRUE(four.listening());
    ASSERT_TRUE(cameraFour.waitFrames(3));

    auto status = [&](const char* target) {
        auto c = std::make_unique<Client>(port);
        c->send(std::string("GET ") + target + " HTTP/1.0\r\n\r\n");
        c->readUntil(hasHead);
        return std::make_pair(c->data().substr(0, c->data().find("\r\n")), std::move(c));
    };
    auto [rootStatus, rootViewer] = status("/");
    EXPECT_EQ(rootStatus, "HTTP/1.0 200 OK");
    EXPECT_TRUE(eventually([&] { return one->viewers() == 1; }));
    EXPECT_EQ(status("/camera/1").first, "HTTP/1.0 503 Service Unavailable"); // its limit
    auto [fourStatus, fourViewer] = status("/camera/4");
    EXPECT_EQ(fourStatus, "HTTP/1.0 200 OK");
    EXPECT_TRUE(eventually([&] { return four.viewers() == 1; }));
    // A client set up for a proxy names the whole address: served by its path.
    const std::string absolute = "http://127.0.0.1:" + std::to_string(port) + "/camera/4";
    auto [absoluteStatus, absoluteViewer] = status(absolute.c_str());
    EXPECT_EQ(absoluteStatus, "HTTP/1.0 200 OK");
    EXPECT_TRUE(eventually([&] { return four.viewers() == 2; }));
    for (const char* nobody : {"/camera/2", "/camera/99"})
        EXPECT_EQ(status(nobody).first, "HTTP/1.0 404 Not Found") << nobody;

    // The first camera stopping closes only its own viewers; the port stays open for the rest.
    cameraOne.reset();
    one.reset();
    EXPECT_TRUE(rootViewer->readToEnd(3s));
    ASSERT_TRUE(four.listening());
    EXPECT_EQ(four.viewers(), 2u);
    EXPECT_EQ(status("/").first, "HTTP/1.0 200 OK");

    // Another program on a port: no service, and the pipeline runs on.
    const uint16_t taken = freePort();
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(taken);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    NetworkStream blocked(loopback(taken));
    Camera cameraBlocked(blocked);
    cameraBlocked.start();
    EXPECT_FALSE(blocked.listening());
    EXPECT_TRUE(cameraBlocked.waitFrames(10));
    EXPECT_EQ(cameraBlocked.busError(), "");
    ::close(holder);
}

// A viewer's end of input is not the end of its stream (HTTP/1.0 clients may close their
// sending side once they have asked), but a viewer that keeps sending after its request is
// dropped instead of being read without end.
TEST(NetworkStreamTest, AViewerMayStopSendingButNotFloodTheServer) {
    const uint16_t port = freePort();
    NetworkStream stream(loopback(port));
    Camera camera(stream);
    camera.start();
    ASSERT_TRUE(camera.waitFrames(3));

    auto threePackets = [](const std::string& d) {
        const size_t body = d.find("\r\n\r\n");
        return body != std::string::npos && d.size() > body + 4 + 24 &&
               d.size() >= body + 4 + asfHeaderLength(d.substr(body + 4)) + 3 * 1400;
    };
    Client quiet(port);
    ASSERT_TRUE(quiet.get());
    quiet.halfClose();
    EXPECT_TRUE(quiet.readUntil(threePackets));
    EXPECT_TRUE(threePackets(quiet.data())) << "closed after " << quiet.data().size() << " bytes";
    EXPECT_EQ(quiet.data().rfind("HTTP/1.0 200 OK", 0), 0u);

    // This one takes its stream as it comes, and sends all the while.
    Client noisy(port);
    ASSERT_TRUE(noisy.get());
    ASSERT_TRUE(noisy.readUntil(hasHead));
    const std::string junk(4096, 'x');
    bool served = true;
    for (const auto end = Clock::now() + 5s; served && Clock::now() < end;)
        served = noisy.sendSome(junk) && noisy.readSome(20ms);
    EXPECT_FALSE(served) << "a flooding viewer is still served";
    EXPECT_TRUE(eventually([&] { return stream.viewers() == 1; }));
    const size_t before = quiet.data().size();
    EXPECT_TRUE(quiet.readUntil([&](const std::string& d) { return d.size() > before; }));
    EXPECT_GT(quiet.data().size(), before);
}

// Feeds the component by hand, frame by frame, from the test's thread: each push has gone
// through the muxer to the viewers' queues when it returns.
class HandFeed {
public:
    explicit HandFeed(NetworkStream& stream) {
        pipeline_ = gst_pipeline_new(nullptr);
        gst_object_ref_sink(pipeline_);
        gst_bin_add(GST_BIN(pipeline_), stream.element());
        pad_ = gst_pad_new("feed", GST_PAD_SRC);
        gst_object_ref_sink(pad_);
        GstPad* sink = gst_element_get_static_pad(stream.element(), "sink");
        gst_pad_set_active(pad_, TRUE);
        EXPECT_EQ(gst_pad_link(pad_, sink), GST_PAD_LINK_OK);
        gst_object_unref(sink);
        EXPECT_NE(gst_element_set_state(pipeline_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        gst_pad_push_event(pad_, gst_event_new_stream_start("feed"));
        GstCaps* caps = gst_caps_from_string("video/x-wmv, wmvversion=(int)1, format=(string)WMV1, "
                                             "width=(int)320, height=(int)240, "
                                             "framerate=(fraction)10/1");
        gst_pad_push_event(pad_, gst_event_new_caps(caps));
        gst_caps_unref(caps);
        GstSegment segment;
        gst_segment_init(&segment, GST_FORMAT_TIME);
        gst_pad_push_event(pad_, gst_event_new_segment(&segment));
    }
    ~HandFeed() {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pad_);
        gst_object_unref(pipeline_);
    }
    // A key frame of `size` bytes shown at `ms`.
    void push(std::chrono::milliseconds at, size_t size) {
        GstBuffer* frame = gst_buffer_new_allocate(nullptr, size, nullptr);
        GstMapInfo map;
        gst_buffer_map(frame, &map, GST_MAP_WRITE);
        for (size_t i = 0; i < size; ++i)
            map.data[i] = static_cast<uint8_t>(noise_ = noise_ * 1103515245u + 12345u);
        gst_buffer_unmap(frame, &map);
        GST_BUFFER_PTS(frame) = GST_BUFFER_DTS(frame) = GST_MSECOND * at.count();
        GST_BUFFER_DURATION(frame) = 100 * GST_MSECOND;
        EXPECT_EQ(gst_pad_push(pad_, frame), GST_FLOW_OK);
    }

private:
    GstElement* pipeline_ = nullptr;
    GstPad* pad_ = nullptr;
    uint32_t noise_ = 1;
};

// The send time (ms, the viewer's own) of the last whole packet a plain viewer received.
std::optional<uint32_t> lastSendTime(const std::string& d) {
    const size_t body = d.find("\r\n\r\n");
    if (body == std::string::npos)
        return std::nullopt;
    const size_t first = body + 4 + asfHeaderLength(d.substr(body + 4));
    if (first == body + 4 || d.size() < first + 1400)
        return std::nullopt;
    const size_t last = first + ((d.size() - first) / 1400 - 1) * 1400;
    return asf::packetSendTime(reinterpret_cast<const uint8_t*>(d.data() + last), 1400);
}

// How far behind a viewer is, is how old the oldest part of its stream is that it has not yet
// taken, however the server happens to batch what it writes. On a clock the test moves by hand:
// a viewer stalls for 4.5 s, takes the oldest 0.2 s of its backlog (the server finishes the batch
// it was writing and starts on the rest), stalls again, and is dropped once 5 s behind, not 5 s
// after that batch.
TEST(NetworkStreamTest, AViewerIsDroppedOnceItsOldestUntakenPacketIsFiveSecondsOld) {
    using std::chrono::milliseconds;
    std::atomic<int64_t> clockMs{0};
    const uint16_t port = freePort();
    NetworkStreamOptions options = loopback(port);
    options.sendBufferSize = 4096;
    options.clock = [&] { return Clock::time_point(milliseconds(clockMs.load())); };
    ASSERT_EQ(options.stallTimeout, 5000ms);
    NetworkStream stream(options);
    HandFeed feed(stream);
    ASSERT_TRUE(stream.listening());
    feed.push(0ms, 2000); // the header is known from here on

    Client viewer(port, 4096);
    ASSERT_TRUE(viewer.get());
    ASSERT_TRUE(viewer.readUntil([](const std::string& d) {
        const size_t body = d.find("\r\n\r\n");
        return body != std::string::npos && d.size() >= body + 4 + 24 &&
               d.size() >= body + 4 + asfHeaderLength(d.substr(body + 4));
    }));
    auto feedAt = [&](int64_t ms, size_t size) {
        clockMs = ms;
        feed.push(milliseconds(ms), size);
    };
    feedAt(100, 2000); // the viewer's first picture: its time 0
    ASSERT_TRUE(viewer.readUntil([](const std::string& d) { return lastSendTime(d).has_value(); }));
    const uint64_t served = stream.bytesServed();
    feedAt(200, 300000); // far more than the sockets hold
    ASSERT_TRUE(eventually([&] { return stream.bytesServed() > served; }));
    for (int64_t ms = 300; ms <= 4500; ms += 100)
        feedAt(ms, 20000);

    // At 4.5 s the viewer takes everything up to the picture of 0.3 s.
    ASSERT_TRUE(viewer.readUntil([](const std::string& d) {
        const std::optional<uint32_t> t = lastSendTime(d);
        return t && *t >= 200;
    })) << "dropped before it was 5 s behind";
    for (int64_t ms = 4600; ms <= 6000; ms += 100) {
        feedAt(ms, 20000);
        if (stream.viewers() == 0)
            break;
    }
    EXPECT_TRUE(eventually([&] { return stream.viewers() == 0; }, 3s))
        << "still served at 6 s, with pictures made before 1 s waiting";
    EXPECT_TRUE(viewer.readToEnd(3s));
}

TEST(NetworkStreamTest, BadRequestsGetAnErrorAndAClosedSocket) {
    const uint16_t port = freePort();
    NetworkStream stream(loopback(port));
    Camera camera(stream);
    camera.start();
    ASSERT_TRUE(stream.listening());

    struct Case {
        const char* name;
        std::string request;
        const char* status;
    };
    const Case cases[] = {
        {"garbage", "\x16\x03\x01\x00\xA5garbage", "HTTP/1.0 400 "},
        {"bad header", "GET / HTTP/1.0\r\nNo colon here\r\n\r\n", "HTTP/1.0 400 "},
        {"huge head", "GET / HTTP/1.0\r\nX-Fill: " + std::string(1 << 20, 'a') + "\r\n\r\n",
         "HTTP/1.0 413 "},
        {"post", "POST / HTTP/1.0\r\n\r\n", "HTTP/1.0 405 "},
        {"no blank line in time", "GET / HTTP/1.0\r\nHost: x\r\n", "HTTP/1.0 408 "},
    };
    for (const Case& c : cases) {
        Client client(port);
        ASSERT_TRUE(client.connected()) << c.name;
        client.send(c.request); // the huge one may be cut off by the answer
        EXPECT_TRUE(client.readToEnd(5s)) << c.name << ": not closed";
        EXPECT_EQ(client.data().rfind(c.status, 0), 0u) << c.name << ": " << client.data();
    }
    // A client that connects and closes without a word costs nothing.
    { Client silent(port); }
    EXPECT_EQ(stream.viewers(), 0u);
    Client viewer(port);
    ASSERT_TRUE(viewer.get());
    ASSERT_TRUE(viewer.readUntil(hasHead));
    EXPECT_EQ(viewer.data().rfind("HTTP/1.0 200 OK", 0), 0u);
}

TEST(NetworkStreamTest, StoppingClosesViewersAndReleasesThePort) {
    const uint16_t port = freePort();
    auto stream = std::make_unique<NetworkStream>(loopback(port));
    Camera camera(*stream);
    camera.start();
    Client viewer(port);
    ASSERT_TRUE(viewer.get());
    ASSERT_TRUE(viewer.readUntil(hasHead));
    Client waiting(port); // connected, request not yet complete

    const auto start = Clock::now();
    camera.stop();
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(viewer.readToEnd(3s));
    EXPECT_TRUE(waiting.readToEnd(3s));
    EXPECT_FALSE(stream->listening());
    EXPECT_TRUE(portFree(port));

    // Running again serves again; destroying the component while it runs closes everything.
    camera.start();
    ASSERT_TRUE(stream->listening());
    Client again(port);
    ASSERT_TRUE(again.get());
    ASSERT_TRUE(again.readUntil(hasHead));
    EXPECT_TRUE(eventually([&] { return stream->viewers() == 1; }));
    stream.reset();
    EXPECT_TRUE(again.readToEnd(3s));
    EXPECT_TRUE(portFree(port));
}

} // namespace
