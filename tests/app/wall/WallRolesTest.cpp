// The wall's roles driven through the main window: groups and cycling, the list and its menu,
// the commands with a previewing synthetic camera, full screen, tray and minimise.
#include "app/camera/VideoWindow.h"
#include "app/dialogs/CameraSettingsDialog.h"
#include "app/shell/Artwork.h"
#include "app/wall/CameraListPanel.h"
#include "app/wall/Form1.h"
#include "app/wall/FullScreenPanel.h"
#include "app/wall/GroupCycler.h"
#include "app/wall/TrayControl.h"
#include "app/wall/WallCommands.h"
#include "capture/EnumMediaType.h"
#include "capture/SysDevEnum.h"
#include "capture/TestCameras.h"
#include "controls/RgnButton.h"
#include "core/IniFile.h"
#include "platform/MessageBox.h"
#include "support/FakeDesktop.h"
#include "support/QtWait.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QProcess>
#include <QRadioButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace norvale;
using norvale::test::TempDir;

namespace {

using norvale::test::waitFor;

// The test desktop with the display's own tray, for the tests under a real tray host.
struct RealTrayDesktop : norvale::test::FakeDesktop {
    bool trayAvailable() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }
};

struct Wall {
    TempDir dir;
    norvale::test::FakeDesktop desktop;
    std::unique_ptr<TSysDevEnum> devices;
    TEnumMediaType formats;
    std::unique_ptr<TForm1> form;

    // withDevices: the synthetic cameras, so previews really run.
    // cameraStates: what the program left in cameras.state when it last ran.
    explicit Wall(const std::string& setupIni = {}, bool withTray = true, bool withDevices = false,
                  const std::string& cameraStates = {}) {
        if (!setupIni.empty())
            norvale::test::writeFile(dir / "setup.ini", setupIni);
        if (!cameraStates.empty())
            norvale::test::writeFile(dir / "cameras.state", cameraStates);
        Form1Context c;
        c.exeDir = QString::fromStdString(dir.path().string()) + "/";
        c.applicationName = "Norvale Test";
        desktop.tray = withTray;
        desktop.pointer = {600, 500};
        c.desktop = &desktop;
        if (withDevices) {
            devices = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
            c.cameraServices.videoDevices = devices.get();
            c.cameraServices.deviceFormats = &formats;
        } else {
            c.cameraServices.videoDeviceCount = [] { return 2; };
        }
        c.cameraServices.editSettings = &editCameraSettings;
        form = std::make_unique<TForm1>(std::move(c));
    }
    TCamera* camera(int n) const { return form->AllCameras().at(n - 1); }
    void key(QWidget* to, int k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, k, mods);
        QApplication::sendEvent(to, &press);
    }
};

} // namespace

TEST(WallGroups, CyclingCursorIsTheTimersOwnAndManualSwitchesNeverMoveIt) {
    Wall w("[ChangeGroup]\nChangeGroup=1\nChangeGroupSeconds=5\n");
    TForm1& f = *w.form;
    f.tmrChangeGroupTimer(); // visits group 1, already current
    EXPECT_EQ(f.CurrentGroup(), 1);
    f.tmrChangeGroupTimer();
    EXPECT_EQ(f.CurrentGroup(), 2);
    f.GroupButton(4)->click();
    EXPECT_EQ(f.CurrentGroup(), 4);
    EXPECT_EQ(f.groupCycler().cursor(), 2);
    f.tmrChangeGroupTimer();
    EXPECT_EQ(f.CurrentGroup(), 3);
    // The current group's button again: nothing changes.
    TCamera* selected = f.SelectedCamera();
    f.GroupButton(3)->click();
    EXPECT_EQ(f.SelectedCamera(), selected);
}

