// The camera channel on synthetic cameras, without a widget application: every change of state
// it makes, the ones it refuses, a device that goes and comes back, and a long life that must not
// leak descriptors.
#include "channel/CameraChannel.h"
#include "capture/ASFWriter.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/SampleGrabber.h"
#include "capture/SysDevEnum.h"
#include "capture/TestCameras.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <vector>

using namespace norvale;
using norvale::test::TempDir;
using norvale::test::waitFor;
namespace fs = std::filesystem;

namespace {

using S = ChannelState;

QString probeCodec(const std::string& file) {
    QProcess p;
    p.start("ffprobe",
            {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=codec_name", "-of",
             "default=nw=1:nk=1", QString::fromStdString(file)});
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// One channel on synthetic camera `number`, with short watch and retry times.
struct Rig {
    TempDir dir;
    TSysDevEnum devices{CLSID_VideoInputDeviceCategory};
    TEnumMediaType formats;
    std::unique_ptr<CameraChannel> ch;
    int number;
    int losses = 0;
    int returns = 0;
    int changes = 0;

    explicit Rig(int cameraNumber) : number(cameraNumber) {
        ChannelServices s;
        s.videoDevices = &devices;
        s.deviceFormats = &formats;
        ch = std::make_unique<CameraChannel>(std::move(s));
        CameraSettings settings = defaultCameraSettings("Cam");
        settings.saveFilePath = dir.path().string();
        settings.snapshotPath = dir.path().string();
        for (int i = 0; i < devices.DeviceCount(); ++i)
            if (devices.EntryAt(i).FriendlyName == testcameras::cameraName(number))
                settings.videoDeviceIndex = i;
        ch->setSettings(settings);
        ch->setMMSPort(0); // no live service: nothing listens
        ChannelTimings t;
        t.stallTimeout = std::chrono::milliseconds(1500);
        t.retryFirst = std::chrono::milliseconds(100);
        t.retryLongest = std::chrono::milliseconds(400);
        t.watchInterval = std::chrono::milliseconds(100);
        ch->setTimings(t);
        QObject::connect(ch.get(), &CameraChannel::lost, [this] { ++losses; });
        QObject::connect(ch.get(), &CameraChannel::returned, [this] { ++returns; });
        QObject::connect(ch.get(), &CameraChannel::stateChangedByItself, [this] { ++changes; });
    }
    ~Rig() {
        ch.reset();
        testcameras::setUnplugged(number, false);
        testcameras::setStalled(number, false);
    }
    // Waits until frames have flowed for a while (a recording then has something in it).
    bool framesFlow(int frames = 5) {
        const auto first = ch->sampleGrabber().FramesDelivered();
        return waitFor([&] { return ch->sampleGrabber().FramesDelivered() >= first + frames; });
    }
    bool reaches(S state) {
        return waitFor([&] { return ch->state() == state; });
    }
};

enum class From { Idle, Previewing, Recording, LostPreviewing, LostRecording };
enum class Event { Preview, Record, Stop, Unplug, Stall, Replug };

// Brings the rig to a starting state the way a person and a device would.
void bring(Rig& r, From from) {
    switch (from) {
    case From::Idle:
        // Stopped after it ran once, so the device identity is known.
        r.ch->startPreview();
        r.ch->stopAll();
        break;
    case From::Previewing:
        r.ch->startPreview();
        break;
    case From::Recording:
    case From::LostRecording:
        r.ch->startPreview();
        r.ch->startRecording();
        break;
    case From::LostPreviewing:
        r.ch->startPreview();
        break;
    }
    if (from == From::LostPreviewing || from == From::LostRecording) {
        // A second of picture, so a return records into a file of a later second.
        ASSERT_TRUE(r.framesFlow(16));
        testcameras::setUnplugged(r.number, true);
        ASSERT_TRUE(r.reaches(S::Lost));
    }
}

struct Case {
    From from;
    Event event;
    S expected;
    bool previewing;
    bool recording;
    const char* why;
};

} // namespace

TEST(CameraChannelRules, OnlyRunningChannelsCanBeLost) {
    for (S from : {S::Idle, S::Previewing, S::Recording, S::Lost})
        for (S to : {S::Idle, S::Previewing, S::Recording, S::Lost}) {
            const bool lostFromRunning =
                to == S::Lost && (from == S::Previewing || from == S::Recording);
            EXPECT_EQ(channelTransitionAllowed(from, to), to != S::Lost || lostFromRunning)
                << channelStateName(from) << " -> " << channelStateName(to);
        }
}

TEST(CameraChannel, EveryStateChangeOnASyntheticCamera) {
    const Case cases[] = {
        {From::Idle, Event::Preview, S::Previewing, true, false, "live video starts"},
        {From::Idle, Event::Record, S::Recording, false, true, "records without the flag"},
        {From::Idle, Event::Stop, S::Idle, false, false, "stopping nothing"},
        {From::Idle, Event::Unplug, S::Idle, false, false, "refused: nothing runs to lose"},
        {From::Previewing, Event::Preview, S::Previewing, true, false, "rebuilt"},
        {From::Previewing, Event::Record, S::Recording, true, true, "recording starts"},
        {From::Previewing, Event::Stop, S::Idle, false, false, "stopped"},
        {From::Previewing, Event::Unplug, S::Lost, false, false, "device gone"},
        {From::Previewing, Event::Stall, S::Lost, false, false, "no frames"},
        {From::Recording, Event::Preview, S::Previewing, true, true, "flag stays until stopped"},
        {From::Recording, Event::Record, S::Recording, true, true, "a new recording"},
        {From::Recording, Event::Stop, S::Idle, false, false, "stopped"},
        {From::Recording, Event::Unplug, S::Lost, false, false, "device gone"},
        {From::Recording, Event::Stall, S::Lost, false, false, "no frames"},
        {From::LostPreviewing, Event::Replug, S::Previewing, true, false, "back to live video"},
        {From::LostRecording, Event::Replug, S::Recording, true, true, "back to recording"},
        {From::LostPreviewing, Event::Stop, S::Idle, false, false, "a person stops waiting"},
        {From::LostPreviewing, Event::Unplug, S::Lost, false, false, "refused: lost once"},
        {From::LostRecording, Event::Preview, S::Idle, false, false, "a failed start rests"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << row++ << ": " << c.why);
        Rig r(4); // the last position: once unplugged, nothing else takes it
        bring(r, c.from);
        if (HasFatalFailure())
            return;
        const int lossesBefore = r.losses;
        const std::string firstFile = r.ch->lastRecordingFile();
        bool threw = false;
        try {
            switch (c.event) {
            case Event::Preview:
                r.ch->startPreview();
                break;
            case Event::Record:
                r.ch->startRecording();
                break;
            case Event::Stop:
                r.ch->stopAll();
                break;
            case Event::Unplug:
                testcameras::setUnplugged(r.number, true);
                break;
            case Event::Stall:
                testcameras::setStalled(r.number, true);
                break;
            case Event::Replug:
                testcameras::setUnplugged(r.number, false);
                break;
            }
        } catch (const std::exception& e) {
            threw = true;
            EXPECT_STREQ(e.what(), "Interface not supported");
        }
        EXPECT_EQ(threw, c.from == From::LostRecording && c.event == Event::Preview);
        if (c.expected == S::Lost || c.event == Event::Replug) {
            ASSERT_TRUE(r.reaches(c.expected)) << channelStateName(r.ch->state());
        } else if (c.event == Event::Unplug) {
            // Nothing happens, and it is given the time to show if it did.
            EXPECT_FALSE(waitFor([&] { return r.losses != lossesBefore; }, 500));
        }
        EXPECT_EQ(r.ch->state(), c.expected) << channelStateName(r.ch->state());
        EXPECT_EQ(r.ch->previewing(), c.previewing);
        EXPECT_EQ(r.ch->recording(), c.recording);
        EXPECT_EQ(r.losses, c.expected == S::Lost ? 1 : lossesBefore);
        if (c.event == Event::Replug) {
            EXPECT_EQ(r.returns, 1);
        }
        if (c.event == Event::Stall && c.expected == S::Lost) {
            // Noticed only after the stall time: the loss dates from the last picture.
            std::tm since = r.ch->lostSince();
            EXPECT_LE(std::mktime(&since), std::time(nullptr) - 1);
        }
        if (c.expected == S::Lost && c.from == From::Recording) {
            // What was recorded up to the loss is a finished file.
            EXPECT_EQ(probeCodec(firstFile), "wmv1");
            EXPECT_EQ(r.ch->returnState(), S::Recording);
        }
        if (c.expected == S::Recording) {
            ASSERT_TRUE(r.framesFlow());
            r.ch->stopAll();
            EXPECT_EQ(probeCodec(r.ch->lastRecordingFile()), "wmv1");
            if (c.event == Event::Replug) {
                EXPECT_NE(r.ch->lastRecordingFile(), firstFile) << "a return records anew";
            }
            // Attempts on a device still gone leave no empty files behind.
            for (const auto& f : fs::directory_iterator(r.dir.path()))
                EXPECT_GT(fs::file_size(f.path()), 0u) << f.path();
        }
    }
}

TEST(CameraChannel, ALongLifeOfLossesAndReturnsKeepsNoDescriptors) {
    Rig r(3);
    auto cycle = [&r] {
        r.ch->startPreview();
        r.ch->startRecording();
        ASSERT_TRUE(r.framesFlow(16));
        testcameras::setUnplugged(r.number, true);
        ASSERT_TRUE(r.reaches(S::Lost));
        testcameras::setUnplugged(r.number, false);
        ASSERT_TRUE(r.reaches(S::Recording));
        ASSERT_TRUE(r.framesFlow());
        testcameras::setStalled(r.number, true);
        ASSERT_TRUE(r.reaches(S::Lost));
        testcameras::setStalled(r.number, false);
        ASSERT_TRUE(r.reaches(S::Recording));
        r.ch->stopAll();
        ASSERT_EQ(r.ch->state(), S::Idle);
    };
    cycle(); // the first run opens what the process keeps (plugin registry, device monitor)
    if (HasFatalFailure())
        return;
    const int before = openDescriptors();
    for (int i = 0; i < 3 && !HasFatalFailure(); ++i)
        cycle();
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(r.losses, 8);
    EXPECT_EQ(r.returns, 8);
}

// Recording on motion through the channel's own motion signals: armed, nothing is written; an
// event is one file with the pre-roll before it, announced once finished with its times and
// size; armed again after it. Without detection the same record mode records continuously, and
// the last file of a recording is announced too.
TEST(CameraChannel, RecordingOnMotionWritesEventsAndEveryFinishedFileIsAnnounced) {
    using namespace std::chrono;
    Rig r(2);
    struct Finished {
        std::string path;
        qint64 startMs, endMs, bytes;
    };
    std::vector<Finished> finished;
    QObject::connect(r.ch.get(), &CameraChannel::recordingFileFinished,
                     [&](const QString& path, qint64 start, qint64 end, qint64 bytes) {
                         finished.push_back({path.toStdString(), start, end, bytes});
                     });
    int shown = 0;
    QObject::connect(r.ch.get(), &CameraChannel::eventRecordingChanged, [&] { ++shown; });
    auto wmvFiles = [&] {
        int n = 0;
        for (const auto& f : fs::directory_iterator(r.dir.path()))
            n += f.path().extension() == ".wmv";
        return n;
    };
    CameraSettings s = r.ch->settings();
    s.motionDetect = true;
    // The test camera's ball moves all the time: the channel's own detector is kept quiet (no
    // change can exceed the whole picture), so the events told below are the only ones.
    s.motionMinArea = 1000;
    s.recordMode = 1;
    s.preSeconds = 1;
    r.ch->setSettings(s);

    r.ch->startPreview();
    r.ch->startRecording();
    EXPECT_TRUE(r.ch->recordsOnMotion());
    EXPECT_TRUE(r.ch->armed());
    ASSERT_TRUE(r.framesFlow(40));
    EXPECT_EQ(wmvFiles(), 0) << "armed, nothing is written";
    EXPECT_TRUE(r.ch->currentRecordingFile().empty());

    const qint64 startMs =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    emit r.ch->motionStarted(startMs);
    EXPECT_TRUE(r.ch->writingEvent());
    EXPECT_FALSE(r.ch->armed());
    // Named as it begins, so the start of the event can be told with its file.
    const std::string eventFile = r.ch->currentRecordingFile();
    EXPECT_FALSE(eventFile.empty());
    EXPECT_EQ(r.ch->lastRecordingFile(), eventFile);
    ASSERT_TRUE(waitFor([&] { return fs::exists(eventFile); }));
    ASSERT_TRUE(r.framesFlow(15));
    MotionEventRecord record;
    record.file = r.ch->currentRecordingFile();
    emit r.ch->motionEnded(record);
    EXPECT_TRUE(r.ch->armed());
    EXPECT_EQ(shown, 2);
    ASSERT_TRUE(waitFor([&] { return finished.size() == 1; }));
    EXPECT_EQ(finished[0].path, eventFile);
    EXPECT_EQ(record.file, eventFile);
    EXPECT_EQ(r.ch->lastRecordingFile(), eventFile);
    EXPECT_LE(finished[0].startMs, startMs - 1000 + 20) << "a second before the event";
    EXPECT_GE(finished[0].startMs, startMs - 1000 - 3100) << "and not a whole group more";
    EXPECT_GE(finished[0].endMs, startMs + 500);
    EXPECT_EQ(finished[0].bytes, static_cast<qint64>(fs::file_size(eventFile)));
    EXPECT_EQ(probeCodec(eventFile), "wmv1");
    r.ch->stopRecording();
    EXPECT_FALSE(r.ch->armed());
    EXPECT_EQ(r.ch->lastRecordingFile(), eventFile) << "stopped between events";
    EXPECT_EQ(wmvFiles(), 1) << "stopped while armed: no file more";

    // Stopped in the middle of an event: its file is finished and announced all the same.
    r.ch->startRecording();
    ASSERT_TRUE(r.framesFlow(20));
    emit r.ch->motionStarted(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    ASSERT_TRUE(waitFor([&] { return !r.ch->currentRecordingFile().empty(); }));
    const std::string cutShort = r.ch->currentRecordingFile();
    ASSERT_TRUE(r.framesFlow(10));
    r.ch->stopRecording();
    EXPECT_FALSE(r.ch->writingEvent());
    ASSERT_TRUE(waitFor([&] { return finished.size() == 2; }));
    EXPECT_EQ(finished[1].path, cutShort);
    EXPECT_EQ(r.ch->lastRecordingFile(), cutShort);
    EXPECT_EQ(finished[1].bytes, static_cast<qint64>(fs::file_size(cutShort)));
    EXPECT_EQ(probeCodec(cutShort), "wmv1");

    s.motionDetect = false;
    r.ch->setSettings(s);
    r.ch->startRecording();
    EXPECT_FALSE(r.ch->recordsOnMotion()) << "without detection, a recording is continuous";
    const std::string continuous = r.ch->currentRecordingFile();
    EXPECT_FALSE(continuous.empty());
    ASSERT_TRUE(r.framesFlow());
    emit r.ch->motionStarted(startMs);
    EXPECT_FALSE(r.ch->writingEvent());
    r.ch->stopAll();
    ASSERT_TRUE(waitFor([&] { return finished.size() == 3; }));
    EXPECT_EQ(finished[2].path, continuous);
    EXPECT_EQ(finished[2].bytes, static_cast<qint64>(fs::file_size(continuous)));
    EXPECT_LT(finished[2].startMs, finished[2].endMs);
}

TEST(CameraChannel, AMotionEventTakesASnapshotWhenTheCameraIsSetSo) {
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on);
        Rig r(2);
        CameraSettings s = r.ch->settings();
        s.motionSnapshot = on;
        s.autoSnapshot = false;
        r.ch->setSettings(s);
        r.ch->startPreview();
        ASSERT_TRUE(r.framesFlow());
        int shown = 0;
        r.ch->onSnapshot = [&](std::shared_ptr<const TBitmap>) { ++shown; };
        emit r.ch->motionStarted(1);
        ASSERT_TRUE(r.framesFlow(10));
        auto snapshots = [&] {
            int n = 0;
            for (const auto& e : fs::directory_iterator(r.dir.path()))
                n += e.path().extension() == ".bmp" &&
                     e.path().filename().string().rfind("Cam-", 0) == 0;
            return n;
        };
        if (on) {
            ASSERT_TRUE(waitFor([&] { return snapshots() == 1 && shown == 1; }));
        }
        EXPECT_EQ(snapshots(), on ? 1 : 0);
        EXPECT_EQ(r.ch->lastSnapshotSecond(), 0u); // the timer's schedule is not touched
        r.ch->stopAll();
    }
}

