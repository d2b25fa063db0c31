// Which format a device stream runs at: a chosen format only when the device can deliver it,
// forgotten when the source leaves its graph, and without one the device's current format or a
// moderate size at a fluent rate. Also how devices without a node path are told apart.
#include "CaptureTestSupport.h"

#include "capture/CapsMapping.h"
#include "capture/DeviceElement.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "capture/GstRuntime.h"
#include "capture/TestCameras.h"
#include "capture/VideoRenderer.h"

#include <gtest/gtest.h>

using namespace norvale;

namespace {

std::string chosen(const char* caps, int w = 0, int h = 0, const std::string& kind = {}) {
    gst::ensureInitialised();
    gst::Caps c(gst_caps_from_string(caps));
    gst::Structure s = gst::choosePreviewStructure(c.get(), w, h, kind);
    if (!s)
        return "none";
    int width = 0, height = 0, n = 0, d = 1;
    gst_structure_get_int(s.get(), "width", &width);
    gst_structure_get_int(s.get(), "height", &height);
    gst_structure_get_fraction(s.get(), "framerate", &n, &d);
    const gchar* format = gst_structure_get_string(s.get(), "format");
    return std::string(format ? format : gst_structure_get_name(s.get())) + " " +
           std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(n / d);
}

class FormatChoiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::useTestCameras(1);
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(test::testCameraIndex(devices, 1)));
    }
    void TearDown() override {
        testcameras::setReportsCurrentFormat(1, true);
        unsetenv("NORVALE_TEST_FIRST_FORMAT");
    }
    std::pair<int, int> previewSize() {
        source.SetFilterGraph(&graph);
        renderer.SetFilterGraph(&graph);
        graph.SetActive(true);
        EXPECT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, nullptr, renderer), hr::S_OK);
        auto size = graph.NativeVideoSize();
        graph.SetActive(false);
        return size;
    }
    TFilterGraph graph;
    TFilter source;
    TVideoRenderer renderer;
};

} // namespace

TEST(PreviewFormatRule, CurrentFormatElseNearest640x480AtAFluentRate) {
    const char* webcam = "video/x-raw,format=YUY2,width=1920,height=1080,framerate=5/1;"
                         "video/x-raw,format=YUY2,width=1280,height=720,framerate={10/1,5/1};"
                         "video/x-raw,format=YUY2,width=640,height=480,framerate={30/1,15/1};"
                         "video/x-raw,format=YUY2,width=320,height=240,framerate=30/1;"
                         "image/jpeg,width=1920,height=1080,framerate=30/1";
    const struct {
        const char* caps;
        int w, h;
        std::string kind;
        std::string expected;
    } cases[] = {
        {webcam, 0, 0, "", "YUY2 640x480@30"},
        {webcam, 320, 240, "YUY2", "YUY2 320x240@30"},
        {webcam, 1920, 1080, "image/jpeg", "image/jpeg 1920x1080@30"},
        // A current format the caps do not hold falls back to the rule.
        {webcam, 800, 600, "YUY2", "YUY2 640x480@30"},
        // Raw first; a slow size near 640x480 loses to a fluent one further away.
        {"video/x-raw,format=YUY2,width=640,height=480,framerate=5/1;"
         "video/x-raw,format=YUY2,width=352,height=288,framerate=15/1",
         0, 0, "", "YUY2 352x288@15"},
        {"image/jpeg,width=1280,height=720,framerate=30/1;"
         "image/jpeg,width=640,height=480,framerate=30/1",
         0, 0, "", "image/jpeg 640x480@30"},
        {"video/x-raw,format=I420,width=[16,4096],height=[16,4096],framerate=[1/1,60/1]", 0, 0, "",
         "I420 640x480@60"},
        {"video/x-raw(memory:DMABuf),format=NV12,width=640,height=480,framerate=30/1", 0, 0, "",
         "none"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chosen(c.caps, c.w, c.h, c.kind), c.expected) << c.caps << " " << c.w;
}

TEST_F(FormatChoiceTest, PreviewRunsAtTheCurrentFormatOrTheRuleNotTheFirstListed) {
    setenv("NORVALE_TEST_FIRST_FORMAT", "720x576", 1);
    // The camera reports it is set to its first listed format.
    EXPECT_EQ(previewSize(), std::make_pair(720, 576));
    // A device that reports none, with its largest size first.
    testcameras::setReportsCurrentFormat(1, false);
    EXPECT_EQ(previewSize(), std::make_pair(640, 480));
}

TEST_F(FormatChoiceTest, AFormatTheDeviceCannotDeliverIsRefusedAndTheOldOneKept) {
    source.SetFilterGraph(&graph);
    graph.SetActive(true);
    const std::vector<TMediaType> formats = source.DeviceFormats();
    ASSERT_GE(formats.size(), 2u);
    EXPECT_EQ(source.SetFormat(formats[1]), hr::S_OK); // 352x288
    const std::string kept = source.formatCaps();
    const TMediaType foreign(formats[1].MediaType(),
                             "video/x-raw, format=(string)NV12, width=(int)1234, height=(int)567");
    EXPECT_EQ(source.SetFormat(foreign), hr::VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(source.formatCaps(), kept);
    renderer.SetFilterGraph(&graph);
    EXPECT_EQ(graph.RenderStream(PIN_CATEGORY_PREVIEW, source, nullptr, renderer), hr::S_OK);
    EXPECT_EQ(graph.NativeVideoSize(), std::make_pair(352, 288));
    graph.SetActive(false);
    // Not a format of any device at all, and no device bound.
    EXPECT_EQ(source.SetFormat(TMediaType()), hr::E_INVALIDARG);
    EXPECT_EQ(source.SetFormat(formats[1]), hr::VFW_E_INVALIDMEDIATYPE);
}

TEST_F(FormatChoiceTest, AChosenFormatIsForgottenWhenTheSourceLeavesTheGraph) {
    source.SetFilterGraph(&graph);
    graph.SetActive(true);
    ASSERT_EQ(source.SetFormat(source.DeviceFormats().at(1)), hr::S_OK); // 352x288
    graph.SetActive(false);
    EXPECT_TRUE(source.formatCaps().empty());
    // A plain preview afterwards runs at the device's own format again.
    EXPECT_EQ(previewSize(), std::make_pair(320, 240));
}

TEST(DeviceIdentity, NodePathsFromEveryProviderAndEqualOnesToldApart) {
    gst::ensureInitialised();
    auto identity = [](const char* props) {
        gst::Structure s(gst_structure_from_string(props, nullptr));
        return gst::deviceIdentity(s.get(), "USB Camera");
    };
    EXPECT_EQ(identity("p, device.api=v4l2, device.path=/dev/video0"), "v4l2\n/dev/video0");
    EXPECT_EQ(identity("p, device.api=pipewire, api.v4l2.path=/dev/video2"),
              "pipewire\n/dev/video2");
    EXPECT_EQ(identity("p, device.api=pipewire, object.path=v4l2:/dev/video4"),
              "pipewire\nv4l2:/dev/video4");
    EXPECT_EQ(identity("p, device.api=libcamera"), "name\nUSB Camera");

    std::vector<gst::DeviceRecord> records(3);
    records[0].identity = records[1].identity = "name\nUSB Camera";
    records[2].identity = "v4l2\n/dev/video0";
    gst::makeIdentitiesUnique(records);
    EXPECT_EQ(records[0].identity, "name\nUSB Camera");
    EXPECT_EQ(records[1].identity, "name\nUSB Camera\n#2");
    EXPECT_EQ(records[2].identity, "v4l2\n/dev/video0");
}
