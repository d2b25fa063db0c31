// Recording WMV1 files from a synthetic camera, checked with ffprobe.
#include "CaptureTestSupport.h"

#include "capture/ASFWriter.h"
#include "capture/SampleGrabber.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

using namespace norvale;
using norvale::test::FrameCounter;

namespace {

struct PipeCloser {
    void operator()(std::FILE* f) const { pclose(f); }
};

// "key=value" lines of ffprobe for the first video stream and the container.
std::map<std::string, std::string> probe(const std::filesystem::path& file) {
    std::string cmd = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                      "stream=codec_name,width,height,r_frame_rate,nb_read_frames:format=duration "
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

    void start(const std::filesystem::path& file, uint32_t bitRate) {
        writer.SetFileName(file);
        graph.SetActive(true);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), hr::S_OK);
        auto [w, h] = graph.NativeVideoSize();
        TWriterProfile profile;
        profile.BitRate = bitRate;
        profile.Width = w;
        profile.Height = h;
        ASSERT_EQ(writer.ConfigureFilterUsingProfile(profile), hr::S_OK);
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
};

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
    // ffmpeg decodes every packet without complaint.
    std::string decode = "ffmpeg -v error -xerror -i '" + file.string() + "' -f null - 2>/dev/null";
    EXPECT_EQ(std::system(decode.c_str()), 0);
}

TEST_F(ASFWriterTest, BitRateDecidesTheFileSize) {
    std::map<uint32_t, double> bitsPerSecond;
    for (uint32_t rate : {128000u, 1024000u}) {
        Recorder r(1);
        auto file = dir / ("rate" + std::to_string(rate) + ".wmv");
        r.start(file, rate);
        recordFrames(r, 30);
        r.stop();
        auto info = probe(file);
        ASSERT_EQ(info["codec_name"], "wmv1");
        double seconds = std::stod(info["duration"]);
        ASSERT_GT(seconds, 0.5);
        bitsPerSecond[rate] = 8.0 * static_cast<double>(std::filesystem::file_size(file)) / seconds;
    }
    // The same camera at an eighth of the rate gives much smaller files (a moving picture at
    // 320x240 cannot go all the way down within the codec's coarsest quantiser), and the file at
    // 1024 kbit/s averages near that rate (rate control, headers and index).
    EXPECT_GT(bitsPerSecond[1024000], 2.5 * bitsPerSecond[128000]);
    EXPECT_GT(bitsPerSecond[1024000], 0.6 * 1024000);
    EXPECT_LT(bitsPerSecond[1024000], 1.5 * 1024000);
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
        EXPECT_EQ(test::readFile(file), content);
    }
}
