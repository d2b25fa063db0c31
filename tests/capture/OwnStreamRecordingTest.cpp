// Recording a camera's own compressed stream: an MJPEG test camera, through the normal device
// path, into Matroska files with no decoding or encoding in between; read back with ffprobe.
#include "CaptureTestSupport.h"
#include "RecordingSupport.h"
#include "capture/ASFWriter.h"
#include "capture/GraphInternal.h"
#include "capture/SampleGrabber.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"
#include "core/FileNaming.h"
#include "support/TestSupport.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

using namespace norvale;

namespace {

constexpr int MjpegCamera = 2;

// The recording graph as the camera channel builds it for RecordFormat=1: the writer joins once
// the preview has shown what the camera sends.
class OwnStreamRecorder {
public:
    OwnStreamRecorder() {
        grabber.SetFilterGraph(&graph);
        source.SetFilterGraph(&graph);
        renderer.SetFilterGraph(&graph);
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        source.BaseFilter().StoreMoniker(
            devices.MonikerAt(test::testCameraIndex(devices, MjpegCamera)));
        grabber.SetOnBuffer(
            [this](TSampleGrabber&, double, const uint8_t*, size_t) { frames.add(); });
    }

    void start(const std::filesystem::path& file) {
        graph.SetActive(true);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
        ASSERT_EQ(graph.SourceMediaType(source), "image/jpeg");
        writer.SetOwnStream(graph.SourceMediaType(source));
        writer.SetFileName(file);
        writer.SetFilterGraph(&graph);
        ASSERT_TRUE(writer.HasFilter());
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), hr::S_OK);
        GstElement* bin = writer.core().element.get();
        EXPECT_FALSE(gst::Ref<GstElement>(gst_bin_get_by_name(GST_BIN(bin), "encoder")))
            << "nothing re-encodes";
        // Every compressed frame that reaches the writer.
        gst::Ref<GstPad> input(gst_element_get_static_pad(bin, "sink"));
        gst_pad_add_probe(
            input.get(), GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad*, GstPadProbeInfo*, gpointer self) {
                ++*static_cast<std::atomic<int>*>(self);
                return GST_PAD_PROBE_OK;
            },
            &taken, nullptr);
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
    test::FrameCounter frames;
    std::atomic<int> taken{0};
};

} // namespace

class OwnStreamRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::useTestCameras(2);
        testcameras::setMjpeg(MjpegCamera, true);
        if (std::system("ffprobe -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "ffprobe is not installed";
    }
    void TearDown() override { testcameras::setMjpeg(MjpegCamera, false); }
    test::TempDir dir;
};

// Segments cut the camera's stream at key frames (every JPEG picture is one) into files that are
// each whole Matroska with duration, and every frame the camera sent is in exactly one of them.
// Meanwhile its live viewers get the same pictures as multipart JPEG.
TEST_F(OwnStreamRecordingTest, TheCamerasJpegStreamGoesIntoMatroskaSegmentsFrameForFrame) {
    OwnStreamRecorder r;
    const std::string folder = dir.path().string() + "/";
    std::tm second{};
    second.tm_year = 2026 - 1900;
    second.tm_mon = 11;
    second.tm_mday = 10;
    r.writer.SetSegmentSeconds(2);
    const int port = test::freeTcpPort();
    r.writer.SetPort(static_cast<uint32_t>(port));
    r.writer.SetCameraNumber(1);
    r.writer.SetFileNameProvider(
        [&] { return claimTimestampedFileName(folder, "Door", second, ".mkv"); });
    std::mutex lock;
    std::vector<TRecordingSegment> finished;
    r.writer.SetOnSegmentFinished([&](const TRecordingSegment& s) {
        std::lock_guard guard(lock);
        finished.push_back(s);
    });
    FileNameClaim first = claimTimestampedFileName(folder, "Door", second, ".mkv");
    const std::string firstName = first.path();
    r.writer.SetFileName(std::move(first));
    r.start(firstName);
    const std::string viewer = "ffprobe -v error -select_streams v -show_entries "
                               "stream=codec_name -of csv=p=0 http://127.0.0.1:" +
                               std::to_string(port) + "/camera/1";
    std::unique_ptr<std::FILE, test::PipeCloser> pipe(popen(viewer.c_str(), "r"));
    char seen[64] = {};
    ASSERT_TRUE(pipe && std::fgets(seen, sizeof seen, pipe.get()));
    EXPECT_STREQ(seen, "mjpeg\n");
    ASSERT_TRUE(r.frames.waitFor(5 * 15)); // five seconds of camera time
    r.stop();

    ASSERT_GE(finished.size(), 2u);
    std::sort(finished.begin(), finished.end(),
              [](const auto& a, const auto& b) { return a.streamStart < b.streamStart; });
    int probed = 0;
    for (const TRecordingSegment& s : finished) {
        SCOPED_TRACE(s.file.string());
        EXPECT_EQ(s.file.extension(), ".mkv");
        const test::Probe p = test::probe(s.file);
        EXPECT_EQ(p.codec, "mjpeg");
        EXPECT_EQ(static_cast<uint64_t>(p.frames), s.frames);
        const double seconds = std::chrono::duration<double>(s.streamEnd - s.streamStart).count();
        EXPECT_NEAR(p.duration, seconds, 0.2) << "each file's times start at 0";
        probed += p.frames;
    }
    EXPECT_EQ(probed, r.taken.load()) << "every frame of the camera in exactly one file";
    // What was still queued for the writer when it was stopped is all it may miss.
    EXPECT_GE(probed, 5 * 15 - 5);
}

// A recording whose process dies keeps all but its last second: the pipeline is torn down
// without an end of stream, as a crash would leave the file, and ffprobe still reads it.
TEST_F(OwnStreamRecordingTest, AFileCutOffWithoutItsEndStillPlaysToItsLastSecond) {
    OwnStreamRecorder r;
    const auto file = dir / "cut.mkv";
    r.start(file);
    ASSERT_TRUE(r.frames.waitFor(4 * 15));
    const int taken = r.taken.load();
    gst_element_set_state(r.graph.core().pipeline.get(), GST_STATE_NULL);

    const test::Probe p = test::probe(file);
    EXPECT_EQ(p.codec, "mjpeg");
    EXPECT_GE(p.frames, taken - 15) << "more than the last second is lost";
    EXPECT_GT(p.frames, 0);
    r.stop();
}
