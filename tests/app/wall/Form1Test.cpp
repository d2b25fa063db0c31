#include "app/wall/Form1.h"
#include "capture/NetworkCamera.h"
#include "controls/RgnButton.h"
#include "core/IniFile.h"
#include "core/NetCamera.h"
#include "platform/MessageBox.h"
#include "support/FakeDesktop.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QListWidget>
#include <QMouseEvent>
#include <QPointer>
#include <QRadioButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

using namespace norvale;
using norvale::test::TempDir;

namespace {

struct Wall {
    TempDir dir;
    norvale::test::FakeDesktop desktop;
    int devices = 2;
    std::unique_ptr<TForm1> form;

    explicit Wall(const std::string& setupIni = {}, std::string exeSubdir = {},
                  bool withTray = true, std::function<void(const std::string&)> shutdownStep = {}) {
        if (!setupIni.empty())
            norvale::test::writeFile(dir / "setup.ini", setupIni);
        Form1Context c;
        c.exeDir = QString::fromStdString((dir.path() / exeSubdir).string());
        if (!c.exeDir.endsWith('/'))
            c.exeDir += '/';
        c.applicationName = "Norvale Test";
        desktop.tray = withTray;
        desktop.pointer = {0, 100};
        c.desktop = &desktop;
        c.cameraServices.videoDeviceCount = [this] { return devices; };
        c.shutdownStep = std::move(shutdownStep);
        form = std::make_unique<TForm1>(std::move(c));
    }
    TCamera* camera(int n) const { return form->AllCameras().at(n - 1); }
    std::string ini() const { return norvale::test::readFile(dir / "setup.ini"); }

    // A left press at wall coordinates, delivered to the widget under the point as a real click.
    void clickAt(int x, int y) {
        form->show();
        QApplication::setActiveWindow(form.get());
        const QPoint local(x, y);
        QWidget* target = form->childAt(local);
        if (!target)
            target = form.get();
        const QPoint global = form->mapToGlobal(local);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(target->mapFromGlobal(global)),
                          QPointF(global), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    }
};

QRect rectOf(const Rect& r) {
    return {r.left, r.top, r.width, r.height};
}

} // namespace

TEST(Form1, FirstStartWithoutSettings) {
    Wall w;
    TForm1& f = *w.form;
    EXPECT_EQ(f.windowTitle(), "Norvale Test");
    EXPECT_EQ(f.size(), QSize(1024, 768));
    EXPECT_TRUE(f.windowFlags() & Qt::FramelessWindowHint);
    ASSERT_EQ(f.AllCameras().size(), 36);
    EXPECT_EQ(w.camera(1)->objectName(), "Camera1");
    EXPECT_EQ(w.camera(36)->CameraName(), "Camera36");
    EXPECT_EQ(w.camera(5)->VideoDeviceIndex(), -1);
    EXPECT_EQ(f.CurrentGroup(), 1);
    EXPECT_EQ(f.CurrentCnt(), 1);
    EXPECT_EQ(f.CurrentIndex(), 1);
    EXPECT_EQ(f.SelectedCamera(), w.camera(1));
    EXPECT_FALSE(f.PopupPanel()->isHidden());
    EXPECT_TRUE(f.showAtStart());
    EXPECT_FALSE(w.camera(1)->isHidden());
    EXPECT_EQ(w.camera(1)->geometry(), QRect(26, 24, 787, 643));
    for (int n = 2; n <= 36; ++n)
        EXPECT_TRUE(w.camera(n)->isHidden()) << n;
    EXPECT_TRUE(f.LayoutButton(1)->downed());
    EXPECT_TRUE(f.NumButton(1)->downed());
    EXPECT_FALSE(f.NumButton(2)->downed());
    EXPECT_EQ(f.Shape1()->geometry(), QRect(24, 22, 791, 647));
    EXPECT_FALSE(f.Shape1()->isHidden());
    EXPECT_EQ(f.ListBox1()->currentRow(), 0);
    EXPECT_EQ(f.ListBox1()->count(), 9);
    EXPECT_EQ(f.ListBox1()->item(4)->text(), "5");
    EXPECT_TRUE(f.GroupButton(1)->isChecked());
    EXPECT_FALSE(f.ControlPanel()->isVisibleTo(&f));
    EXPECT_EQ(f.ControlPanel()->geometry(), QRect(243, 0, 538, 20));
}

