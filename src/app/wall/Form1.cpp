#include "app/wall/Form1.h"

#include "app/camera/VideoWindow.h"
#include "app/shell/Artwork.h"
#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "app/shell/WaitCursor.h"
#include "app/wall/CameraListPanel.h"
#include "app/wall/FullScreenPanel.h"
#include "app/wall/GroupCycler.h"
#include "app/wall/SlotLayout.h"
#include "app/wall/TrayControl.h"
#include "app/wall/WallCommands.h"
#include "app/wall/WallControls.h"
#include "app/wall/WallWidgets.h"
#include "capture/NetworkCamera.h"
#include "capture/SysDevEnum.h"
#include "controls/AnalogClock.h"
#include "controls/RgnButton.h"
#include "core/AtomicFile.h"
#include "core/CameraSettings.h"
#include "core/CameraStates.h"
#include "core/IniFile.h"
#include "core/NetCamera.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace norvale {

namespace {
constexpr int kWallWidth = 1024;
constexpr int kWallHeight = 768;
} // namespace

TForm1::TForm1(Form1Context context) : QWidget(nullptr), context_(std::move(context)) {
    if (!context_.desktop)
        throw std::invalid_argument("the main window needs the desktop services");
    // One desktop for the window and its cameras.
    context_.cameraServices.desktop = context_.desktop;
    setObjectName(QStringLiteral("Form1"));
    setFont(tahoma8());
    createControls();
    createRoles();

    // See every mouse press before it is dispatched.
    qApp->installEventFilter(this);
    setWindowTitle(context_.applicationName);
    fullScreenMode_ = false;
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFixedSize(kWallWidth, kWallHeight);
    // Centred on the screen; the full-screen panel has placed itself, hidden.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect g = screen->availableGeometry();
        move(g.left() + (g.width() - kWallWidth) / 2, g.top() + (g.height() - kWallHeight) / 2);
    }
    IniFile ini(iniPath().toStdString());
    ini.beginRead(); // one read of the file for every key below
    readWindowValues(ini);
    // Without a tray to come back from, a minimised start goes to the task bar; showAtStart()
    // tells the start-up code whether to show the window at all.
    if (settings_.startMinimized && !tray_->trayAvailable())
        setWindowState(Qt::WindowMinimized);
    // The network cameras are devices: listed before the cameras check their device positions.
    {
        std::vector<NetCameraConfig> netCameras = readNetCameras(ini.document());
        netCamerasAtStart_ = netCameras.size();
        setNetworkCameras(std::move(netCameras));
        if (context_.cameraServices.videoDevices && netCamerasAtStart_ > 0)
            context_.cameraServices.videoDevices->SelectCategory(CLSID_VideoInputDeviceCategory);
    }
    LoadCameras(ini);
    SwitchGroup(1);
    ApplyLayout(settings_.currentCnt);
    SelectSlot(settings_.currentIndex);
    UpdateGroupTimer();
    // Last, so the 36 cameras are translated with the window; labels take their size from the
    // translated text.
    Translator::translateComponent(this);
    controls_->fitLabels();
    controls_->clock1->clockTimer().setErrorHandler(
        [desktop = context_.desktop](const QString& text) { desktop->reportError(text); });
    controls_->clock1->setActive(true);
    resumeCameras();
}

TForm1::~TForm1() {
    shutdown();
    qApp->removeEventFilter(this);
}

QString TForm1::iniPath() const {
    return context_.exeDir + QStringLiteral("setup.ini");
}

int TForm1::screenWidth() const {
    return context_.desktop->screenWidth(this);
}

bool TForm1::showAtStart() const {
    // Without a tray a hidden window could never come back: it opens minimised instead.
    return !settings_.startMinimized || !tray_->trayAvailable();
}

void TForm1::createControls() {
    controls_ =
        std::make_unique<WallControls>(this, context_.artwork, [this] { startWindowDrag(); });
    slots_ = std::make_unique<SlotLayout>(*controls_, settings_);
    for (int i = 0; i < 9; ++i)
        connect(controls_->numButtons[static_cast<std::size_t>(i)], &TRgnButton::clicked, this,
                [this, i] { SelectSlot(i + 1); });
    for (int frames : {1, 4, 6, 9})
        connect(LayoutButton(frames), &TRgnButton::clicked, this,
                [this, frames] { ApplyLayout(frames); });
    connect(controls_->exitBtn, &TRgnButton::clicked, this, &QWidget::close);
    connect(controls_->minBtn, &TRgnButton::clicked, this, &TForm1::Minimize);
}

