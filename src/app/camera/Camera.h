#pragma once
// One camera channel as the wall shows it: the frame of a wall slot, with its published
// properties, its two pages (live video and the latest snapshot), its pop-up menu and its five
// actions. The camera itself (graph, recording, snapshots, losing and regaining the device) is its
// CameraChannel; the frame passes the commands on and shows what the channel does.
#include "app/shell/Action.h"
#include "channel/CameraChannel.h"
#include "storage/RetentionSweep.h"

#include <QFrame>
#include <QImage>
#include <QString>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QMenu;
class QTabWidget;
class QTimer;
class QWidget;

namespace norvale {

class TCamera;
class DesktopServices;
class TASFWriter;
class TEnumMediaType;
class TFilter;
class TFilterGraph;
class TSampleGrabber;
class TSysDevEnum;
class TVideoRenderer;
class TVideoWindow;
struct TBitmap;

// What every camera channel shares with the rest of the program.
struct CameraServices {
    // The application's device and format lists (VideoDevices, DeviceFormats); none in tests
    // that need no capture.
    TSysDevEnum* videoDevices = nullptr;
    TEnumMediaType* deviceFormats = nullptr;
    // The number of capture devices as listed at start-up; VideoDeviceIndex is checked against
    // it. Defaults to the count of videoDevices.
    std::function<int()> videoDeviceCount;
    // Boxes, the settings dialog and its folder browser, the error report and the clocks; none:
    // no box, no report, the folder buttons do nothing, the system's clocks.
    DesktopServices* desktop = nullptr;
    // The executable's folder with its trailing "/" (Enc.ini); empty: the running program's.
    QString exeDir;
    // Caption of the program's own message boxes.
    QString applicationTitle;
    // The placeholder shown on the snapshot page while no snapshot is on display.
    QImage snapshotPlaceholder;
    // The camera settings dialog, run on the frame (which has stopped) with these services; none:
    // the command only stops the camera. The dialogs provide it (editCameraSettings).
    std::function<void(TCamera&, const CameraServices&)> editSettings;
    // Told first when a recording's file branch failed on its own (a full disk, a folder
    // gone), so space can be made at once. Empty: nobody.
    std::function<void()> recordingWriteFailed;
    // The port every camera's live stream starts on (MMSPort).
    int mmsPort = 8801;
    // The computer chooser of the settings dialog's "Find on LAN...": the chosen computer's
    // name and address, false when none was chosen; none: the button does nothing.
    std::function<bool(QString& computer, QString& address)> chooseComputer;

    // Fills the unset device count.
    void fillDefaults();
};

class TCamera : public QFrame {
    Q_OBJECT
public:
    TCamera(QWidget* owner, CameraServices services);
    ~TCamera() override;

    // Published properties.
    int MMSPort() const { return channel_->mmsPort(); }
    void setMMSPort(int port) { channel_->setMMSPort(port); }
    int BitRate() const { return channel_->bitRate(); }
    void setBitRate(int kbps) { channel_->setBitRate(kbps); }
    int SnapshotSeconds() const { return channel_->snapshotSeconds(); }
    void setSnapshotSeconds(int seconds) { channel_->setSnapshotSeconds(seconds); }
    QString CameraName() const { return QString::fromStdString(channel_->name()); }
    void setCameraName(const QString& name);
    int VideoDeviceIndex() const { return channel_->videoDeviceIndex(); }
    void setVideoDeviceIndex(int index);
    int VideoFormatIndex() const { return channel_->videoFormatIndex(); }
    void setVideoFormatIndex(int index) { channel_->setVideoFormatIndex(index); }
    bool Previewing() const { return channel_->previewing(); }
    bool Recording() const { return channel_->recording(); }
    bool FullScreen() const;
    void setFullScreen(bool on);
    bool AutoSnapshot() const { return channel_->autoSnapshot(); }
    void setAutoSnapshot(bool on) { channel_->setAutoSnapshot(on); }
    QString SaveFilePath() const { return QString::fromStdString(channel_->saveFilePath()); }
    void setSaveFilePath(const QString& path) { channel_->setSaveFilePath(path.toStdString()); }
    QString SnapshotPath() const { return QString::fromStdString(channel_->snapshotPath()); }
    void setSnapshotPath(const QString& path) { channel_->setSnapshotPath(path.toStdString()); }
    // Seconds of one recording file; 0: one file per recording.
    int SegmentSeconds() const { return channel_->segmentSeconds(); }
    void setSegmentSeconds(int seconds) { channel_->setSegmentSeconds(seconds); }

