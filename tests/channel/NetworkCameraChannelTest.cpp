// A camera channel on network cameras served on loopback by GStreamer's own RTSP server: it
// previews and records them, goes Lost when the server goes away, accepts and says nothing, or
// refuses the password, and comes back (in a new file) when the server does. Passwords never
// reach a text the channel gives out.
#include "RtspTestServer.h"
#include "capture/EnumMediaType.h"
#include "capture/NetworkCamera.h"
#include "capture/RecordingSupport.h"
#include "capture/SampleGrabber.h"
#include "capture/SysDevEnum.h"
#include "capture/TestCameras.h"
#include "channel/CameraChannel.h"
#include "support/MjpegHttpServer.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace norvale;
using norvale::test::TempDir;
using norvale::test::waitFor;
namespace fs = std::filesystem;
using S = ChannelState;

namespace {

constexpr const char* Secret = "s3cret-pw";

// A TCP server that accepts and then says nothing.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 8);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// One channel on one network camera, with short watch and retry times.
struct NetRig {
    TempDir dir;
    std::unique_ptr<TSysDevEnum> devices;
    TEnumMediaType formats;
    std::unique_ptr<CameraChannel> ch;
    QStringList lostTexts;
    int returns = 0;

    explicit NetRig(const NetCameraConfig& camera) {
        setNetworkCameras({camera});
        devices = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
        ChannelServices s;
        s.videoDevices = devices.get();
        s.deviceFormats = &formats;
        ch = std::make_unique<CameraChannel>(std::move(s));
        CameraSettings settings = defaultCameraSettings("Net");
        settings.saveFilePath = dir.path().string();
        settings.snapshotPath = dir.path().string();
        settings.videoDeviceIndex = devices->DeviceCount() - 1; // listed last
        ch->setSettings(settings);
        ch->setMMSPort(0);
        ChannelTimings t;
        t.stallTimeout = std::chrono::milliseconds(2000);
        t.retryFirst = std::chrono::milliseconds(200);
        t.retryLongest = std::chrono::milliseconds(800);
        t.watchInterval = std::chrono::milliseconds(100);
        ch->setTimings(t);
        QObject::connect(ch.get(), &CameraChannel::lost,
                         [this](const QString& text) { lostTexts << text; });
        QObject::connect(ch.get(), &CameraChannel::returned, [this] { ++returns; });
    }
    ~NetRig() {
        ch.reset();
        setNetworkCameras({});
    }
    bool framesFlow(int frames = 5, int ms = 15000) {
        const auto first = ch->sampleGrabber().FramesDelivered();
        return waitFor([&] { return ch->sampleGrabber().FramesDelivered() >= first + frames; }, ms);
    }
    bool reaches(S state, int ms = 15000) {
        return waitFor([&] { return ch->state() == state; }, ms);
    }
};

std::vector<fs::path> recordings(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".wmv")
            out.push_back(e.path());
    return out;
}

} // namespace

// The server goes away while the camera records and comes back on the same port: Lost, then
// recording again, into a file of its own; what was recorded before stays.
TEST(NetworkCameraChannel, ServerGoneAndBackResumesInANewFile) {
    const int port = test::freeTcpPort();
    for (const char* path : {"/h264", "/mjpeg"}) {
        SCOPED_TRACE(path);
        test::RtspServerOptions o;
        o.port = port;
        o.user = "admin";
        o.password = Secret;
        auto server = std::make_unique<test::RtspTestServer>(o);
        ASSERT_TRUE(server->ok());
        NetRig rig({"Door", server->url(path), "admin", Secret});
        rig.ch->startPreview();
        rig.ch->startRecording();
        ASSERT_TRUE(rig.framesFlow(15));
        EXPECT_FALSE(knownNetworkFormat(netCameraIdentity(server->url(path))).empty());
        const std::string first = rig.ch->currentRecordingFile();

        server.reset();
        ASSERT_TRUE(rig.reaches(S::Lost));
        server = std::make_unique<test::RtspTestServer>(o);
        ASSERT_TRUE(server->ok());
        ASSERT_TRUE(rig.reaches(S::Recording, 30000));
        ASSERT_TRUE(rig.framesFlow(15));
        EXPECT_GE(rig.returns, 1);
        const std::string second = rig.ch->currentRecordingFile();
        EXPECT_NE(first, second);
        rig.ch->stopAll();
        EXPECT_EQ(recordings(rig.dir.path()).size(), 2u);
        for (const QString& text : rig.lostTexts)
            EXPECT_FALSE(text.contains(QLatin1String(Secret))) << text.toStdString();
    }
}