TEST(WallGroups, IntervalsOutsideTheTimersRangeAreKeptSaneButStoredAsRead) {
    const struct {
        const char* seconds;
        int interval;
    } cases[] = {{"0", 1000}, {"-3", 1000}, {"2147484", INT_MAX}};
    for (const auto& c : cases) {
        Wall w(std::string("[ChangeGroup]\nChangeGroup=1\nChangeGroupSeconds=") + c.seconds + "\n");
        EXPECT_TRUE(w.form->tmrChangeGroup()->isActive()) << c.seconds;
        EXPECT_EQ(w.form->tmrChangeGroup()->interval(), c.interval) << c.seconds;
        w.form.reset();
        EXPECT_EQ(IniFile(w.dir / "setup.ini").readString("ChangeGroup", "ChangeGroupSeconds", ""),
                  c.seconds);
    }
}

TEST(WallGroups, OneFrameLayoutShowsTheNewGroupsCameraAtOnce) {
    Wall w("[System]\nCurrentCnt=1\nCurrentIndex=3\n");
    TForm1& f = *w.form;
    f.SwitchGroup(2);
    EXPECT_EQ(f.SelectedCamera(), w.camera(12));
    EXPECT_FALSE(w.camera(12)->isHidden());
    EXPECT_TRUE(w.camera(1)->isHidden());
    EXPECT_TRUE(w.camera(3)->isHidden());
    EXPECT_FALSE(f.Shape1()->isHidden());
}

TEST(WallGroups, AGroupSwitchFirstLeavesFullScreen) {
    Wall w;
    TForm1& f = *w.form;
    f.ToggleFullScreen(); // without a stream only the camera's flag changes, as when it runs
    ASSERT_TRUE(f.FullScreenMode());
    f.fullScreenPanel().Timer2Timer();
    EXPECT_TRUE(f.ControlPanel()->isVisible());
    f.SwitchGroup(2);
    EXPECT_FALSE(f.FullScreenMode());
    EXPECT_FALSE(w.camera(1)->FullScreen());
    EXPECT_FALSE(f.ControlPanel()->isVisible());

    // The panel's close button leaves too; outside full screen it does nothing.
    f.ToggleFullScreen();
    f.fullScreenPanel().Timer2Timer();
    f.fullScreenPanel().CloseBtn()->click();
    EXPECT_FALSE(f.FullScreenMode());
    EXPECT_FALSE(w.camera(10)->FullScreen());
    EXPECT_FALSE(f.ControlPanel()->isVisible());
    f.fullScreenPanel().CloseBtn()->click();
    EXPECT_FALSE(w.camera(10)->FullScreen());
}

TEST(WallList, EntryTexts) {
    const struct {
        int group, slot;
        const char* name;
        const char* text;
    } cases[] = {
        {2, 5, "  Gate  ", "[2-5] Gate"},
        {1, 3, "", "[1-3] "},
        {1, 1, "abcdefghijklmnopqrst", "[1-1] abcdefghijklmnopqrst"},   // 26: whole
        {1, 1, "abcdefghijklmnopqrstu", "[1-1] abcdefghijklmnopqrst~"}, // 27: cut
    };
    for (const auto& c : cases)
        EXPECT_EQ(CameraListPanel::itemText(c.group, c.slot, c.name), c.text) << c.name;
}

TEST(WallList, MenuOrderKeyboardMovesAndPressesOnOtherWindows) {
    Wall w("[System]\nCurrentCnt=9\n");
    TForm1& f = *w.form;
    QStringList entries;
    for (QAction* a : f.PopupMenu1()->actions())
        entries << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(entries, (QStringList{"Refresh", "-", "&Preview", "&Save", "Activate S&napshot Timer",
                                    "-", "&Camera Settings"}));
    EXPECT_EQ(f.PopupMenu1()->defaultAction(), f.actCamSettings());
    EXPECT_EQ(f.actRefresh()->shortcut(), QKeySequence(Qt::Key_F5));

    // The keyboard moves the highlight and the selection together.
    w.key(f.ListBox1(), Qt::Key_Down);
    EXPECT_EQ(f.CurrentIndex(), 2);
    EXPECT_EQ(f.SelectedCamera(), w.camera(2));

    // A press on camera 1's pop-up menu lying over slot 5 does not select slot 5.
    f.show();
    QApplication::setActiveWindow(&f);
    QMenu* menu = w.camera(1)->PopupMenu1();
    const QPoint overSlot5 = f.mapToGlobal(QPoint(400, 300));
    menu->popup(overSlot5);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(menu->mapFromGlobal(overSlot5)),
                      QPointF(overSlot5), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(menu, &press);
    menu->hide();
    EXPECT_EQ(f.CurrentIndex(), 2);
}

