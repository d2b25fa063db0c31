// norvale_recordings_bench: the recordings window on a big index (36 cameras x 30 days x 24
// hourly segments, 20,000 motion events with pictures, every file present): opening the window
// on a day and switching camera or day, until timeline and event list show it (target 0.3 s);
// and a seek into the middle of a one-hour recording until its picture is there (target 0.5 s).
//
// The index and the files go to a private folder (NORVALE_BENCH_DIR, else a new one under
// TMPDIR); the one-hour recording (15 fps, key frames every 3 s, as the recorder writes) is made
// once there and kept. Google Benchmark with manual time: the figures are wall-clock.
#include "app/recordings/RecordingsForm.h"
#include "app/shell/SystemDesktop.h"
#include "capture/ASFWriter.h"
#include "capture/GstRuntime.h"
#include "capture/PipelineUtil.h"
#include "capture/SegmentPlayer.h"
#include "core/FileNaming.h"
#include "core/Timeline.h"
#include "platform/MessageBox.h"
#include "storage/RecordingIndex.h"

#include <QApplication>
#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QThread>
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

using namespace norvale;
namespace fs = std::filesystem;

namespace {

constexpr int Cameras = 36, Days = 30, Events = 20000;
constexpr std::int64_t HourMs = 3600 * 1000;

fs::path gDir;
std::unique_ptr<IndexService> gIndex;
std::unique_ptr<IMessageBox> gBoxes;
std::unique_ptr<SystemDesktop> gDesktop;

QString cameraName(int n) {
    return QStringLiteral("Cam %1").arg(n);
}
fs::path cameraFolder(int n) {
    return gDir / ("cam" + std::to_string(n));
}

std::tm localOf(std::int64_t ms) {
    const auto s = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&s, &tm);
    return tm;
}

std::vector<std::uint8_t> thumbnail() {
    QImage picture(160, 120, QImage::Format_RGB888);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x)
            picture.setPixel(x, y, qRgb(x * 3 % 256, y * 5 % 256, (x ^ y) % 256));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG", 75);
    return {bytes.begin(), bytes.end()};
}

// The first day of the 30 that end today.
std::int64_t firstDay() {
    const QDate today = QDate::currentDate().addDays(-(Days - 1));
    return localDay(today.year(), today.month(), today.day()).first;
}

void generateIndex() {
    const fs::path db = gDir / "norvale.db";
    if (fs::exists(db) && fs::exists(gDir / "complete")) {
        std::printf("index: kept from an earlier run in %s\n", gDir.c_str());
        return;
    }
    fs::remove(db);
    QElapsedTimer t;
    t.start();
    RecordingIndex index(db.string());
    const auto thumb = thumbnail();
    std::mt19937 random(7);
    index.database().exec("BEGIN");
    const std::int64_t start = firstDay();
    for (int cam = 1; cam <= Cameras; ++cam) {
        fs::create_directories(cameraFolder(cam));
        const std::string folder = folderWithSeparator(cameraFolder(cam).string());
        for (int day = 0; day < Days; ++day)
            for (int hour = 0; hour < 24; ++hour) {
                // Days are taken as 24 hours from the first midnight; a change of the clocks
                // moves the files by an hour, which does not matter here.
                const std::int64_t from = start + (day * 24 + hour) * HourMs;
                const std::string file = timestampedFileName(folder, cameraName(cam).toStdString(),
                                                             localOf(from), ".wmv");
                std::ofstream(file).put('x');
                index.recordingStarted(cam, file, from);
                index.recordingUpdated(file, from + HourMs - 1000, 90'000'000, true);
            }
    }
    for (int e = 0; e < Events; ++e) {
        const int cam = 1 + static_cast<int>(random() % Cameras);
        const std::int64_t from =
            start + static_cast<std::int64_t>(random() % (Days * 24 * HourMs / 1000)) * 1000;
        const std::int64_t id = index.eventStarted(cam, from, "");
        index.eventUpdated(id, from + 5000 + static_cast<std::int64_t>(random() % 60000), 0.3,
                           &thumb);
    }
    index.database().exec("COMMIT");
    std::ofstream(gDir / "complete").put('x');
    std::printf("index: %d recordings, %d events written in %.1f s to %s\n", Cameras * Days * 24,
                Events, t.elapsed() / 1000.0, gDir.c_str());
}

