// Recording WMV1 files from a synthetic camera, checked with ffprobe.
#include "CaptureTestSupport.h"

#include "capture/ASFWriter.h"
#include "capture/GraphInternal.h"
#include "capture/SampleGrabber.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"
#include "core/AsfStream.h"
#include "core/FileNaming.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace norvale;
using norvale::test::FrameCounter;

namespace {

struct PipeCloser {
    void operator()(std::FILE* f) const { pclose(f); }
};

// "key=value" lines of ffprobe for the first video stream and the container.
std::map<std::string, std::string> probe(const std::filesystem::path& file) {
    std::string cmd =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,r_frame_rate,nb_read_frames,bit_rate:format=duration "
        "-of default=noprint_wrappers=1 '" +
        file.string() + "' 2>/dev/null";
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(cmd.c_str(), "r"));
    std::map<std::string, std::string> out;
    if (!pipe)
        return out;
    std::array<char, 256> line{};
    while (std::fgets(line.data(), line.size(), pipe.get())) {
        std::string l(line.data());
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        auto eq = l.find('=');
        if (eq != std::string::npos)
            out[l.substr(0, eq)] = l.substr(eq + 1);
    }
    return out;
}

// Whether a file's first video frame is a key frame (ffprobe's view).
bool firstFrameIsKey(const std::filesystem::path& file) {
    const std::string cmd = "ffprobe -v error -select_streams v:0 -read_intervals '%+#1' "
                            "-show_entries frame=key_frame -of default=nw=1:nk=1 '" +
                            file.string() + "' 2>/dev/null";
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(cmd.c_str(), "r"));
    std::array<char, 64> line{};
    return pipe && std::fgets(line.data(), line.size(), pipe.get()) && line[0] == '1';
}

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;)
        v = v << 8 | static_cast<uint8_t>(bytes.at(at + i));
    return v;
}

bool haveFfprobe() {
    return std::system("ffprobe -version >/dev/null 2>&1") == 0;
}

// A recording graph as the camera channel builds it: writer, grabber, source, renderer.
class Recorder {
public:
    explicit Recorder(int camera) {
        writer.SetFilterGraph(&graph);
        grabber.SetFilterGraph(&graph);
        source.SetFilterGraph(&graph);
        renderer.SetFilterGraph(&graph);
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(test::testCameraIndex(devices, camera)));
        grabber.SetOnBuffer(
            [this](TSampleGrabber&, double, const uint8_t*, size_t) { frames.add(); });
    }

    void start(const std::filesystem::path& file, uint32_t bitRate,
               int64_t keyFrameSpacing = 30000000) {
        writer.SetFileName(file);
        graph.SetActive(true);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), hr::S_OK);
        auto [w, h] = graph.NativeVideoSize();
        TWriterProfile profile;
        profile.BitRate = bitRate;
        profile.Width = w;
        profile.Height = h;
        profile.MaxKeyFrameSpacing = keyFrameSpacing;
        ASSERT_EQ(writer.ConfigureFilterUsingProfile(profile), hr::S_OK);
        countEncodedFrames();
        graph.RunGraph();
    }

    void stop() {
        graph.StopGraph();
        graph.PurgeGraph();
        graph.SetActive(false);
    }

    TFilterGraph graph;
    TASFWriter writer;
    TSampleGrabber grabber;
    TFilter source;
    TVideoRenderer renderer;
    FrameCounter frames;
    std::atomic<int> encoded{0}; // frames out of the writer's encoder

private:
    // Counted where the encoder hands them on, before anything decides which file they go to.
    void countEncodedFrames() {
        GstElement* bin = writer.core().element.get();
        ASSERT_NE(bin, nullptr);
        GstElement* encoder = gst_bin_get_by_name(GST_BIN(bin), "encoder");
        ASSERT_NE(encoder, nullptr);
        GstPad* out = gst_element_get_static_pad(encoder, "src");
        gst_pad_add_probe(
            out, GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad*, GstPadProbeInfo*, gpointer self) {
                ++*static_cast<std::atomic<int>*>(self);
                return GST_PAD_PROBE_OK;
            },
            &encoded, nullptr);
        gst_object_unref(out);
        gst_object_unref(encoder);
    }
};

