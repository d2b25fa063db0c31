// Formats of a device through its pin list, the format list, Enc.ini and the error texts.
#include "CaptureTestSupport.h"

#include "capture/CaptureErrors.h"
#include "capture/EnumMediaType.h"
#include "capture/FilterGraph.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace norvale;

namespace {

class EnumMediaTypeTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::useTestCameras(1);
        TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
        source.BaseFilter().StoreMoniker(devices.MonikerAt(test::testCameraIndex(devices, 1)));
        source.SetFilterGraph(&graph);
        graph.SetActive(true);
    }
    TFilterGraph graph;
    TFilter source;
};

} // namespace

TEST_F(EnumMediaTypeTest, TestCameraFormatsInDeviceOrderWithTheirTexts) {
    TPinList pins(&source);
    ASSERT_EQ(pins.Count(), 1);
    EXPECT_TRUE(pins.FirstPin().HasStreamConfig());
    TEnumMediaType formats;
    formats.LoadFromPin(&pins.FirstPin());
    const char* expected[] = {
        "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 320X240, 16 bits",
        "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 352X288, 16 bits",
        "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 640X480, 16 bits",
        "Major Type: Video - Sub Type: IYUV Format: VideoInfo IYUV 320X240, 12 bits",
        "Major Type: Video - Sub Type: IYUV Format: VideoInfo IYUV 352X288, 12 bits",
        "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X240, 24 bits",
        "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 176X144, 16 bits",
        // A raw format with non-square pixels: its VideoInfo twin first, so it can be chosen.
        "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 720X576, 16 bits",
        "Major Type: Video - Sub Type: YUY2 Format: VideoInfo2 YUY2 720X576, 16 bits",
    };
    ASSERT_EQ(formats.Count(), static_cast<int>(std::size(expected)));
    for (int i = 0; i < formats.Count(); ++i)
        EXPECT_EQ(formats.DescriptionAt(i), expected[i]) << i;

    // The block layout callers rely on: header at 48 in 88 bytes, or at 72 in 112 bytes.
    EXPECT_EQ(formats.ItemAt(0).MediaType().format.size(), 88u);
    EXPECT_EQ(formats.ItemAt(7).MediaType().format.size(), 88u);
    EXPECT_EQ(formats.ItemAt(8).MediaType().format.size(), 112u);
    EXPECT_EQ(formats.ItemAt(7).Caps(), formats.ItemAt(8).Caps());
    EXPECT_EQ(formats.ItemAt(0).MediaType().lSampleSize, 320u * 240u * 2u);

    EXPECT_EQ(formats.DescriptionAt(-1), "");
    EXPECT_EQ(formats.DescriptionAt(formats.Count()), "");
    EXPECT_THROW(formats.ItemAt(formats.Count()), EListError);

    // Loading again replaces the list; a copy is deep.
    TMediaType copy = formats.ItemAt(2);
    formats.LoadFromPin(&pins.FirstPin());
    EXPECT_EQ(formats.Count(), 9);
    EXPECT_EQ(copy.MediaType(), formats.ItemAt(2).MediaType());
    formats.Clear();
    EXPECT_EQ(formats.Count(), 0);
    EXPECT_EQ(copy.Description(), expected[2]);
}

TEST_F(EnumMediaTypeTest, PinListOfAMissingFilterIsEmpty) {
    TFilter none("Nothing");
    TPinList pins(&none);
    EXPECT_EQ(pins.Count(), 0);
    EXPECT_THROW(pins.FirstPin(), EListError);
    TPinList nullList(nullptr);
    EXPECT_EQ(nullList.Count(), 0);
}

TEST_F(EnumMediaTypeTest, LoadFromPinWithoutPinIsAnAssertion) {
    TEnumMediaType formats;
    try {
        formats.LoadFromPin(nullptr);
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_STREQ(e.what(), "IPin not assigned");
    }
}

TEST_F(EnumMediaTypeTest, SettingAFormatThroughThePin) {
    TPinList pins(&source);
    TEnumMediaType formats;
    formats.LoadFromPin(&pins.FirstPin());
    EXPECT_EQ(pins.FirstPin().SetFormat(formats.ItemAt(5)), hr::S_OK);
    EXPECT_EQ(source.formatCaps(), formats.ItemAt(5).Caps());
    EXPECT_EQ(pins.FirstPin().SetFormat(TMediaType()), hr::E_INVALIDARG);
}

TEST(PreferredFormat, ReadsTheDeviceSectionWithoutRegardToCase) {
    test::TempDir dir;
    auto ini = dir / "Enc.ini";
    test::writeFile(ini,
                    "[norvale test camera 1]\nvideoformat=Major Type: Video - Sub Type: YUY2\n");
    EXPECT_EQ(PreferredVideoFormat(ini, "Norvale Test Camera 1"),
              "Major Type: Video - Sub Type: YUY2");
    EXPECT_EQ(PreferredVideoFormat(ini, "Norvale Test Camera 2"), "");
    EXPECT_EQ(PreferredVideoFormat(dir / "missing.ini", "Norvale Test Camera 1"), "");
    EXPECT_EQ(EncIniPath().filename(), "Enc.ini");
}

TEST(DirectShowResult, FailuresBecomeExceptionsWithTheCode) {
    EXPECT_EQ(CheckDirectShowResult(0), 0);
    EXPECT_EQ(CheckDirectShowResult(1), 1);
    try {
        CheckDirectShowResult(hr::E_FAIL);
        FAIL();
    } catch (const EDirectShowException& e) {
        EXPECT_STREQ(e.what(), "Unspecified error ($80004005).");
        EXPECT_EQ(e.code(), hr::E_FAIL);
    }
    try {
        CheckDirectShowResult(static_cast<HResult>(0x8000000Au), "Could not open device.");
        FAIL();
    } catch (const EDirectShowException& e) {
        EXPECT_STREQ(e.what(), "Could not open device ($8000000A).");
    }
}

TEST_F(EnumMediaTypeTest, DeviceControlsCanBeReadAndSet) {
    auto controls = source.DeviceControls();
    ASSERT_FALSE(controls.empty());
    auto brightness = std::find_if(controls.begin(), controls.end(), [](const TFilter::Control& c) {
        return c.Name == "BRIGHTNESS";
    });
    ASSERT_NE(brightness, controls.end());
    EXPECT_LT(brightness->Min, brightness->Max);
    EXPECT_TRUE(source.SetDeviceControl("BRIGHTNESS", brightness->Max + 1000)); // clamped
    for (const auto& c : source.DeviceControls()) {
        if (c.Name == "BRIGHTNESS") {
            EXPECT_EQ(c.Value, brightness->Max);
        }
    }
    EXPECT_FALSE(source.SetDeviceControl("NO SUCH CONTROL", 1));
    TFilter unbound("Unbound");
    EXPECT_TRUE(unbound.DeviceControls().empty());
}
