#pragma once
// One camera channel: the frame that a wall slot shows, with its published properties, its two
// pages (live video and the latest snapshot), its pop-up menu and its five actions.
#include "app/Action.h"

#include <QFrame>
#include <QImage>
#include <QString>
#include <functional>

class QCheckBox;
class QLabel;
class QMenu;
class QTabWidget;
class QWidget;

namespace norvale {

// What every camera channel shares with the rest of the program.
struct CameraServices {
    // The number of capture devices present now; VideoDeviceIndex is checked against it.
    std::function<int()> videoDeviceCount = [] { return 0; };
    // The placeholder shown on the snapshot page while no snapshot is on display.
    QImage snapshotPlaceholder;
};

class TCamera : public QFrame {
    Q_OBJECT
public:
    TCamera(QWidget* owner, const CameraServices& services);
    ~TCamera() override;

    // Published properties.
    int MMSPort() const { return mmsPort_; }
    void setMMSPort(int port);
    int BitRate() const { return bitRate_; }
    void setBitRate(int kbps) { bitRate_ = kbps; }
    int SnapshotSeconds() const { return snapshotSeconds_; }
    void setSnapshotSeconds(int seconds) { snapshotSeconds_ = seconds; }
    const QString& CameraName() const { return cameraName_; }
    void setCameraName(const QString& name);
    int VideoDeviceIndex() const { return videoDeviceIndex_; }
    void setVideoDeviceIndex(int index);
    int VideoFormatIndex() const { return videoFormatIndex_; }
    void setVideoFormatIndex(int index);
    bool Previewing() const { return previewing_; }
    bool Recording() const { return recording_; }
    bool FullScreen() const;
    void setFullScreen(bool on);
    bool AutoSnapshot() const { return autoSnapshot_; }
    void setAutoSnapshot(bool on) { autoSnapshot_ = on; }
    const QString& SaveFilePath() const { return saveFilePath_; }
    void setSaveFilePath(const QString& path) { saveFilePath_ = path; }
    const QString& SnapshotPath() const { return snapshotPath_; }
    void setSnapshotPath(const QString& path) { snapshotPath_ = path; }

    // Re-applies the client alignment of the page control and the video window.
    void RefitVideo();
    // Stops recording, then preview.
    void StopAll();

    // Applies every action's update rule.
    void updateActions();

    TAction* actPreview() const { return actPreview_; }
    TAction* actSave() const { return actSave_; }
    TAction* actSnapshot() const { return actSnapshot_; }
    TAction* actSettings() const { return actSettings_; }
    TAction* actFullScreen() const { return actFullScreen_; }

    QTabWidget* PageControl1() const { return pageControl1_; }
    QWidget* TabSheet1() const { return tabSheet1_; }
    QWidget* TabSheet2() const { return tabSheet2_; }
    QWidget* VideoWindow() const { return videoWindow_; }
    QCheckBox* chkAutoSnapshot() const { return chkAutoSnapshot_; }
    QLabel* imgBackground() const { return imgBackground_; }
    QLabel* Image1() const { return image1_; }
    QMenu* PopupMenu1() const { return popupMenu1_; }

    // How many times the deferred re-layout has run (the posted refit, once per posted event).
    int refitCount() const { return refitCount_; }

signals:
    // After every successful preview start.
    void OnPreview(norvale::TCamera* sender);

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void buildLayout();
    void buildActions();
    void postRefit();
    void actSnapshotExecute();
    void actFullScreenExecute();
    void actPreviewExecute();
    void actSaveExecute();
    void actSettingsExecute();
    void StopRecording();
    void StopPreview();

    const CameraServices& services_;

    int mmsPort_ = 8801;
    int bitRate_ = 1024;
    int snapshotSeconds_ = 60;
    QString cameraName_;
    int videoDeviceIndex_ = -1;
    int videoFormatIndex_ = -1;
    bool previewing_ = false;
    bool recording_ = false;
    bool autoSnapshot_ = false;
    bool videoFullScreen_ = false;
    QString saveFilePath_;
    QString snapshotPath_;
    quint32 lastSnapshotSecond_ = 0;
    int refitCount_ = 0;

    QWidget* clientPanel_ = nullptr;
    QTabWidget* pageControl1_ = nullptr;
    QWidget* tabSheet1_ = nullptr;
    QWidget* videoWindow_ = nullptr;
    QWidget* tabSheet2_ = nullptr;
    QWidget* panel1_ = nullptr;
    QCheckBox* chkAutoSnapshot_ = nullptr;
    QWidget* panel2_ = nullptr;
    QLabel* imgBackground_ = nullptr;
    QLabel* image1_ = nullptr;
    QMenu* popupMenu1_ = nullptr;

    TAction* actPreview_ = nullptr;
    TAction* actSave_ = nullptr;
    TAction* actSnapshot_ = nullptr;
    TAction* actSettings_ = nullptr;
    TAction* actFullScreen_ = nullptr;
};

} // namespace norvale