// A plain HTTP viewer on loopback that keeps everything it receives, on its own thread.
class Viewer {
public:
    explicit Viewer(int port, const std::string& path) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return;
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size()))
            return;
        thread_ = std::thread([this] {
            char buffer[16384];
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                std::lock_guard lock(mutex_);
                data_.append(buffer, static_cast<size_t>(n));
            }
        });
    }
    ~Viewer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    size_t received() {
        std::lock_guard lock(mutex_);
        return data_.size();
    }
    // The stream without the HTTP head.
    std::string body() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        const size_t head = data_.find("\r\n\r\n");
        return head == std::string::npos ? std::string() : data_.substr(head + 4);
    }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::string data_;
};

// Runs a command; its exit status.
int shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// A viewer's stream is one stream, packet after packet without a pause, up to at least `coveredMs`
// of it; kept in `copy`, it decodes.
void expectUnbrokenStream(const std::string& body, uint32_t coveredMs,
                          const std::filesystem::path& copy) {
    const size_t start = [&] {
        uint64_t size = 0;
        for (int i = 7; i >= 0 && body.size() >= 24; --i)
            size = size << 8 | static_cast<uint8_t>(body[16 + static_cast<size_t>(i)]);
        return static_cast<size_t>(size) + 50;
    }();
    ASSERT_GT(body.size(), start);
    uint32_t last = 0, covered = 0;
    size_t packets = 0;
    for (size_t at = start; at + TASFWriter::PacketSize <= body.size();
         at += TASFWriter::PacketSize, ++packets) {
        const auto sent = asf::packetSendTime(reinterpret_cast<const uint8_t*>(body.data() + at),
                                              TASFWriter::PacketSize);
        ASSERT_TRUE(sent) << "packet " << packets;
        if (packets > 0) {
            EXPECT_GE(*sent, last) << "packet " << packets;
            EXPECT_LE(*sent - last, 500u) << "a pause in the live stream at packet " << packets;
        }
        last = *sent;
        covered = *sent;
    }
    EXPECT_GE(covered, coveredMs) << "the viewer saw the stream to its end";
    test::writeFile(copy, body);
    EXPECT_EQ(shell("ffmpeg -v error -xerror -i '" + copy.string() + "' -f null -"), 0);
}

// Seconds of camera time, counted in delivered frames (15 per second), not wall time.
void recordFrames(Recorder& r, int count) {
    ASSERT_TRUE(r.frames.waitFor(count));
}

} // namespace

class ASFWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::useTestCameras(2);
        if (!haveFfprobe())
            GTEST_SKIP() << "ffprobe is not installed";
    }
    test::TempDir dir;
};

TEST_F(ASFWriterTest, RecordingIsWmv1OfThePictureSizeThatFfprobeReads) {
    Recorder r(1);
    auto file = dir / "Door-20110101-000009.wmv";
    r.start(file, 1024000);
    recordFrames(r, 30);
    r.stop();
    auto info = probe(file);
    EXPECT_EQ(info["codec_name"], "wmv1");
    EXPECT_EQ(info["width"], "320");
    EXPECT_EQ(info["height"], "240");
    EXPECT_EQ(info["r_frame_rate"], "15/1");
    EXPECT_NE(info["duration"], "N/A"); // finished with duration and index
    EXPECT_GE(std::stoi(info["nb_read_frames"]), 20);
    // The last data packet declares the full packet size (the muxer writes it short), so a
    // second repair finds nothing to do.
    std::string bytes = test::readFile(file);
    const std::string dataGuid("\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C",
                               16);
    size_t data = bytes.find(dataGuid);
    ASSERT_NE(data, std::string::npos);
    uint64_t dataSize = 0;
    for (int i = 7; i >= 0; --i)
        dataSize = dataSize << 8 | static_cast<uint8_t>(bytes[data + 16 + static_cast<size_t>(i)]);
    const size_t packets = (dataSize - 50) / TASFWriter::PacketSize;
    const size_t last = data + 50 + (packets - 1) * TASFWriter::PacketSize;
    ASSERT_EQ(static_cast<uint8_t>(bytes[last]) & 0x60, 0x40); // two-byte length field
    EXPECT_EQ(static_cast<uint8_t>(bytes[last + 2]) | static_cast<uint8_t>(bytes[last + 3]) << 8,
              static_cast<int>(TASFWriter::PacketSize));
    EXPECT_FALSE(RepairLastAsfPacket(file));
    // The header tells the profile's truth: its bit rate, 15 frames per second and the image
    // size in bytes (the muxer leaves the first two 0 and counts the image in bits).
    EXPECT_EQ(info["bit_rate"], "1024000");
    const size_t fourcc = bytes.find("WMV1");
    ASSERT_NE(fourcc, std::string::npos);
    EXPECT_EQ(le32(bytes, fourcc + 4), 320u * 240u * 24u / 8u);
    const std::string extendedGuid(
        "\xCB\xA5\xE6\x14\x72\xC6\x32\x43\x83\x99\xA9\x69\x52\x06\x5B\x5A", 16);
    const size_t extended = bytes.find(extendedGuid);
    ASSERT_NE(extended, std::string::npos);
    EXPECT_EQ(le32(bytes, extended + 24 + 16), 1024000u);           // data bit rate
    EXPECT_EQ(le32(bytes, extended + 24 + 52), 666667u);            // average time per frame
    EXPECT_FALSE(RepairAsfHeader(file, r.writer.CurrentProfile())); // nothing left to mend
    // ffmpeg decodes every packet without complaint.
    std::string decode = "ffmpeg -v error -xerror -i '" + file.string() + "' -f null - 2>/dev/null";
    EXPECT_EQ(std::system(decode.c_str()), 0);
}

