// The graph and its components against synthetic cameras: activation, link order, states,
// rendering, purge, frame grabbing and bitmaps.
#include "CaptureTestSupport.h"

#include "capture/ASFWriter.h"
#include "capture/FilterGraph.h"
#include "capture/NetworkStream.h"
#include "capture/SampleGrabber.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace norvale;
using norvale::test::FrameCounter;

namespace {

class FilterGraphTest : public ::testing::Test {
protected:
    void SetUp() override { test::useTestCameras(2); }

    void bindCamera(int number) {
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        int index = test::testCameraIndex(devices, number);
        ASSERT_GE(index, 0);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(index));
    }

    TFilterGraph graph;
    TFilter source;
    TVideoRenderer renderer;
    TSampleGrabber grabber;
};

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

} // namespace

TEST_F(FilterGraphTest, ActivationAddsLinkedFiltersInLinkOrderUnderTheirNames) {
    bindCamera(1);
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    EXPECT_FALSE(source.HasFilter());
    EXPECT_EQ(graph.FilterNames(), std::vector<std::string>{});

    graph.SetActive(true);
    EXPECT_EQ(graph.FilterNames(),
              (std::vector<std::string>{"VideoSourceFilter", "VideoWindow", "VideoSampleGrabber"}));
    EXPECT_TRUE(source.HasFilter() && renderer.HasFilter() && grabber.HasFilter());

    // Unlinking from the active graph removes only that filter.
    renderer.SetFilterGraph(nullptr);
    EXPECT_EQ(graph.FilterNames(),
              (std::vector<std::string>{"VideoSourceFilter", "VideoSampleGrabber"}));
    EXPECT_FALSE(renderer.HasFilter());
    EXPECT_EQ(graph.LinkedFilters().size(), 2u);

    // Deactivation releases the filters and keeps the links.
    graph.SetActive(false);
    EXPECT_FALSE(source.HasFilter());
    EXPECT_EQ(source.FilterGraph(), &graph);
    EXPECT_EQ(graph.LinkedFilters().size(), 2u);
}

TEST_F(FilterGraphTest, LinkingTwiceDoesNothingAndDestroyingAComponentUnlinksIt) {
    source.SetFilterGraph(&graph);
    source.SetFilterGraph(&graph);
    EXPECT_EQ(graph.LinkedFilters().size(), 1u);
    {
        TSampleGrabber extra("Extra");
        extra.SetFilterGraph(&graph);
        graph.SetActive(true);
        EXPECT_TRUE(contains(graph.FilterNames(), "Extra"));
    }
    EXPECT_EQ(graph.LinkedFilters().size(), 1u);
    EXPECT_FALSE(contains(graph.FilterNames(), "Extra"));
}