TEST(Form1, StartMinimizedKeepsTheWindowHiddenWithItsCameras) {
    Wall w("[System]\nStartMinimized=1\n");
    EXPECT_FALSE(w.form->showAtStart());
    EXPECT_EQ(w.form->AllCameras().size(), 36);
    EXPECT_EQ(w.form->SelectedCamera(), w.camera(1));
}

TEST(Form1, LayoutsPlaceTheGroupsCamerasInTheirRectangles) {
    Wall w;
    TForm1& f = *w.form;
    for (int frames : {4, 6, 9, 1}) {
        f.ApplyLayout(frames);
        EXPECT_EQ(f.CurrentCnt(), frames);
        const auto rects = layoutRects(frames);
        for (int slot = 1; slot <= 9; ++slot) {
            TCamera* cam = f.SlotCamera(slot);
            const bool shown = frames == 1 ? slot == 1 : slot <= frames;
            EXPECT_EQ(!cam->isHidden(), shown) << frames << "/" << slot;
            if (shown) {
                EXPECT_EQ(cam->geometry(), rectOf(rects[static_cast<std::size_t>(slot - 1)]));
            }
        }
        for (int b : {1, 4, 6, 9})
            EXPECT_EQ(f.LayoutButton(b)->downed(), b == frames);
    }
    // An unknown layout shows nothing, keeps the count and presses no button.
    f.ApplyLayout(4);
    f.ApplyLayout(5);
    EXPECT_EQ(f.CurrentCnt(), 4);
    for (TCamera* cam : f.AllCameras())
        EXPECT_TRUE(cam->isHidden());
    for (int b : {1, 4, 6, 9})
        EXPECT_FALSE(f.LayoutButton(b)->downed());
    EXPECT_TRUE(f.Shape1()->isHidden());
}

TEST(Form1, UnknownStoredLayoutIsKeptAndWrittenBack) {
    Wall w("[System]\nCurrentCnt=5\nCurrentIndex=12\n");
    EXPECT_EQ(w.form->CurrentCnt(), 5);
    EXPECT_EQ(w.form->CurrentIndex(), 1);
    for (TCamera* cam : w.form->AllCameras())
        EXPECT_TRUE(cam->isHidden());
    w.form.reset();
    IniFile ini(w.dir / "setup.ini");
    EXPECT_EQ(ini.readInteger("System", "CurrentCnt", 0), 5);
    EXPECT_EQ(ini.readInteger("System", "CurrentIndex", 0), 1);
}

TEST(Form1, ClickingAFrameSelectsItsSlotWithInclusiveEdges) {
    Wall w("[System]\nCurrentCnt=9\n");
    TForm1& f = *w.form;
    w.clickAt(289, 100);
    EXPECT_EQ(f.CurrentIndex(), 2);
    w.clickAt(287, 100); // last pixel of slot 1's inclusive rectangle
    EXPECT_EQ(f.CurrentIndex(), 1);
    w.clickAt(288, 100); // the gap
    EXPECT_EQ(f.CurrentIndex(), 1);
    w.clickAt(600, 300);
    EXPECT_EQ(f.CurrentIndex(), 6);
    EXPECT_EQ(f.SelectedCamera(), w.camera(6));
    EXPECT_EQ(f.Shape1()->geometry(), QRect(550, 237, 265, 217));
    // The visible list panel hides the frames below it from clicks.
    w.clickAt(400, 500);
    EXPECT_EQ(f.CurrentIndex(), 6);
    f.PopupPanel()->hide();
    w.clickAt(400, 500);
    EXPECT_EQ(f.CurrentIndex(), 8);
}

TEST(Form1, ClicksAreIgnoredWhileAModalDialogIsOpen) {
    Wall w("[System]\nCurrentCnt=9\n");
    QWidget dialog;
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
    w.clickAt(600, 300);
    EXPECT_EQ(w.form->CurrentIndex(), 1);
    dialog.hide();
}

TEST(Form1, SelectingASlotTheLayoutHides) {
    Wall w("[System]\nCurrentCnt=4\n");
    TForm1& f = *w.form;
    f.SelectSlot(7);
    EXPECT_EQ(f.CurrentIndex(), 7);
    EXPECT_EQ(f.SelectedCamera(), w.camera(7));
    EXPECT_TRUE(f.NumButton(7)->downed());
    EXPECT_FALSE(f.NumButton(1)->downed());
    EXPECT_EQ(f.ListBox1()->currentRow(), 6);
    EXPECT_TRUE(f.Shape1()->isHidden());
    // Out-of-range slots are ignored.
    f.SelectSlot(0);
    f.SelectSlot(10);
    EXPECT_EQ(f.CurrentIndex(), 7);
}