// The rate is held from 64 to 2048 kbit/s: the file averages within 25 % of it, or below it
// where the picture needs less (the encoder drops frames rather than overshoot).
TEST_F(ASFWriterTest, BitRateIsHeldFrom64To2048Kbits) {
    std::map<uint32_t, double> bitsPerSecond;
    for (uint32_t rate : {64000u, 128000u, 256000u, 1024000u, 2048000u}) {
        Recorder r(1);
        auto file = dir / ("rate" + std::to_string(rate) + ".wmv");
        r.start(file, rate);
        recordFrames(r, 60);
        r.stop();
        auto info = probe(file);
        ASSERT_EQ(info["codec_name"], "wmv1");
        double seconds = std::stod(info["duration"]);
        ASSERT_GT(seconds, 2.0);
        bitsPerSecond[rate] = 8.0 * static_cast<double>(std::filesystem::file_size(file)) / seconds;
        std::printf("[ info ] %u kbit/s: the file averages %.0f kbit/s\n", rate / 1000,
                    bitsPerSecond[rate] / 1000);
        EXPECT_LT(bitsPerSecond[rate], 1.25 * rate) << rate;
    }
    // Up to 1024 kbit/s the scrolling test picture needs every bit it gets.
    for (uint32_t rate : {64000u, 128000u, 256000u, 1024000u})
        EXPECT_GT(bitsPerSecond[rate], 0.75 * rate) << rate;
    EXPECT_GT(bitsPerSecond[1024000], 2.5 * bitsPerSecond[128000]);
}