void TForm1::createRoles() {
    listPanel_ = new CameraListPanel(this, context_.artwork);
    connect(controls_->showPanelBtn, &TRgnButton::clicked, this, [this] {
        listPanel_->show();
        listPanel_->raise();
    });
    connect(listPanel_, &CameraListPanel::itemChosen, this, [this] { ListBox1Click(); });
    connect(listPanel_, &CameraListPanel::groupClicked, this, [this](int group) {
        if (group != currentGroup_)
            SwitchGroup(group);
    });

    commands_ = new WallCommands(
        this, &context_.desktop->messages(), this, [this] { return SelectedCamera(); },
        [this] { UpdateSelection(); });
    commands_->actFullScreen()->setExecuteRule([this] { ToggleFullScreen(); });
    commands_->actRefresh()->setExecuteRule([this] {
        const WaitCursor wait;
        listPanel_->Refresh();
    });
    // The shortcuts work wherever the main window has the focus.
    addAction(commands_->actFullScreen());
    addAction(commands_->actRefresh());
    listPanel_->setMenuActions(commands_->actRefresh(), commands_->actPreview(),
                               commands_->actRecord(), commands_->actSnapshot(),
                               commands_->actCamSettings());
    connect(listPanel_, &CameraListPanel::menuAboutToShow, commands_, &WallCommands::recompute);
    connect(listPanel_, &CameraListPanel::itemDoubleClicked, commands_,
            [this] { commands_->run(commands_->actCamSettings()); });
    connect(controls_->previewBtn, &TRgnButton::clicked, commands_,
            [this] { commands_->run(commands_->actPreview()); });
    connect(controls_->camSettingsBtn, &TRgnButton::clicked, commands_,
            [this] { commands_->run(commands_->actCamSettings()); });
    connect(controls_->snapshotBtn, &TRgnButton::clicked, commands_,
            [this] { commands_->run(commands_->actSnapshot()); });
    connect(controls_->fullScrBtn, &TRgnButton::clicked, this,
            [this] { commands_->actFullScreen()->execute(); });

    groupCycler_ = new GroupCycler(
        this, settings_, [this] { return currentGroup_; }, [this](int g) { SwitchGroup(g); });

    const QIcon icon =
        context_.artwork
            ? QIcon(QPixmap::fromImage(context_.artwork->image(QStringLiteral("icon.png"))))
            : QIcon();
    tray_ = new TrayControl(this, context_.applicationName, icon, *context_.desktop);
    connect(tray_, &TrayControl::exitRequested, this, &QWidget::close);

    fullScreenPanel_ =
        new FullScreenPanel(this, context_.artwork, *context_.desktop,
                            {[this] { return syncFullScreenMode(); },
                             [this]() -> QWidget* {
                                 return fullScreenCamera_
                                            ? fullScreenCamera_->VideoWindow()->FullScreenSurface()
                                            : nullptr;
                             }});
    connect(fullScreenPanel_, &FullScreenPanel::exitFullScreen, this, &TForm1::ToggleFullScreen);
}

QRadioButton* TForm1::GroupButton(int group) const {
    return listPanel_->GroupButton(group);
}
TRgnButton* TForm1::ClosePanelBtn() const {
    return listPanel_->ClosePanelBtn();
}
QWidget* TForm1::PopupPanel() const {
    return listPanel_;
}
QListWidget* TForm1::ListBox1() const {
    return listPanel_->ListBox1();
}
QMenu* TForm1::PopupMenu1() const {
    return listPanel_->PopupMenu1();
}
QWidget* TForm1::ControlPanel() const {
    return fullScreenPanel_->ControlPanel();
}
QTimer* TForm1::tmrChangeGroup() const {
    return groupCycler_->tmrChangeGroup();
}
QTimer* TForm1::Timer2() const {
    return fullScreenPanel_->Timer2();
}
TAction* TForm1::actPreview() const {
    return commands_->actPreview();
}
TAction* TForm1::actRecord() const {
    return commands_->actRecord();
}
TAction* TForm1::actSnapshot() const {
    return commands_->actSnapshot();
}
TAction* TForm1::actCamSettings() const {
    return commands_->actCamSettings();
}
TAction* TForm1::actFullScreen() const {
    return commands_->actFullScreen();
}
TAction* TForm1::actRefresh() const {
    return commands_->actRefresh();
}