TEST(WallCommands, PreviewSaveAndFullScreenOnASyntheticCamera) {
    norvale::test::TempDir recordings;
    Wall w("[Camera1]\nVideoDeviceIndex=0\nSaveFilePath=" + recordings.path().string() + "\n", true,
           true);
    TForm1& f = *w.form;
    TCamera* cam = w.camera(1);
    cam->setMMSPort(norvale::test::freeTcpPort());
    f.show();
    emit f.PreviewBtn()->clicked();
    for (const auto& m : w.desktop.boxes.requests)
        ADD_FAILURE() << m.text.toStdString();
    ASSERT_TRUE(cam->Previewing());
    EXPECT_TRUE(f.PreviewBtn()->downed());
    EXPECT_TRUE(f.actRecord()->isEnabled());
    EXPECT_TRUE(f.FullScrBtn()->buttonEnabled());
    EXPECT_FALSE(f.CamSettingsBtn()->buttonEnabled());

    // "&Save" from the menu records; the menu shows it checked; a second one stops.
    f.actRecord()->trigger();
    EXPECT_TRUE(cam->Recording());
    emit f.PopupMenu1()->aboutToShow();
    EXPECT_TRUE(f.actRecord()->isChecked());
    f.actRecord()->trigger();
    EXPECT_FALSE(cam->Recording());
    EXPECT_TRUE(cam->Previewing());

    // Alt+Enter turns full screen on; the panel comes with the next tick; Esc leaves.
    f.actFullScreen()->trigger();
    EXPECT_TRUE(f.FullScreenMode());
    EXPECT_TRUE(cam->FullScreen());
    f.fullScreenPanel().Timer2Timer();
    EXPECT_TRUE(f.ControlPanel()->isVisible());
    w.key(f.ListBox1(), Qt::Key_Escape);
    EXPECT_FALSE(f.FullScreenMode());
    EXPECT_FALSE(cam->FullScreen());
    f.fullScreenPanel().Timer2Timer();
    EXPECT_FALSE(f.ControlPanel()->isVisible());
    // Esc outside full screen does nothing.
    w.key(f.ListBox1(), Qt::Key_Escape);
    EXPECT_FALSE(cam->FullScreen());
    // Alt and the keypad's Enter toggle full screen as Alt+Return does.
    w.key(f.ListBox1(), Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier);
    EXPECT_TRUE(cam->FullScreen());
    w.key(f.ListBox1(), Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier);
    EXPECT_FALSE(cam->FullScreen());

    emit f.PreviewBtn()->clicked();
    EXPECT_FALSE(cam->Previewing());
    EXPECT_FALSE(f.PreviewBtn()->downed());
    EXPECT_FALSE(f.actRecord()->isEnabled());
    EXPECT_FALSE(f.SnapshotBtn()->buttonEnabled());
    EXPECT_FALSE(f.FullScrBtn()->buttonEnabled());
    EXPECT_TRUE(f.CamSettingsBtn()->buttonEnabled());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(WallResume, WhatRanIsKeptOnEveryChangeAndResumedAtTheNextStart) {
    TempDir recordings;
    setenv("NORVALE_MMS_PORT", std::to_string(norvale::test::freeTcpPort()).c_str(), 1);
    const std::string ini =
        "[Camera1]\nVideoDeviceIndex=0\nSaveFilePath=" + recordings.path().string() +
        "\n[Camera2]\nVideoDeviceIndex=1\n";
    std::string states;
    {
        Wall w(ini, true, true);
        w.camera(1)->StartPreview();
        w.camera(1)->StartRecording();
        w.camera(2)->StartPreview();
        states = norvale::test::readFile(w.dir / "cameras.state");
        EXPECT_EQ(states, "Camera1=Recording\nCamera2=Previewing\n");
        w.camera(2)->StopPreview();
        EXPECT_EQ(norvale::test::readFile(w.dir / "cameras.state"), "Camera1=Recording\n");
        w.camera(2)->StartPreview();
        w.form.reset(); // the shutdown stops every camera, and keeps the record of them
        EXPECT_EQ(norvale::test::readFile(w.dir / "cameras.state"), states);
    }
    const struct {
        const char* system;
        bool resumed;
    } cases[] = {
        {"", true}, {"[System]\nResumeCameras=1\n", true}, {"[System]\nResumeCameras=0\n", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.system);
        Wall w(ini + c.system, true, true, states);
        EXPECT_EQ(w.camera(1)->Recording(), c.resumed);
        EXPECT_EQ(w.camera(1)->Previewing(), c.resumed);
        EXPECT_EQ(w.camera(2)->Previewing(), c.resumed);
        EXPECT_FALSE(w.camera(2)->Recording());
        EXPECT_TRUE(w.desktop.boxes.requests.empty());
    }
    unsetenv("NORVALE_MMS_PORT");
}

TEST(WallTray, ALostCameraIsOneBalloonAndNoBoxAndTheRecordOfItStays) {
    Wall w("[Camera1]\nVideoDeviceIndex=3\nName=Gate\n", true, true); // test camera 4
    w.camera(1)->StartPreview();
    testcameras::setUnplugged(4, true);
    const bool lost = waitFor([&] { return w.camera(1)->Lost(); });
    testcameras::setUnplugged(4, false);
    ASSERT_TRUE(lost);
    ASSERT_EQ(w.desktop.balloons.size(), 1u);
    EXPECT_TRUE(w.desktop.balloons[0].startsWith("Gate|Camera lost since "))
        << w.desktop.balloons[0].toStdString();
    EXPECT_TRUE(w.desktop.boxes.requests.empty());
    // A lost camera is still one to resume: it was running and waits to run again.
    EXPECT_EQ(norvale::test::readFile(w.dir / "cameras.state"), "Camera1=Previewing\n");
}

// A recording that stops on its own while nobody watches is one balloon too, never a box.
TEST(WallTray, ARecordingWhoseFolderGoesIsOneBalloonAndNoBox) {
    TempDir recordings;
    Wall w("[Camera1]\nVideoDeviceIndex=3\nName=Gate\nSaveFilePath=" +
               (recordings / "gate").string() + "\n",
           true, true);
    std::filesystem::create_directory(recordings / "gate");
    w.camera(1)->StartPreview();
    w.camera(1)->StartRecording();
    std::filesystem::remove_all(recordings / "gate");
    ASSERT_TRUE(waitFor([&] { return !w.camera(1)->Recording(); }, 5000));
    EXPECT_TRUE(w.camera(1)->Previewing());
    ASSERT_EQ(w.desktop.balloons.size(), 1u);
    EXPECT_TRUE(w.desktop.balloons[0].startsWith("Gate|Recording stopped at "))
        << w.desktop.balloons[0].toStdString();
    EXPECT_EQ(w.desktop.balloons[0].section('|', 1, 1), w.camera(1)->NoticeText());
    EXPECT_TRUE(w.desktop.boxes.requests.empty());
    w.camera(1)->StopAll();
}

TEST(WallCommands, TheMenuRecomputesAndADisabledCommandDoesNotRun) {
    Wall w; // camera 1 has no device
    TForm1& f = *w.form;
    EXPECT_TRUE(f.actPreview()->isEnabled()); // UpdateSelection: always
    emit f.PopupMenu1()->aboutToShow();
    EXPECT_FALSE(f.actPreview()->isEnabled()); // the camera's own command is disabled
    EXPECT_TRUE(f.actSnapshot()->isEnabled());
    EXPECT_TRUE(f.actCamSettings()->isEnabled());
    f.actPreview()->trigger();
    EXPECT_FALSE(w.camera(1)->Previewing());
    // The snapshot timer from the menu runs the camera's own command.
    f.actSnapshot()->trigger();
    EXPECT_TRUE(w.camera(1)->AutoSnapshot());
    EXPECT_TRUE(w.desktop.boxes.requests.empty());
}

TEST(WallTray, BalloonOnlyOnTheFirstMinimiseOfARunAndTheWayBack) {
    Wall w;
    TForm1& f = *w.form;
    EXPECT_EQ(f.tray().pmTrayIcon()->defaultAction()->text(), "&Open Main Window");
    EXPECT_EQ(f.tray().pmTrayIcon()->actions().at(1)->text(), "E&xit");
    f.show();
    emit f.MinBtn()->clicked();
    EXPECT_TRUE(f.isHidden());
    f.tray().OpenMainWindow();
    EXPECT_TRUE(f.isVisible());
    f.Minimize();
    ASSERT_EQ(w.desktop.balloons.size(), 1u);
    EXPECT_EQ(w.desktop.balloons[0],
              "Norvale Test|Norvale Test is running in the background.|2000");
    EXPECT_FALSE(TrayControl::balloonPending());
    // Another window of the same run shows none either.
    Wall second;
    second.form->Minimize();
    EXPECT_TRUE(second.desktop.balloons.empty());
}

TEST(WallTray, WithoutATrayTheWindowGoesToTheTaskBar) {
    Wall started("[System]\nStartMinimized=1\n", false);
    EXPECT_TRUE(started.form->showAtStart());
    EXPECT_TRUE(started.form->windowState() & Qt::WindowMinimized);

    Wall w({}, false);
    w.form->show();
    w.form->Minimize();
    EXPECT_FALSE(w.form->isHidden());
    EXPECT_TRUE(w.form->windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(w.desktop.balloons.empty());
}

TEST(FullScreenPanel, SlidesByTheStateTable) {
    bool fullScreen = false;
    norvale::test::FakeDesktop desktop;
    desktop.pointer = QPoint(0, 500);
    QWidget owner;
    const Artwork artwork(QString::fromStdString((norvale::test::buildDir() / "assets").string()));
    FullScreenPanel panel(&owner, &artwork, desktop, {[&] { return fullScreen; }, {}});
    QWidget* p = panel.ControlPanel();
    EXPECT_EQ(p->geometry(), QRect(243, 0, 538, 20));
    EXPECT_EQ(panel.Timer2()->interval(), 400);

    const struct {
        bool fullScreen;
        QPoint pointer;
        bool pinned;
        bool visible;
        int top;
    } ticks[] = {
        {false, {0, 500}, false, false, 0},  // hidden outside full screen
        {true, {300, 10}, false, true, 0},   // shown at its last top, pointer inside: stays
        {true, {1000, 10}, false, true, 0},  // right of the panel still counts as inside
        {true, {300, 20}, false, true, -17}, // below it: slides away
        {true, {300, 3}, false, true, -17},  // y = 3 is not the strip
        {true, {242, 1}, false, true, -17},  // left of the panel is not either
        {true, {243, 2}, false, true, 0},    // y = 2 at its left edge brings it back
        {true, {300, 500}, true, true, 0},   // pinned: stays down
        {true, {300, 500}, false, true, -17}, {false, {300, 500}, false, false, -17},
        {true, {300, 500}, false, true, -17}, // shown again with the top it last had
    };
    int i = 0;
    for (const auto& t : ticks) {
        fullScreen = t.fullScreen;
        desktop.pointer = t.pointer;
        panel.PinButton()->setChecked(t.pinned);
        panel.Timer2Timer();
        EXPECT_EQ(!p->isHidden(), t.visible) << "tick " << i;
        EXPECT_EQ(p->y(), t.top) << "tick " << i;
        ++i;
    }
    // Its outline is its picture without the magenta corners.
    EXPECT_FALSE(p->mask().contains(QPoint(0, 0)));
    EXPECT_TRUE(p->mask().contains(QPoint(269, 10)));
}

// Against a real tray host (scripts/tray-test runs it under Xvfb with trayer); skipped on the
// offscreen platform, which has no tray.
TEST(WallTray, RealTrayHostTakesTheIconAndTheWindowHidesToIt) {
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "no tray on the offscreen platform";
    ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000));
    TempDir dir;
    RealTrayDesktop desktop;
    Form1Context c;
    c.exeDir = QString::fromStdString(dir.path().string()) + "/";
    c.applicationName = "Norvale Tray";
    c.desktop = &desktop;
    c.cameraServices.videoDeviceCount = [] { return 0; };
    TForm1 f(std::move(c));
    EXPECT_TRUE(f.tray().TrayIcon1()->isVisible());
    EXPECT_EQ(f.tray().TrayIcon1()->toolTip(), "Norvale Tray");
    f.show();
    ASSERT_TRUE(waitFor([&] { return f.isVisible(); }));
    f.Minimize();
    EXPECT_TRUE(f.isHidden());
    emit f.tray().TrayIcon1()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(waitFor([&] { return f.isVisible(); }));
}