// A recording in 2-second segments with a key frame every half second, watched throughout by a
// viewer: every file is complete and plays and seeks, the files hold every encoded frame exactly
// once and follow each other without a gap, and the viewer's stream never stops.
TEST_F(ASFWriterTest, SegmentsChangeAtKeyFramesWithoutLossWhileViewersWatchOn) {
    const int port = test::freeTcpPort();
    Recorder r(1);
    r.writer.SetPort(static_cast<uint32_t>(port));
    r.writer.SetCameraNumber(1);
    r.writer.SetSegmentSeconds(2);
    // Every name of the same second: the later files get "-2", "-3", ...
    std::tm second{};
    second.tm_year = 2026 - 1900;
    second.tm_mon = 11;
    second.tm_mday = 9;
    second.tm_hour = 20;
    const std::string folder = dir.path().string() + "/";
    r.writer.SetFileNameProvider(
        [&] { return claimTimestampedFileName(folder, "Gate", second, ".wmv"); });
    std::mutex lock;
    std::vector<TRecordingSegment> finished;
    r.writer.SetOnSegmentFinished([&](const TRecordingSegment& s) {
        std::lock_guard guard(lock);
        finished.push_back(s);
    });
    FileNameClaim first = claimTimestampedFileName(folder, "Gate", second, ".wmv");
    const std::string firstName = first.path();
    r.writer.SetFileName(std::move(first));
    r.start(firstName, 2048000, 5000000);
    ASSERT_TRUE(r.frames.waitFor(8));
    Viewer viewer(port, "/camera/1");
    recordFrames(r, 8 + 8 * 15);
    r.stop();
    ASSERT_GT(viewer.received(), 0u);

    ASSERT_GE(finished.size(), 4u) << "three changes of file in eight seconds";
    std::sort(finished.begin(), finished.end(),
              [](const auto& a, const auto& b) { return a.streamStart < b.streamStart; });
    EXPECT_EQ(finished.front().file, firstName);
    int probedFrames = 0;
    uint64_t reportedFrames = 0;
    for (size_t i = 0; i < finished.size(); ++i) {
        const TRecordingSegment& s = finished[i];
        SCOPED_TRACE(s.file.string());
        EXPECT_EQ(s.file.string(),
                  i == 0 ? firstName
                         : folder + "Gate-20261209-200000-" + std::to_string(i + 1) + ".wmv");
        EXPECT_EQ(s.bytes, std::filesystem::file_size(s.file));
        auto info = probe(s.file);
        ASSERT_EQ(info["codec_name"], "wmv1");
        ASSERT_NE(info["duration"], "N/A");
        std::printf("[ info ] %s: %s frames, %s s, stream %.3f..%.3f s\n",
                    s.file.filename().c_str(), info["nb_read_frames"].c_str(),
                    info["duration"].c_str(), std::chrono::duration<double>(s.streamStart).count(),
                    std::chrono::duration<double>(s.streamEnd).count());
        probedFrames += std::stoi(info["nb_read_frames"]);
        reportedFrames += s.frames;
        EXPECT_FALSE(RepairLastAsfPacket(s.file)); // finished and mended like a whole recording
        EXPECT_FALSE(RepairAsfHeader(s.file, r.writer.CurrentProfile()));
        // Each file's times start at 0, its length is its share of the stream, and it decodes
        // and seeks on its own.
        const double streamSeconds =
            std::chrono::duration<double>(s.streamEnd - s.streamStart).count();
        EXPECT_NEAR(std::stod(info["duration"]), streamSeconds, 0.2);
        EXPECT_EQ(shell("ffmpeg -v error -xerror -i '" + s.file.string() + "' -f null -"), 0);
        if (streamSeconds > 1.5) {
            EXPECT_EQ(shell("ffmpeg -v error -xerror -ss 1 -i '" + s.file.string() + "' -f null -"),
                      0);
        }
        if (i > 0) {
            // A file starts where the one before ended (one frame's time at most, when the
            // encoder dropped a frame right there) and lasts at least the segment length.
            const auto gap = s.streamStart - finished[i - 1].streamEnd;
            EXPECT_LE(std::chrono::abs(gap), std::chrono::milliseconds(67));
            EXPECT_GE(finished[i - 1].streamEnd - finished[i - 1].streamStart,
                      std::chrono::milliseconds(1900));
        }
    }
    EXPECT_EQ(probedFrames, r.encoded.load()) << "every encoded frame in exactly one file";
    EXPECT_EQ(reportedFrames, static_cast<uint64_t>(r.encoded.load()));

    // The viewer got one stream, packet after packet, across every change of file.
    expectUnbrokenStream(viewer.body(), 6500, dir / "viewer.asf");
}