TRgnButton* TForm1::LayoutButton(int frames) const {
    switch (frames) {
    case 1:
        return controls_->btn1;
    case 4:
        return controls_->btn4;
    case 6:
        return controls_->btn6;
    case 9:
        return controls_->btn9;
    default:
        return nullptr;
    }
}

TCamera* TForm1::SlotCamera(int slot) const {
    return slots_->SlotCamera(slot);
}

void TForm1::readWindowValues(const IniFile& ini) {
    settings_ = readWallSettings(ini);
    listPanel_->setVisible(settings_.panelVisible);
}

void TForm1::LoadCameras(const IniFile& ini) {
    for (int g = 1; g <= kGroupCount; ++g) {
        for (int s = 1; s <= kSlotsPerGroup; ++s) {
            const std::string section = cameraSectionName(cameraNumber(g, s));
            auto* cam = new TCamera(this, context_.cameraServices);
            cam->setObjectName(QString::fromStdString(section));
            cam->setSettings(readCameraSettings(ini, section));
            cam->hide();
            connect(cam, &TCamera::OnPreview, this, &TForm1::CameraPreview);
            connect(cam, &TCamera::OnStateChanged, this, &TForm1::CameraPreview);
            connect(&cam->Channel(), &CameraChannel::stateEntered, this, &TForm1::saveCameraStates);
            // A camera lost while nobody watches: one balloon, no box to click away.
            connect(cam, &TCamera::OnLost, this,
                    [this](TCamera* lost) { tray_->Notify(lost->CameraName(), lost->LostText()); });
            connect(cam, &TCamera::OnMotion, this, [this] { listPanel_->Refresh(); });
            connect(cam, &TCamera::OnRecordingHalted, this, [this](TCamera* halted) {
                tray_->Notify(halted->CameraName(), halted->HaltText());
            });
            allCameras_.append(cam);
        }
    }
}

void TForm1::SaveCameras(IniFile& ini) {
    for (int i = 0; i < allCameras_.size(); ++i) {
        const TCamera* cam = allCameras_[i];
        if (!cam)
            continue;
        writeCameraSettings(ini, cameraSectionName(i + 1), cam->Settings());
    }
}

QString TForm1::cameraStatesPath() const {
    return context_.exeDir + QString::fromLatin1(kCameraStatesFile);
}

void TForm1::saveCameraStates() {
    // Shutdown stops every camera; what they did before it is what the next start resumes.
    if (shutDown_)
        return;
    std::map<int, ResumeState> states;
    for (int i = 0; i < allCameras_.size(); ++i) {
        switch (allCameras_[i]->Channel().resumeState()) {
        case ChannelState::Previewing:
            states[i + 1] = ResumeState::Previewing;
            break;
        case ChannelState::Recording:
            states[i + 1] = ResumeState::Recording;
            break;
        default:
            break;
        }
    }
    const std::string text = formatCameraStates(states);
    if (text == savedCameraStates_)
        return;
    // Replaced whole at once: a power cut or a kill leaves the old record or the new one.
    if (writeFileAtomically(cameraStatesPath().toStdString(),
                            reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))
        savedCameraStates_ = text;
    else
        std::fprintf(stderr, "Cannot write %s\n", qUtf8Printable(cameraStatesPath()));
}