TEST(WallCommands, WithoutASelectedCameraTheyOnlySayNotSelected) {
    RecordingMessageBox messages;
    QWidget owner;
    int updates = 0;
    WallCommands commands(
        &owner, &messages, &owner, [] { return nullptr; }, [&] { ++updates; });
    for (TAction* a : {commands.actPreview(), commands.actRecord(), commands.actSnapshot(),
                       commands.actCamSettings()})
        commands.run(a);
    ASSERT_EQ(messages.requests.size(), 4u);
    EXPECT_EQ(messages.requests[0].text, "Please select one Camera!");
    EXPECT_EQ(messages.requests[0].caption, "Not Selected");
    EXPECT_EQ(messages.requests[0].icon, MessageIcon::Information);
    EXPECT_EQ(messages.requests[0].owner, &owner);
    EXPECT_EQ(updates, 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(WallGroups, OnlyTheBackgroundPictureTakesPressesThatDragTheWindow) {
    Wall w;
    TForm1& f = *w.form;
    QWidget* background = f.findChild<QWidget*>("Image1");
    EXPECT_EQ(f.childAt(5, 5), background);
    // A label and the selection ring (around camera 1 at 26, 24) keep their presses.
    EXPECT_TRUE(qobject_cast<QLabel*>(f.childAt(925, 266)));
    EXPECT_EQ(f.childAt(25, 100), f.Shape1());
    // Inside the ring the camera gets the press.
    EXPECT_NE(f.childAt(100, 100), f.Shape1());
}

TEST(WallList, ARightClickChoosesTheEntryTheMenuActsOn) {
    Wall w("[Camera2]\nVideoDeviceIndex=1\n[System]\nCurrentCnt=9\nCurrentIndex=3\n");
    TForm1& f = *w.form;
    ASSERT_EQ(f.SelectedCamera(), w.camera(3));
    QListWidget* list = f.ListBox1();
    const QPoint onCamera2 = list->visualItemRect(list->item(1)).center();
    emit list->customContextMenuRequested(onCamera2);
    EXPECT_EQ(list->currentRow(), 1);
    EXPECT_EQ(f.CurrentIndex(), 2);
    EXPECT_EQ(f.SelectedCamera(), w.camera(2));
    // The menu's states are camera 2's: it has a device, camera 3 has none.
    EXPECT_TRUE(f.actPreview()->isEnabled());
    f.PopupMenu1()->hide();
}

TEST(WallCommands, TheSettingsDialogRunsUnderTheOrdinaryCursor) {
    const struct {
        const char* way;
        std::function<void(TForm1&)> open;
    } ways[] = {
        {"Camera Settings button", [](TForm1& f) { emit f.CamSettingsBtn()->clicked(); }},
        {"list double-click",
         [](TForm1& f) { emit f.ListBox1()->itemDoubleClicked(f.ListBox1()->item(0)); }},
        {"camera menu", [](TForm1& f) { f.SelectedCamera()->actSettings()->trigger(); }},
    };
    for (const auto& way : ways) {
        Wall w;
        bool opened = false;
        w.desktop.dialogs = [&](QDialog&) {
            opened = true;
            const QCursor* cursor = QApplication::overrideCursor();
            EXPECT_TRUE(!cursor || cursor->shape() != Qt::WaitCursor) << way.way;
            return int(QDialog::Rejected);
        };
        way.open(*w.form);
        EXPECT_TRUE(opened) << way.way;
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << way.way;
    }
}

TEST(WallTray, TheIconFollowsATrayThatComesLateAndGoes) {
    Wall w({}, false);
    TForm1& f = *w.form;
    f.show();
    EXPECT_FALSE(f.tray().TrayIcon1()->isVisible());
    // The desktop's tray starts after the program, and Minimise is pressed before Qt told.
    w.desktop.tray = true;
    f.Minimize();
    EXPECT_TRUE(f.isHidden());
    EXPECT_TRUE(f.tray().TrayIcon1()->isVisible()) << "hidden without an icon to come back by";
    // The tray goes away: the window comes back to the task bar.
    w.desktop.tray = false;
    f.tray().trayAvailabilityChanged();
    EXPECT_FALSE(f.tray().TrayIcon1()->isVisible());
    EXPECT_FALSE(f.isHidden());
    EXPECT_TRUE(f.windowState() & Qt::WindowMinimized);
    // It comes back: the icon with it, while the window stays where it is.
    w.desktop.tray = true;
    f.tray().trayAvailabilityChanged();
    EXPECT_TRUE(f.tray().TrayIcon1()->isVisible());
    EXPECT_FALSE(f.isHidden());

    // A minimised start hides the window to the tray; the tray goes: the window comes back.
    Wall started("[System]\nStartMinimized=1\n");
    ASSERT_FALSE(started.form->showAtStart());
    started.desktop.tray = false;
    started.form->tray().trayAvailabilityChanged();
    EXPECT_FALSE(started.form->isHidden());
    EXPECT_TRUE(started.form->windowState() & Qt::WindowMinimized);
}

// Under a real window manager with a tray that starts after the program (scripts/desktop-test
// runs these under Xvfb with openbox); skipped on the offscreen platform.
TEST(WallDesktop, ATrayThatStartsLateTakesTheIconAndMinimiseComesBack) {
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs a desktop";
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "a tray is up already";
    TempDir dir;
    RealTrayDesktop desktop;
    Form1Context c;
    c.exeDir = QString::fromStdString(dir.path().string()) + "/";
    c.applicationName = "Norvale Late Tray";
    c.desktop = &desktop;
    c.cameraServices.videoDeviceCount = [] { return 0; };
    TForm1 f(std::move(c));
    f.show();
    ASSERT_TRUE(waitFor([&] { return f.isVisible(); }));

    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                            "120", "--height", "24"});
    ASSERT_TRUE(trayer.waitForStarted());
    ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));
    // The tray has embedded the icon: it has a place on the screen.
    EXPECT_TRUE(waitFor([&] { return !f.tray().TrayIcon1()->geometry().isEmpty(); }));
    f.Minimize();
    EXPECT_TRUE(f.isHidden());
    emit f.tray().TrayIcon1()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(waitFor([&] { return f.isVisible(); }));

    // Hidden again, then the tray goes: the window comes back to the task bar.
    f.Minimize();
    ASSERT_TRUE(f.isHidden());
    trayer.terminate();
    ASSERT_TRUE(trayer.waitForFinished());
    EXPECT_TRUE(waitFor([&] { return !f.isHidden(); }));
}

