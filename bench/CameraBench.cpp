// norvale_camera_bench: N synthetic cameras at 640x480, 15 frames per second, driven through the
// real camera channels (TCamera: actPreview, actSave), the way the wall runs them: the first
// --visible cameras shown in a grid, the others hidden as the wall hides other groups, the first
// M of them recording, each with one viewer (curl, a process of its own) reading its live stream.
// Over a fixed window after a warm-up it measures the CPU time of the process (getrusage) and
// the frames each camera's grabber delivered, then runs the same work as plain gst-launch-1.0
// pipelines (one process, CPU time from /proc) and prints both, with their ratio. Recordings are
// counted frame by frame with ffprobe.
//
// The cameras all show one cheap moving pattern by default (--pattern, or --distinct-patterns for
// each camera's own): some of the distinct patterns cost a tenth of a core each at this size, and
// would measure the test source rather than the program. Previews run at 640x480 because the
// test cameras are told to list that size first (NORVALE_TEST_FIRST_FORMAT); recordings choose
// it through VideoFormatIndex from the device's formats, as the settings dialog would.
//
// --motion turns motion detection on in every camera. The suite also measures its cost: the
// program alone with detection off and on, alternating, and the CPU it adds per camera.
//
// --soak MIN runs the program alone for MIN minutes, a line a minute (memory, descriptors, frames,
// cameras lost, machine load): the recording cameras write 60-second segments, and every 5
// minutes two cameras (one of them recording) are unplugged for 20 s, for their channels to bring
// back by themselves. At the end every segment is counted with ffprobe against what the writer
// encoded into it, the segments of one run are checked to follow each other within a frame, and
// the soak's targets get a pass or a miss.
//
// Otherwise not a test: no pass/fail, only figures. scripts/bench-cameras runs the usual set.
//
//   QT_QPA_PLATFORM=offscreen norvale_camera_bench --cameras 36 --recording 4 --seconds 20
#include "app/camera/Camera.h"
#include "app/camera/VideoWindow.h"
#include "app/shell/SystemDesktop.h"
#include "capture/ASFWriter.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/GreyGrabber.h"
#include "capture/SampleGrabber.h"
#include "capture/SysDevEnum.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGridLayout>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace norvale;
namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFps = 15;
constexpr int kBitRateKbps = 1024; // the camera default

struct Options {
    int cameras = 9;
    int recording = 4;
    int visible = 9; // shown in a square grid; the rest hidden
    double seconds = 20;
    double warmup = 5;
    bool viewers = true;
    bool program = true;
    bool plain = true;
    int basePort = 28801;
    bool keepFiles = false;
    // One videotestsrc pattern for every camera, or empty: each camera its own.
    std::string pattern = "smpte";
    // How the plain previews treat their frames, one plain run each (see PlainPreview).
    std::vector<std::string> plainPreviews = {"shown", "raw"};
    // Program and plain runs alternate this many times; the figures are their medians.
    int rounds = 1;
    // Everything in one go: the camera set above, the hidden set, start-up; one table.
    bool suite = false;
    int hiddenCameras = 27; // the hidden set: this many hidden cameras against bare plain ones
    int starts = 0;         // start-up: start the program this many times (0: not measured)
    double soakMinutes = 0; // --soak: program only, RSS and descriptors every minute
    // Soak only: the recording cameras' segment length, and every so often two cameras (one of
    // them recording) unplugged for a while, to be brought back by their channels (0: never).
    int segmentSeconds = 60;
    double unplugEvery = 300;
    double unplugFor = 20;
    std::string programPath; // the norvale executable (default: next to bin/)
    bool motion = false;     // motion detection on in every camera
    bool motionCost = false; // the program with detection off and on (the suite does it too)
};

// The plain preview branches after their leaky queue:
//   shown: the shown cameras' frames converted and scaled to their tile in 32-bit, as a video
//          sink painting them must; the hidden cameras' frames taken as they come;
//   raw:   every camera's frames taken as they come (nothing displayed at all);
//   rgb:   every frame converted to 24-bit RGB (what the grabber used to cost every camera);
//   bare:  a camera that does not record is just `camera ! fakesink` (no tee, no queue).
const char* const kPlainPreviews[] = {"shown", "raw", "rgb", "bare"};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: norvale_camera_bench [--cameras N] [--recording M] [--visible V]\n"
                         "         [--seconds T] [--warmup W] [--no-viewers] [--port P]\n"
                         "         [--pattern NAME | --distinct-patterns]\n"
                         "         [--program-only | --plain-only] [--plain-preview shown,raw,rgb] "
                         "[--keep-files]\n"
                         "         [--rounds R] [--suite [--hidden H]] [--startup N] "
                         "[--program PATH]\n"
                         "         [--soak MINUTES [--segment S] [--unplug-every S] "
                         "[--unplug-for S]]\n"
                         "         [--motion] [--motion-cost]\n");
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--cameras")
            o.cameras = std::stoi(value());
        else if (a == "--recording")
            o.recording = std::stoi(value());
        else if (a == "--visible")
            o.visible = std::stoi(value());
        else if (a == "--seconds")
            o.seconds = std::stod(value());
        else if (a == "--warmup")
            o.warmup = std::stod(value());
        else if (a == "--port")
            o.basePort = std::stoi(value());
        else if (a == "--viewers")
            o.viewers = true;
        else if (a == "--no-viewers")
            o.viewers = false;
        else if (a == "--program-only")
            o.plain = false;
        else if (a == "--plain-only")
            o.program = false;
        else if (a == "--pattern")
            o.pattern = value();
        else if (a == "--distinct-patterns")
            o.pattern.clear();
        else if (a == "--plain-preview") {
            o.plainPreviews.clear();
            std::istringstream list(value());
            for (std::string item; std::getline(list, item, ',');) {
                if (std::find(std::begin(kPlainPreviews), std::end(kPlainPreviews), item) ==
                    std::end(kPlainPreviews))
                    usage();
                o.plainPreviews.push_back(item);
            }
        } else if (a == "--keep-files")
            o.keepFiles = true;
        else if (a == "--rounds")
            o.rounds = std::stoi(value());
        else if (a == "--suite")
            o.suite = true;
        else if (a == "--hidden")
            o.hiddenCameras = std::stoi(value());
        else if (a == "--startup")
            o.starts = std::stoi(value());
        else if (a == "--program")
            o.programPath = value();
        else if (a == "--soak")
            o.soakMinutes = std::stod(value());
        else if (a == "--segment")
            o.segmentSeconds = std::stoi(value());
        else if (a == "--unplug-every")
            o.unplugEvery = std::stod(value());
        else if (a == "--unplug-for")
            o.unplugFor = std::stod(value());
        else if (a == "--motion")
            o.motion = true;
        else if (a == "--motion-cost")
            o.motionCost = true;
        else
            usage();
    }
    if (o.cameras < 1 || o.cameras > 64 || o.recording < 0 || o.recording > o.cameras ||
        o.visible < 0 || o.seconds <= 0 || o.warmup < 0 || o.rounds < 1 || o.hiddenCameras < 1 ||
        o.hiddenCameras > 64 || o.starts < 0 || o.soakMinutes < 0 || o.segmentSeconds < 0 ||
        o.unplugEvery < 0 || o.unplugFor <= 0)
        usage();
    o.visible = std::min(o.visible, o.cameras);
    return o;
}

// Lets the event loop run for `seconds` (timers, queued repaints, bus messages).
void runLoop(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
    loop.exec();
}

double cpuSecondsSelf() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU time of another process (user + system) from /proc.
double cpuSecondsOf(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime and stime are 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14)
            utime = std::stod(field);
        else if (n == 15)
            stime = std::stod(field);
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Frames ffprobe decodes from a recording (or -1 when it cannot read it).
long framesInFile(const fs::path& file) {
    QProcess p;
    p.start("ffprobe",
            {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
             "stream=nb_read_frames", "-of", "csv=p=0", QString::fromStdString(file.string())});
    if (!p.waitForFinished(60000))
        return -1;
    bool ok = false;
    const long n = p.readAllStandardOutput().trimmed().toLong(&ok);
    return ok ? n : -1;
}

