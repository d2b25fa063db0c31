// A camera channel against synthetic cameras: the preview state machine, recordings checked
// with ffprobe, timed snapshots and failing devices.
#include "app/camera/Camera.h"
#include "app/camera/VideoWindow.h"
#include "app/dialogs/CameraSettingsDialog.h"
#include "capture/ASFWriter.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/NetworkStream.h"
#include "capture/SampleGrabber.h"
#include "capture/SysDevEnum.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"
#include "platform/MessageBox.h"
#include "support/FakeDesktop.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace norvale;
using norvale::test::TempDir;
namespace fs = std::filesystem;

namespace {

using norvale::test::waitFor;

// Lets frames flow for `ms` milliseconds.
void runFor(int ms) {
    waitFor([] { return false; }, ms);
}

struct Probe {
    QString codec;
    int width = 0;
    int height = 0;
    double duration = 0;
};

Probe ffprobe(const QString& file) {
    QProcess p;
    p.start("ffprobe",
            {"-v", "error", "-select_streams", "v:0", "-show_entries",
             "stream=codec_name,width,height:format=duration", "-of", "default=nw=1", file});
    p.waitForFinished(30000);
    Probe r;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const auto kv = line.split('=');
        if (kv.size() != 2)
            continue;
        if (kv[0] == "codec_name")
            r.codec = kv[1];
        else if (kv[0] == "width")
            r.width = kv[1].toInt();
        else if (kv[0] == "height")
            r.height = kv[1].toInt();
        else if (kv[0] == "duration")
            r.duration = kv[1].toDouble();
    }
    return r;
}

struct Channel {
    TempDir dir;
    test::FakeDesktop desktop;
    std::unique_ptr<TSysDevEnum> devices;
    TEnumMediaType formats;
    int writeFailures = 0; // recordings whose file branch failed: space is asked for
    std::unique_ptr<TCamera> cam;
    int previews = 0;
    int halts = 0; // recordings halted on their own, as the wall is told of them

    Channel() {
        devices = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
        CameraServices s;
        s.videoDevices = devices.get();
        s.deviceFormats = &formats;
        s.desktop = &desktop;
        s.applicationTitle = "Norvale Test";
        desktop.time.setLocalTime(test::brokenDownTime(2011, 1, 1, 0, 0, 9));
        desktop.time.setMonotonicSeconds(1000);
        s.recordingWriteFailed = [this] { ++writeFailures; };
        s.editSettings = &editCameraSettings;
        cam = std::make_unique<TCamera>(nullptr, std::move(s));
        cam->resize(320, 260);
        cam->show();
        QObject::connect(cam.get(), &TCamera::OnPreview, [this](TCamera*) { ++previews; });
        QObject::connect(cam.get(), &TCamera::OnRecordingHalted, [this](TCamera*) { ++halts; });
        cam->setCameraName("Cam 1");
        cam->setSaveFilePath(QString::fromStdString(dir.path().string())); // no trailing "/"
        cam->setSnapshotPath(QString::fromStdString(dir.path().string()));
    }
    // The first synthetic camera's position in today's list.
    int firstTestCamera() const {
        for (int i = 0; i < devices->DeviceCount(); ++i)
            if (devices->EntryAt(i).FriendlyName == testcameras::cameraName(1))
                return i;
        return -1;
    }
    // What a look at the recording disks reports for the disk of `folder`.
    static std::vector<DiskSpace> diskOf(const fs::path& folder, std::uint64_t freeBytes,
                                         std::uint64_t totalBytes) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0)
            return {};
        return {{static_cast<std::uint64_t>(st.st_dev), folder.string(), freeBytes, totalBytes}};
    }
    // A halt is shown, never asked about.
    void haltedWithoutABox(const QString& reasonPart) const {
        EXPECT_TRUE(desktop.reports.empty())
            << (desktop.reports.empty() ? "" : desktop.reports[0].toStdString());
        EXPECT_TRUE(desktop.boxes.requests.empty());
        EXPECT_EQ(halts, 1);
        const QString text = cam->HaltText();
        EXPECT_TRUE(text.startsWith("Recording stopped at 00:00:09: ")) << text.toStdString();
        EXPECT_TRUE(text.contains(reasonPart)) << text.toStdString();
        EXPECT_EQ(cam->VideoWindow()->StatusText(), text);
    }
    void state(bool previewing, bool recording) const {
        EXPECT_EQ(cam->Previewing(), previewing);
        EXPECT_EQ(cam->Recording(), recording);
    }
};

class CameraCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setenv("NORVALE_TEST_DEVICES", "4", 0); }
};

} // namespace

TEST_F(CameraCapture, PreviewNeedsADevice) {
    Channel c;
    EXPECT_FALSE(c.cam->actPreview()->isEnabled());
    c.cam->StartPreview();
    ASSERT_EQ(c.desktop.boxes.requests.size(), 1u);
    EXPECT_EQ(c.desktop.boxes.requests[0].text, "Please select a video device!");
    EXPECT_EQ(c.desktop.boxes.requests[0].caption, "Error");
    EXPECT_EQ(c.desktop.boxes.requests[0].icon, MessageIcon::Error);
    c.state(false, false);
    EXPECT_EQ(c.cam->CaptureGraph().GraphState(), TGraphState::gsUninitialized);
}

TEST_F(CameraCapture, PreviewStartsAndStopsByGraphState) {
    Channel c;
    const int index = c.firstTestCamera();
    ASSERT_GE(index, 0);
    c.cam->setVideoDeviceIndex(index);
    EXPECT_TRUE(c.cam->actPreview()->execute());
    c.state(true, false);
    EXPECT_EQ(c.previews, 1);
    EXPECT_TRUE(c.cam->actPreview()->isChecked());
    EXPECT_TRUE(c.cam->actSave()->isEnabled());
    EXPECT_TRUE(c.cam->actFullScreen()->isEnabled());
    EXPECT_EQ(c.cam->CaptureGraph().LinkedFilters().size(), 3u);
    EXPECT_TRUE(
        waitFor([&] { return c.cam->CaptureGraph().GraphState() == TGraphState::gsPlaying; }));

    // Starting again while running tears the old graph down first: never a second set.
    c.cam->StartPreview();
    EXPECT_EQ(c.previews, 2);
    EXPECT_EQ(c.cam->CaptureGraph().LinkedFilters().size(), 3u);

    EXPECT_TRUE(c.cam->actPreview()->execute()); // running: stop
    c.state(false, false);
    EXPECT_EQ(c.cam->CaptureGraph().GraphState(), TGraphState::gsUninitialized);
    EXPECT_TRUE(c.cam->CaptureGraph().LinkedFilters().empty());
    EXPECT_EQ(c.previews, 2); // never on leaving
}

TEST_F(CameraCapture, RecordingWritesATimestampedWmv1FileAndResumesPreview) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->actPreview()->execute();
    ASSERT_TRUE(c.cam->actSave()->execute());
    c.state(true, true);
    EXPECT_EQ(c.cam->SaveFilePath(), QString::fromStdString(c.dir.path().string()) + "/");
    const QString file = c.cam->SaveFilePath() + "Cam 1-20110101-000009.wmv";
    EXPECT_EQ(c.cam->lastRecordingFile(), file);
    EXPECT_EQ(c.cam->ASFWriter().CurrentProfile().BitRate, 1024000u);
    EXPECT_EQ(c.cam->ASFWriter().CurrentProfile().Description, "Norvale WMV ProFiles");
    EXPECT_EQ(c.cam->ASFWriter().CurrentProfile().Name.rfind("Cam 1", 0), 0u);
    EXPECT_EQ(c.cam->CaptureGraph().LinkedFilters().size(), 4u);
    runFor(3000);

    ASSERT_TRUE(c.cam->actSave()->execute()); // stop recording, live video resumes
    c.state(true, false);
    EXPECT_EQ(c.previews, 2);
    EXPECT_EQ(c.cam->CaptureGraph().LinkedFilters().size(), 3u);

    const Probe p = ffprobe(file);
    EXPECT_EQ(p.codec, "wmv1");
    const auto [w, h] = c.cam->CaptureGraph().NativeVideoSize();
    EXPECT_EQ(p.width, w);
    EXPECT_EQ(p.height, h);
    EXPECT_GT(p.duration, 1.5);
    EXPECT_LT(p.duration, 10.0);
    c.cam->StopAll();
    c.state(false, false);
}

