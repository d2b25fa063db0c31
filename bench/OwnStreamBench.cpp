// norvale_own_stream_bench: hidden cameras that send 1920x1080 H.264, driven through real camera
// channels, recording their own stream (RecordFormat=1) against the same re-encoded to WMV1.
//
// The cameras are file cameras looping a clip as it is (NORVALE_TEST_FILES_COMPRESSED=1: parsed,
// never decoded or encoded), so the source costs next to nothing and what is measured is the
// program: the hidden preview (decoding, as every running camera does for its grabber) and the
// recording. A run takes --seconds of CPU time of the process (getrusage) after a warm-up, in %
// of one core per camera (the median of --rounds, default 3, the modes taking turns so that each
// sees the same machine):
//   preview   previewing only
//   own       recording its own stream: Matroska, no encoder
//   wmv       recording re-encoded to WMV1
// and what each recording adds to the preview. Then --many cameras (default 16) record their own
// stream at once, and every frame each camera delivered while recording is looked for in its
// files (ffprobe).
//
// The cameras are hidden, as on a wall that shows another group: nobody looks at their pictures,
// so while they are not encoded again they decode sparingly (a key frame about once a second, for
// snapshots). Frames are counted as they reach the decoder, so the spared ones count too.
//
// With --rtsp URL the cameras are network cameras on that address (all the same stream; e.g. a
// `norvale-rtsp-server --size 1920x1080 --fps 15` of its own), depayloaded and parsed as every
// network camera is.
//
// Not a test: figures only. The clip should hold 1920x1080 H.264 at 15 frames per second, e.g.
//   gst-launch-1.0 videotestsrc num-buffers=150 pattern=snow !
//     video/x-raw,format=I420,width=1920,height=1080,framerate=15/1 ! x264enc tune=zerolatency
//     key-int-max=30 bitrate=4000 ! h264parse ! matroskamux ! filesink location=clip.mkv
//   norvale_own_stream_bench --clip clip.mkv [--seconds 10] [--warmup 3] [--rounds 3] [--many 16]
//   norvale_own_stream_bench --rtsp rtsp://127.0.0.1:8554/h264 [...]
#include "capture/EnumMediaType.h"
#include "capture/NetworkCamera.h"
#include "capture/SampleGrabber.h"
#include "capture/SysDevEnum.h"
#include "capture/VideoRenderer.h"
#include "channel/CameraChannel.h"
#include "core/CameraSettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace norvale;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for `ms` milliseconds.
void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int probedFrames(const QString& file) {
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=nb_read_frames", "-of", "default=nw=1:nk=1", file});
    p.waitForFinished(120000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed().toInt();
}

enum class Mode { Preview, Own, Wmv };

struct Cameras {
    TSysDevEnum devices{CLSID_VideoInputDeviceCategory};
    TEnumMediaType formats;
    std::vector<std::unique_ptr<CameraChannel>> channels;
    std::vector<QString> files;

    Cameras(int count, const QString& folder, Mode mode) {
        for (int i = 0; i < count; ++i) {
            ChannelServices s;
            s.videoDevices = &devices;
            s.deviceFormats = &formats;
            auto ch = std::make_unique<CameraChannel>(s);
            CameraSettings settings = defaultCameraSettings("Cam" + std::to_string(i + 1));
            settings.saveFilePath = folder.toStdString();
            settings.recordFormat = mode == Mode::Own ? 1 : 0;
            settings.bitRate = 2048;
            settings.segmentSeconds = 0;
            const std::string name = networkCameras().empty()
                                         ? "Norvale Test File " + std::to_string(i + 1)
                                         : "Bench " + std::to_string(i + 1);
            for (int d = 0; d < devices.DeviceCount(); ++d)
                if (devices.EntryAt(d).FriendlyName == name)
                    settings.videoDeviceIndex = d;
            ch->setSettings(settings);
            ch->setMMSPort(0);
            QObject::connect(
                ch.get(), &CameraChannel::recordingFileFinished,
                [this](const QString& path, qint64, qint64, qint64) { files.push_back(path); });
            channels.push_back(std::move(ch));
        }
    }
    void start(Mode mode) {
        for (auto& ch : channels) {
            ch->renderer().SetFramesWanted(false);
            ch->startPreview();
            if (mode != Mode::Preview)
                ch->startRecording();
        }
    }
    // Frames the camera sent: as they reach its decoder, spared ones included.
    static std::uint64_t frames(const CameraChannel& ch) {
        const std::uint64_t stream = ch.graph().StreamBuffersSeen(ch.sourceFilter());
        return stream > 0 ? stream : ch.sampleGrabber().FramesDelivered();
    }
    std::uint64_t frames() const {
        std::uint64_t n = 0;
        for (const auto& ch : channels)
            n += frames(*ch);
        return n;
    }
};

struct Figures {
    double corePercentPerCamera = 0;
    double fps = 0; // delivered per camera
};

Figures run(int count, Mode mode, int warmupMs, int seconds, const QString& folder) {
    Cameras cams(count, folder, mode);
    cams.start(mode);
    spin(warmupMs);
    const std::uint64_t frames0 = cams.frames();
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    spin(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
    const std::uint64_t frames = cams.frames() - frames0;
    for (auto& ch : cams.channels)
        ch->stopAll();
    spin(500);
    return {100.0 * cpu / elapsed / count, static_cast<double>(frames) / elapsed / count};
}

} // namespace

int main(int argc, char** argv) {
    QString clip, rtsp;
    int seconds = 10, warmup = 3, many = 16, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--clip")
            clip = argv[i + 1];
        else if (a == "--rtsp")
            rtsp = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::atoi(argv[i + 1]);
        else if (a == "--warmup")
            warmup = std::atoi(argv[i + 1]);
        else if (a == "--many")
            many = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (clip.isEmpty() == rtsp.isEmpty()) {
        std::fprintf(stderr,
                     "usage: %s --clip FILE | --rtsp URL [--seconds S] [--warmup S] [--many N]\n",
                     argv[0]);
        return 2;
    }
    if (!clip.isEmpty()) {
        std::string files;
        for (int i = 0; i < std::max(1, many); ++i)
            files += (i ? "," : "") + clip.toStdString();
        setenv("NORVALE_TEST_FILES", files.c_str(), 1);
        setenv("NORVALE_TEST_FILES_COMPRESSED", "1", 1);
    } else {
        std::vector<NetCameraConfig> cameras;
        for (int i = 0; i < std::max(1, many); ++i)
            cameras.push_back({"Bench " + std::to_string(i + 1), rtsp.toStdString(), "", ""});
        setNetworkCameras(std::move(cameras));
    }
    setenv("NORVALE_TEST_DEVICES", "0", 1);
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;

    std::printf("one hidden 1920x1080 H.264 %s camera, %d s after %d s warm-up, %% of one core:\n",
                rtsp.isEmpty() ? "file" : "RTSP", seconds, warmup);
    std::vector<Figures> runs[3];
    for (int r = 0; r < rounds; ++r)
        for (Mode m : {Mode::Preview, Mode::Own, Mode::Wmv})
            runs[static_cast<int>(m)].push_back(run(1, m, warmup * 1000, seconds, folder.path()));
    auto median = [&](Mode m) {
        std::vector<Figures> v = runs[static_cast<int>(m)];
        std::sort(v.begin(), v.end(), [](const Figures& a, const Figures& b) {
            return a.corePercentPerCamera < b.corePercentPerCamera;
        });
        return v[v.size() / 2];
    };
    const Figures preview = median(Mode::Preview), own = median(Mode::Own), wmv = median(Mode::Wmv);
    std::printf("  preview only             %6.1f %%  (%.1f fps)\n", preview.corePercentPerCamera,
                preview.fps);
    std::printf("  recording its own stream %6.1f %%  (%.1f fps), the recording adds %5.1f %%\n",
                own.corePercentPerCamera, own.fps,
                own.corePercentPerCamera - preview.corePercentPerCamera);
    std::printf("  recording WMV1           %6.1f %%  (%.1f fps), the recording adds %5.1f %%\n",
                wmv.corePercentPerCamera, wmv.fps,
                wmv.corePercentPerCamera - preview.corePercentPerCamera);

    if (many > 0) {
        QTemporaryDir manyFolder;
        Cameras cams(many, manyFolder.path(), Mode::Own);
        // Cameras start one after the other: each counts from its own start.
        cams.start(Mode::Own);
        std::vector<std::uint64_t> sent(cams.channels.size());
        const std::uint64_t windowStart = cams.frames();
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        spin(seconds * 1000);
        const double cpu = cpuSeconds() - cpu0;
        const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
        const std::uint64_t inWindow = cams.frames() - windowStart;
        std::uint64_t delivered = 0;
        for (std::size_t i = 0; i < cams.channels.size(); ++i) {
            sent[i] = Cameras::frames(*cams.channels[i]);
            cams.channels[i]->stopAll();
            delivered += sent[i];
        }
        QElapsedTimer announced;
        announced.start();
        while (cams.files.size() < cams.channels.size() && announced.elapsed() < 30000)
            spin(100);
        // A camera's file starts at the first key frame it received: a network camera joined
        // mid-way through a group of pictures misses the rest of that group.
        std::uint64_t inFiles = 0;
        long mostMissing = 0;
        for (const QString& f : cams.files) {
            const int frames = probedFrames(f);
            inFiles += static_cast<std::uint64_t>(frames);
            const QString name = QFileInfo(f).fileName();
            const std::size_t camera = name.mid(3, name.indexOf('-') - 3).toULong() - 1;
            if (camera < sent.size())
                mostMissing = std::max(mostMissing, static_cast<long>(sent[camera]) - frames);
        }
        // The preview counts a frame as it passes the camera's tee; the last frame or so of
        // each camera may still be on its way to the file when the camera stops.
        std::printf("%d such cameras recording their own stream at once: %.1f %% of one core in "
                    "all (%.1f %% each), %.1f fps each; frames the cameras sent %llu, in the "
                    "%zu files %llu (most missing from one camera's file: %ld, at its start)\n",
                    many, 100.0 * cpu / elapsed, 100.0 * cpu / elapsed / many,
                    static_cast<double>(inWindow) / elapsed / many,
                    static_cast<unsigned long long>(delivered), cams.files.size(),
                    static_cast<unsigned long long>(inFiles), mostMissing);
    }
    return 0;
}