// RecordFormat=1 records the camera's own stream where it has one (the MJPEG camera: its JPEG
// pictures in Matroska; a camera sending H.264, here a file camera passing a clip on as it is:
// decoded for its picture, kept as it comes in the file) and falls back to WMV1 where it has
// none (a raw camera).
TEST(CameraChannel, RecordFormatOneKeepsTheCamerasOwnStreamWhereItHasOne) {
    TempDir clips;
    const std::string clip = (clips.path() / "h264.mkv").string();
    ASSERT_EQ(std::system(("gst-launch-1.0 -q videotestsrc num-buffers=45 ! "
                           "video/x-raw,format=I420,width=320,height=240,framerate=15/1 ! x264enc "
                           "tune=zerolatency key-int-max=15 ! h264parse ! matroskamux ! "
                           "filesink location=" +
                           clip + " >/dev/null 2>&1")
                              .c_str()),
              0);
    struct Case {
        enum { Raw, Mjpeg, H264File } camera;
        const char* extension;
        const char* codec;
    } cases[] = {{Case::Mjpeg, ".mkv", "mjpeg"},
                 {Case::H264File, ".mkv", "h264"},
                 {Case::Raw, ".wmv", "wmv1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        testcameras::setMjpeg(2, c.camera == Case::Mjpeg);
        if (c.camera == Case::H264File) {
            setenv("NORVALE_TEST_FILES", clip.c_str(), 1);
            setenv("NORVALE_TEST_FILES_COMPRESSED", "1", 1);
        }
        {
            Rig r(2);
            CameraSettings s = r.ch->settings();
            s.recordFormat = 1;
            if (c.camera == Case::H264File)
                for (int i = 0; i < r.devices.DeviceCount(); ++i)
                    if (r.devices.EntryAt(i).FriendlyName == "Norvale Test File 1")
                        s.videoDeviceIndex = i;
            r.ch->setSettings(s);
            QString file;
            QObject::connect(r.ch.get(), &CameraChannel::recordingFileFinished,
                             [&](const QString& path, qint64, qint64, qint64) { file = path; });
            r.ch->startPreview();
            r.ch->startRecording();
            ASSERT_EQ(r.ch->state(), S::Recording);
            ASSERT_TRUE(r.framesFlow(15));
            r.ch->stopAll();
            ASSERT_TRUE(waitFor([&] { return !file.isEmpty(); }));
            EXPECT_EQ(fs::path(file.toStdString()).extension(), c.extension);
            EXPECT_EQ(probeCodec(file.toStdString()), c.codec);
        }
        testcameras::setMjpeg(2, false);
        unsetenv("NORVALE_TEST_FILES");
        unsetenv("NORVALE_TEST_FILES_COMPRESSED");
    }
}