TEST_F(FilterGraphTest, EmptyIdentityJoinsWithoutFilterAndRenderingFailsWithInterfaceNotSupported) {
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    graph.SetActive(true);
    EXPECT_FALSE(source.HasFilter());
    EXPECT_THROW(source.RequireFilter(), EIntfCastError);
    try {
        graph.RenderStream(PIN_CATEGORY_PREVIEW, source, nullptr, renderer);
        FAIL() << "rendering without a source filter succeeded";
    } catch (const EIntfCastError& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
}

TEST_F(FilterGraphTest, GraphStateGoesFromUninitialisedToStoppedToRunning) {
    bindCamera(1);
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    EXPECT_EQ(graph.GraphState(), TGraphState::gsUninitialized);
    graph.SetActive(true);
    EXPECT_EQ(graph.GraphState(), TGraphState::gsStopped);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    EXPECT_TRUE(graph.RunGraph());
    EXPECT_EQ(graph.GraphState(), TGraphState::gsPlaying);
    graph.StopGraph();
    EXPECT_EQ(graph.GraphState(), TGraphState::gsStopped);
    graph.SetActive(false);
    EXPECT_EQ(graph.GraphState(), TGraphState::gsUninitialized);
    // Operations on an inactive graph do nothing.
    graph.StopGraph();
    graph.PurgeGraph();
}

TEST_F(FilterGraphTest, PurgeRemovesInsertedElementsAndKeepsTheComponents) {
    bindCamera(2);
    TFilterComponent* all[] = {&source, &renderer, &grabber};
    for (auto* c : all)
        c->SetFilterGraph(&graph);
    graph.SetActive(true);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    EXPECT_GT(graph.FilterNames().size(), 3u); // format filter, tee, queue, converter
    EXPECT_EQ(graph.NativeVideoSize(), std::make_pair(320, 240));
    EXPECT_TRUE(renderer.Connected());
    graph.RunGraph();
    graph.PurgeGraph();
    EXPECT_EQ(graph.FilterNames(),
              (std::vector<std::string>{"VideoSourceFilter", "VideoWindow", "VideoSampleGrabber"}));
    EXPECT_FALSE(renderer.Connected());
    // The same graph renders again after a purge.
    EXPECT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
}

TEST_F(FilterGraphTest, GrabberDeliversRgbFramesAndRendererKeepsTheLatest) {
    bindCamera(1);
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    FrameCounter frames;
    size_t lastLength = 0;
    TBitmap fromCallback;
    bool bitmapOk = false;
    grabber.SetOnBuffer([&](TSampleGrabber& sender, double, const uint8_t* bytes, size_t length) {
        lastLength = length;
        if (frames.count() == 0)
            bitmapOk = sender.FrameToBitmap(&fromCallback, bytes, length);
        frames.add();
    });
    FrameCounter painted;
    renderer.SetFrameListener([&] { painted.add(); });
    graph.SetActive(true);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    graph.RunGraph();
    ASSERT_TRUE(frames.waitFor(3));
    ASSERT_TRUE(painted.waitFor(1));
    auto frame = renderer.LatestFrame();
    graph.StopGraph();
    EXPECT_FALSE(renderer.LatestFrame()); // a stopped graph shows nothing, not its last picture

    EXPECT_EQ(lastLength, 230400u);
    AmMediaType connected;
    ASSERT_EQ(grabber.GetConnectedMediaType(connected), hr::S_OK);
    EXPECT_EQ(DescribeMediaType(connected),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X-240, 24 bits");

    ASSERT_TRUE(bitmapOk);
    EXPECT_EQ(fromCallback.bits.size(), 230400u);
    EXPECT_EQ(fromCallback.header.biWidth, 320);
    EXPECT_EQ(fromCallback.BmpFile().size(), 230400u + 54u);

    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Width(), 320);
    EXPECT_EQ(frame->Height(), 240);
    EXPECT_GE(frame->Stride(), 960);
}

TEST_F(FilterGraphTest, FrameToBitmapCopiesAtMostThePictureAndRefusesAnEmptyCount) {
    bindCamera(1);
    source.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    FrameCounter frames;
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t*, size_t) { frames.add(); });
    graph.SetActive(true);
    graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer);
    TBitmap bitmap;
    std::vector<uint8_t> bytes(300000, 0xAB);
    EXPECT_FALSE(grabber.FrameToBitmap(&bitmap, bytes.data(), bytes.size())); // not connected yet
    graph.RunGraph();
    ASSERT_TRUE(frames.waitFor(1));

    EXPECT_FALSE(grabber.FrameToBitmap(&bitmap, bytes.data(), 0));
    EXPECT_FALSE(grabber.FrameToBitmap(nullptr, bytes.data(), bytes.size()));

    ASSERT_TRUE(grabber.FrameToBitmap(&bitmap, bytes.data(), bytes.size()));
    EXPECT_EQ(bitmap.bits.size(), 230400u);
    EXPECT_EQ(std::count(bitmap.bits.begin(), bitmap.bits.end(), 0xAB), 230400);

    ASSERT_TRUE(grabber.FrameToBitmap(&bitmap, bytes.data(), 1000));
    EXPECT_EQ(std::count(bitmap.bits.begin(), bitmap.bits.end(), 0xAB), 1000);

    // Without bytes: the last frame that passed.
    ASSERT_TRUE(grabber.FrameToBitmap(&bitmap, nullptr, 0));
    EXPECT_EQ(bitmap.bits.size(), 230400u);
}

TEST_F(FilterGraphTest, HiddenRendererKeepsNoFrames) {
    bindCamera(1);
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    renderer.SetFramesWanted(false);
    FrameCounter frames, notified;
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t*, size_t) { frames.add(); });
    renderer.SetFrameListener([&] { notified.add(); });
    graph.SetActive(true);
    graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer);
    graph.RunGraph();
    ASSERT_TRUE(frames.waitFor(3)); // the grabber still sees every frame
    EXPECT_EQ(renderer.LatestFrame(), nullptr);
    EXPECT_EQ(notified.count(), 0);
}

