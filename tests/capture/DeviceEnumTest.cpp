// Device listing and identities against synthetic cameras.
#include "CaptureTestSupport.h"

#include "capture/CaptureErrors.h"
#include "capture/DeviceElement.h"
#include "capture/TestCameras.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

using namespace norvale;

namespace {

// Plugs every test camera back and forgets name overrides, whatever a test did.
class DeviceEnumTest : public ::testing::Test {
protected:
    void SetUp() override { test::useTestCameras(3); }
    void TearDown() override {
        for (int n = 1; n <= 3; ++n) {
            testcameras::setUnplugged(n, false);
            testcameras::setNameOverride(n, "");
        }
    }
};

std::string nameOfBound(const TBaseFilter& filter) {
    auto bound = filter.BindFilter();
    return bound ? bound->name : std::string("<none>");
}

} // namespace

TEST_F(DeviceEnumTest, TestCamerasFollowTheRealDevicesInNumberOrder) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    int first = test::testCameraIndex(devices, 1);
    ASSERT_GE(first, 0);
    ASSERT_EQ(devices.DeviceCount(), first + 3);
    for (int n = 1; n <= 3; ++n) {
        DeviceEntry e = devices.EntryAt(first + n - 1);
        EXPECT_EQ(e.FriendlyName, "Norvale Test Camera " + std::to_string(n));
        EXPECT_EQ(e.ClassId, CLSID_NorvaleTestCamera);
    }
    EXPECT_THROW(devices.EntryAt(-1), EListError);
    EXPECT_THROW(devices.EntryAt(devices.DeviceCount()), EListError);
}

TEST_F(DeviceEnumTest, OtherCategoriesListNoTestCameras) {
    TSysDevEnum devices(guid("{00000000-0000-0000-0000-000000000001}"));
    EXPECT_EQ(devices.DeviceCount(), 0);
    EXPECT_FALSE(devices.MonikerAt(0));
}

TEST_F(DeviceEnumTest, StoredIdentityRebindsTheSameCamera) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    int index = test::testCameraIndex(devices, 2);
    auto moniker = devices.MonikerAt(index);
    ASSERT_TRUE(moniker);
    EXPECT_EQ(moniker->displayName, "Norvale Test Camera 2");

    TBaseFilter filter;
    filter.StoreMoniker(moniker);
    EXPECT_FALSE(filter.empty());
    EXPECT_EQ(nameOfBound(filter), "Norvale Test Camera 2");

    // The identity survives being saved as data and read back.
    TBaseFilter copy;
    ASSERT_TRUE(copy.LoadDataBytes(filter.DataBytes()));
    EXPECT_EQ(copy.bytes(), filter.bytes());
    EXPECT_EQ(nameOfBound(copy), "Norvale Test Camera 2");
    EXPECT_FALSE(copy.LoadDataBytes({5, 0, 0, 0, 1})); // length says 5, one byte follows
    EXPECT_EQ(copy.bytes(), filter.bytes());

    filter.StoreMoniker(std::nullopt);
    EXPECT_TRUE(filter.empty());
    EXPECT_EQ(filter.DataBytes(), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_FALSE(filter.RestoreMoniker());
    EXPECT_EQ(filter.BindFilter(), nullptr);
}

TEST_F(DeviceEnumTest, IndexPastTheListGivesNoIdentity) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    EXPECT_FALSE(devices.MonikerAt(devices.DeviceCount()));
    EXPECT_FALSE(devices.MonikerAt(-1));
}

TEST_F(DeviceEnumTest, MonikerAtEnumeratesAfreshAfterAnUnplug) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    int first = test::testCameraIndex(devices, 1);
    auto stored = devices.MonikerAt(first);
    testcameras::setUnplugged(1, true);

    // Without a new listing the positions now name the cameras that are left.
    EXPECT_EQ(devices.DeviceCount(), first + 3);
    auto atFirst = devices.MonikerAt(first);
    ASSERT_TRUE(atFirst);
    EXPECT_EQ(atFirst->displayName, "Norvale Test Camera 2");
    EXPECT_FALSE(devices.MonikerAt(first + 2));

    // A stored identity of the unplugged camera binds nothing, and a lost camera's attempts to
    // come back (one every minute for as long as it stays away) keep no descriptor open.
    TBaseFilter filter;
    filter.StoreMoniker(stored);
    EXPECT_EQ(filter.BindFilter(), nullptr);
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openDescriptors();
    for (int attempt = 0; attempt < 10; ++attempt)
        EXPECT_EQ(filter.BindFilter(), nullptr);
    // One attempt's leak would be ten here; GLib may open a descriptor of its own meanwhile.
    EXPECT_LE(openDescriptors(), before + 2);

    devices.SelectCategory(CLSID_VideoInputDeviceCategory);
    EXPECT_EQ(devices.DeviceCount(), first + 2);
}