// Two cameras recording on one port: the first answers at "/", each at /camera/N (N from its
// component name); the port closes with the last recording.
TEST_F(CameraCapture, ARecordingServesItsLiveStreamWhileItRuns) {
    Channel a, b;
    const int port = norvale::test::freeTcpPort();
    a.cam->setObjectName(QStringLiteral("Camera1"));
    b.cam->setObjectName(QStringLiteral("Camera4"));
    a.cam->setMMSPort(port);
    b.cam->setMMSPort(port);
    a.cam->setVideoDeviceIndex(a.firstTestCamera());
    b.cam->setVideoDeviceIndex(b.firstTestCamera() + 1);
    a.cam->actPreview()->execute();
    b.cam->actPreview()->execute();
    a.cam->actSave()->execute();
    b.cam->actSave()->execute();
    for (Channel* c : {&a, &b}) {
        ASSERT_NE(c->cam->ASFWriter().Network(), nullptr);
        EXPECT_TRUE(c->cam->ASFWriter().Network()->listening());
        EXPECT_TRUE(c->cam->Recording());
        EXPECT_TRUE(c->desktop.boxes.requests.empty());
    }
    runFor(1000);
    const struct {
        const char* path;
        Channel* channel;
    } addresses[] = {{"/", &a}, {"/camera/1", &a}, {"/camera/4", &b}};
    for (const auto& address : addresses)
        for (const char* scheme : {"http", "mmsh"}) {
            const Probe p = ffprobe(
                QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(address.path));
            EXPECT_EQ(p.codec, "wmv1") << scheme << address.path;
            const auto [w, h] = address.channel->cam->CaptureGraph().NativeVideoSize();
            EXPECT_EQ(p.width, w) << scheme << address.path;
            EXPECT_EQ(p.height, h) << scheme << address.path;
        }
    a.cam->actSave()->execute(); // its service closes with the recording
    EXPECT_EQ(a.cam->ASFWriter().Network(), nullptr);
    EXPECT_EQ(ffprobe(QStringLiteral("http://127.0.0.1:%1/camera/4").arg(port)).codec, "wmv1");
    b.cam->actSave()->execute();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    a.cam->StopAll();
    b.cam->StopAll();
    EXPECT_EQ(ffprobe(b.cam->lastRecordingFile()).codec, "wmv1");
}

TEST_F(CameraCapture, StaleRecordingFlagAfterStoppingThePreview) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->actPreview()->execute();
    c.cam->actSave()->execute();
    runFor(500);
    c.cam->actPreview()->execute(); // all video stops, the flag stays
    c.state(false, true);
    EXPECT_FALSE(c.cam->actSave()->isEnabled());
    c.cam->actPreview()->execute();
    c.state(true, true);
    EXPECT_EQ(c.previews, 2);
    c.cam->actSave()->execute(); // StopRecording, StartPreview
    c.state(true, false);
    EXPECT_EQ(c.previews, 3);
    EXPECT_TRUE(fs::exists(c.cam->lastRecordingFile().toStdString()));
    c.cam->actSettings()->execute(); // any state: idle
    c.state(false, false);
}