TEST_F(FilterGraphTest, AppliedFormatIsWhatTheStreamCarries) {
    bindCamera(1);
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    graph.SetActive(true);
    auto formats = source.DeviceFormats();
    ASSERT_GE(formats.size(), 2u);
    ASSERT_NE(formats[1].Description().find("352X288"), std::string::npos);
    EXPECT_EQ(source.SetFormat(formats[1]), hr::S_OK);
    EXPECT_EQ(source.SetFormat(TMediaType()), hr::E_INVALIDARG);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    EXPECT_EQ(graph.NativeVideoSize(), std::make_pair(352, 288));
}

TEST_F(FilterGraphTest, RunningAnUnpluggedCameraFailsAndReportsTheError) {
    bindCamera(2);
    source.SetFilterGraph(&graph);
    renderer.SetFilterGraph(&graph);
    graph.SetActive(true);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, nullptr, renderer), hr::S_OK);
    std::string reported;
    int reports = 0;
    TFilterComponent* origin = nullptr;
    graph.SetOnError([&](const std::string& text, TFilterComponent* from) {
        reported = text;
        origin = from;
        ++reports;
    });
    FrameCounter painted;
    renderer.SetFrameListener([&] { painted.add(); });
    graph.RunGraph();
    ASSERT_TRUE(painted.waitFor(1));
    testcameras::setUnplugged(2, true);
    for (int i = 0; i < 200 && reported.empty(); ++i) {
        graph.ProcessEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    testcameras::setUnplugged(2, false);
    EXPECT_EQ(reported, "Device 'Norvale Test Camera 2' has been disconnected.");
    EXPECT_EQ(origin, &source);
    graph.StopGraph(); // bounded even though the source is dead
    graph.ProcessEvents();
    EXPECT_EQ(reports, 1); // the errors that follow the first are not reported again
    EXPECT_EQ(graph.GraphState(), TGraphState::gsStopped);
}

TEST_F(FilterGraphTest, ActiveGraphWithInspectionIsPublishedUnderItsName) {
    graph.SetGraphEdit(true);
    graph.SetActive(true);
    auto names = PublishedGraphs();
    char expected[64];
    std::snprintf(expected, sizeof expected, "FilterGraph %p pid %x", static_cast<void*>(&graph),
                  static_cast<unsigned>(getpid()));
    EXPECT_TRUE(contains(names, expected));
    graph.SetActive(false);
    EXPECT_FALSE(contains(PublishedGraphs(), expected));
}

TEST_F(FilterGraphTest, MjpegCameraGetsADecoderThatPurgeRemovesAgain) {
    testcameras::setMjpeg(2, true);
    bindCamera(2);
    TFilterComponent* all[] = {&source, &renderer, &grabber};
    for (auto* c : all)
        c->SetFilterGraph(&graph);
    graph.SetActive(true);
    auto formats = source.DeviceFormats();
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[1].Description(),
              "Major Type: Video - Sub Type: MJPG Format: VideoInfo MJPG 320X240, 24 bits");
    EXPECT_EQ(source.SetFormat(formats[1]), hr::S_OK);
    FrameCounter frames;
    size_t length = 0;
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t*, size_t n) {
        length = n;
        frames.add();
    });
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    auto names = graph.FilterNames();
    EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& n) {
        return n.find("Decoder") != std::string::npos;
    }));
    graph.RunGraph();
    ASSERT_TRUE(frames.waitFor(2));
    EXPECT_EQ(length, 230400u); // decoded and converted to 24-bit RGB
    graph.PurgeGraph();
    testcameras::setMjpeg(2, false);
    EXPECT_EQ(graph.FilterNames(),
              (std::vector<std::string>{"VideoSourceFilter", "VideoWindow", "VideoSampleGrabber"}));
}

namespace {

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

} // namespace