bool portAccepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// One viewer reading the live stream: curl in its own process, so its CPU is not ours. It
// reads for `seconds`, then reports how many bytes it got.
std::unique_ptr<QProcess> startViewer(int port, bool rawTcp, double seconds) {
    auto p = std::make_unique<QProcess>();
    QStringList args = {"-s",         "-N",
                        "-o",         "/dev/null",
                        "-w",         "%{size_download}",
                        "--max-time", QString::number(seconds, 'f', 1)};
    if (rawTcp)
        args << "--http0.9"; // a plain socket sink answers with data, no HTTP head
    args << QString("http://127.0.0.1:%1/").arg(port);
    p->start("curl", args);
    if (!p->waitForStarted(5000))
        std::fprintf(stderr, "viewer on port %d: curl could not be started\n", port);
    return p;
}

qint64 viewerBytes(QProcess& p) {
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished(5000);
    }
    bool ok = false;
    const qint64 bytes = p.readAllStandardOutput().trimmed().toLongLong(&ok);
    return ok ? bytes : -1; // -1: no viewer ran (curl missing?)
}

// A viewer that comes back a second after its stream ends (its camera was lost), as a player set
// to reconnect would: a shell loop around curl, one process for the whole run, so that the
// reconnects cost this process nothing. Each curl run prints the bytes it got on a line.
std::unique_ptr<QProcess> startReconnectingViewer(int port, double seconds) {
    auto p = std::make_unique<QProcess>();
    const QString loop =
        "end=$((SECONDS + $1)); while ((SECONDS < end)); do "
        "curl -s -N -o /dev/null -w '%{size_download}\\n' --max-time $((end - SECONDS)) \"$2\"; "
        "sleep 1; done";
    p->start("bash", {"-c", loop, "viewer", QString::number(static_cast<long>(std::ceil(seconds))),
                      QString("http://127.0.0.1:%1/").arg(port)});
    if (!p->waitForStarted(5000))
        std::fprintf(stderr, "viewer on port %d: bash could not be started\n", port);
    return p;
}

// All bytes a reconnecting viewer got, and how many times curl ran.
qint64 reconnectingViewerBytes(QProcess& p, long& runs) {
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished(5000);
    }
    qint64 bytes = 0;
    runs = 0;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        bool ok = false;
        const qint64 b = line.trimmed().toLongLong(&ok);
        if (ok) {
            bytes += b;
            ++runs;
        }
    }
    return bytes;
}

struct Figures {
    double cpu = 0;
    double window = 0;
    std::vector<long> delivered; // per camera, over the window
    std::vector<double> expected;
    std::vector<long> painted;  // program only
    long motionPictures = 0;    // program only: grey pictures the detectors were fed, all cameras
    long motionEvents = 0;      // program only: motion events begun in the window, all cameras
    std::vector<long> recorded; // frames in the file, -1 when not recording
    std::vector<double> recordExpected;
    std::vector<qint64> viewerBytes; // -1: no viewer
    std::string note;
    QSize tile{315, 236}; // the size shown frames are painted at
    // Program only: memory and descriptors at the end of the window.
    double rssMb = 0, hwmMb = 0, maxRssMb = 0;
    int fds = 0;
    std::vector<std::pair<double, int>> soak; // RSS MB and descriptors, once a minute
    // Soak: per camera the time it was Lost, how often, and the slowest return after a replug;
    // the time its device was unplugged; per recording camera its finished segments.
    struct Segment {
        TRecordingSegment s;
        int run = 0; // graph runs of the camera before this segment's (a loss ends one)
        long fileFrames = -1;
    };
    std::vector<double> lostSeconds, unpluggedSeconds, slowestReturn;
    std::vector<int> losses, unplugs;
    std::vector<std::vector<Segment>> segments;
    std::vector<long> viewerRestarts;
    int filesInFolder = 0;
};

// The resident size now and at its peak (VmRSS, VmHWM of /proc/<pid>/status), in MB.
std::pair<double, double> residentMb(const std::string& pid = "self") {
    std::ifstream in("/proc/" + pid + "/status");
    double rss = 0, hwm = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string key;
        double kb = 0;
        fields >> key >> kb;
        if (key == "VmRSS:")
            rss = kb / 1024;
        else if (key == "VmHWM:")
            hwm = kb / 1024;
    }
    return {rss, hwm};
}

double maxRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024; // kilobytes on Linux
}