// Cameras that never deliver: each ends Lost within the stall time, the start itself never
// hangs, and no text carries the password.
TEST(NetworkCameraChannel, CamerasThatNeverDeliverEndLost) {
    test::RtspServerOptions o;
    o.user = "admin";
    o.password = "right-one";
    test::RtspTestServer secured(o);
    SilentServer silent;
    const int nobody = test::freeTcpPort();
    struct Case {
        const char* why;
        NetCameraConfig camera;
        const char* says; // when the start itself fails
    };
    const Case cases[] = {
        {"wrong password", {"A", secured.url("/h264"), "admin", Secret}, "user name or password"},
        {"password in the address",
         {"B", "rtsp://admin:" + std::string(Secret) + "@" + secured.url("/mjpeg").substr(7), "",
          ""},
         "user name or password"},
        {"accepts and never answers",
         {"C", "rtsp://127.0.0.1:" + std::to_string(silent.port()) + "/x", "u", Secret},
         ""},
        {"nobody listens",
         {"D", "rtsp://127.0.0.1:" + std::to_string(nobody) + "/x", "u", Secret},
         "cannot be reached"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        NetRig rig(c.camera);
        const auto begin = std::chrono::steady_clock::now();
        std::string started;
        try {
            rig.ch->startPreview();
        } catch (const std::exception& e) {
            started = e.what(); // refused at once: the person who started it is told
        }
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
        EXPECT_EQ(started.find(Secret), std::string::npos) << started;
        if (started.empty()) {
            EXPECT_TRUE(rig.reaches(S::Lost, 12000)) << channelStateName(rig.ch->state());
            // It keeps trying, and never sees a picture.
            EXPECT_FALSE(rig.framesFlow(1, 1500));
        } else {
            EXPECT_EQ(rig.ch->state(), S::Idle);
        }
        // Whoever is told (the person who started it, or the frame) is told why in plain words.
        const std::string told = started.empty() ? rig.lostTexts.join("/").toStdString() : started;
        EXPECT_NE(told.find(c.says), std::string::npos) << told;
        for (const QString& text : rig.lostTexts)
            EXPECT_FALSE(text.contains(QLatin1String(Secret))) << text.toStdString();
        EXPECT_EQ(rig.returns, 0);
    }
}

// The camera is set to another size while it records: the picture goes on at the new size and
// the recording keeps its own.
TEST(NetworkCameraChannel, StreamThatChangesSizeKeepsGoing) {
    test::RtspServerOptions o;
    o.width = 320;
    o.height = 240;
    test::RtspTestServer server(o);
    for (const char* path : {"/mjpeg", "/h264"}) {
        SCOPED_TRACE(path);
        server.setSize(320, 240);
        NetRig rig({"Yard", server.url(path), "", ""});
        rig.ch->startPreview();
        rig.ch->startRecording();
        ASSERT_TRUE(rig.framesFlow(10));
        const std::string identity = netCameraIdentity(server.url(path));
        EXPECT_NE(knownNetworkFormat(identity).find("width=(int)320"), std::string::npos);
        server.setSize(640, 480);
        EXPECT_TRUE(waitFor(
            [&] {
                return knownNetworkFormat(identity).find("width=(int)640") != std::string::npos;
            },
            15000));
        EXPECT_TRUE(rig.framesFlow(10));
        EXPECT_NE(rig.ch->state(), S::Idle);
        rig.ch->stopAll();
        EXPECT_FALSE(recordings(rig.dir.path()).empty());
    }
}

// Recording a network camera's own stream: the first start of a camera whose stream was never
// seen records WMV1 until the stream shows itself, then goes on in a file of the stream as sent;
// a later start goes straight to it.
TEST(NetworkCameraChannel, RecordsItsOwnStreamWithoutReencoding) {
    test::RtspTestServer server(test::RtspServerOptions{});
    const std::pair<const char*, const char*> cases[] = {{"/h264", "h264"}, {"/mjpeg", "mjpeg"}};
    for (const auto& [path, codec] : cases) {
        SCOPED_TRACE(path);
        NetRig rig({"Gate", server.url(path), "", ""});
        CameraSettings settings = rig.ch->settings();
        settings.recordFormat = static_cast<int>(RecordFormat::OwnStream);
        rig.ch->setSettings(settings);
        rig.ch->startPreview();
        rig.ch->startRecording();
        ASSERT_TRUE(waitFor([&] { return rig.ch->currentRecordingFile().ends_with(".mkv"); }));
        ASSERT_TRUE(rig.framesFlow(15));
        rig.ch->stopAll();
        rig.ch->startPreview();
        rig.ch->startRecording();
        EXPECT_TRUE(rig.ch->currentRecordingFile().ends_with(".mkv"));
        ASSERT_TRUE(rig.framesFlow(15));
        // Hidden, it decodes a picture about once a second, stays alive and records every
        // frame; shown again, every picture is decoded again.
        rig.ch->renderer().SetFramesWanted(false);
        const auto decoded = rig.ch->sampleGrabber().FramesDelivered();
        QElapsedTimer hidden;
        hidden.start();
        ASSERT_TRUE(rig.framesFlow(3));
        const qint64 hiddenMs = hidden.elapsed();
        EXPECT_GE(hiddenMs, 1500);
        EXPECT_NE(rig.ch->state(), S::Lost);
        rig.ch->renderer().SetFramesWanted(true);
        ASSERT_TRUE(rig.framesFlow(15, 5000));
        const auto shownAgain = rig.ch->sampleGrabber().FramesDelivered() - decoded;
        rig.ch->stopAll();
        int wmv = 0, mkv = 0, lastFrames = 0;
        fs::path last;
        for (const auto& e : fs::directory_iterator(rig.dir.path())) {
            if (e.path().extension() == ".wmv")
                ++wmv;
            if (e.path().extension() != ".mkv")
                continue;
            ++mkv;
            const test::Probe p = test::probe(e.path());
            EXPECT_EQ(p.codec, codec) << e.path();
            EXPECT_GT(p.frames, 5) << e.path();
            if (e.path().string() > last.string()) {
                last = e.path();
                lastFrames = p.frames;
            }
        }
        // The file has the hidden time's frames, which were not decoded.
        EXPECT_GT(lastFrames, 15 + static_cast<int>(shownAgain) + hiddenMs * 15 / 1000 * 3 / 4);
        EXPECT_LE(wmv, 1);
        EXPECT_EQ(mkv, 2);
    }
}

// An HTTP MJPEG camera sends pictures as they come, with no frame rate of its own: recorded as
// WMV1 it is made steady at the recording's rate.
TEST(NetworkCameraChannel, HttpMjpegCameraRecordsWmv) {
    test::MultiClientMjpegServer server;
    ASSERT_GT(server.port(), 0);
    NetRig rig({"Porch", server.url(), "", ""});
    rig.ch->startPreview();
    rig.ch->startRecording();
    ASSERT_TRUE(rig.framesFlow(20));
    EXPECT_EQ(rig.ch->state(), S::Recording);
    rig.ch->stopAll();
    const auto files = recordings(rig.dir.path());
    ASSERT_EQ(files.size(), 1u);
    const test::Probe p = test::probe(files.front());
    EXPECT_EQ(p.codec, "wmv1");
    EXPECT_GT(p.frames, 15);
}

// Another Norvale's live stream is a network camera like any other: a recording channel serves
// its camera at /camera/N, and a second channel shows it.
TEST(NetworkCameraChannel, ShowsAnotherNorvalesLiveStream) {
    TempDir dir;
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    TEnumMediaType formats;
    ChannelServices services;
    services.videoDevices = &devices;
    services.deviceFormats = &formats;
    CameraChannel serving(services);
    CameraSettings settings = defaultCameraSettings("Served");
    settings.saveFilePath = dir.path().string();
    settings.snapshotPath = dir.path().string();
    for (int i = 0; i < devices.DeviceCount(); ++i)
        if (devices.EntryAt(i).FriendlyName == testcameras::cameraName(1))
            settings.videoDeviceIndex = i;
    serving.setSettings(settings);
    const int port = test::freeTcpPort();
    serving.setMMSPort(port);
    serving.setCameraNumber(3);
    serving.startPreview();
    serving.startRecording();
    ASSERT_TRUE(waitFor([&] { return serving.sampleGrabber().FramesDelivered() > 10; }));

    NetRig rig(
        {"OTHERPC camera 3", "http://127.0.0.1:" + std::to_string(port) + "/camera/3", "", ""});
    rig.ch->startPreview();
    EXPECT_TRUE(rig.framesFlow(10, 20000));
    EXPECT_EQ(rig.ch->state(), S::Previewing);
    rig.ch->stopAll();
    serving.stopAll();
}
