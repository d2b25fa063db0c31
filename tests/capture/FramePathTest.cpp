// The preview frame path's economies against synthetic cameras: the grabber converts only the
// frames someone asks for, the renderer fits frames to the window's picture area, and the test
// cameras can list a chosen size first.
#include "CaptureTestSupport.h"

#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/GreyGrabber.h"
#include "capture/SampleGrabber.h"
#include "capture/VideoRenderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <thread>

using namespace norvale;
using norvale::test::FrameCounter;

namespace {

class FramePathTest : public ::testing::Test {
protected:
    void SetUp() override { test::useTestCameras(2); }
    void TearDown() override { unsetenv("NORVALE_TEST_FIRST_FORMAT"); }

    void bindCamera(int number) {
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        int index = test::testCameraIndex(devices, number);
        ASSERT_GE(index, 0);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(index));
    }
    void runPreview() {
        source.SetFilterGraph(&graph);
        renderer.SetFilterGraph(&graph);
        grabber.SetFilterGraph(&graph);
        graph.SetActive(true);
        ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
        graph.RunGraph();
    }
    // Waits (bounded) for a frame of the renderer matching `accept`.
    template <class F> std::shared_ptr<const TVideoFrame> waitForFrame(F accept) {
        for (int i = 0; i < 400; ++i) {
            auto frame = renderer.LatestFrame();
            if (frame && accept(*frame))
                return frame;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return nullptr;
    }

    TFilterGraph graph;
    TFilter source;
    TVideoRenderer renderer;
    TSampleGrabber grabber;
};

} // namespace

TEST_F(FramePathTest, FramesNobodyWantsAreCountedButNotHandedOver) {
    bindCamera(1); // YUY2 320x240 first: every delivered frame needs a conversion
    std::atomic<bool> wanted{false};
    std::atomic<size_t> lastLength{0};
    FrameCounter handled;
    grabber.SetBufferWanted([&] { return wanted.load(); });
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t*, size_t length) {
        lastLength = length;
        handled.add();
    });
    runPreview();
    for (int i = 0; i < 400 && grabber.FramesDelivered() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(grabber.FramesDelivered(), 3u); // frames pass and are counted ...
    EXPECT_EQ(handled.count(), 0);            // ... but none was handed over

    // Asked for on request all the same, in the delivered 24-bit format.
    std::vector<uint8_t> last;
    ASSERT_EQ(grabber.GetCurrentBuffer(last), hr::S_OK);
    EXPECT_EQ(last.size(), 230400u);
    TBitmap bitmap;
    ASSERT_TRUE(grabber.FrameToBitmap(&bitmap, nullptr, 0));
    EXPECT_EQ(bitmap.bits.size(), 230400u);
    AmMediaType connected;
    ASSERT_EQ(grabber.GetConnectedMediaType(connected), hr::S_OK);
    EXPECT_EQ(DescribeMediaType(connected),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X-240, 24 bits");

    wanted = true;
    ASSERT_TRUE(handled.waitFor(2));
    EXPECT_EQ(lastLength.load(), 230400u);
    graph.StopGraph();
}

TEST_F(FramePathTest, AStreamAlreadyIn24BitRgbReachesTheHandlerAsItIs) {
    bindCamera(1);
    std::vector<uint8_t> seen;
    FrameCounter handled;
    grabber.SetOnBuffer([&](TSampleGrabber&, double, const uint8_t* bytes, size_t length) {
        if (seen.empty())
            seen.assign(bytes, bytes + length);
        handled.add();
    });
    source.SetFilterGraph(&graph);
    graph.SetActive(true);
    std::vector<TMediaType> formats = source.DeviceFormats();
    auto rgb = std::find_if(formats.begin(), formats.end(), [](const TMediaType& t) {
        return t.MediaType().subtype == mediatype::RGB24;
    });
    ASSERT_NE(rgb, formats.end());
    ASSERT_EQ(source.SetFormat(*rgb), hr::S_OK);
    renderer.SetFilterGraph(&graph);
    grabber.SetFilterGraph(&graph);
    ASSERT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, &grabber, renderer), hr::S_OK);
    graph.RunGraph();
    ASSERT_TRUE(handled.waitFor(1));
    graph.StopGraph();
    EXPECT_EQ(seen.size(), 230400u);
}