int openDescriptors() {
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// The machine's load averages over 1, 5 and 15 minutes: the other work the figures shared it with.
std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The pattern settings of the synthetic cameras (TestCameras.cpp), so the plain pipelines
// generate exactly the same pictures.
const char* const kPatterns[] = {"smpte",  "ball",     "zone-plate", "colors",  "checkers-8",
                                 "spokes", "pinwheel", "gamut",      "circular"};

std::string plainCamera(int number, const std::string& chosen) {
    const std::string pattern =
        chosen.empty() ? kPatterns[(number - 1) % std::size(kPatterns)] : chosen;
    std::string extra = pattern == "ball"         ? " foreground-color=0xFFFFC000"
                        : pattern == "zone-plate" ? " kt=2"
                                                  : " horizontal-speed=2";
    char caps[160];
    std::snprintf(caps, sizeof caps,
                  "video/x-raw,format=YUY2,width=%d,height=%d,framerate=%d/1,"
                  "pixel-aspect-ratio=1/1",
                  kWidth, kHeight, kFps);
    std::ostringstream out;
    out << "videotestsrc is-live=true pattern=" << pattern << extra << " ! textoverlay text=\""
        << testcameras::cameraName(number)
        << "\" font-desc=\"Sans Bold 18\" valignment=top halignment=left "
           "shaded-background=true ! videoconvert ! videobalance ! videoscale ! "
        << caps;
    return out.str();
}

// ---------------------------------------------------------------------------------------------
// The program: real camera channels on a wall.

Figures runProgram(const Options& o, const fs::path& folder) {
    Figures f;
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    std::vector<int> positions;
    for (int n = 1; n <= o.cameras; ++n)
        for (int i = 0; i < devices.DeviceCount(); ++i)
            if (devices.EntryAt(i).FriendlyName == testcameras::cameraName(n)) {
                positions.push_back(i);
                break;
            }
    if (static_cast<int>(positions.size()) != o.cameras) {
        std::fprintf(stderr, "only %zu of %d synthetic cameras listed\n", positions.size(),
                     o.cameras);
        std::exit(1);
    }

    // DeviceFormats as the settings dialog fills it: the formats of the device's output pin.
    TEnumMediaType formats;
    int formatIndex = -1;
    {
        TFilterGraph graph;
        TFilter source;
        source.SetFilterGraph(&graph);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(positions[0]));
        graph.SetActive(true);
        TPinList pins(&source);
        if (pins.Count() > 0)
            formats.LoadFromPin(&pins.FirstPin());
        graph.SetActive(false);
        source.SetFilterGraph(nullptr);
        for (int i = 0; i < formats.Count() && formatIndex < 0; ++i) {
            const AmMediaType& mt = formats.ItemAt(i).MediaType();
            BitmapInfoHeader h;
            if (formats.ItemAt(i).Caps().find("YUY2") != std::string::npos &&
                VideoHeaderOf(mt, h) && h.biWidth == kWidth && std::abs(h.biHeight) == kHeight)
                formatIndex = i;
        }
    }
    if (formatIndex < 0) {
        std::fprintf(stderr, "the synthetic camera offers no YUY2 %dx%d format\n", kWidth, kHeight);
        std::exit(1);
    }

    PrintingMessageBox messages;
    QWidget wall;
    wall.setWindowTitle("Norvale benchmark wall");
    const int columns = std::max(1, static_cast<int>(std::ceil(std::sqrt(o.visible))));
    auto* grid = new QGridLayout(&wall);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(2);
    // One desktop per camera, so that its reports name it.
    std::vector<std::unique_ptr<SystemDesktop>> desktops;
    std::vector<std::unique_ptr<TCamera>> cams;
    std::vector<std::unique_ptr<long>> paints;
    struct PaintCounter : QObject {
        long* count;
        explicit PaintCounter(long* c) : count(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint)
                ++*count;
            return false;
        }
    };
    std::vector<std::unique_ptr<PaintCounter>> counters;
    for (int k = 0; k < o.cameras; ++k) {
        CameraServices s;
        s.videoDevices = &devices;
        s.deviceFormats = &formats;
        desktops.push_back(std::make_unique<SystemDesktop>(messages, [k](const QString& text) {
            std::fprintf(stderr, "camera %d: %s\n", k + 1, qUtf8Printable(text));
        }));
        s.desktop = desktops.back().get();
        s.applicationTitle = "Norvale benchmark";
        auto cam = std::make_unique<TCamera>(&wall, std::move(s));
        cam->setCameraName(QString("Bench %1").arg(k + 1));
        cam->setSaveFilePath(QString::fromStdString(folder.string()));
        cam->setSnapshotPath(QString::fromStdString(folder.string()));
        cam->setBitRate(kBitRateKbps);
        cam->setMMSPort(o.viewers ? o.basePort + k : 0);
        cam->setVideoDeviceIndex(positions[static_cast<size_t>(k)]);
        cam->setVideoFormatIndex(formatIndex);
        if (o.motion) {
            CameraSettings settings = cam->Channel().settings();
            settings.motionDetect = true;
            cam->Channel().setSettings(settings);
            QObject::connect(&cam->Channel(), &CameraChannel::motionStarted,
                             [&f](qint64) { ++f.motionEvents; });
        }
        paints.push_back(std::make_unique<long>(0));
        counters.push_back(std::make_unique<PaintCounter>(paints.back().get()));
        cam->VideoWindow()->installEventFilter(counters.back().get());
        if (k < o.visible) {
            grid->addWidget(cam.get(), k / columns, k % columns);
        } else {
            cam->setGeometry(0, 0, 320, 260);
            cam->hide(); // another group: hidden, as the wall hides it
        }
        cams.push_back(std::move(cam));
    }
    // About a 1024 x 768 wall for a 3 x 3 grid.
    wall.resize(340 * columns, 256 * columns);
    wall.show();
    QApplication::processEvents();

    // Soak bookkeeping: all on this thread but the segment lists, which the writers fill from
    // their own threads.
    const bool soaking = o.soakMinutes > 0;
    struct SoakCamera {
        std::mutex lock;
        std::vector<Figures::Segment> segments;
        std::atomic<int> run{0};
        QElapsedTimer lostAt, unpluggedAt, replugAt; // valid while it is so
        double lost = 0, unplugged = 0, slowestReturn = 0;
        int losses = 0, unplugs = 0;
    };
    std::vector<std::unique_ptr<SoakCamera>> soakCams;
    for (size_t k = 0; k < cams.size(); ++k) {
        soakCams.push_back(std::make_unique<SoakCamera>());
        SoakCamera* sc = soakCams.back().get();
        // Every recording's files, soaking or not: a file's frames are counted against what the
        // writer encoded into it.
        if (static_cast<int>(k) < o.recording) {
            if (soaking)
                cams[k]->setSegmentSeconds(o.segmentSeconds);
            cams[k]->Channel().writer().SetOnSegmentFinished([sc](const TRecordingSegment& seg) {
                std::lock_guard lock(sc->lock);
                sc->segments.push_back({seg, sc->run.load(), -1});
            });
        }
        if (!soaking)
            continue;
        QObject::connect(
            &cams[k]->Channel(), &CameraChannel::stateEntered, &wall, [sc](ChannelState state) {
                if (state == ChannelState::Lost) {
                    if (!sc->lostAt.isValid()) {
                        sc->lostAt.start();
                        ++sc->losses;
                        ++sc->run;
                    }
                } else if ((state == ChannelState::Previewing ||
                            state == ChannelState::Recording) &&
                           sc->lostAt.isValid()) {
                    sc->lost += static_cast<double>(sc->lostAt.nsecsElapsed()) / 1e9;
                    sc->lostAt.invalidate();
                    if (sc->replugAt.isValid())
                        sc->slowestReturn =
                            std::max(sc->slowestReturn,
                                     static_cast<double>(sc->replugAt.nsecsElapsed()) / 1e9);
                    sc->replugAt.invalidate();
                }
            });
    }

    for (auto& cam : cams)
        cam->actPreview()->execute();
    std::vector<QElapsedTimer> recordClocks(static_cast<size_t>(o.recording));
    for (int k = 0; k < o.recording; ++k) {
        cams[static_cast<size_t>(k)]->actSave()->execute();
        recordClocks[static_cast<size_t>(k)].start();
    }

    std::vector<std::unique_ptr<QProcess>> viewers;
    if (o.viewers && o.recording > 0) {
        runLoop(0.5);
        bool served = true;
        for (int k = 0; k < o.recording && served; ++k)
            served = portAccepts(o.basePort + k);
        if (served) {
            for (int k = 0; k < o.recording; ++k)
                viewers.push_back(
                    soaking ? startReconnectingViewer(o.basePort + k, o.warmup + o.seconds + 0.5)
                            : startViewer(o.basePort + k, false, o.warmup + o.seconds + 0.5));
        } else {
            f.note = "viewers: none, the writer does not serve the live stream (yet)";
        }
    }

    runLoop(o.warmup);
    std::vector<std::uint64_t> start;
    std::vector<long> paintStart;
    std::uint64_t motionStart = 0;
    const long motionEventsStart = f.motionEvents;
    for (size_t k = 0; k < cams.size(); ++k) {
        start.push_back(cams[k]->VideoSampleGrabber().FramesDelivered());
        paintStart.push_back(*paints[k]);
        motionStart += cams[k]->Channel().motionGrabber().PicturesDelivered();
    }
    QElapsedTimer window;
    const double cpu0 = cpuSecondsSelf();
    window.start();
    if (soaking) {
        // Every so often two cameras go (at least one of them recording) and come back a while
        // later; their channels must notice both by themselves. The unplug falls 20 s past a
        // minute, so the minute's sample finds every camera back.
        if (o.unplugEvery > 0) {
            for (int i = 1;; ++i) {
                const double at = i * o.unplugEvery + 20;
                if (at + o.unplugFor + 10 > o.seconds)
                    break;
                std::vector<int> which = {(i - 1) % std::max(1, o.recording)};
                if (o.cameras > o.recording)
                    which.push_back(o.recording + (i - 1) % (o.cameras - o.recording));
                else if (o.cameras > 1)
                    which.push_back((which[0] + 1) % o.cameras);
                for (int k : which) {
                    SoakCamera* sc = soakCams[static_cast<size_t>(k)].get();
                    QTimer::singleShot(static_cast<int>(at * 1000), Qt::PreciseTimer, &wall,
                                       [k, sc] {
                                           testcameras::setUnplugged(k + 1, true);
                                           sc->unpluggedAt.start();
                                           ++sc->unplugs;
                                       });
                    QTimer::singleShot(static_cast<int>((at + o.unplugFor) * 1000),
                                       Qt::PreciseTimer, &wall, [k, sc] {
                                           testcameras::setUnplugged(k + 1, false);
                                           sc->unplugged +=
                                               static_cast<double>(sc->unpluggedAt.nsecsElapsed()) /
                                               1e9;
                                           sc->unpluggedAt.invalidate();
                                           sc->replugAt.start();
                                       });
                }
            }
        }
        // One line a minute; the process holds only the cameras, so its growth is theirs.
        std::printf("\n  minute   RSS MB   peak MB   descriptors   frames delivered   min/camera "
                    "     lost   load 1/5/15 min\n");
        std::fflush(stdout);
        std::vector<std::uint64_t> previous = start;
        const int minutes = static_cast<int>(std::ceil(o.seconds / 60));
        for (int m = 1; m <= minutes; ++m) {
            runLoop(std::min(60.0, o.seconds - 60.0 * (m - 1)));
            const auto [rss, hwm] = residentMb();
            std::uint64_t frames = 0, fewest = UINT64_MAX;
            size_t fewestAt = 0;
            int lost = 0;
            for (size_t k = 0; k < cams.size(); ++k) {
                const std::uint64_t now = cams[k]->VideoSampleGrabber().FramesDelivered();
                const std::uint64_t d = now - previous[k];
                previous[k] = now;
                frames += d;
                if (d < fewest) {
                    fewest = d;
                    fewestAt = k;
                }
                lost += cams[k]->Lost() ? 1 : 0;
            }
            const int fds = openDescriptors();
            std::printf("  %6d  %7.1f  %8.1f  %12d  %17llu   %5llu (cam %2zu)  %4d   %s\n", m, rss,
                        hwm, fds, static_cast<unsigned long long>(frames),
                        static_cast<unsigned long long>(fewest), fewestAt + 1, lost,
                        loadAverage().c_str());
            std::fflush(stdout);
            f.soak.push_back({rss, fds});
        }
    } else {
        runLoop(o.seconds);
    }
    const double cpu1 = cpuSecondsSelf();
    std::tie(f.rssMb, f.hwmMb) = residentMb();
    f.maxRssMb = maxRssMb();
    f.fds = openDescriptors();
    f.window = static_cast<double>(window.nsecsElapsed()) / 1e9;
    if (o.visible > 0)
        if (auto frame = cams[0]->VideoRenderer().LatestFrame())
            f.tile = QSize(frame->Width(), frame->Height());
    f.cpu = cpu1 - cpu0;
    for (size_t k = 0; k < cams.size(); ++k) {
        f.delivered.push_back(
            static_cast<long>(cams[k]->VideoSampleGrabber().FramesDelivered() - start[k]));
        // A soak's unplugged time has no frames to deliver.
        f.expected.push_back((f.window - soakCams[k]->unplugged) * kFps);
        f.painted.push_back(*paints[k] - paintStart[k]);
        f.motionPictures +=
            static_cast<long>(cams[k]->Channel().motionGrabber().PicturesDelivered());
    }
    f.motionPictures -= static_cast<long>(motionStart);
    f.motionEvents -= motionEventsStart;

    for (auto& v : viewers) {
        if (!soaking) {
            f.viewerBytes.push_back(viewerBytes(*v));
            continue;
        }
        long runs = 0;
        f.viewerBytes.push_back(reconnectingViewerBytes(*v, runs));
        f.viewerRestarts.push_back(std::max(0L, runs - 1));
    }
    std::vector<QString> files;
    std::vector<double> recorded;
    for (int k = 0; k < o.recording; ++k) {
        files.push_back(cams[static_cast<size_t>(k)]->lastRecordingFile());
        recorded.push_back(
            static_cast<double>(recordClocks[static_cast<size_t>(k)].nsecsElapsed()) / 1e9);
        cams[static_cast<size_t>(k)]->StopRecording();
    }
    for (auto& cam : cams)
        cam->StopAll();
    if (soaking) {
        // Every segment counted once, at the end: frames in the file against what the writer
        // says it encoded into it.
        for (size_t k = 0; k < cams.size(); ++k) {
            SoakCamera& sc = *soakCams[k];
            f.lostSeconds.push_back(sc.lost);
            f.unpluggedSeconds.push_back(sc.unplugged);
            f.slowestReturn.push_back(sc.slowestReturn);
            f.losses.push_back(sc.losses);
            f.unplugs.push_back(sc.unplugs);
            std::lock_guard lock(sc.lock);
            f.segments.push_back(sc.segments);
        }
        for (auto& list : f.segments)
            for (auto& seg : list)
                seg.fileFrames = framesInFile(seg.s.file);
        std::error_code ec;
        for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            f.filesInFolder += it->is_regular_file() ? 1 : 0;
    }
    for (size_t k = 0; k < cams.size(); ++k) {
        if (soaking && static_cast<int>(k) < o.recording) {
            long inFiles = 0, encoded = 0;
            for (const auto& seg : f.segments[k]) {
                inFiles += std::max(0L, seg.fileFrames);
                encoded += static_cast<long>(seg.s.frames);
            }
            f.recorded.push_back(inFiles);
            f.recordExpected.push_back(static_cast<double>(encoded));
        } else if (static_cast<int>(k) < o.recording) {
            // Against what the writer encoded into the file: the encoder drops frames by design
            // to hold the bit rate (after the first key frame, say), and the camera takes a
            // moment to start recording after Save; neither is a frame lost. Without that count,
            // the time the recording ran.
            std::uint64_t encoded = 0;
            {
                std::lock_guard lock(soakCams[k]->lock);
                for (const auto& seg : soakCams[k]->segments)
                    encoded += seg.s.frames;
            }
            f.recorded.push_back(framesInFile(files[k].toStdString()));
            f.recordExpected.push_back(encoded > 0 ? static_cast<double>(encoded)
                                                   : recorded[k] * kFps);
        } else {
            f.recorded.push_back(-1);
            f.recordExpected.push_back(0);
        }
    }
    cams.clear();
    return f;
}