void TForm1::resumeCameras() {
    if (!settings_.resumeCameras)
        return;
    QFile file(cameraStatesPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.read(64 * 1024);
    savedCameraStates_ = bytes.toStdString();
    for (const auto& [number, state] : parseCameraStates(savedCameraStates_)) {
        if (number > allCameras_.size())
            continue;
        TCamera* cam = allCameras_[number - 1];
        if (cam->VideoDeviceIndex() < 0)
            continue;
        // Nobody gave this command: a camera that cannot start is told on the console, not in
        // a box that waits for a click.
        try {
            cam->StartPreview();
            if (state == ResumeState::Recording)
                cam->StartRecording();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", qUtf8Printable(cam->objectName()), e.what());
        }
    }
}

void TForm1::writeWindowValues(IniFile& ini) {
    settings_.panelVisible = !listPanel_->isHidden();
    writeWallSettings(ini, settings_);
}

void TForm1::shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // Every step runs whatever an earlier one threw, so that one camera that fails to stop
    // cannot cost the other cameras their recordings or the user the settings. Only a failed
    // write of setup.ini ends the writing steps, with its own report.
    // Console texts, not the window's: they stay out of the catalogue.
    std::vector<std::string> failures;
    auto step = [&](const std::string& name, auto&& body) {
        try {
            if (context_.shutdownStep)
                context_.shutdownStep(name);
            body();
        } catch (const IniWriteError&) {
            throw;
        } catch (const std::exception& e) {
            failures.push_back(name + ": " + e.what());
        } catch (...) {
            failures.push_back(name + ": unknown error");
        }
    };
    UpdatesFrozen freeze(this);
    step("stop timers", [&] {
        fullScreenPanel_->stop();
        groupCycler_->tmrChangeGroup()->stop();
    });
    for (TCamera* cam : allCameras_)
        step("stop " + cam->objectName().toStdString(), [&] { cam->StopAll(); });
    try {
        IniFile ini(iniPath().toStdString());
        // The ~300 keys reach the file in one safe replacement.
        ini.beginUpdate();
        step("write cameras", [&] { SaveCameras(ini); });
        step("write window values", [&] { writeWindowValues(ini); });
        step("write network cameras", [&] {
            const std::vector<NetCameraConfig> netCameras = networkCameras();
            if (netCameras.empty() && netCamerasAtStart_ == 0)
                return;
            writeNetCameras(ini, netCameras, std::max(netCamerasAtStart_, netCameras.size()));
            // A password is for the owner's eyes only.
            ini.setPrivate(holdsPassword(netCameras));
        });
        ini.commit();
        step("destroy cameras", [&] {
            fullScreenCamera_ = nullptr;
            slots_->clear();
            listPanel_->fill(currentGroup_, slots_->slotCameras());
            // One at a time, so a camera that fails on its way out leaves the others to go.
            while (!allCameras_.isEmpty()) {
                TCamera* cam = allCameras_.takeFirst();
                step("destroy " + cam->objectName().toStdString(), [&] { delete cam; });
            }
        });
    } catch (const IniWriteError&) {
        // The cameras go with the window that owns them.
        const QString text = QStringLiteral("Unable to write to %1").arg(iniPath());
        context_.desktop->reportError(text);
    }
    // Nothing of the program is left to show a box in; the failures go to the console.
    for (const std::string& f : failures)
        std::fprintf(stderr, "Shutdown: %s\n", f.c_str());
}

void TForm1::ApplyLayout(int frames) {
    UpdatesFrozen freeze(this);
    slots_->showFrames(allCameras_, frames);
    UpdateSelection();
    if (!listPanel_->isHidden())
        listPanel_->raise();
}

void TForm1::SelectSlot(int slot) {
    if (slot < 1 || slot > 9)
        return;
    slots_->select(slot);
    UpdateSelection();
}

void TForm1::UpdateSelection() {
    TCamera* cam = SelectedCamera();
    commands_->applyStates(cam);
    if (!cam) {
        controls_->previewBtn->setButtonEnabled(false);
        controls_->previewBtn->setDowned(false);
        controls_->camSettingsBtn->setButtonEnabled(false);
        controls_->snapshotBtn->setButtonEnabled(false);
        return;
    }
    slots_->markSelection();
    listPanel_->highlight(settings_.currentIndex - 1);
    // The buttons show what the commands were given here; they never recompute.
    controls_->previewBtn->setButtonEnabled(actPreview()->isEnabled());
    controls_->previewBtn->setDowned(actPreview()->isChecked());
    controls_->camSettingsBtn->setButtonEnabled(actCamSettings()->isEnabled());
    controls_->snapshotBtn->setButtonEnabled(actSnapshot()->isEnabled());
    controls_->snapshotBtn->setDowned(actSnapshot()->isChecked());
    controls_->fullScrBtn->setButtonEnabled(actFullScreen()->isEnabled());
}

void TForm1::CameraPreview(TCamera* camera) {
    if (camera == SelectedCamera())
        UpdateSelection();
    // The list shows every camera's state, not only the selected one's.
    listPanel_->Refresh();
}

int TForm1::SlotAt(int x, int y) const {
    return slots_->SlotAt(x, y, listPanel_);
}

void TForm1::SwitchGroup(int group) {
    if (group == currentGroup_)
        return;
    // A camera shown full screen belongs to the group being left: end that view first.
    if (syncFullScreenMode())
        leaveFullScreen();
    currentGroup_ = group;
    slots_->fillGroup(allCameras_, group);
    listPanel_->fill(group, slots_->slotCameras());
    // The one-frame layout shows the selected slot's camera, so the selection follows the new
    // group before the layout is applied and the single frame changes at once.
    slots_->followGroup();
    ApplyLayout(settings_.currentCnt);
    ListBox1Click();
}

