#include "app/camera/Camera.h"
#include "app/camera/VideoWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QTabBar>
#include <QTabWidget>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace norvale;

namespace {
struct Fixture {
    int devices = 2;
    CameraServices services;
    Fixture() {
        services.videoDeviceCount = [this] { return devices; };
    }
};
} // namespace

TEST(Camera, NewFrame) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    EXPECT_EQ(cam.PageControl1()->tabText(0), "untitled");
    EXPECT_EQ(cam.PageControl1()->tabText(1), "Snapshot");
    EXPECT_EQ(cam.PageControl1()->currentIndex(), 0);
    EXPECT_EQ(cam.MMSPort(), 8801);
    EXPECT_EQ(cam.BitRate(), 1024);
    EXPECT_EQ(cam.SnapshotSeconds(), 60);
    EXPECT_TRUE(cam.SaveFilePath().endsWith('/'));
    EXPECT_EQ(cam.SaveFilePath(), cam.SnapshotPath());
    EXPECT_FALSE(cam.actPreview()->isEnabled());
    EXPECT_FALSE(cam.actSave()->isEnabled());
    EXPECT_FALSE(cam.actFullScreen()->isEnabled());
    EXPECT_TRUE(cam.actSnapshot()->isEnabled());
    EXPECT_TRUE(cam.actSettings()->isEnabled());
    EXPECT_EQ(cam.actFullScreen()->text(), "Full Screen");
    // The pop-up menu lists the actions in their order with two separators.
    const auto items = cam.PopupMenu1()->actions();
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(items[0], cam.actPreview());
    EXPECT_EQ(items[1], cam.actSave());
    EXPECT_EQ(items[2], cam.actSnapshot());
    EXPECT_TRUE(items[3]->isSeparator());
    EXPECT_EQ(items[4], cam.actFullScreen());
    EXPECT_TRUE(items[5]->isSeparator());
    EXPECT_EQ(items[6], cam.actSettings());
}

// The live-stream port comes with the services, read once at start-up; a camera never looks at
// the environment itself.
TEST(Camera, LiveStreamPortIsTheOneItIsGiven) {
    const struct {
        int given; // 0: the services' default
        const char* environment;
        int port;
    } cases[] = {{0, "8842", 8801}, {8842, nullptr, 8842}, {8843, "8844", 8843}};
    for (const auto& c : cases) {
        Fixture f;
        if (c.given)
            f.services.mmsPort = c.given;
        if (c.environment)
            setenv("NORVALE_MMS_PORT", c.environment, 1);
        TCamera cam(nullptr, f.services);
        unsetenv("NORVALE_MMS_PORT");
        EXPECT_EQ(cam.MMSPort(), c.port) << c.given;
    }
}

TEST(Camera, DeviceIndexTakesOnlyPositionsOfTodaysList) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    for (int bad : {-1, -5, 2, 99})
        cam.setVideoDeviceIndex(bad);
    EXPECT_EQ(cam.VideoDeviceIndex(), -1);
    cam.setVideoDeviceIndex(1);
    EXPECT_EQ(cam.VideoDeviceIndex(), 1);
    EXPECT_TRUE(cam.actPreview()->isEnabled());
    cam.setVideoDeviceIndex(-1); // once chosen, "none" cannot be set again
    EXPECT_EQ(cam.VideoDeviceIndex(), 1);
    f.devices = 0;
    cam.setVideoDeviceIndex(0);
    EXPECT_EQ(cam.VideoDeviceIndex(), 1);
    cam.setVideoFormatIndex(-42);
    EXPECT_EQ(cam.VideoFormatIndex(), -42);
}

TEST(Camera, NameRenamesTheFirstPageOnlyWhenItChanges) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    cam.setCameraName("Gate");
    EXPECT_EQ(cam.PageControl1()->tabText(0), "Gate");
    cam.PageControl1()->setTabText(0, "marker");
    cam.setCameraName("Gate");
    EXPECT_EQ(cam.PageControl1()->tabText(0), "marker");
    cam.setCameraName("GATE");
    EXPECT_EQ(cam.PageControl1()->tabText(0), "GATE");
}