// ---------------------------------------------------------------------------------------------
// The same work as plain gst-launch-1.0 pipelines, one process.

std::string plainPreviewBranch(const std::string& preview, bool shown, QSize tile) {
    if (preview == "rgb")
        return "videoconvert ! video/x-raw,format=BGR ! ";
    if (preview == "shown" && shown) {
        std::ostringstream out;
        out << "videoconvertscale ! video/x-raw,format=BGRx,width=" << tile.width()
            << ",height=" << tile.height() << " ! ";
        return out.str();
    }
    return {};
}

Figures runPlain(const Options& o, const fs::path& folder, const std::string& preview, QSize tile) {
    Figures f;
    std::ostringstream description;
    for (int n = 1; n <= o.cameras; ++n) {
        if (preview == "bare" && n > o.recording) {
            description << plainCamera(n, o.pattern) << " ! fpsdisplaysink name=p" << n
                        << " video-sink=fakesink text-overlay=false sync=false "
                           "fps-update-interval=500 ";
            continue;
        }
        description << plainCamera(n, o.pattern) << " ! tee name=t" << n << ' ';
        // Preview: a leaky queue and a sink that counts frames (with --plain-convert, every
        // frame converted to 24-bit RGB first).
        description << "t" << n
                    << ". ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 "
                       "max-size-time=0 ! "
                    << plainPreviewBranch(preview, n <= o.visible, tile) << "fpsdisplaysink name=p"
                    << n
                    << " video-sink=fakesink text-overlay=false sync=false "
                       "fps-update-interval=500 ";
        if (n > o.recording)
            continue;
        const fs::path file = folder / ("plain-" + std::to_string(n) + ".wmv");
        description << "t" << n
                    << ". ! queue leaky=downstream max-size-buffers=0 max-size-bytes=0 "
                       "max-size-time=2000000000 ! videoconvert ! avenc_wmv1 bitrate="
                    << kBitRateKbps * 1000 << " gop-size=45 ! ";
        if (o.viewers) {
            // The live branch after the encoder, as the writer has it.
            description << "tee name=e" << n
                        << " ! queue ! asfmux packet-size=1400 ! filesink location=\""
                        << file.string() << "\" e" << n
                        << ". ! queue leaky=downstream ! asfmux streamable=true packet-size=1400 "
                           "! tcpserversink host=127.0.0.1 sync=false port="
                        << o.basePort + 100 + n << ' ';
        } else {
            description << "asfmux packet-size=1400 ! filesink location=\"" << file.string()
                        << "\" ";
        }
    }

    QProcess launch;
    std::map<int, std::pair<double, long>> latest; // sink -> (time, rendered)
    QElapsedTimer clock;
    clock.start();
    QByteArray pending;
    const QRegularExpression line(R"(GstFPSDisplaySink:p(\d+): last-message = rendered: (\d+))");
    QObject::connect(&launch, &QProcess::readyReadStandardOutput, [&] {
        pending += launch.readAllStandardOutput();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString text = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            const auto m = line.match(text);
            if (m.hasMatch())
                latest[m.captured(1).toInt()] = {static_cast<double>(clock.nsecsElapsed()) / 1e9,
                                                 m.captured(2).toLong()};
        }
    });
    QStringList args = {"-e", "-v"};
    // Split as a shell would: gst-launch takes each argument as one token.
    args << QProcess::splitCommand(QString::fromStdString(description.str()));
    launch.setProcessChannelMode(QProcess::SeparateChannels);
    launch.start("gst-launch-1.0", args);
    if (!launch.waitForStarted(10000)) {
        f.note = "gst-launch-1.0 did not start";
        return f;
    }
    QElapsedTimer recordClock;
    recordClock.start();

    std::vector<std::unique_ptr<QProcess>> viewers;
    if (o.viewers) {
        // Viewers once every live stream listens (a loaded machine takes a while to get there).
        QElapsedTimer listening;
        listening.start();
        auto allListen = [&] {
            for (int n = 1; n <= o.recording; ++n)
                if (!portAccepts(o.basePort + 100 + n))
                    return false;
            return true;
        };
        do
            runLoop(0.25);
        while (!allListen() && listening.elapsed() < 10000);
        for (int n = 1; n <= o.recording; ++n)
            viewers.push_back(startViewer(o.basePort + 100 + n, true, o.warmup + o.seconds + 0.5));
    }
    runLoop(o.warmup);
    if (launch.state() != QProcess::Running) {
        f.note =
            "gst-launch-1.0 ended early: " + launch.readAllStandardError().left(400).toStdString() +
            launch.readAllStandardOutput().left(400).toStdString() +
            "\npipelines: " + description.str();
        return f;
    }
    const auto first = latest;
    const double cpu0 = cpuSecondsOf(launch.processId());
    const double t0 = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    runLoop(o.seconds);
    const double cpu1 = cpuSecondsOf(launch.processId());
    const double t1 = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const auto last = latest;
    f.cpu = cpu1 - cpu0;
    f.window = t1 - t0;
    for (int n = 1; n <= o.cameras; ++n) {
        // Counts arrive twice a second: frames between the two reports nearest the window's
        // ends, against what that span should have brought.
        auto a = first.find(n), b = last.find(n);
        if (a == first.end() || b == last.end()) {
            f.delivered.push_back(0);
            f.expected.push_back(f.window * kFps);
        } else {
            f.delivered.push_back(b->second.second - a->second.second);
            f.expected.push_back((b->second.first - a->second.first) * kFps);
        }
    }
    for (auto& v : viewers)
        f.viewerBytes.push_back(viewerBytes(*v));
    // -e: an interrupt ends the stream, so the files are finished. Only ever the child itself.
    const qint64 pid = launch.processId();
    if (pid > 0 && launch.state() == QProcess::Running)
        ::kill(static_cast<pid_t>(pid), SIGINT);
    else
        f.note =
            "gst-launch-1.0 ended early: " + launch.readAllStandardError().left(400).toStdString();
    const double recorded = static_cast<double>(recordClock.nsecsElapsed()) / 1e9;
    if (!launch.waitForFinished(30000)) {
        launch.kill();
        launch.waitForFinished(5000);
    }
    for (int n = 1; n <= o.cameras; ++n) {
        if (n <= o.recording) {
            f.recorded.push_back(framesInFile(folder / ("plain-" + std::to_string(n) + ".wmv")));
            f.recordExpected.push_back(recorded * kFps);
        } else {
            f.recorded.push_back(-1);
            f.recordExpected.push_back(0);
        }
    }
    return f;
}