RecordingsContext context() {
    RecordingsContext c;
    c.desktop = gDesktop.get();
    c.index = gIndex.get();
    c.cameras = [] {
        std::vector<RecordingsCamera> cameras;
        for (int n = 1; n <= Cameras; ++n)
            cameras.push_back({n, cameraName(n), QString::fromStdString(cameraFolder(n).string()),
                               QString::fromStdString(gDir.string())});
        return cameras;
    };
    return c;
}

// Runs the event loop until `w` has shown the day it was asked for.
void waitShown(TRecordingsForm& w, bool& shown) {
    while (!shown)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    // What the window shows is painted in the same turn of the loop.
    w.repaint();
}

void report(benchmark::State& state, const std::vector<double>& seconds) {
    // The first of a process also pays Qt's first use of fonts and styles, which the program's
    // wall has paid long before; it is shown on its own.
    if (seconds.size() > 1) {
        state.counters["first_ms"] = seconds.front() * 1000;
        state.counters["max_after_first_ms"] =
            *std::max_element(seconds.begin() + 1, seconds.end()) * 1000;
    }
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty())
        return;
    state.counters["median_ms"] = sorted[sorted.size() / 2] * 1000;
    state.counters["max_ms"] = sorted.back() * 1000;
}

void OpenWindowOnADay(benchmark::State& state) {
    int cam = 0;
    std::vector<double> seconds;
    for (auto _ : state) {
        cam = cam % Cameras + 1;
        QElapsedTimer t;
        t.start();
        auto w = std::make_unique<TRecordingsForm>(context(), cam);
        bool shown = false;
        QObject::connect(w.get(), &TRecordingsForm::dayShown, [&] { shown = true; });
        w->show();
        waitShown(*w, shown);
        seconds.push_back(t.nsecsElapsed() / 1e9);
        state.SetIterationTime(seconds.back());
        if (w->shown().recordings.size() < 24)
            state.SkipWithError("the day was not shown whole");
    }
    report(state, seconds);
}

void SwitchCameraOrDay(benchmark::State& state) {
    auto w = std::make_unique<TRecordingsForm>(context(), 1);
    bool shown = false;
    QObject::connect(w.get(), &TRecordingsForm::dayShown, [&] { shown = true; });
    w->show();
    waitShown(*w, shown);
    std::mt19937 random(11);
    std::vector<double> seconds;
    std::size_t events = 0;
    for (auto _ : state) {
        const int cam = 1 + static_cast<int>(random() % Cameras);
        const QDate day = QDate::currentDate().addDays(-static_cast<int>(random() % Days));
        shown = false;
        QElapsedTimer t;
        t.start();
        w->showDay(cam, day);
        waitShown(*w, shown);
        seconds.push_back(t.nsecsElapsed() / 1e9);
        state.SetIterationTime(seconds.back());
        events += w->shown().events.size();
    }
    state.counters["events_per_day"] =
        seconds.empty() ? 0 : static_cast<double>(events) / static_cast<double>(seconds.size());
    report(state, seconds);
}