TEST_F(CameraCapture, ADeviceThatIsGoneFailsWithInterfaceNotSupported) {
    Channel c;
    // The last position of the list: once its camera is unplugged the position is empty.
    const int index = c.firstTestCamera() + 3;
    c.cam->setVideoDeviceIndex(index);
    testcameras::setUnplugged(4, true);
    try {
        c.cam->actPreview()->execute();
        ADD_FAILURE() << "the start should fail";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
    testcameras::setUnplugged(4, false);
    c.state(false, false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The graph was left stopped; the next start begins with a teardown and works.
    c.cam->actPreview()->execute();
    c.state(true, false);
    c.cam->StopAll();
}

TEST_F(CameraCapture, ACameraUnpluggedWhileRecordingWaitsLostWithAReadableFileAndComesBack) {
    Channel c;
    ChannelTimings quick;
    quick.retryFirst = std::chrono::milliseconds(100);
    quick.retryLongest = std::chrono::milliseconds(400);
    c.cam->Channel().setTimings(quick);
    c.cam->setVideoDeviceIndex(c.firstTestCamera() + 2); // the third test camera
    c.cam->actPreview()->execute();
    c.cam->actSave()->execute();
    // The wall listens here to show the camera's real state once it failed on its own.
    int changes = 0;
    QObject::connect(c.cam.get(), &TCamera::OnStateChanged, [&](TCamera*) { ++changes; });
    int losses = 0;
    QObject::connect(c.cam.get(), &TCamera::OnLost, [&](TCamera*) { ++losses; });
    runFor(2000);
    testcameras::setUnplugged(3, true);
    EXPECT_TRUE(waitFor([&] { return c.cam->Lost(); }));
    c.state(false, false);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(losses, 1);
    EXPECT_FALSE(c.cam->actPreview()->isChecked());
    EXPECT_FALSE(c.cam->actSave()->isChecked());
    // Black, with the time it was lost; nobody is asked to click anything.
    EXPECT_EQ(c.cam->VideoWindow()->StatusText(), "Camera lost since 00:00:09");
    EXPECT_TRUE(c.desktop.reports.empty());
    EXPECT_TRUE(c.desktop.boxes.requests.empty());
    EXPECT_EQ(c.writeFailures, 0); // no disk to free for a camera gone
    const Probe p = ffprobe(c.cam->lastRecordingFile());
    EXPECT_EQ(p.codec, "wmv1");
    // The device comes back: so does the recording, by itself.
    testcameras::setUnplugged(3, false);
    EXPECT_TRUE(waitFor([&] { return c.cam->Recording(); }));
    c.state(true, true);
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(c.cam->VideoWindow()->StatusText().isEmpty());
    EXPECT_TRUE(c.desktop.reports.empty());
    c.cam->StopAll();
}

// A full disk halts only the recording, shown in the frame rather than in a box; it records
// again by itself once the disk has room, and a disk that fills again at once is not retried in
// a loop.
TEST_F(CameraCapture, AFullDiskStopsOnlyTheRecordingWithOneReport) {
    constexpr std::uint64_t MiB = 1024 * 1024;
    Channel c;
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->setBitRate(2000);
    c.cam->setSnapshotSeconds(1);
    c.cam->actPreview()->execute();
    // The disk "fills up" once the file reaches 120 KB: writes then fail with EFBIG.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 120 * 1024;
    struct Restore {
        rlimit old;
        ~Restore() {
            setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, SIG_DFL);
        }
    } restore{old};
    setrlimit(RLIMIT_FSIZE, &small);
    c.cam->actSave()->execute();
    ASSERT_TRUE(waitFor([&] { return c.halts > 0; }, 20000));
    runFor(1000);
    c.haltedWithoutABox("");
    EXPECT_EQ(c.cam->Channel().halt(), RecordingHalt::WriteFailed);
    EXPECT_EQ(c.writeFailures, 1); // retention is asked for space at once
    c.state(true, false);
    EXPECT_EQ(c.cam->CaptureGraph().GraphState(), TGraphState::gsPlaying);
    const QString first = c.cam->lastRecordingFile();
    EXPECT_EQ(ffprobe(first).codec, "wmv1");

    // Not while the disk is still short (64 MiB without a limit to keep free), nor unseen.
    const struct {
        const char* what;
        std::vector<DiskSpace> disks;
        std::int64_t keepFreeMB;
    } shortOfRoom[] = {
        {"no look at its disk", {}, 0},
        {"less than 64 MiB free", Channel::diskOf(c.dir.path(), 63 * MiB, 100000 * MiB), 0},
        {"less than the space to keep free",
         Channel::diskOf(c.dir.path(), 1000 * MiB, 100000 * MiB), 2048},
    };
    for (const auto& k : shortOfRoom) {
        SCOPED_TRACE(k.what);
        c.cam->ResumeRecordingIfRoom(k.disks, k.keepFreeMB);
        c.state(true, false);
    }
    // Room again: a new file; the disk fills again at once: halted once more, not told again,
    // and not tried again before the wait between tries.
    const auto room = Channel::diskOf(c.dir.path(), 65 * MiB, 100000 * MiB);
    c.cam->ResumeRecordingIfRoom(room, 0);
    c.state(true, true);
    EXPECT_TRUE(c.cam->HaltText().isEmpty());
    EXPECT_TRUE(c.cam->VideoWindow()->StatusText().isEmpty());
    ASSERT_TRUE(waitFor([&] { return !c.cam->Recording(); }, 20000));
    EXPECT_NE(c.cam->lastRecordingFile(), first);
    EXPECT_EQ(c.halts, 1);
    EXPECT_FALSE(c.cam->HaltText().isEmpty());
    c.cam->ResumeRecordingIfRoom(room, 0);
    c.state(true, false);
    EXPECT_TRUE(c.desktop.reports.empty());

    EXPECT_TRUE(c.cam->Channel().waitsToRecord());

    // Snapshots go on with the preview.
    setrlimit(RLIMIT_FSIZE, &old);
    c.cam->actSnapshot()->execute();
    EXPECT_TRUE(waitFor([&] { return fs::exists(c.dir / "Cam 1-20110101-000009.bmp"); }));
    // A person's command ends the halt: nothing starts again by itself after it.
    c.cam->StopPreview();
    EXPECT_TRUE(c.cam->HaltText().isEmpty());
    EXPECT_FALSE(c.cam->Channel().waitsToRecord());
    c.cam->StopAll();
}

// A recording folder deleted while it records: noticed, reported once, preview goes on.
TEST_F(CameraCapture, ARecordingWhoseFolderIsDeletedStopsWithOneReport) {
    Channel c;
    const fs::path folder = c.dir / "recordings";
    fs::create_directory(folder);
    c.cam->setSaveFilePath(QString::fromStdString(folder.string()));
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->actPreview()->execute();
    c.cam->actSave()->execute();
    runFor(500);
    fs::remove_all(folder);
    ASSERT_TRUE(waitFor([&] { return c.halts > 0; }, 5000));
    runFor(1500);
    c.haltedWithoutABox(c.cam->lastRecordingFile());
    EXPECT_EQ(c.cam->Channel().halt(), RecordingHalt::FolderGone);
    c.state(true, false);
    EXPECT_EQ(c.cam->CaptureGraph().GraphState(), TGraphState::gsPlaying);
    // Room on the disk is not enough while the folder is gone; it is never made here.
    const auto room = Channel::diskOf(c.dir.path(), 1ull << 40, 1ull << 41);
    c.cam->ResumeRecordingIfRoom(room, 0);
    c.state(true, false);
    EXPECT_FALSE(fs::exists(folder));
    // The folder is back: so is the recording, into a new file there.
    fs::create_directory(folder);
    c.cam->ResumeRecordingIfRoom(room, 0);
    c.state(true, true);
    EXPECT_TRUE(c.cam->VideoWindow()->StatusText().isEmpty());
    runFor(500);
    c.cam->StopAll();
    EXPECT_TRUE(fs::exists(c.cam->lastRecordingFile().toStdString()));
    EXPECT_EQ(fs::path(c.cam->lastRecordingFile().toStdString()).parent_path(), folder);
}

// Segments named by the same rule in the same second: the camera's last file and its file watch
// move on to each new file (removing the new file is noticed, the finished one stays whole).
TEST_F(CameraCapture, TheFileWatchAndTheLastFileFollowEachNewSegment) {
    Channel c;
    c.cam->setSegmentSeconds(1); // a new file at the first key frame after a second: at 3 s
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->actPreview()->execute();
    c.cam->actSave()->execute();
    const QString first = c.cam->lastRecordingFile();
    const QString second = c.cam->SaveFilePath() + "Cam 1-20110101-000009-2.wmv";
    ASSERT_TRUE(waitFor([&] { return c.cam->lastRecordingFile() == second; }, 8000));
    EXPECT_GT(ffprobe(first).duration, 2.5); // finished while the recording goes on
    EXPECT_TRUE(c.desktop.reports.empty());
    fs::remove(second.toStdString());
    ASSERT_TRUE(waitFor([&] { return c.halts > 0; }, 5000));
    c.haltedWithoutABox(second);
    EXPECT_EQ(c.cam->Channel().halt(), RecordingHalt::FileRemoved);
    c.state(true, false);
    // A file someone removed is not made again by itself.
    c.cam->ResumeRecordingIfRoom(Channel::diskOf(c.dir.path(), 1ull << 40, 1ull << 41), 0);
    c.state(true, false);
    EXPECT_EQ(ffprobe(first).codec, "wmv1");
    c.cam->StopAll();
}

TEST_F(CameraCapture, TimedSnapshotsFollowTheDueRule) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->setSnapshotSeconds(60);
    c.cam->actPreview()->execute();
    const fs::path file = c.dir / "Cam 1-20110101-000009.bmp";

    runFor(500); // off: nothing
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(c.cam->LastSnapshotSecond(), 0u);

    c.cam->actSnapshot()->execute(); // on after a long pause: the next frame is saved
    EXPECT_TRUE(waitFor([&] { return c.cam->LastSnapshotSecond() == 1000u; }));
    EXPECT_TRUE(waitFor([&] { return fs::exists(file); }));
    EXPECT_TRUE(waitFor([&] { return !c.cam->Image1()->pixmap().isNull(); }));
    QImage bmp(QString::fromStdString(file.string()));
    ASSERT_FALSE(bmp.isNull());
    const auto [w, h] = c.cam->CaptureGraph().NativeVideoSize();
    EXPECT_EQ(bmp.size(), QSize(w, h));
    EXPECT_EQ(c.cam->SnapshotPath().back(), '/'); // gains the separator after the first one
    fs::remove(file);

    c.desktop.time.setMonotonicSeconds(1059); // one second short
    runFor(300);
    EXPECT_FALSE(fs::exists(file));
    c.desktop.time.setMonotonicSeconds(1060);
    EXPECT_TRUE(waitFor([&] { return fs::exists(file); }));
    EXPECT_EQ(c.cam->LastSnapshotSecond(), 1060u);
    c.cam->StopAll();
}

