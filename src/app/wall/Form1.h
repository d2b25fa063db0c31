#pragma once
// The camera wall: a fixed, borderless 1024 x 768 main window that owns the 36 camera channels,
// shows the current group's cameras in one, four, six or nine frames and keeps the selected slot.
// It composes the roles around it: the camera list panel, the commands and their states, group
// cycling, the tray, and the full-screen panel; it keeps the names the wall is known by.
#include "app/camera/Camera.h"
#include "app/shell/Action.h"
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
class FullScreenPanel;
class GroupCycler;
class IMessageBox;
class IniFile;
class TrayControl;
class WallCommands;

// What the main window needs from the rest of the program.
struct Form1Context {
    QString exeDir;          // ends with "/"; setup.ini lives there
    QString applicationName; // the branding name: window caption and tray hint
    IMessageBox* messages = nullptr;
    const Artwork* artwork = nullptr;
    CameraServices cameraServices;
    // The application's error report for failures that end a step (e.g. writing setup.ini).
    std::function<void(const QString&)> reportError;
    // Width of the screen the window lives on; the window can be dragged only when wider than
    // the wall. Empty: ask the primary screen.
    std::function<int()> screenWidth;
    // Whether the desktop has a system tray. Empty: ask Qt.
    std::function<bool()> trayAvailable;
    // Shows the tray balloon (title, text, milliseconds). Empty: the tray icon's own.
    std::function<void(const QString&, const QString&, int)> balloon;
    // The pointer in screen coordinates, for the full-screen panel. Empty: the real cursor.
    std::function<QPoint()> pointerPos;
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
    TCamera* SelectedCamera() const { return selectedCamera_; }
    int CurrentIndex() const { return settings_.currentIndex; }
    int CurrentCnt() const { return settings_.currentCnt; }
    int CurrentGroup() const { return currentGroup_; }
    bool FullScreenMode() const { return fullScreenMode_; }
    const WallSettings& settings() const { return settings_; }
    // The option values, for the options dialog; UpdateGroupTimer applies cycling changes.
    WallSettings& settings() { return settings_; }
    const QString& ExeDir() const { return context_.exeDir; }
    QString iniPath() const;

    // The roles the window is made of.
    CameraListPanel& listPanel() const { return *listPanel_; }
    WallCommands& commands() const { return *commands_; }
    TrayControl& tray() const { return *tray_; }
    FullScreenPanel& fullScreenPanel() const { return *fullScreenPanel_; }
    GroupCycler& groupCycler() const { return *groupCycler_; }

    // Controls, for the commands and their tests.
    TRgnButton* NumButton(int slot) const { return numButtons_.at(slot - 1); }
    QRadioButton* GroupButton(int group) const;
    TRgnButton* LayoutButton(int frames) const;
    TRgnButton* RgnBtn1() const { return rgnBtn1_; } // Options
    TRgnButton* RgnBtn4() const { return rgnBtn4_; } // Help
    TRgnButton* BtnHelp() const { return btnHelp_; } // About
    TRgnButton* PreviewBtn() const { return previewBtn_; }
    TRgnButton* CamSettingsBtn() const { return camSettingsBtn_; }
    TRgnButton* FullScrBtn() const { return fullScrBtn_; }
    TRgnButton* SnapshotBtn() const { return snapshotBtn_; }
    TRgnButton* MinBtn() const { return minBtn_; }
    TRgnButton* ExitBtn() const { return exitBtn_; }
    TRgnButton* ShowPanelBtn() const { return showPanelBtn_; }
    TRgnButton* ClosePanelBtn() const;
    QWidget* Shape1() const { return shape1_; }
    QWidget* PopupPanel() const;
    QListWidget* ListBox1() const;
    QMenu* PopupMenu1() const;
    TAnalogClock* Clock1() const { return clock1_; }
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
    TRgnButton* makeButton(const QString& name, const QString& artworkId, int x, int y, int w,
                           int h, const QString& hint = {});
    QLabel* makeLabel(const char* text, int x, int y, int w, int h);
    void fitLabels();
    void readWindowValues(const IniFile& ini);
    void LoadCameras(const IniFile& ini);
    void SaveCameras(IniFile& ini);
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
    std::array<TCamera*, 9> slotCameras_{};
    TCamera* selectedCamera_ = nullptr;
    TCamera* fullScreenCamera_ = nullptr;
    int currentGroup_ = 0;
    bool fullScreenMode_ = false;
    bool shutDown_ = false;

    QWidget* image1_ = nullptr;
    QWidget* shape1_ = nullptr;
    TAnalogClock* clock1_ = nullptr;
    std::array<TRgnButton*, 9> numButtons_{};
    TRgnButton* btn1_ = nullptr;
    TRgnButton* btn4_ = nullptr;
    TRgnButton* btn6_ = nullptr;
    TRgnButton* btn9_ = nullptr;
    TRgnButton* rgnBtn1_ = nullptr;
    TRgnButton* rgnBtn4_ = nullptr;
    TRgnButton* btnHelp_ = nullptr;
    TRgnButton* previewBtn_ = nullptr;
    TRgnButton* camSettingsBtn_ = nullptr;
    TRgnButton* fullScrBtn_ = nullptr;
    TRgnButton* snapshotBtn_ = nullptr;
    TRgnButton* minBtn_ = nullptr;
    TRgnButton* exitBtn_ = nullptr;
    TRgnButton* showPanelBtn_ = nullptr;
    QList<QLabel*> labels_;

    CameraListPanel* listPanel_ = nullptr;
    WallCommands* commands_ = nullptr;
    GroupCycler* groupCycler_ = nullptr;
    TrayControl* tray_ = nullptr;
    FullScreenPanel* fullScreenPanel_ = nullptr;
};

} // namespace norvale