// A one-hour recording as the recorder writes it: 352 x 288, 15 fps, a key frame every 45.
fs::path hourRecording() {
    const fs::path file = gDir / "hour.wmv";
    if (fs::exists(file) && fs::exists(gDir / "hour-complete")) {
        RepairAsfIndex(file); // a file from before the index was completed
        return file;
    }
    gst::ensureInitialised();
    std::string error;
    QElapsedTimer t;
    t.start();
    auto pipeline = gst::parsePipeline(
        "videotestsrc num-buffers=54000 pattern=ball ! "
        "video/x-raw,width=352,height=288,framerate=15/1 ! videoconvert ! "
        "norvalewmv1enc bitrate=1024000 key-int-max=45 ! asfmux ! filesink location=" +
            gst::quotedLocation(file.string()),
        error);
    if (!pipeline) {
        std::fprintf(stderr, "cannot make the hour: %s\n", error.c_str());
        return {};
    }
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    gst::Ref<GstBus> bus(gst_element_get_bus(pipeline.get()));
    gst::Message done(gst_bus_timed_pop_filtered(
        bus.get(), GST_CLOCK_TIME_NONE,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    const bool ok = done && GST_MESSAGE_TYPE(done.get()) == GST_MESSAGE_EOS;
    pipeline.reset();
    if (!ok)
        return {};
    // As the recorder finishes its files.
    RepairAsfIndex(file);
    std::ofstream(gDir / "hour-complete").put('x');
    std::printf("one-hour recording made in %.1f s\n", t.elapsed() / 1000.0);
    return file;
}

void SeekIntoAnHour(benchmark::State& state) {
    const fs::path file = hourRecording();
    if (file.empty()) {
        state.SkipWithError("no one-hour recording");
        return;
    }
    constexpr std::int64_t T0 = 1'780'000'000'000;
    std::mutex lock;
    std::condition_variable arrived;
    std::int64_t target = 0;
    bool shown = false;
    TSegmentPlayer player(
        {{}, [](const std::string& f) { std::fprintf(stderr, "damaged: %s\n", f.c_str()); }});
    player.SetFrameListener([&] {
        player.LatestFrame();
        std::lock_guard l(lock);
        const std::int64_t pos = player.position();
        if (target && pos >= target - 100 && pos <= target + 1000) {
            shown = true;
            arrived.notify_all();
        }
    });
    player.setSources({{file, T0}});
    std::mt19937 random(3);
    std::vector<double> seconds;
    for (auto _ : state) {
        {
            std::lock_guard l(lock);
            // Somewhere in the middle half of the hour, off any key frame.
            target = T0 + HourMs / 4 + static_cast<std::int64_t>(random() % (HourMs / 2));
            shown = false;
        }
        const auto began = std::chrono::steady_clock::now();
        player.playFrom(target);
        std::unique_lock l(lock);
        if (!arrived.wait_for(l, std::chrono::seconds(10), [&] { return shown; })) {
            std::fprintf(stderr, "asked %lld, last shown %lld\n",
                         static_cast<long long>(target - T0),
                         static_cast<long long>(player.position() - T0));
            state.SkipWithError("no picture within 10 s");
            break;
        }
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
        state.SetIterationTime(seconds.back());
    }
    report(state, seconds);
}

} // namespace

BENCHMARK(OpenWindowOnADay)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(36);
BENCHMARK(SwitchCameraOrDay)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(SeekIntoAnHour)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (const char* dir = std::getenv("NORVALE_BENCH_DIR"); dir && *dir) {
        gDir = dir;
        fs::create_directories(gDir);
    } else {
        std::string pattern = (fs::temp_directory_path() / "norvale-rw-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return 1;
        gDir = pattern;
    }
    generateIndex();
    gIndex = std::make_unique<IndexService>((gDir / "norvale.db").string(), nullptr, nullptr);
    gBoxes = std::make_unique<PrintingMessageBox>();
    gDesktop = std::make_unique<SystemDesktop>(*gBoxes, [](const QString&) {});
    // The program has shown its wall (fonts loaded, style set up) before any recordings window
    // opens; so has the benchmark.
    {
        QLabel wall(QStringLiteral("Norvale"));
        wall.show();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 200)
            QCoreApplication::processEvents();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gIndex.reset();
    return 0;
}