TEST_F(CameraCapture, SnapshotsIntoAMissingFolderFailSilently) {
    Channel c;
    c.cam->setSnapshotPath(QString::fromStdString((c.dir / "missing").string()));
    c.cam->setSnapshotSeconds(0);
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->actSnapshot()->execute();
    c.cam->actPreview()->execute();
    EXPECT_TRUE(waitFor([&] { return c.cam->LastSnapshotSecond() == 1000u; }));
    EXPECT_TRUE(waitFor([&] { return !c.cam->Image1()->pixmap().isNull(); }));
    EXPECT_FALSE(fs::exists(c.dir / "missing"));
    EXPECT_TRUE(c.desktop.boxes.requests.empty());
    EXPECT_TRUE(c.desktop.reports.empty());
    c.cam->StopAll();
}

// A recording whose file cannot be opened is reported once; the camera goes back to previewing.
TEST_F(CameraCapture, ARecordingThatCannotOpenItsFileIsReportedOnceAndPreviewResumes) {
    const struct {
        const char* what;
        std::string folder;
        std::string name;
    } cases[] = {
        {"missing folder", "missing/deeper", "Cam 1"},
        {"name longer than the file system allows", "", std::string(300, 'n')},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Channel c;
        c.cam->setSaveFilePath(QString::fromStdString((c.dir / k.folder).string()));
        c.cam->setCameraName(QString::fromStdString(k.name));
        c.cam->setVideoDeviceIndex(c.firstTestCamera());
        c.cam->actPreview()->execute();
        int thrown = 0;
        try {
            c.cam->actSave()->execute();
        } catch (const std::exception& e) {
            ++thrown;
            EXPECT_TRUE(QString(e.what()).startsWith("Could not open file")) << e.what();
        }
        runFor(1500);
        // The answer to the command given: the error report, not the halt line.
        EXPECT_EQ(thrown + static_cast<int>(c.desktop.reports.size()), 1);
        EXPECT_EQ(c.halts, 0);
        EXPECT_TRUE(c.cam->HaltText().isEmpty());
        c.state(true, false);
        EXPECT_EQ(c.cam->CaptureGraph().GraphState(), TGraphState::gsPlaying);
        EXPECT_TRUE(c.desktop.boxes.requests.empty());
        c.cam->StopAll();
    }
}