TEST(Form1, OneFrameLayoutKeepsShowingItsCameraUntilAppliedAgain) {
    Wall w;
    TForm1& f = *w.form;
    f.SelectSlot(3);
    EXPECT_FALSE(w.camera(1)->isHidden());
    EXPECT_TRUE(w.camera(3)->isHidden());
    EXPECT_TRUE(f.Shape1()->isHidden());
    emit f.LayoutButton(1)->clicked();
    EXPECT_FALSE(w.camera(3)->isHidden());
    EXPECT_TRUE(w.camera(1)->isHidden());
    EXPECT_FALSE(f.Shape1()->isHidden());
}

TEST(Form1, CommandStatesFollowTheSelectedCamera) {
    Wall w;
    TForm1& f = *w.form;
    EXPECT_TRUE(f.actPreview()->isEnabled());
    EXPECT_FALSE(f.actPreview()->isChecked());
    EXPECT_FALSE(f.actRecord()->isEnabled());
    EXPECT_FALSE(f.actSnapshot()->isEnabled());
    EXPECT_TRUE(f.actCamSettings()->isEnabled());
    EXPECT_FALSE(f.actFullScreen()->isEnabled());
    EXPECT_TRUE(f.PreviewBtn()->buttonEnabled());
    EXPECT_FALSE(f.PreviewBtn()->downed());
    EXPECT_TRUE(f.CamSettingsBtn()->buttonEnabled());
    EXPECT_FALSE(f.SnapshotBtn()->buttonEnabled());
    EXPECT_FALSE(f.FullScrBtn()->buttonEnabled());
}

TEST(Form1, NumberButtonsSelectSlots) {
    Wall w("[System]\nCurrentCnt=9\n");
    emit w.form->NumButton(5)->clicked();
    EXPECT_EQ(w.form->CurrentIndex(), 5);
    EXPECT_EQ(w.form->SelectedCamera(), w.camera(5));
}

