#pragma once
// The camera wall: a fixed, borderless 1024 x 768 main window that owns the 36 camera channels,
// shows the current group's cameras in one, four, six or nine frames and keeps the selected slot.
// It composes the roles around it: the camera list panel, the commands and their states, group
// cycling, the tray, and the full-screen panel; it keeps the names the wall is known by.
#include "app/camera/Camera.h"
#include "app/shell/Action.h"
#include "app/wall/SlotLayout.h"
#include "app/wall/WallControls.h"
#include "core/WallLayout.h"
#include "core/WallSettings.h"

#include <QImage>
#include <QList>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QListWidget;
class QMenu;
class QRadioButton;
class QSystemTrayIcon;
class QTimer;
class TAnalogClock;
class TRgnButton;

namespace norvale {

class Artwork;
class CameraListPanel;
class DesktopServices;
class FullScreenPanel;
class GroupCycler;
class IniFile;
class TrayControl;
class WallCommands;

// What the main window needs from the rest of the program.
struct Form1Context {
    QString exeDir;          // ends with "/"; setup.ini lives there
    QString applicationName; // the branding name: window caption and tray hint
    // Boxes, the error report for failures that end a step (e.g. writing setup.ini), the tray,
    // the screen and the pointer; the cameras get it too. Required; it outlives the window.
    DesktopServices* desktop = nullptr;
    const Artwork* artwork = nullptr;
    CameraServices cameraServices;
    // Called as each shutdown step begins, with its name ("stop Camera7", "write cameras");
    // lets tests make a step fail. Empty: nothing.
    std::function<void(const std::string& step)> shutdownStep;
};

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(Form1Context context);
    ~TForm1() override;

    void ApplyLayout(int frames);
    void SelectSlot(int slot);
    void UpdateSelection();
    void CameraPreview(TCamera* camera);
    int SlotAt(int x, int y) const;
    void SwitchGroup(int group);
    void UpdateGroupTimer();
    // One step of automatic group cycling (the cycling timer's tick).
    void tmrChangeGroupTimer();
    // actFullScreen: the selected camera full screen or back.
    void ToggleFullScreen();
    // Minimise (MinBtn): to the tray, or to the task bar where there is none.
    void Minimize();

    // Whether the window is to be shown when the message loop starts: not with StartMinimized,
    // unless there is no tray to come back from (then it is shown minimised).
    bool showAtStart() const;

    // State.
    const QList<TCamera*>& AllCameras() const { return allCameras_; }
    TCamera* SlotCamera(int slot) const; // 1..9
    TCamera* SelectedCamera() const { return slots_->SelectedCamera(); }
    int CurrentIndex() const { return settings_.currentIndex; }
    int CurrentCnt() const { return settings_.currentCnt; }
    int CurrentGroup() const { return currentGroup_; }
    bool FullScreenMode() const { return fullScreenMode_; }
    const WallSettings& settings() const { return settings_; }
    // The option values, for the options dialog; UpdateGroupTimer applies cycling changes.
    WallSettings& settings() { return settings_; }
    const QString& ExeDir() const { return context_.exeDir; }
    DesktopServices& desktop() const { return *context_.desktop; }
    QString iniPath() const;

    // The roles the window is made of.
    CameraListPanel& listPanel() const { return *listPanel_; }
    WallCommands& commands() const { return *commands_; }
    TrayControl& tray() const { return *tray_; }
    FullScreenPanel& fullScreenPanel() const { return *fullScreenPanel_; }
    GroupCycler& groupCycler() const { return *groupCycler_; }

    // Controls, for the commands and their tests.
    TRgnButton* NumButton(int slot) const { return controls_->numButtons.at(slot - 1); }
    QRadioButton* GroupButton(int group) const;
    TRgnButton* LayoutButton(int frames) const;
    TRgnButton* RgnBtn1() const { return controls_->rgnBtn1; } // Options
    TRgnButton* RgnBtn4() const { return controls_->rgnBtn4; } // Help
    TRgnButton* BtnHelp() const { return controls_->btnHelp; } // About
    TRgnButton* PreviewBtn() const { return controls_->previewBtn; }
    TRgnButton* CamSettingsBtn() const { return controls_->camSettingsBtn; }
    TRgnButton* FullScrBtn() const { return controls_->fullScrBtn; }
    TRgnButton* SnapshotBtn() const { return controls_->snapshotBtn; }
    TRgnButton* MinBtn() const { return controls_->minBtn; }
    TRgnButton* ExitBtn() const { return controls_->exitBtn; }
    TRgnButton* ShowPanelBtn() const { return controls_->showPanelBtn; }
    TRgnButton* ClosePanelBtn() const;
    QWidget* Shape1() const { return controls_->shape1; }
    QWidget* PopupPanel() const;
    QListWidget* ListBox1() const;
    QMenu* PopupMenu1() const;
    TAnalogClock* Clock1() const { return controls_->clock1; }
    QWidget* ControlPanel() const;
    QTimer* tmrChangeGroup() const;
    QTimer* Timer2() const;
    TAction* actPreview() const;
    TAction* actRecord() const;
    TAction* actSnapshot() const;
    TAction* actCamSettings() const;
    TAction* actFullScreen() const;
    TAction* actRefresh() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createRoles();
    void readWindowValues(const IniFile& ini);
    void LoadCameras(const IniFile& ini);
    void SaveCameras(IniFile& ini);
    // Keeps cameras.state up to date with what every camera does (from any change of state
    // until shutdown begins), and brings the cameras back to it at start.
    QString cameraStatesPath() const;
    void saveCameraStates();
    void resumeCameras();
    void writeWindowValues(IniFile& ini);
    void shutdown();
    void ListBox1Click();
    void startWindowDrag();
    int screenWidth() const;
    // Brings FullScreenMode in line with the cameras: a camera may leave (or enter) its
    // full-screen view on its own, by its menu or a double-click on the picture.
    bool syncFullScreenMode();
    void leaveFullScreen();
    bool handleKey(QObject* watched, QKeyEvent* key);

    Form1Context context_;
    WallSettings settings_;
    QList<TCamera*> allCameras_;
    TCamera* fullScreenCamera_ = nullptr;
    int currentGroup_ = 0;
    bool fullScreenMode_ = false;
    bool shutDown_ = false;
    // What cameras.state holds now, so an unchanged state is not written again.
    std::string savedCameraStates_;
    // How many [NetCamN] sections the file had at start: those past the list written at exit
    // are emptied.
    std::size_t netCamerasAtStart_ = 0;

    std::unique_ptr<WallControls> controls_;
    std::unique_ptr<SlotLayout> slots_;

    CameraListPanel* listPanel_ = nullptr;
    WallCommands* commands_ = nullptr;
    GroupCycler* groupCycler_ = nullptr;
    TrayControl* tray_ = nullptr;
    FullScreenPanel* fullScreenPanel_ = nullptr;
};

} // namespace norvale