// The motion branch's grey picture, from packed YUV, planar YUV and RGB: about 160 pixels
// across in the frame's shape, and the same scene's luminance whatever the format.
TEST_F(FramePathTest, MotionPicturesAreTheLuminanceAtDetectionSizeWhateverTheFormat) {
    struct Case {
        const char* format;
        int width, height, greyHeight;
    };
    const Case cases[] = {{"YUY2", 320, 240, 120}, {"I420", 352, 288, 131}, {"BGR", 320, 240, 120}};
    std::vector<double> means;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        TFilterGraph motionGraph;
        TFilter camera;
        TGreyGrabber grey;
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        camera.BaseFilter().StoreMoniker(devices.MonikerAt(test::testCameraIndex(devices, 1)));
        camera.SetFilterGraph(&motionGraph);
        motionGraph.SetActive(true);
        const std::vector<TMediaType> formats = camera.DeviceFormats();
        const auto chosen = std::find_if(formats.begin(), formats.end(), [&](const TMediaType& t) {
            return t.Caps().find(std::string("format=(string)") + c.format + ",") !=
                       std::string::npos &&
                   t.Caps().find("width=(int)" + std::to_string(c.width)) != std::string::npos;
        });
        ASSERT_NE(chosen, formats.end());
        ASSERT_EQ(camera.SetFormat(*chosen), hr::S_OK);
        std::vector<std::uint8_t> first;
        int width = 0, height = 0;
        FrameCounter pictures;
        grey.SetOnPicture([&](const GreyView& p, std::int64_t, bool) {
            if (first.empty()) {
                width = p.width;
                height = p.height;
                for (int y = 0; y < p.height; ++y)
                    first.insert(first.end(), p.pixels + y * p.stride,
                                 p.pixels + y * p.stride + p.width);
            }
            pictures.add();
        });
        grey.SetFilterGraph(&motionGraph);
        ASSERT_EQ(motionGraph.RenderStream(PIN_CATEGORY_PREVIEW, camera, nullptr, grey), hr::S_OK);
        motionGraph.RunGraph();
        ASSERT_TRUE(pictures.waitFor(1));
        motionGraph.StopGraph();
        EXPECT_EQ(width, 160);
        EXPECT_EQ(height, c.greyHeight);
        ASSERT_EQ(first.size(), static_cast<std::size_t>(width * height));
        const auto [dark, bright] = std::minmax_element(first.begin(), first.end());
        EXPECT_LT(*dark, 40); // the test picture has black and white in it
        EXPECT_GT(*bright, 200);
        means.push_back(std::accumulate(first.begin(), first.end(), 0.0) / first.size());
    }
    ASSERT_EQ(means.size(), 3u);
    EXPECT_NEAR(means[0], means[1], 8.0);
    EXPECT_NEAR(means[0], means[2], 16.0); // RGB is full range, YUV studio range
}

TEST_F(FramePathTest, RendererFitsFramesIntoThePictureAreaAndNeverEnlargesThem) {
    bindCamera(1);
    struct Case {
        int width, height;
        bool keep;
        int expectWidth, expectHeight;
    };
    const Case cases[] = {
        {160, 160, true, 160, 120},                                // letter-boxed fit of 4:3
        {100, 300, true, 100, 75},   {1000, 1000, true, 320, 240}, // never enlarged
        {0, 0, true, 320, 240},                                    // area unknown: native size
        {160, 160, false, 320, 240}, // shape not kept: the window scales
    };
    renderer.SetPictureArea(cases[0].width, cases[0].height, cases[0].keep);
    runPreview();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " keep " << c.keep);
        renderer.SetPictureArea(c.width, c.height, c.keep);
        auto frame = waitForFrame([&](const TVideoFrame& f) {
            return f.Width() == c.expectWidth && f.Height() == c.expectHeight;
        });
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Format(), TVideoFrame::PixelFormat::Bgrx32);
        EXPECT_GE(frame->Stride(), c.expectWidth * 4);
    }
    // The picture reaching the renderer keeps its native size for those who ask for it.
    EXPECT_EQ(graph.NativeVideoSize(), std::make_pair(320, 240));
    graph.StopGraph();
}

TEST_F(FramePathTest, ChosenSizeIsListedFirstAndPreviewsRunAtIt) {
    setenv("NORVALE_TEST_FIRST_FORMAT", "640x480", 1);
    bindCamera(2);
    source.SetFilterGraph(&graph);
    graph.SetActive(true);
    const std::vector<TMediaType> formats = source.DeviceFormats();
    ASSERT_GE(formats.size(), 2u);
    BitmapInfoHeader first;
    ASSERT_TRUE(VideoHeaderOf(formats[0].MediaType(), first));
    EXPECT_EQ(first.biWidth, 640);
    EXPECT_EQ(first.biHeight, 480);
    graph.SetActive(false);

    runPreview();
    EXPECT_EQ(graph.NativeVideoSize(), std::make_pair(640, 480));
    graph.StopGraph();
}