TEST(Form1, GroupSwitchKeepsTheSlotAndShowsTheNewGroup) {
    Wall w("[System]\nCurrentCnt=4\nCurrentIndex=3\n");
    TForm1& f = *w.form;
    f.GroupButton(2)->click();
    EXPECT_EQ(f.CurrentGroup(), 2);
    for (int n = 10; n <= 13; ++n)
        EXPECT_FALSE(w.camera(n)->isHidden()) << n;
    for (int n = 1; n <= 4; ++n)
        EXPECT_TRUE(w.camera(n)->isHidden()) << n;
    EXPECT_EQ(f.SelectedCamera(), w.camera(12));
    EXPECT_EQ(f.CurrentIndex(), 3);
    EXPECT_EQ(f.GroupButton(2)->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    EXPECT_EQ(f.GroupButton(1)->palette().color(QPalette::WindowText), QColor(0, 0, 128));
}

TEST(Form1, GroupCyclingVisitsTheEnabledGroups) {
    Wall w("[ChangeGroup]\nChangeGroup=1\nChangeGroupSeconds=5\nGroup1=0\nGroup2=1\nGroup3="
           "0\nGroup4=1\n");
    TForm1& f = *w.form;
    EXPECT_TRUE(f.tmrChangeGroup()->isActive());
    EXPECT_EQ(f.tmrChangeGroup()->interval(), 5000);
    std::vector<int> visited;
    for (int i = 0; i < 4; ++i) {
        f.tmrChangeGroupTimer();
        visited.push_back(f.CurrentGroup());
    }
    EXPECT_EQ(visited, (std::vector<int>{2, 4, 2, 4}));
}

TEST(Form1, CyclingWithNoGroupEnabledIsSwitchedOffAndStoredOff) {
    Wall w("[ChangeGroup]\nChangeGroup=1\nGroup1=0\nGroup2=0\nGroup3=0\nGroup4=0\n");
    EXPECT_FALSE(w.form->tmrChangeGroup()->isActive());
    w.form.reset();
    EXPECT_EQ(IniFile(w.dir / "setup.ini").readString("ChangeGroup", "ChangeGroup", "?"), "0");
}

TEST(Form1, ShutdownWritesEveryCameraThenTheWindowValues) {
    Wall w("[Camera2]\nVideoDeviceIndex=2\nName=Gate\n[Camera3]\nVideoDeviceIndex=1\n"
           "[System]\nPanelVisible=0\n[Mine]\nx=1\n");
    EXPECT_TRUE(w.form->PopupPanel()->isHidden());
    EXPECT_EQ(w.camera(2)->VideoDeviceIndex(), -1); // only two devices: positions 0 and 1
    EXPECT_EQ(w.camera(3)->VideoDeviceIndex(), 1);
    w.form->SelectSlot(4);
    w.form.reset();
    IniFile ini(w.dir / "setup.ini");
    EXPECT_EQ(ini.readInteger("Camera2", "VideoDeviceIndex", 0), -1);
    EXPECT_EQ(ini.readString("Camera2", "Name", ""), "Gate");
    EXPECT_EQ(ini.readInteger("Camera3", "VideoDeviceIndex", 0), 1);
    EXPECT_EQ(ini.readString("Camera36", "Name", ""), "Camera36");
    EXPECT_EQ(ini.readInteger("System", "CurrentIndex", 0), 4);
    EXPECT_EQ(ini.readString("System", "PanelVisible", ""), "0");
    EXPECT_EQ(ini.readString("Mine", "x", ""), "1");
    EXPECT_TRUE(w.desktop.reports.empty());
}

// The network cameras are read with the settings, are devices from then on, and go back to the
// file at exit: a removed one is emptied, and the file holding a password is the owner's alone.
TEST(Form1, NetworkCamerasAreReadAtStartAndWrittenPrivatelyAtExit) {
    Wall w("[NetCam1]\nName=Door\nUrl=rtsp://192.0.2.1/a\nUser=admin\nPassword=pw1\n"
           "[NetCam2]\nName=Yard\nUrl=http://192.0.2.2/b.mjpg\n"
           "[NetCam3]\nName=Gone\nUrl=rtsp://192.0.2.3/c\n[Mine]\nx=1\n");
    ASSERT_EQ(networkCameras().size(), 3u);
    EXPECT_EQ(networkCameras()[0], (NetCameraConfig{"Door", "rtsp://192.0.2.1/a", "admin", "pw1"}));
    // The settings dialog removed the third and changed the second's password.
    auto cameras = networkCameras();
    cameras.pop_back();
    cameras[1].password = "pw2";
    setNetworkCameras(cameras);
    w.form.reset();
    IniFile ini(w.dir / "setup.ini");
    EXPECT_EQ(ini.readString("NetCam2", "Password", ""), "pw2");
    EXPECT_EQ(ini.readString("NetCam3", "Url", "x"), "");
    EXPECT_EQ(readNetCameras(ini.document()), cameras);
    EXPECT_EQ(ini.readString("Mine", "x", ""), "1");
    struct stat st {};
    ASSERT_EQ(::stat((w.dir / "setup.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    setNetworkCameras({});
}

TEST(Form1, AFailedWriteIsReportedOnceAndTheWindowStillGoes) {
    Wall w({}, "missing-folder");
    w.form.reset();
    ASSERT_EQ(w.desktop.reports.size(), 1u);
    EXPECT_EQ(w.desktop.reports[0],
              "Unable to write to " + QString::fromStdString((w.dir / "missing-folder").string()) +
                  "/setup.ini");
}

// Whatever a shutdown step throws, the later steps run and setup.ini is written.
TEST(Form1, EveryShutdownStepRunsWhateverAnEarlierOneThrew) {
    for (const std::string failing : {"stop timers", "stop Camera1", "stop Camera20",
                                      "write cameras", "destroy cameras", "destroy Camera5"}) {
        SCOPED_TRACE(failing);
        std::vector<std::string> ran;
        Wall w("[Camera2]\nName=Gate\n", {}, true, [&](const std::string& step) {
            ran.push_back(step);
            if (step == failing)
                throw std::runtime_error("injected");
        });
        QPointer<TCamera> last = w.camera(36);
        w.form->SelectSlot(4);
        w.form.reset();
        EXPECT_TRUE(last.isNull()); // every camera destroyed
        EXPECT_EQ(std::count(ran.begin(), ran.end(), "write window values"), 1);
        EXPECT_EQ(std::count(ran.begin(), ran.end(), "stop Camera36"), 1);
        IniFile ini(w.dir / "setup.ini");
        EXPECT_EQ(ini.readInteger("System", "CurrentIndex", 0), 4);
        if (failing != "write cameras") {
            EXPECT_EQ(ini.readString("Camera2", "Name", ""), "Gate");
        }
        EXPECT_TRUE(w.desktop.reports.empty());
    }
}