namespace {
// The share of the panel's own pixels (inside its shape) that the screen shows at its place.
double panelShareOnScreen(QWidget* panel) {
    const QImage own = panel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QPoint at = panel->mapToGlobal(QPoint(0, 0));
    const QImage screen = QGuiApplication::primaryScreen()
                              ->grabWindow(0, at.x(), at.y(), panel->width(), panel->height())
                              .toImage()
                              .convertToFormat(QImage::Format_RGB32);
    if (screen.size() != own.size())
        return 0;
    const QRegion shape = panel->mask().isEmpty() ? QRegion(panel->rect()) : panel->mask();
    int inside = 0, same = 0;
    for (int y = 0; y < own.height(); ++y)
        for (int x = 0; x < own.width(); ++x) {
            if (!shape.contains(QPoint(x, y)))
                continue;
            ++inside;
            same += own.pixel(x, y) == screen.pixel(x, y);
        }
    return inside ? double(same) / inside : 0;
}
} // namespace

TEST(WallDesktop, TheFullScreenPanelShowsAboveThePicture) {
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs a desktop";
    Wall w("[Camera1]\nVideoDeviceIndex=0\n", true, true);
    TForm1& f = *w.form;
    TCamera* cam = w.camera(1);
    cam->setMMSPort(norvale::test::freeTcpPort());
    f.show();
    ASSERT_TRUE(waitFor([&] { return f.isVisible(); }));
    emit f.PreviewBtn()->clicked();
    ASSERT_TRUE(cam->Previewing());
    // Full screen by a click on its button, as a person does; the panel comes with the timer.
    w.desktop.pointer = QPoint(600, 1); // at the top edge: the panel stays down
    const QPoint onButton = f.FullScrBtn()->mapToGlobal(f.FullScrBtn()->rect().center());
    ASSERT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(onButton.x()),
                                            QString::number(onButton.y()), "click", "1"}),
              0);
    QWidget* surface = cam->VideoWindow()->FullScreenSurface();
    ASSERT_TRUE(waitFor([&] { return surface->isVisible() && surface->isActiveWindow(); }));
    QWidget* panel = f.ControlPanel();
    ASSERT_TRUE(waitFor([&] { return panel->isVisible(); }));
    // A click on the picture: the window manager raises the focused picture window, and the
    // panel stays above it all the same.
    struct PressCounter : QObject {
        int presses = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            presses += e->type() == QEvent::MouseButtonPress;
            return false;
        }
    } counter;
    surface->installEventFilter(&counter);
    const QPoint onPicture = surface->mapToGlobal(surface->rect().center());
    ASSERT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(onPicture.x()),
                                            QString::number(onPicture.y()), "click", "1"}),
              0);
    ASSERT_TRUE(waitFor([&] { return counter.presses > 0; }));
    surface->removeEventFilter(&counter);
    EXPECT_TRUE(waitFor([&] { return panelShareOnScreen(panel) > 0.95; }))
        << "the screen shows " << panelShareOnScreen(panel) << " of the panel";
    // Its close button, clicked where the screen shows it, ends full screen.
    QToolButton* close = f.fullScreenPanel().CloseBtn();
    const QPoint onClose = close->mapToGlobal(close->rect().center());
    ASSERT_EQ(QProcess::execute("xdotool", {"mousemove", QString::number(onClose.x()),
                                            QString::number(onClose.y()), "click", "1"}),
              0);
    EXPECT_TRUE(waitFor([&] { return !f.FullScreenMode(); }));
    emit f.PreviewBtn()->clicked();
}

TEST(WallList, GroupButtonsOnWhiteAndTheSeparatorAlongItsTopEdge) {
    Wall w;
    TForm1& f = *w.form;
    for (int g = 1; g <= 4; ++g) {
        const QImage button = f.GroupButton(g)->grab().toImage();
        EXPECT_EQ(button.pixelColor(button.width() - 2, button.height() / 2), QColor(Qt::white))
            << "rbGroup" << g;
    }
    QWidget* bevel = f.PopupPanel()->findChild<QWidget*>("Bevel2");
    ASSERT_NE(bevel, nullptr);
    EXPECT_EQ(bevel->geometry(), QRect(19, 192, 160, 9));
    const QImage line = bevel->grab().toImage();
    const int x = line.width() / 2;
    const QRgb background = line.pixel(x, line.height() - 1);
    EXPECT_NE(line.pixel(x, 0), background) << "no line along the top edge";
    for (int y = 2; y < line.height(); ++y)
        EXPECT_EQ(line.pixel(x, y), background) << "a line at row " << y;
}