TEST(Camera, SnapshotActionSwapsPicturesButThePropertyDoesNot) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    cam.setAutoSnapshot(true); // as loaded from the settings file
    EXPECT_FALSE(cam.imgBackground()->isHidden());
    EXPECT_FALSE(cam.Image1()->isHidden());
    cam.actSnapshot()->execute(); // now off
    EXPECT_FALSE(cam.AutoSnapshot());
    EXPECT_FALSE(cam.imgBackground()->isHidden());
    EXPECT_TRUE(cam.Image1()->isHidden());
    EXPECT_FALSE(cam.actSnapshot()->isChecked());
    cam.actSnapshot()->execute(); // on again
    EXPECT_TRUE(cam.AutoSnapshot());
    EXPECT_TRUE(cam.imgBackground()->isHidden());
    EXPECT_FALSE(cam.Image1()->isHidden());
    EXPECT_TRUE(cam.actSnapshot()->isChecked());
    EXPECT_TRUE(cam.chkAutoSnapshot()->isChecked());
    // The check box runs the same action.
    cam.chkAutoSnapshot()->click();
    EXPECT_FALSE(cam.AutoSnapshot());
    EXPECT_FALSE(cam.chkAutoSnapshot()->isChecked());
}

TEST(Camera, FullScreenStaysOffWithoutPreview) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    cam.setFullScreen(true);
    EXPECT_EQ(cam.actFullScreen()->text(), "Exit Full Screen");
    // Double-clicking the video while not previewing switches full screen off.
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(cam.VideoWindow(), &dbl);
    EXPECT_FALSE(cam.FullScreen());
    EXPECT_EQ(cam.actFullScreen()->text(), "Full Screen");
    EXPECT_FALSE(cam.actFullScreen()->execute()); // disabled while not previewing
}

TEST(Camera, SizeChangesRefitOncePerPostedMessageAfterTheChange) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    cam.resize(320, 240);
    cam.show();
    QApplication::processEvents();
    const int before = cam.refitCount();
    cam.resize(400, 300);
    EXPECT_EQ(cam.refitCount(), before); // deferred, not inside the size change
    QApplication::processEvents();
    EXPECT_GT(cam.refitCount(), before);
    EXPECT_EQ(cam.VideoWindow()->width(), cam.PageControl1()->currentWidget()->width());
}

TEST(Camera, AnIdleFrameSaysWhatItWaitsForOnAQuietTabBar) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    cam.resize(320, 240);
    const QImage shot = cam.grab().toImage();
    TVideoWindow* video = cam.VideoWindow();
    EXPECT_EQ(video->WaitingText(), "No device: open Camera Settings");
    cam.setVideoDeviceIndex(1);
    EXPECT_EQ(video->WaitingText(), "Stopped: press Preview");
    // In the frame's own ink, not black on black.
    EXPECT_GT(qGray(video->palette().color(QPalette::WindowText).rgb()), 64);

    // Right of the tabs the bar is the frame's dark background: no bright base line.
    QTabBar* bar = cam.PageControl1()->tabBar();
    const QRect last = bar->tabRect(bar->count() - 1);
    const QPoint origin = bar->mapTo(&cam, QPoint(0, 0));
    int bright = 0;
    for (int y = origin.y() + last.top(); y <= origin.y() + last.bottom(); ++y)
        for (int x = origin.x() + last.right() + 4; x < shot.width(); ++x)
            bright += qGray(shot.pixel(x, y)) > 96;
    EXPECT_EQ(bright, 0);
}

TEST(Camera, AMotionEventShowsOnTheFrameWhileItRuns) {
    Fixture f;
    TCamera cam(nullptr, f.services);
    int told = 0;
    QObject::connect(&cam, &TCamera::OnMotion, [&] { ++told; });
    const qint64 start = QDateTime(QDate(2026, 12, 9), QTime(21, 5, 7)).toMSecsSinceEpoch();
    emit cam.Channel().motionStarted(start);
    EXPECT_TRUE(cam.InMotion());
    EXPECT_EQ(cam.NoticeText(), "Motion since 21:05:07");
    EXPECT_EQ(cam.VideoWindow()->StatusText(), "Motion since 21:05:07");
    emit cam.Channel().motionEnded(MotionEventRecord{});
    EXPECT_FALSE(cam.InMotion());
    EXPECT_EQ(cam.VideoWindow()->StatusText(), "");
    EXPECT_EQ(told, 2);
    // A camera that stops ends what it showed, told or not.
    emit cam.Channel().motionStarted(start);
    emit cam.Channel().stateEntered(ChannelState::Idle);
    EXPECT_FALSE(cam.InMotion());
    EXPECT_EQ(cam.VideoWindow()->StatusText(), "");
}
