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
// Not a test: figures only. The clip should hold 1920x1080 H.264 at 15 frames per second, e.g.
//   gst-launch-1.0 videotestsrc num-buffers=150 pattern=snow !
//     video/x-raw,format=I420,width=1920,height=1080,framerate=15/1 ! x264enc tune=zerolatency
//     key-int-max=30 bitrate=4000 ! h264parse ! matroskamux ! filesink location=clip.mkv
//   norvale_own_stream_bench --clip clip.mkv [--seconds 10] [--warmup 3] [--rounds 3] [--many 16]
#include "capture/EnumMediaType.h"
#include "capture/SampleGrabber.h"
#include "capture/SysDevEnum.h"
#include "channel/CameraChannel.h"
#include "core/CameraSettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
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
            const std::string name = "Norvale Test File " + std::to_string(i + 1);
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
    std::uint64_t frames() const {
        std::uint64_t n = 0;
        for (const auto& ch : channels)
            n += ch->sampleGrabber().FramesDelivered();
        return n;
    }
};

struct Figures {
    double corePercentPerCamera = 0;
    double fps = 0; // delivered per camera
};

Figures run(int count, Mode mode, int warmupMs, int seconds, const QString& folder) {
    Cameras cams(count, folder, mode);
    for (auto& ch : cams.channels) {
        ch->startPreview();
        if (mode != Mode::Preview)
            ch->startRecording();
    }
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
    QString clip;
    int seconds = 10, warmup = 3, many = 16, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--clip")
            clip = argv[i + 1];
        else if (a == "--seconds")
            seconds = std::atoi(argv[i + 1]);
        else if (a == "--warmup")
            warmup = std::atoi(argv[i + 1]);
        else if (a == "--many")
            many = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (clip.isEmpty()) {
        std::fprintf(stderr, "usage: %s --clip FILE [--seconds S] [--warmup S] [--many N]\n",
                     argv[0]);
        return 2;
    }
    std::string files;
    for (int i = 0; i < std::max(1, many); ++i)
        files += (i ? "," : "") + clip.toStdString();
    setenv("NORVALE_TEST_FILES", files.c_str(), 1);
    setenv("NORVALE_TEST_FILES_COMPRESSED", "1", 1);
    setenv("NORVALE_TEST_DEVICES", "0", 1);
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;

    std::printf("one hidden 1920x1080 H.264 camera, %d s after %d s warm-up, %% of one core:\n",
                seconds, warmup);
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
        std::vector<std::uint64_t> before;
        for (auto& ch : cams.channels) {
            ch->startPreview();
            ch->startRecording();
            before.push_back(ch->sampleGrabber().FramesDelivered());
        }
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
            cams.channels[i]->stopAll();
            delivered += cams.channels[i]->sampleGrabber().FramesDelivered() - before[i];
        }
        QElapsedTimer announced;
        announced.start();
        while (cams.files.size() < cams.channels.size() && announced.elapsed() < 30000)
            spin(100);
        std::uint64_t inFiles = 0;
        for (const QString& f : cams.files)
            inFiles += static_cast<std::uint64_t>(probedFrames(f));
        // The preview counts a frame as it passes the camera's tee; the last frame or so of
        // each camera may still be on its way to the file when the camera stops.
        std::printf("%d such cameras recording their own stream at once: %.1f %% of one core in "
                    "all (%.1f %% each), %.1f fps each; frames delivered while recording %llu, "
                    "in the %zu files %llu\n",
                    many, 100.0 * cpu / elapsed, 100.0 * cpu / elapsed / many,
                    static_cast<double>(inWindow) / elapsed / many,
                    static_cast<unsigned long long>(delivered), cams.files.size(),
                    static_cast<unsigned long long>(inFiles));
    }
    return 0;
}