// A camera that starts and stops preview and recording all day must give back every descriptor
// it takes: each start looks its device up afresh (and binds it), and a recording opens its file
// and its live-stream port. Built and torn down as the camera channel does it.
TEST_F(FilterGraphTest, CyclingPreviewAndRecordingGivesBackEveryDescriptor) {
    test::TempDir dir;
    const TSysDevEnum devices(CLSID_VideoInputDeviceCategory); // listed once, at start-up
    const int camera = test::testCameraIndex(devices, 1);
    ASSERT_GE(camera, 0);
    TASFWriter writer;
    writer.SetPort(static_cast<uint32_t>(test::freeTcpPort()));
    FrameCounter frames;
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t*, size_t) { frames.add(); });
    int run = 0;
    auto cycle = [&](bool recording) {
        graph.SetActive(false);
        for (TFilterComponent* c :
             {static_cast<TFilterComponent*>(&writer), static_cast<TFilterComponent*>(&grabber),
              static_cast<TFilterComponent*>(&source), static_cast<TFilterComponent*>(&renderer)})
            c->SetFilterGraph(recording || c != &writer ? &graph : nullptr);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(camera));
        writer.SetFileName(dir / ("cycle" + std::to_string(++run) + ".wmv"));
        graph.SetActive(true);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
        if (recording) {
            ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), hr::S_OK);
        }
        graph.RunGraph();
        ASSERT_TRUE(frames.waitFor(frames.count() + 2));
        if (recording) {
            ASSERT_TRUE(writer.Network() && writer.Network()->listening());
        }
        graph.StopGraph();
        graph.PurgeGraph();
        graph.SetActive(false);
    };
    // The first round loads what stays loaded (plugins, fonts).
    cycle(false);
    cycle(true);
    const int before = openDescriptors();
    for (int i = 0; i < 6; ++i) {
        cycle(false);
        cycle(true);
    }
    EXPECT_EQ(openDescriptors(), before);
}

namespace {

// What the capture layer writes to its debug category while it lives.
class DebugLog {
public:
    DebugLog() {
        gst_debug_remove_log_function(gst_debug_log_default); // quiet on the console
        gst_debug_add_log_function(&DebugLog::take, this, nullptr);
        gst_debug_set_threshold_for_name("norvale", GST_LEVEL_DEBUG);
    }
    ~DebugLog() {
        gst_debug_unset_threshold_for_name("norvale");
        gst_debug_remove_log_function(&DebugLog::take);
        gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
    }
    // Waits, bounded, for a line holding every one of `parts`.
    bool waitForLine(std::initializer_list<std::string> parts) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
                return std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
                    return line.find(part) != std::string::npos;
                });
            });
        });
    }
    std::string all() {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const auto& line : lines_)
            out += line + "\n";
        return out;
    }

private:
    static void take(GstDebugCategory* category, GstDebugLevel, const gchar*, const gchar*, gint,
                     GObject*, GstDebugMessage* message, gpointer self) {
        if (std::string(gst_debug_category_get_name(category)) != "norvale")
            return;
        auto* log = static_cast<DebugLog*>(self);
        std::lock_guard lock(log->mutex_);
        log->lines_.emplace_back(gst_debug_message_get(message));
        log->changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

} // namespace

// The user sees a failure's short text; the debug log keeps what explains it: the element that
// failed and its debug text, and the failures a streaming thread swallows.
TEST_F(FilterGraphTest, WhatTheUserIsNotShownGoesToTheDebugLog) {
    DebugLog log;
    test::TempDir dir;
    bindCamera(1);
    grabber.SetOnBuffer([](TSampleGrabber&, double, const uint8_t*, size_t) {
        throw std::runtime_error("the snapshot folder is full");
    });
    for (TFilterComponent* c :
         {static_cast<TFilterComponent*>(&grabber), static_cast<TFilterComponent*>(&source),
          static_cast<TFilterComponent*>(&renderer)})
        c->SetFilterGraph(&graph);
    graph.SetActive(true);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    graph.RunGraph();
    EXPECT_TRUE(log.waitForLine({"frame handler", "the snapshot folder is full"})) << log.all();
    graph.StopGraph();
    graph.PurgeGraph();

    TASFWriter writer;
    writer.SetFileName(dir / "missing" / "cam.wmv");
    writer.SetFilterGraph(&graph);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_CAPTURE, source, nullptr, writer), hr::S_OK);
    try {
        graph.RunGraph();
        ADD_FAILURE() << "a file in a missing folder was opened";
    } catch (const EDirectShowException& e) {
        EXPECT_EQ(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(log.waitForLine({"GstBin:ASFWriter/GstFileSink:file", "No such file or directory"}))
        << log.all();
}