void TForm1::ListBox1Click() {
    const int row = listPanel_->ListBox1()->currentRow();
    if (row < 0 || row > 8)
        return;
    if (listPanel_->cameraAt(row) != SelectedCamera())
        SelectSlot(row + 1);
}

void TForm1::UpdateGroupTimer() {
    groupCycler_->UpdateGroupTimer();
}

void TForm1::tmrChangeGroupTimer() {
    groupCycler_->tmrChangeGroupTimer();
}

bool TForm1::syncFullScreenMode() {
    if (fullScreenMode_ && !(fullScreenCamera_ && fullScreenCamera_->FullScreen())) {
        fullScreenMode_ = false;
        fullScreenCamera_ = nullptr;
    } else if (!fullScreenMode_ && SelectedCamera() && SelectedCamera()->FullScreen()) {
        fullScreenMode_ = true;
        fullScreenCamera_ = SelectedCamera();
    }
    return fullScreenMode_;
}

void TForm1::ToggleFullScreen() {
    // Leaving acts on the camera that is full screen, even if the selection moved meanwhile.
    if (syncFullScreenMode() && fullScreenCamera_ != SelectedCamera()) {
        leaveFullScreen();
        return;
    }
    TCamera* cam = SelectedCamera();
    if (!cam)
        return;
    cam->setFullScreen(!cam->FullScreen());
    fullScreenMode_ = cam->FullScreen();
    fullScreenCamera_ = fullScreenMode_ ? cam : nullptr;
    cam->RefitVideo();
}

void TForm1::leaveFullScreen() {
    if (TCamera* cam = fullScreenCamera_) {
        cam->setFullScreen(false);
        cam->RefitVideo();
    }
    fullScreenCamera_ = nullptr;
    fullScreenMode_ = false;
    fullScreenPanel_->hidePanel();
}

void TForm1::Minimize() {
    tray_->Minimize();
}

void TForm1::startWindowDrag() {
    if (screenWidth() <= kWallWidth)
        return;
    if (QWindow* w = windowHandle())
        w->startSystemMove();
}

bool TForm1::handleKey(QObject* watched, QKeyEvent* key) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w)
        return false;
    QWidget* top = w->window();
    const bool fullScreenWindow =
        fullScreenCamera_ && top == fullScreenCamera_->VideoWindow()->FullScreenSurface();
    if (top != this && !fullScreenWindow)
        return false;
    const bool altEnter = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                          (key->modifiers() & Qt::AltModifier);
    if (key->key() == Qt::Key_Escape && syncFullScreenMode()) {
        ToggleFullScreen();
        return true;
    }
    // The full-screen picture is a window of its own; its keys are the wall's as well. The
    // keypad's Enter is not the shortcut's Return, so it is taken here for the wall too.
    const bool keypadAltEnter = altEnter && key->key() == Qt::Key_Enter;
    if ((fullScreenWindow && altEnter) || (top == this && keypadAltEnter)) {
        actFullScreen()->execute();
        return true;
    }
    return false;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress)
        return handleKey(watched, static_cast<QKeyEvent*>(event));
    if (event->type() != QEvent::MouseButtonPress || !watched->isWidgetType())
        return false;
    // Only presses on the wall itself count: not those on a pop-up menu lying over a frame,
    // nor on any other window.
    if (static_cast<QWidget*>(watched)->window() != this)
        return false;
    auto* me = static_cast<QMouseEvent*>(event);
    const bool foreground = isActiveWindow() && !QApplication::activeModalWidget();
    if (me->button() == Qt::LeftButton && foreground && !fullScreenMode_) {
        const QPoint p = mapFromGlobal(me->globalPosition().toPoint());
        const int slot = SlotAt(p.x(), p.y());
        if (slot != -1 && slot != settings_.currentIndex)
            SelectSlot(slot);
    }
    return false; // never consumed: the click still reaches the window under the pointer
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    for (TCamera* cam : allCameras_)
        cam->RefitVideo();
}

void TForm1::closeEvent(QCloseEvent* event) {
    event->accept();
    // Closing the main window is the only way the program ends.
    QCoreApplication::quit();
}

} // namespace norvale