// Recording on motion, driven by hand: a gated writer writes nothing while armed, its viewers'
// stream runs throughout, and each event becomes files of its own (cut by segments like any
// recording) that start at a key frame no less than the pre-roll, and no more than a group of
// pictures beyond it, before the event began; each is complete and decodes from its first frame.
TEST_F(ASFWriterTest, GatedWriterWritesEachEventWithItsPreRollAndNothingBetween) {
    using namespace std::chrono;
    const int port = test::freeTcpPort();
    Recorder r(1);
    r.writer.SetPort(static_cast<uint32_t>(port));
    r.writer.SetCameraNumber(1);
    r.writer.SetEventGate(true, seconds(2));
    r.writer.SetSegmentSeconds(4);
    std::tm day{};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 9;
    const std::string folder = dir.path().string() + "/";
    r.writer.SetFileNameProvider(
        [&] { return claimTimestampedFileName(folder, "Yard", day, ".wmv"); });
    std::mutex lock;
    std::condition_variable reported;
    std::vector<TRecordingSegment> finished;
    r.writer.SetOnSegmentFinished([&](const TRecordingSegment& s) {
        std::lock_guard guard(lock);
        finished.push_back(s);
        reported.notify_all();
    });
    auto filesFinished = [&](size_t n) {
        std::unique_lock guard(lock);
        return reported.wait_for(guard, seconds(20), [&] { return finished.size() >= n; });
    };
    auto filesOnDisk = [&] {
        return std::distance(std::filesystem::directory_iterator(dir.path()), {});
    };
    // An event that lasts `frames`: when it began, on the wall clock and in the stream's time.
    struct Event {
        system_clock::time_point wall;
        nanoseconds running;
        std::filesystem::path file; // named as it begins
    };
    auto event = [&](int frames) {
        GstElement* bin = r.writer.core().element.get();
        gst::Ref<GstClock> clock(gst_element_get_clock(bin));
        Event e{system_clock::now(),
                nanoseconds(gst_clock_get_time(clock.get()) - gst_element_get_base_time(bin)),
                {}};
        EXPECT_TRUE(r.writer.BeginEvent(e.wall));
        e.file = r.writer.CurrentFileName();
        recordFrames(r, r.frames.count() + frames);
        EXPECT_TRUE(r.writer.WritingEvent());
        EXPECT_FALSE(r.writer.CurrentFileName().empty());
        r.writer.EndEvent();
        return e;
    };

    EXPECT_FALSE(r.writer.BeginEvent(system_clock::now())) << "nothing runs";
    r.start({}, 2048000, 5000000); // a key frame every half second
    ASSERT_TRUE(r.frames.waitFor(8));
    Viewer viewer(port, "/camera/1");
    recordFrames(r, 8 + 4 * 15);
    EXPECT_EQ(filesOnDisk(), 0) << "armed, nothing is written";
    EXPECT_FALSE(r.writer.WritingEvent());
    EXPECT_TRUE(r.writer.CurrentFileName().empty());

    // 3 seconds, with its 2 before it longer than a segment: two files.
    const Event first = event(45);
    ASSERT_TRUE(filesFinished(2));
    recordFrames(r, r.frames.count() + 15);
    EXPECT_EQ(filesOnDisk(), 2);
    const Event second = event(4);
    ASSERT_TRUE(filesFinished(3));
    recordFrames(r, r.frames.count() + 15);
    r.stop();
    EXPECT_EQ(filesOnDisk(), 3) << "stopped while armed: no file more";
    // In the order they were finished: the first event's two files, then the second's (whose
    // pre-roll may reach back into the first event).
    ASSERT_EQ(finished.size(), 3u);

    // The pre-roll, with half a second more for an object that entered before the frame the
    // event starts with.
    const nanoseconds preRoll = seconds(2) + milliseconds(500),
                      gop = milliseconds(500) + milliseconds(67);
    const struct {
        const TRecordingSegment& file;
        const Event& event;
    } starts[] = {{finished[0], first}, {finished[2], second}};
    for (const auto& c : starts) {
        SCOPED_TRACE(c.file.file.string());
        EXPECT_EQ(c.file.file, c.event.file);
        EXPECT_LE(c.file.streamStart, c.event.running - preRoll);
        EXPECT_GE(c.file.streamStart, c.event.running - preRoll - gop);
        // The file's wall-clock start is that of its first frame, not of the moment it opened.
        EXPECT_LE(c.file.started, c.event.wall - preRoll + milliseconds(20));
        EXPECT_GE(c.file.started, c.event.wall - preRoll - gop - milliseconds(20));
    }
    // The segment change inside the first event loses and repeats nothing; it went on to the
    // event's end.
    EXPECT_EQ(finished[1].file.string(), folder + "Yard-20261209-000000-2.wmv");
    EXPECT_LE(abs(finished[1].streamStart - finished[0].streamEnd), milliseconds(67));
    EXPECT_GE(finished[1].streamEnd, first.running + milliseconds(2500));
    for (const TRecordingSegment& s : finished) {
        SCOPED_TRACE(s.file.string());
        EXPECT_EQ(s.bytes, std::filesystem::file_size(s.file));
        auto info = probe(s.file);
        ASSERT_EQ(info["codec_name"], "wmv1");
        ASSERT_NE(info["duration"], "N/A");
        EXPECT_EQ(std::stoi(info["nb_read_frames"]), static_cast<int>(s.frames));
        EXPECT_NEAR(std::stod(info["duration"]),
                    duration<double>(s.streamEnd - s.streamStart).count(), 0.2);
        EXPECT_FALSE(RepairLastAsfPacket(s.file));
        EXPECT_TRUE(firstFrameIsKey(s.file));
        EXPECT_EQ(shell("ffmpeg -v error -xerror -i '" + s.file.string() + "' -f null -"), 0);
        if (s.streamEnd - s.streamStart > milliseconds(1500)) {
            EXPECT_EQ(shell("ffmpeg -v error -xerror -ss 1 -i '" + s.file.string() + "' -f null -"),
                      0);
        }
    }
    EXPECT_EQ(finished[2].file.string(), folder + "Yard-20261209-000000-3.wmv");
    test::TempDir elsewhere;
    expectUnbrokenStream(viewer.body(), 8000, elsewhere / "viewer.asf");
}