    // Every persisted setting at once; the device index obeys setVideoDeviceIndex's rule.
    CameraSettings Settings() const { return channel_->settings(); }
    void setSettings(const CameraSettings& settings);

    // The engine behind the frame.
    CameraChannel& Channel() const { return *channel_; }
    // Whether the camera waits for its device to come back, and the text its frame shows then.
    bool Lost() const { return channel_->state() == ChannelState::Lost; }
    QString LostText() const;
    // "Recording stopped at HH:MM:SS: <reason>" while a recording that halted on its own has not
    // started again and nobody acted since; empty otherwise.
    QString HaltText() const;
    // Recording on motion: "Armed: waiting for motion" until an event begins, "Recording an
    // event" while one is written; empty otherwise.
    QString MotionRecordingText() const;
    // Whether a motion event runs now, and the text the frame and the list show for it.
    bool InMotion() const { return motionSince_ != 0; }
    QString MotionText() const;
    // The line the frame and the list show over the camera: the lost text first, else the halt,
    // else an event being recorded, a motion event that runs, or a camera armed for one.
    QString NoticeText() const;
    // After a look at the recording disks: a recording that halted for a failed write or a
    // folder gone starts again once its folder is there and its disk has room again.
    void ResumeRecordingIfRoom(const std::vector<DiskSpace>& disks, std::int64_t keepFreeMB);

    // Re-applies the client alignment of the page control and the video window.
    void RefitVideo();
    // Stops recording, then preview.
    void StopAll();

    // Live video and recording; errors are raised to the caller.
    void StartPreview();
    void StopPreview();
    void StartRecording();
    void StopRecording();
    void TearDownGraph();
    // Builds the recording profile and gives it to the writer; 0, or the failing call's code
    // after its message was shown.
    std::int32_t ConfigureWriterProfile(int width, int height, std::int64_t bitsPerSecond) {
        return channel_->configureWriterProfile(width, height, bitsPerSecond);
    }

    // The frame callback of the grabber (streaming thread): takes a timed snapshot when due.
    void VideoSampleGrabberBuffer(TSampleGrabber& sender, double sampleTime,
                                  const std::uint8_t* buffer, std::size_t length) {
        (void)sampleTime;
        channel_->frameArrived(sender, buffer, length);
    }
    std::uint32_t LastSnapshotSecond() const { return channel_->lastSnapshotSecond(); }

    // The capture components.
    TFilterGraph& CaptureGraph() const { return channel_->graph(); }
    TFilter& VideoSourceFilter() const { return channel_->sourceFilter(); }
    TSampleGrabber& VideoSampleGrabber() const { return channel_->sampleGrabber(); }
    TVideoRenderer& VideoRenderer() const { return channel_->renderer(); }
    TASFWriter& ASFWriter() const { return channel_->writer(); }
    // The last recording's file name (empty before the first).
    QString lastRecordingFile() const {
        return QString::fromStdString(channel_->lastRecordingFile());
    }

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
    TVideoWindow* VideoWindow() const { return videoWindow_; }
    QCheckBox* chkAutoSnapshot() const { return chkAutoSnapshot_; }
    QLabel* imgBackground() const { return imgBackground_; }
    QLabel* Image1() const { return image1_; }
    QMenu* PopupMenu1() const { return popupMenu1_; }

    // How many times the deferred re-layout has run (the posted refit, once per posted event).
    int refitCount() const { return refitCount_; }

signals:
    // After every successful preview start.
    void OnPreview(norvale::TCamera* sender);
    // After the camera changed its state on its own (its graph failed, its device went away or
    // came back) or after a failed start, so that what shows its state can follow.
    void OnStateChanged(norvale::TCamera* sender);
    // The camera's device went away or stalled: the camera waits for it (Lost()).
    void OnLost(norvale::TCamera* sender);
    // A recording halted on its own (HaltText()); not again for a recording the camera had
    // started again by itself.
    void OnRecordingHalted(norvale::TCamera* sender);
    // A motion event began or ended (InMotion()).
    void OnMotion(norvale::TCamera* sender);

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
    void showSnapshot(std::shared_ptr<const TBitmap> bitmap);
    void channelChanged();
    void showNotice();
    void message(const QString& text, const QString& caption, int icon);

    CameraServices services_;
    std::unique_ptr<CameraChannel> channel_;
    int refitCount_ = 0;
    // Milliseconds since the epoch of the running motion event's start; 0: none.
    qint64 motionSince_ = 0;

    QWidget* clientPanel_ = nullptr;
    QTabWidget* pageControl1_ = nullptr;
    QWidget* tabSheet1_ = nullptr;
    TVideoWindow* videoWindow_ = nullptr;
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