TEST_F(DeviceEnumTest, LongNamesAreCutTo255Characters) {
    testcameras::setNameOverride(1, std::string(300, 'x'));
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    bool found = false;
    for (int i = 0; i < devices.DeviceCount(); ++i)
        if (devices.EntryAt(i).FriendlyName == std::string(255, 'x'))
            found = true;
    EXPECT_TRUE(found);
    // Characters, not bytes: a name of 300 two-byte characters keeps 255 whole ones.
    std::string wide;
    for (int i = 0; i < 300; ++i)
        wide += "\xC3\xA9";
    EXPECT_EQ(CutFriendlyName(wide).size(), 510u);
    EXPECT_EQ(CutFriendlyName("short"), "short");
}

TEST_F(DeviceEnumTest, ATestCameraMissingAnElementCannotBeOpenedAndSaysWhy) {
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    TBaseFilter filter;
    filter.StoreMoniker(devices.MonikerAt(test::testCameraIndex(devices, 1)));
    ASSERT_NE(filter.BindFilter(), nullptr);
    // As on a machine without gstreamer1.0-x: no name overlay.
    GstRegistry* registry = gst_registry_get();
    GstPluginFeature* overlay = gst_registry_lookup_feature(registry, "textoverlay");
    ASSERT_NE(overlay, nullptr);
    gst_registry_remove_feature(registry, overlay);
    testing::internal::CaptureStderr();
    const bool bound = filter.BindFilter() != nullptr;
    const std::string said = testing::internal::GetCapturedStderr();
    gst_registry_add_feature(registry, overlay);
    gst_object_unref(overlay);
    EXPECT_FALSE(bound);
    EXPECT_NE(said.find("Norvale Test Camera 1 cannot be opened"), std::string::npos) << said;
    EXPECT_NE(said.find("textoverlay"), std::string::npos) << said;
    EXPECT_NE(filter.BindFilter(), nullptr);
}

// The scripted unplug, replug and stall of test cameras, at times far before or after now, so
// the answers do not depend on how long the program has run.
TEST(TestCameraScripts, UnplugReplugAndStallEntries) {
    setenv("NORVALE_TEST_UNPLUG", "40@0,41@0,42@0,43@100000,44,45@0,45@100000,46@0", 1);
    setenv("NORVALE_TEST_REPLUG", "41@0,42@100000,43@0,45@0,46@x", 1);
    setenv("NORVALE_TEST_STALL",
           "50@0+100000,51@100000+5,52@0,53@x+5,54@0+0,55@100000+1,55@0+100000", 1);
    const struct {
        int camera;
        bool unplugged;
        bool stalled;
    } cases[] = {
        {40, true, false},  // unplugged, never back
        {41, false, false}, // unplugged and back at the same moment: back
        {42, true, false},  // back only much later
        {43, false, false}, // back before being unplugged, unplugged much later
        {44, true, false},  // no time: from the start
        {45, false, false}, // the latest event that has happened decides
        {46, false, false}, // an unreadable replug time counts as the start: plugged back
        {50, false, true},  // stalled now
        {51, false, false}, // stalls much later
        {52, false, false}, // no length: no stall
        {53, false, false}, // unreadable time
        {54, false, false}, // zero length
        {55, false, true},  // one of several entries
    };
    for (const auto& c : cases) {
        EXPECT_EQ(testcameras::isUnplugged(c.camera), c.unplugged) << c.camera;
        EXPECT_EQ(testcameras::isStalled(c.camera), c.stalled) << c.camera;
    }
    unsetenv("NORVALE_TEST_UNPLUG");
    unsetenv("NORVALE_TEST_REPLUG");
    unsetenv("NORVALE_TEST_STALL");
}