// A rate the encoder cannot hold is brought to the nearest one it can, and the file's header
// says which: not 1 kbit/s holding a frame every few seconds, nor a rate the encoder refuses
// (it would record at the built-in 56 kbit/s while the header claimed the rate asked for).
TEST_F(ASFWriterTest, RatesOutsideWhatTheEncoderHoldsRecordAtTheNearestItHolds) {
    const struct {
        uint32_t asked, used;
    } cases[] = {
        {1000, TASFWriter::MinBitRate},      // 0 kbit/s or less, as the camera passes it on
        {200000000, TASFWriter::MaxBitRate}, // 200,000 kbit/s
        {64000, 64000},                      // inside: as asked
    };
    for (const auto& c : cases) {
        Recorder r(2); // a moving ball on a still background, like a watched scene
        auto file = dir / ("rate" + std::to_string(c.asked) + ".wmv");
        r.start(file, c.asked);
        EXPECT_EQ(r.writer.CurrentProfile().BitRate, c.used) << c.asked;
        const int before = r.frames.count();
        recordFrames(r, before + 60);
        r.stop();
        const int delivered = r.frames.count() - before;
        auto info = probe(file);
        EXPECT_EQ(info["bit_rate"], std::to_string(c.used)) << c.asked;
        ASSERT_FALSE(info["nb_read_frames"].empty()) << c.asked;
        EXPECT_GT(std::stoi(info["nb_read_frames"]), delivered / 2)
            << c.asked << ": most frames lost";
    }
}

TEST_F(ASFWriterTest, CameraLostMidRecordingStillLeavesAFinishedFile) {
    Recorder r(2);
    auto file = dir / "lost.wmv";
    r.start(file, 256000);
    recordFrames(r, 15);
    testcameras::setUnplugged(2, true);
    r.graph.ProcessEvents();
    r.stop(); // bounded: the writer finishes its file from its own input
    testcameras::setUnplugged(2, false);
    auto info = probe(file);
    EXPECT_EQ(info["codec_name"], "wmv1");
    EXPECT_NE(info["duration"], "N/A");
}

TEST_F(ASFWriterTest, ProfileNeedsTheWriterElement) {
    TASFWriter writer;
    EXPECT_THROW(writer.ConfigureFilterUsingProfile(TWriterProfile{}), EIntfCastError);
    EXPECT_EQ(writer.MaxUsers(), 8u);
    EXPECT_FALSE(writer.NetworkServiceWanted()); // port 0: no service
    writer.SetPort(8801);
    EXPECT_TRUE(writer.NetworkServiceWanted());
    writer.SetMaxUsers(0);
    EXPECT_FALSE(writer.NetworkServiceWanted());
}

TEST(AsfRepair, LeavesAnythingButAFinishedAsfFileAlone) {
    test::TempDir dir;
    EXPECT_FALSE(RepairLastAsfPacket(dir / "missing.wmv"));
    EXPECT_FALSE(RepairAsfHeader(dir / "missing.wmv", TWriterProfile{}));
    const std::string samples[] = {
        "", "short", std::string(100, '\0'),
        // header GUID, then sizes that point past the end
        std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"
                    "\xFF\xFF\xFF\xFF\x00\x00\x00\x00\x05\x00\x00\x00\x01\x02",
                    30)};
    for (const auto& content : samples) {
        auto file = dir / "bad.wmv";
        test::writeFile(file, content);
        EXPECT_FALSE(RepairLastAsfPacket(file));
        EXPECT_FALSE(RepairAsfHeader(file, TWriterProfile{}));
        EXPECT_EQ(test::readFile(file), content);
    }
}