namespace {
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};
} // namespace

// A stopped camera shows black at once, in its frame and full screen, never its last picture.
TEST_F(CameraCapture, AStoppedCameraIsBlackAtOnce) {
    for (const bool fullScreen : {false, true}) {
        SCOPED_TRACE(fullScreen ? "full screen" : "in the frame");
        Channel c;
        c.cam->setVideoDeviceIndex(c.firstTestCamera());
        c.cam->actPreview()->execute();
        if (fullScreen)
            c.cam->setFullScreen(true);
        QWidget* shown = fullScreen ? c.cam->VideoWindow()->FullScreenSurface()
                                    : static_cast<QWidget*>(c.cam->VideoWindow());
        // Above the middle, where a stopped frame's waiting text does not reach.
        auto centre = [&] {
            const QImage img = shown->grab().toImage();
            return img.pixelColor(img.width() / 2, img.height() / 4);
        };
        ASSERT_TRUE(waitFor([&] { return centre() != QColor(Qt::black); }));
        PaintCounter counter;
        shown->installEventFilter(&counter);
        c.cam->StopPreview();
        EXPECT_TRUE(waitFor([&] { return counter.paints > 0; }, 2000));
        EXPECT_EQ(centre(), QColor(Qt::black));
        shown->removeEventFilter(&counter);
        c.cam->setFullScreen(false);
    }
}

