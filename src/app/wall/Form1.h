#pragma once
// The camera wall: a fixed, borderless 1024 x 768 main window that owns the 36 camera channels,
// shows the current group's cameras in one, four, six or nine frames, keeps the selected slot
// and brings the wall's commands up to date.
#include "app/camera/Camera.h"
#include "app/shell/Action.h"
#include "core/WallLayout.h"
#include "core/WallSettings.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

class QLabel;
class QListWidget;
class QRadioButton;
class QSystemTrayIcon;
class QTimer;
class TAnalogClock;
class TRgnButton;

namespace norvale {

class Artwork;
class IMessageBox;
class IniFile;

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

    // Whether the window is to be shown when the message loop starts (not StartMinimized).
    bool showAtStart() const { return !settings_.startMinimized; }

    // State.
    const QList<TCamera*>& AllCameras() const { return allCameras_; }
    TCamera* SlotCamera(int slot) const; // 1..9
    TCamera* SelectedCamera() const { return selectedCamera_; }
    int CurrentIndex() const { return settings_.currentIndex; }
    int CurrentCnt() const { return settings_.currentCnt; }
    int CurrentGroup() const { return currentGroup_; }
    bool FullScreenMode() const { return fullScreenMode_; }
    const WallSettings& settings() const { return settings_; }
    // The options exchange edits the values it shows (they reach setup.ini at exit).
    WallSettings& mutableSettings() { return settings_; }
    const QString& ExeDir() const { return context_.exeDir; }
    QString iniPath() const;

    // Controls, for the commands and their tests.
    TRgnButton* NumButton(int slot) const { return numButtons_.at(slot - 1); }
    QRadioButton* GroupButton(int group) const { return groupButtons_.at(group - 1); }
    TRgnButton* LayoutButton(int frames) const;
    TRgnButton* PreviewBtn() const { return previewBtn_; }
    TRgnButton* CamSettingsBtn() const { return camSettingsBtn_; }
    TRgnButton* FullScrBtn() const { return fullScrBtn_; }
    TRgnButton* SnapshotBtn() const { return snapshotBtn_; }
    TRgnButton* ExitBtn() const { return exitBtn_; }
    TRgnButton* ShowPanelBtn() const { return showPanelBtn_; }
    TRgnButton* ClosePanelBtn() const { return closePanelBtn_; }
    QWidget* Shape1() const { return shape1_; }
    QWidget* PopupPanel() const { return popupPanel_; }
    QListWidget* ListBox1() const { return listBox1_; }
    TAnalogClock* Clock1() const { return clock1_; }
    QWidget* ControlPanel() const { return controlPanel_; }
    QTimer* tmrChangeGroup() const { return tmrChangeGroup_; }
    TAction* actPreview() const { return actPreview_; }
    TAction* actRecord() const { return actRecord_; }
    TAction* actSnapshot() const { return actSnapshot_; }
    TAction* actCamSettings() const { return actCamSettings_; }
    TAction* actFullScreen() const { return actFullScreen_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createPanel();
    void createActions();
    TRgnButton* makeButton(const QString& name, const QString& artworkId, int x, int y, int w,
                           int h, const QString& hint = {});
    QLabel* makeLabel(const QString& text, int x, int y, int w, int h);
    void readWindowValues(const IniFile& ini);
    void LoadCameras(const IniFile& ini);
    void SaveCameras(IniFile& ini);
    void writeWindowValues(IniFile& ini);
    void shutdown();
    void ListBox1Click();
    void startWindowDrag();

    Form1Context context_;
    WallSettings settings_;
    QList<TCamera*> allCameras_;
    std::array<TCamera*, 9> slotCameras_{};
    TCamera* selectedCamera_ = nullptr;
    int currentGroup_ = 0;
    bool fullScreenMode_ = false;
    bool shutDown_ = false;

    QWidget* image1_ = nullptr;
    QWidget* shape1_ = nullptr;
    TAnalogClock* clock1_ = nullptr;
    QWidget* controlPanel_ = nullptr;
    QWidget* popupPanel_ = nullptr;
    QListWidget* listBox1_ = nullptr;
    std::array<TRgnButton*, 9> numButtons_{};
    std::array<QRadioButton*, 4> groupButtons_{};
    TRgnButton* btn1_ = nullptr;
    TRgnButton* btn4_ = nullptr;
    TRgnButton* btn6_ = nullptr;
    TRgnButton* btn9_ = nullptr;
    TRgnButton* previewBtn_ = nullptr;
    TRgnButton* camSettingsBtn_ = nullptr;
    TRgnButton* fullScrBtn_ = nullptr;
    TRgnButton* snapshotBtn_ = nullptr;
    TRgnButton* minBtn_ = nullptr;
    TRgnButton* exitBtn_ = nullptr;
    TRgnButton* showPanelBtn_ = nullptr;
    TRgnButton* closePanelBtn_ = nullptr;
    QTimer* tmrChangeGroup_ = nullptr;
    QTimer* tmrPanel_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;

    TAction* actPreview_ = nullptr;
    TAction* actRecord_ = nullptr;
    TAction* actSnapshot_ = nullptr;
    TAction* actCamSettings_ = nullptr;
    TAction* actFullScreen_ = nullptr;
};

} // namespace norvale