// ---------------------------------------------------------------------------------------------
// Start-up: the real executable, copied into a private folder with what an installed copy holds
// and a setup.ini whose 36 cameras are bound to synthetic devices, timed from exec until it
// reports its wall painted (NORVALE_REPORT_PAINTED), then ended as a user's logout would.

struct Startup {
    std::vector<double> seconds; // one per start that painted
    double rssMb = 0;            // the largest resident size right after painting
    std::string note;
};

Startup measureStartup(const Options& o, const fs::path& folder) {
    Startup s;
    const fs::path exe =
        o.programPath.empty()
            ? fs::path(QCoreApplication::applicationDirPath().toStdString()).parent_path() /
                  "norvale"
            : fs::path(o.programPath);
    const fs::path from = exe.parent_path();
    const fs::path inst = folder / "installed";
    const fs::path tmp = folder / "startup-tmp";
    std::error_code ec;
    fs::create_directories(inst, ec);
    fs::create_directories(tmp, ec);
    fs::permissions(tmp, fs::perms::owner_all, ec); // a runtime folder is private
    fs::copy_file(exe, inst / "norvale", fs::copy_options::overwrite_existing, ec);
    if (ec) {
        s.note = "start-up: cannot copy " + exe.string() + ": " + ec.message();
        return s;
    }
    for (const char* file : {"update.dll", "Enc.ini"})
        if (fs::exists(from / file))
            fs::copy_file(from / file, inst / file, fs::copy_options::overwrite_existing, ec);
    for (const char* dir : {"locale", "assets"})
        if (fs::exists(from / dir))
            fs::copy(from / dir, inst / dir,
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    {
        std::ofstream ini(inst / "setup.ini");
        ini << "[System]\nCurrentCnt=9\nCurrentIndex=1\n";
        for (int n = 1; n <= 36; ++n)
            ini << "[Camera" << n << "]\nName=Camera " << n << "\nVideoDeviceIndex=" << n - 1
                << "\nSaveFilePath=" << folder.string() << "/\nSnapshotPath=" << folder.string()
                << "/\n";
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString private_ = QString::fromStdString(tmp.string());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("NORVALE_TEST_DEVICES", "36");
    env.insert("NORVALE_PRINT_MESSAGES", "1");
    env.insert("NORVALE_REPORT_PAINTED", "1");
    env.insert("TMPDIR", private_);
    env.insert("XDG_RUNTIME_DIR", private_);
    env.insert("XDG_CONFIG_HOME", private_);
    for (int i = 0; i < o.starts; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setProgram(QString::fromStdString((inst / "norvale").string()));
        p.setProcessChannelMode(QProcess::SeparateChannels);
        QElapsedTimer t;
        t.start();
        p.start();
        QByteArray out;
        bool painted = false;
        while (!painted && t.elapsed() < 30000) {
            if (!p.waitForReadyRead(100)) {
                if (p.state() == QProcess::NotRunning)
                    break;
                continue;
            }
            out += p.readAllStandardOutput();
            painted = out.contains("wall painted\n");
        }
        const double seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
        if (painted) {
            s.seconds.push_back(seconds);
            s.rssMb = std::max(s.rssMb, residentMb(std::to_string(p.processId())).first);
        } else {
            s.note = "start-up: no painted wall within 30 s: " +
                     p.readAllStandardError().left(300).toStdString();
        }
        // Only ever the child itself; it shuts down as on logout.
        if (p.state() == QProcess::Running && p.processId() > 0)
            ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    return s;
}

// ---------------------------------------------------------------------------------------------
// Output

struct Summary {
    long delivered = 0;
    double expected = 0;
    int short_ = 0; // cameras that delivered more than one frame less than expected
    long recorded = 0;
    double recordExpected = 0;
};

Summary summarise(const Figures& f) {
    Summary s;
    for (size_t k = 0; k < f.delivered.size(); ++k) {
        s.delivered += f.delivered[k];
        s.expected += f.expected[k];
        // One frame either way is where the window's ends fall between frames.
        if (static_cast<double>(f.delivered[k]) < f.expected[k] - 1.5)
            ++s.short_;
        if (f.recorded[k] >= 0) {
            s.recorded += f.recorded[k];
            s.recordExpected += f.recordExpected[k];
        }
    }
    return s;
}

void printPerCamera(const Options& o, const Figures* program, const Figures* plain) {
    std::printf("\n camera  shown  rec | program: frames/expected  painted  file frames/expected"
                " | first plain: frames/expected  file frames/expected\n");
    for (int k = 0; k < o.cameras; ++k) {
        const size_t i = static_cast<size_t>(k);
        std::printf("  %3d    %-5s  %-3s |", k + 1, k < o.visible ? "yes" : "no",
                    k < o.recording ? "yes" : "-");
        if (program && i < program->delivered.size()) {
            std::printf("  %6ld/%-6.0f  %8ld ", program->delivered[i], program->expected[i],
                        program->painted[i]);
            if (program->recorded[i] >= 0)
                std::printf("  %9ld/%-9.0f", program->recorded[i], program->recordExpected[i]);
            else
                std::printf("  %19s", "");
        } else {
            std::printf("  %40s", "");
        }
        std::printf(" |");
        if (plain && i < plain->delivered.size()) {
            std::printf("  %6ld/%-6.0f ", plain->delivered[i], plain->expected[i]);
            if (plain->recorded[i] >= 0)
                std::printf("  %9ld/%-9.0f", plain->recorded[i], plain->recordExpected[i]);
        }
        std::printf("\n");
    }
}

void printSummary(const char* label, const Figures& f) {
    const Summary s = summarise(f);
    std::printf("  %-26s %7.2f  %5.0f%%  %7ld/%-7.0f (%5.1f%%, %2d cameras short)", label, f.cpu,
                f.window > 0 ? 100.0 * f.cpu / f.window : 0.0, s.delivered, s.expected,
                s.expected > 0 ? 100.0 * static_cast<double>(s.delivered) / s.expected : 0.0,
                s.short_);
    if (s.recordExpected > 0)
        std::printf("  %6ld/%-6.0f", s.recorded, s.recordExpected);
    std::printf("\n");
    if (!f.viewerBytes.empty()) {
        std::printf("  %-26s viewer bytes:", "");
        for (qint64 b : f.viewerBytes)
            std::printf(" %lld", static_cast<long long>(b));
        std::printf("\n");
    }
    if (!f.note.empty())
        std::printf("  %-26s %s\n", "", f.note.c_str());
}

// One camera set: program and plain pipelines alternating, `rounds` times, so every kind sees
// the same machine load.
struct Comparison {
    std::vector<Figures> program;                                    // one per round
    std::vector<std::pair<std::string, std::vector<Figures>>> plain; // per preview, per round
};

Comparison compare(const Options& o, const fs::path& folder) {
    Comparison c;
    if (o.plain)
        for (const std::string& preview : o.plainPreviews)
            c.plain.emplace_back(preview, std::vector<Figures>{});
    for (int r = 1; r <= o.rounds; ++r) {
        if (o.rounds > 1) {
            std::printf("  round %d of %d ...\n", r, o.rounds);
            std::fflush(stdout);
        }
        QSize tile{315, 236};
        if (o.program) {
            c.program.push_back(runProgram(o, folder));
            tile = c.program.back().tile;
        }
        for (auto& [preview, runs] : c.plain)
            runs.push_back(runPlain(o, folder, preview, tile));
    }
    return c;
}

std::vector<double> cpuOf(const std::vector<Figures>& runs) {
    std::vector<double> v;
    for (const Figures& f : runs)
        v.push_back(f.window > 0 ? f.cpu * 20 / f.window : 0); // CPU s per 20 s
    return v;
}

// Per round, program CPU over plain CPU.
std::vector<double> ratios(const Comparison& c, const std::vector<Figures>& plain) {
    std::vector<double> v;
    const std::vector<double> a = cpuOf(c.program), b = cpuOf(plain);
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (b[i] > 0)
            v.push_back(a[i] / b[i]);
    return v;
}

std::string joined(const std::vector<double>& v, const char* format) {
    std::string out;
    for (double x : v) {
        char text[32];
        std::snprintf(text, sizeof text, format, x);
        if (!out.empty())
            out += ' ';
        out += text;
    }
    return out;
}

void printComparison(const Options& o, const Comparison& c) {
    printPerCamera(o, c.program.empty() ? nullptr : &c.program.back(),
                   c.plain.empty() || c.plain.front().second.empty()
                       ? nullptr
                       : &c.plain.front().second.back());
    std::printf("\n  %-26s %7s  %6s  %-46s  %s\n", "", "CPU s", "CPU",
                "frames delivered / expected", "recorded frames");
    for (size_t r = 0; r < static_cast<size_t>(o.rounds); ++r) {
        if (o.rounds > 1)
            std::printf("  round %zu\n", r + 1);
        if (r < c.program.size())
            printSummary("program (TCamera)", c.program[r]);
        for (const auto& [preview, runs] : c.plain)
            if (r < runs.size())
                printSummary(("plain, previews " + preview).c_str(), runs[r]);
    }
    std::fflush(stdout);
}

// The table of figures and targets.
struct Row {
    std::string figure, measured, target;
    int met = -1; // 1 met, 0 not met, -1 no target
};

void addRow(std::vector<Row>& rows, std::string figure, std::string measured, std::string target,
            int met) {
    rows.push_back({std::move(figure), std::move(measured), std::move(target), met});
}

std::string format(const char* f, double x) {
    char text[64];
    std::snprintf(text, sizeof text, f, x);
    return text;
}

bool allDelivered(const std::vector<Figures>& runs, std::string& text) {
    long delivered = 0;
    double expected = 0;
    int short_ = 0;
    for (const Figures& f : runs) {
        const Summary s = summarise(f);
        delivered += s.delivered;
        expected += s.expected;
        short_ += s.short_;
    }
    text = std::to_string(delivered) + "/" + format("%.0f", expected) + ", " +
           std::to_string(short_) + " camera runs short";
    return short_ == 0;
}

bool allRecorded(const std::vector<Figures>& runs, std::string& text) {
    long recorded = 0;
    double expected = 0;
    bool ok = true;
    for (const Figures& f : runs)
        for (size_t k = 0; k < f.recorded.size(); ++k) {
            if (f.recordExpected[k] <= 0)
                continue;
            recorded += std::max(0L, f.recorded[k]);
            expected += f.recordExpected[k];
            // Two frames either way are where the recording clock's ends fall.
            ok = ok && static_cast<double>(f.recorded[k]) >= f.recordExpected[k] - 2.5;
        }
    text = std::to_string(recorded) + "/" + format("%.0f", expected);
    return ok;
}

void cameraSetRows(std::vector<Row>& rows, const Options& o, const Comparison& c) {
    const std::string set = std::to_string(o.cameras) + " cameras (" + std::to_string(o.visible) +
                            " shown, " + std::to_string(o.recording) + " recording)";
    const double limits[] = {1.10, 1.25};
    for (const auto& [preview, runs] : c.plain) {
        const std::vector<double> r = ratios(c, runs);
        if (r.empty())
            continue;
        const double limit = preview == "shown" ? limits[0] : preview == "raw" ? limits[1] : 0;
        const double m = median(r);
        addRow(rows, set + ": CPU ratio to plain, previews " + preview,
               format("%.2f", m) + " (rounds " + joined(r, "%.2f") + "; CPU s/20 s " +
                   format("%.2f", median(cpuOf(c.program))) + " vs " +
                   format("%.2f", median(cpuOf(runs))) + ")",
               limit > 0 ? "at most " + format("%.2f", limit) : "", limit > 0 ? m <= limit : -1);
    }
    if (!c.program.empty()) {
        std::string text;
        const bool ok = allDelivered(c.program, text);
        addRow(rows, set + ": frames delivered", text, "every frame", ok);
        if (o.recording > 0) {
            const bool rec = allRecorded(c.program, text);
            addRow(rows, set + ": recorded frames in the files", text, "every frame", rec);
        }
        std::vector<double> hwm, maxrss;
        for (const Figures& f : c.program) {
            hwm.push_back(f.hwmMb);
            maxrss.push_back(f.maxRssMb);
        }
        const double peak = *std::max_element(hwm.begin(), hwm.end());
        addRow(rows, set + ": peak RSS of the camera process, MB",
               format("%.0f", peak) + " (VmHWM; getrusage " +
                   format("%.0f", *std::max_element(maxrss.begin(), maxrss.end())) + "; VmRSS " +
                   format("%.0f", c.program.back().rssMb) + ", " +
                   std::to_string(c.program.back().fds) + " descriptors)",
               "at most 512", peak <= 512);
    }
}

void printRows(const std::vector<Row>& rows) {
    size_t a = 6, b = 8;
    for (const Row& r : rows) {
        a = std::max(a, r.figure.size());
        b = std::max(b, r.measured.size());
    }
    std::printf("\n  %-*s  %-*s  %-12s  %s\n", static_cast<int>(a), "figure", static_cast<int>(b),
                "measured", "target", "met");
    for (const Row& r : rows)
        std::printf("  %-*s  %-*s  %-12s  %s\n", static_cast<int>(a), r.figure.c_str(),
                    static_cast<int>(b), r.measured.c_str(), r.target.c_str(),
                    r.met < 0 ? ""
                    : r.met   ? "yes"
                              : "NO");
    std::fflush(stdout);
}

void printLoad() {
    std::printf("  machine load average: %s (%ld cores)\n", loadAverage().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The soak's end: per recording camera its segments, then one row per target.

void soakRows(std::vector<Row>& rows, const Options& o, const Figures& f) {
    const double frameTime = 1.0 / kFps;
    bool everyFrameInFiles = true, noGap = true;
    long inFiles = 0, encoded = 0;
    int segments = 0;
    double widestGap = 0, widestOverlap = 0;
    for (size_t k = 0; k < f.segments.size(); ++k) {
        if (f.segments[k].empty())
            continue;
        std::printf("\n  camera %zu: %zu segments (lost %d times, %.1f s)\n", k + 1,
                    f.segments[k].size(), f.losses[k], f.lostSeconds[k]);
        std::printf("    seg  run   writer frames   file frames   stream start..end s      gap "
                    "to previous ms   file\n");
        long camFiles = 0, camEncoded = 0;
        for (size_t i = 0; i < f.segments[k].size(); ++i) {
            const auto& seg = f.segments[k][i];
            const double start = std::chrono::duration<double>(seg.s.streamStart).count();
            const double end = std::chrono::duration<double>(seg.s.streamEnd).count();
            std::string gap = "-";
            if (i > 0) {
                const auto& before = f.segments[k][i - 1];
                if (before.run != seg.run) {
                    gap = "(camera lost)";
                } else {
                    // From the end of the last frame before to the first frame of this one.
                    const double g =
                        start - std::chrono::duration<double>(before.s.streamEnd).count();
                    gap = format("%+.1f", g * 1000);
                    widestGap = std::max(widestGap, g);
                    widestOverlap = std::min(widestOverlap, g);
                    if (std::abs(g) > frameTime + 0.001)
                        noGap = false;
                }
            }
            std::printf("    %3zu  %3d   %13llu   %11ld   %8.3f..%-8.3f   %16s   %s\n", i + 1,
                        seg.run, static_cast<unsigned long long>(seg.s.frames), seg.fileFrames,
                        start, end, gap.c_str(), seg.s.file.filename().c_str());
            // A file the writer opened but never wrote a frame into may be gone (a return that
            // failed removes it); anything else must hold exactly what was encoded into it.
            if (seg.fileFrames != static_cast<long>(seg.s.frames) &&
                !(seg.fileFrames < 0 && seg.s.frames == 0))
                everyFrameInFiles = false;
            camFiles += std::max(0L, seg.fileFrames);
            camEncoded += static_cast<long>(seg.s.frames);
        }
        std::printf("    sum: %ld frames in the files, %ld encoded\n", camFiles, camEncoded);
        inFiles += camFiles;
        encoded += camEncoded;
        segments += static_cast<int>(f.segments[k].size());
    }
    std::printf("\n  files in the recording folder: %d, segments reported: %d\n", f.filesInFolder,
                segments);
    if (!f.viewerRestarts.empty()) {
        std::printf("  viewer reconnects:");
        for (long r : f.viewerRestarts)
            std::printf(" %ld", r);
        std::printf("\n");
    }

    // Memory and descriptors from the end of minute 5 (pools, caches and the first segments
    // settled) to the end; a shorter soak counts from minute 1.
    if (f.soak.size() >= 2) {
        const size_t from = f.soak.size() > 5 ? 4 : 0;
        const auto [baseRss, baseFds] = f.soak[from];
        double highest = baseRss;
        int fewestFds = baseFds, mostFds = baseFds;
        for (size_t m = from; m < f.soak.size(); ++m) {
            highest = std::max(highest, f.soak[m].first);
            fewestFds = std::min(fewestFds, f.soak[m].second);
            mostFds = std::max(mostFds, f.soak[m].second);
        }
        const double growth = f.soak.back().first - baseRss;
        addRow(rows, "soak: RSS growth after minute " + std::to_string(from + 1) + ", MB",
               format("%+.1f", growth) + " (" + format("%.1f", baseRss) + " -> " +
                   format("%.1f", f.soak.back().first) + ", highest " + format("%.1f", highest) +
                   ")",
               "at most 5", growth <= 5.0);
        addRow(rows, "soak: open descriptors after minute " + std::to_string(from + 1),
               std::to_string(baseFds) + " -> " + std::to_string(f.soak.back().second) +
                   " (range " + std::to_string(fewestFds) + ".." + std::to_string(mostFds) + ")",
               "no change", fewestFds == baseFds && mostFds == baseFds);
    }

    // Every frame: the camera's rate over the window less the time its channel was Lost. The
    // synthetic cameras never announce their return, so a channel finds them at its next try
    // of the back-off (1, 2, 4 ... s after the loss), not within the 3 s an announced return
    // has: the time lost beyond the unplugged time is that wait, shown on its own.
    double nextTry = 0, step = 1;
    while (nextTry < o.unplugFor) {
        nextTry += step;
        step = std::min(step * 2, 60.0);
    }
    long delivered = 0;
    double expected = 0, expectedUnplugged = 0;
    int short_ = 0, unplugs = 0;
    double longestLoss = 0, slowest = 0;
    for (size_t k = 0; k < f.delivered.size(); ++k) {
        const double want = (f.window - f.lostSeconds[k]) * kFps;
        delivered += f.delivered[k];
        expected += want;
        expectedUnplugged += (f.window - f.unpluggedSeconds[k]) * kFps;
        // One frame either way where the window's ends fall, one per loss and return.
        if (static_cast<double>(f.delivered[k]) < want - 1.5 - 2.0 * f.losses[k]) {
            ++short_;
            std::printf("  camera %zu: %ld frames of %.0f (unplugged %.1f s, lost %.1f s, %d "
                        "losses)\n",
                        k + 1, f.delivered[k], want, f.unpluggedSeconds[k], f.lostSeconds[k],
                        f.losses[k]);
        }
        unplugs += f.unplugs[k];
        slowest = std::max(slowest, f.slowestReturn[k]);
        if (f.losses[k] > 0)
            longestLoss = std::max(longestLoss, f.lostSeconds[k] / f.losses[k]);
    }
    addRow(rows, "soak: frames delivered (15 fps less the time lost)",
           std::to_string(delivered) + "/" + format("%.0f", expected) + ", " +
               std::to_string(short_) + " cameras short; less only the unplugged time: " +
               format("%.0f", expectedUnplugged) + " (" +
               format("%.2f%%",
                      100.0 * static_cast<double>(delivered) / std::max(1.0, expectedUnplugged)) +
               ")",
           "every frame", short_ == 0);
    addRow(rows,
           "soak: unplugs; time lost per unplug of " + format("%.0f", o.unplugFor) +
               " s unplugged, s",
           std::to_string(unplugs) + "; longest " + format("%.1f", longestLoss) +
               ", slowest return after replug " + format("%.1f", slowest),
           "next back-off try (" + format("%.0f", nextTry) + ") + 3",
           unplugs == 0 || longestLoss <= nextTry + 3.0);
    if (o.recording > 0) {
        addRow(rows, "soak: recorded frames in some segment",
               std::to_string(inFiles) + "/" + std::to_string(encoded) + " encoded, " +
                   std::to_string(segments) + " segments",
               "every frame", everyFrameInFiles && segments > 0);
        addRow(rows, "soak: between segments of one run, ms",
               "widest gap " + format("%+.1f", widestGap * 1000) + ", widest overlap " +
                   format("%+.1f", widestOverlap * 1000),
               "within one frame (66.7)", noGap);
    }
}

// Motion detection on every camera against none: the program alone, off and on alternating, so
// both see the same machine, and in turns off-on, on-off, so a machine that grows busier or
// quieter over the run favours neither; the figure is the median of the rounds.
void motionCostRows(std::vector<Row>& rows, const Options& o, const fs::path& folder) {
    Options off = o;
    off.plain = false;
    off.motion = false;
    Options on = off;
    on.motion = true;
    std::printf("\nmotion detection: %d cameras (%d shown, %d recording) with detection off and "
                "on ...\n",
                o.cameras, o.visible, o.recording);
    std::fflush(stdout);
    std::vector<Figures> offRuns, onRuns;
    for (int r = 1; r <= o.rounds; ++r) {
        if (r % 2 == 1) {
            offRuns.push_back(runProgram(off, folder));
            onRuns.push_back(runProgram(on, folder));
        } else {
            onRuns.push_back(runProgram(on, folder));
            offRuns.push_back(runProgram(off, folder));
        }
        printSummary("detection off", offRuns.back());
        printSummary("detection on", onRuns.back());
        const Summary s = summarise(onRuns.back());
        std::printf("  %-26s grey pictures fed to the detectors: %ld of %ld frames; events "
                    "begun: %ld\n",
                    "", onRuns.back().motionPictures, s.delivered, onRuns.back().motionEvents);
        std::fflush(stdout);
    }
    const std::vector<double> a = cpuOf(offRuns), b = cpuOf(onRuns);
    std::vector<double> more;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] > 0)
            more.push_back(100.0 * (b[i] - a[i]) / a[i]);
    const double m = median(more);
    const double perCamera = (median(b) - median(a)) / o.cameras;
    addRow(rows,
           std::to_string(o.cameras) + " cameras: program CPU with motion detection on every "
                                       "camera, more than off",
           format("%+.1f %%", m) + " (rounds " + joined(more, "%+.1f") + "; CPU s/20 s " +
               format("%.2f", median(a)) + " off, " + format("%.2f", median(b)) +
               " on; per camera " + format("%+.4f", perCamera) + " CPU s/20 s, " +
               format("%+.2f", perCamera / 20 * 100) + " % of a core)",
           "at most +5 %", m <= 5.0);
}

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("NORVALE_TEST_DEVICES",
           std::to_string(std::max(o.cameras, o.suite ? o.hiddenCameras : 0)).c_str(), 1);
    // Previews run the device's first format: list 640 x 480 first.
    setenv("NORVALE_TEST_FIRST_FORMAT", "640x480", 1);
    if (o.pattern.empty())
        unsetenv("NORVALE_TEST_PATTERN");
    else
        setenv("NORVALE_TEST_PATTERN", o.pattern.c_str(), 1);
    QApplication app(argc, argv);

    char pattern[] = "/tmp/norvale-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;

    std::printf(
        "Norvale camera benchmark: %d synthetic cameras, %dx%d at %d fps; %d shown "
        "(grid), %d hidden; %d recording at %d kbit/s; viewers: %s; pattern: %s; %.0f s after "
        "%.0f s warm-up\n",
        o.cameras, kWidth, kHeight, kFps, o.visible, o.cameras - o.visible, o.recording,
        kBitRateKbps, o.viewers ? "one per recording" : "none",
        o.pattern.empty() ? "each camera its own" : o.pattern.c_str(), o.seconds, o.warmup);
    std::printf("plain pipelines: camera ! tee; per preview queue ! [shown: videoconvertscale to "
                "the tile in 32-bit | raw: nothing | rgb: videoconvert to 24-bit] ! fakesink "
                "(bare: camera ! fakesink); "
                "per recording queue ! videoconvert ! avenc_wmv1 ! asfmux ! filesink\n");
    std::fflush(stdout);

    printLoad();
    std::vector<Row> rows;
    if (o.soakMinutes > 0) {
        // The program alone, for the whole soak; a line a minute.
        Options soak = o;
        soak.plain = false;
        soak.seconds = o.soakMinutes * 60;
        const Figures f = runProgram(soak, folder);
        printSummary("program (TCamera)", f);
        soakRows(rows, o, f);
    } else {
        if (o.program || o.plain) {
            const Comparison c = compare(o, folder);
            printComparison(o, c);
            cameraSetRows(rows, o, c);
        }
        if (o.suite || o.motionCost)
            motionCostRows(rows, o, folder);
        if (o.suite) {
            // Hidden cameras alone: each against a bare `camera ! fakesink`.
            Options hidden = o;
            hidden.cameras = o.hiddenCameras;
            hidden.visible = 0;
            hidden.recording = 0;
            hidden.viewers = false;
            hidden.plainPreviews = {"bare"};
            std::printf("\n%d hidden previewing cameras without a due snapshot against %d plain "
                        "`camera ! fakesink`:\n",
                        hidden.cameras, hidden.cameras);
            std::fflush(stdout);
            const Comparison c = compare(hidden, folder);
            printComparison(hidden, c);
            const auto& plain = c.plain.front().second;
            const double n = hidden.cameras;
            const double program = median(cpuOf(c.program)) / n, bare = median(cpuOf(plain)) / n;
            const std::vector<double> r = ratios(c, plain);
            addRow(rows, "hidden camera: CPU s/20 s per camera, program vs camera ! fakesink",
                   format("%.4f", program) + " vs " + format("%.4f", bare) + " (" +
                       format("%+.4f", program - bare) + "; ratio " + format("%.2f", median(r)) +
                       ", rounds " + joined(r, "%.2f") + ")",
                   "no more", median(r) <= 1.0);
        }
        if (o.starts > 0) {
            std::printf("\nstart-up: %d starts of the program with 36 cameras configured ...\n",
                        o.starts);
            std::fflush(stdout);
            const Startup st = measureStartup(o, folder);
            if (!st.note.empty())
                std::printf("  %s\n", st.note.c_str());
            if (!st.seconds.empty()) {
                const double m = median(st.seconds);
                addRow(rows,
                       "start-up: exec to wall painted, 36 cameras, median of " +
                           std::to_string(st.seconds.size()) + ", s",
                       format("%.3f", m) + " (" + joined(st.seconds, "%.3f") + ")", "at most 1",
                       m <= 1.0);
                addRow(rows, "start-up: RSS of the program once painted, MB",
                       format("%.0f", st.rssMb), "", -1);
            } else {
                addRow(rows, "start-up: exec to wall painted", "not measured", "at most 1", 0);
            }
        }
    }
    printLoad();
    printRows(rows);

    if (!o.keepFiles) {
        std::error_code ec;
        fs::remove_all(folder, ec);
    } else {
        std::printf("  files kept in %s\n", folder.c_str());
    }
    return 0;
}