// Previews run on the camera's own streaming thread, so a snapshot of every frame (the
// heaviest work a frame callback does) holds that thread up: a hidden camera must still take
// its snapshots and still get every frame into its recording.
TEST_F(CameraCapture, AHiddenCameraSavingEveryFrameStillRecordsEveryFrame) {
    Channel c;
    c.cam->hide();
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    c.cam->setSnapshotSeconds(0); // every frame is due
    c.cam->actSnapshot()->execute();
    c.cam->actPreview()->execute();
    ASSERT_TRUE(c.cam->actSave()->execute());
    EXPECT_FALSE(c.cam->VideoRenderer().FramesWanted());
    const std::uint64_t first = c.cam->VideoSampleGrabber().FramesDelivered();
    runFor(2500);
    const long delivered = static_cast<long>(c.cam->VideoSampleGrabber().FramesDelivered() - first);
    const QString file = c.cam->lastRecordingFile();
    ASSERT_TRUE(c.cam->actSave()->execute());
    c.cam->StopAll();

    EXPECT_TRUE(fs::exists(c.dir / "Cam 1-20110101-000009.bmp"));
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=nb_read_frames", "-of", "csv=p=0", file});
    ASSERT_TRUE(p.waitForFinished(30000));
    const long recorded = p.readAllStandardOutput().trimmed().toLong();
    EXPECT_GT(delivered, 10);
    // The file holds what passed the grabber while it recorded, give or take the frames at
    // either end of that window.
    EXPECT_GE(recorded, delivered - 2);
}

// Recording on motion: the frame shows a camera armed and waiting apart from one writing an
// event, and tells the wall each time that changes so the list follows.
TEST_F(CameraCapture, RecordingOnMotionShowsArmedApartFromWritingAnEvent) {
    Channel c;
    c.cam->setVideoDeviceIndex(c.firstTestCamera());
    CameraSettings s = c.cam->Settings();
    s.motionDetect = true;
    // The test camera's picture moves all the time: the channel's own detector is kept quiet (no
    // change can exceed the whole picture), so the events told below are the only ones.
    s.motionMinArea = 1000;
    s.recordMode = 1;
    c.cam->setSettings(s);
    int changes = 0;
    QObject::connect(c.cam.get(), &TCamera::OnStateChanged, [&](TCamera*) { ++changes; });
    c.cam->actPreview()->execute();
    c.cam->actSave()->execute();
    c.state(true, true);
    EXPECT_EQ(c.cam->VideoWindow()->StatusText(), "Armed: waiting for motion");
    emit c.cam->Channel().motionStarted(QDateTime::currentMSecsSinceEpoch());
    EXPECT_EQ(c.cam->VideoWindow()->StatusText(), "Recording an event");
    EXPECT_EQ(c.cam->NoticeText(), "Recording an event"); // the list's line
    emit c.cam->Channel().motionEnded(MotionEventRecord{});
    EXPECT_EQ(c.cam->VideoWindow()->StatusText(), "Armed: waiting for motion");
    EXPECT_EQ(changes, 2);
    c.cam->actSave()->execute();
    EXPECT_TRUE(c.cam->VideoWindow()->StatusText().isEmpty());
    c.cam->StopAll();
}
