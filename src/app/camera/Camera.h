#pragma once
// One camera channel: the frame that a wall slot shows, with its published properties, its two
// pages (live video and the latest snapshot), its pop-up menu and its five actions.
#include "app/shell/Action.h"

#include <QFrame>
#include <QImage>
#include <QString>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QCheckBox;
class QDialog;
class QLabel;
class QMenu;
class QTabWidget;
class QTimer;
class QWidget;

namespace norvale {

class IFolderChooser;
class IMessageBox;
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
    IMessageBox* messages = nullptr;
    // The folder browser of the settings dialog; none: its folder buttons do nothing.
    IFolderChooser* folders = nullptr;
    // The executable's folder with its trailing "/" (Enc.ini); empty: the running program's.
    QString exeDir;
    // Runs a modal dialog and returns its result; empty: QDialog::exec. Tests answer here.
    std::function<int(QDialog&)> execDialog;
    // Caption of the program's own message boxes.
    QString applicationTitle;
    // The placeholder shown on the snapshot page while no snapshot is on display.
    QImage snapshotPlaceholder;
    // Clocks, injectable for tests: local time for file names, whole seconds of a monotonic
    // clock for the snapshot rule, milliseconds of it for profile names.
    std::function<std::tm()> localTime;
    std::function<std::uint32_t()> monotonicSeconds;
    std::function<std::uint32_t()> tickCount;
    // Failures that end a running graph on their own (a camera unplugged, a full disk) are
    // reported here; the camera has already stopped.
    std::function<void(const QString&)> reportError;
    // Told first when a recording's file branch failed on its own (a full disk, a folder
    // gone), so space can be made at once. Empty: nobody.
    std::function<void()> recordingWriteFailed;
    // The port every camera's live stream starts on (MMSPort).
    int mmsPort = 8801;

    // Fills the unset clocks with the system's.
    void fillDefaults();
};

class TCamera : public QFrame {
    Q_OBJECT
public:
    TCamera(QWidget* owner, CameraServices services);
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
    bool AutoSnapshot() const { return autoSnapshot_.load(); }
    void setAutoSnapshot(bool on) { autoSnapshot_.store(on); }
    const QString& SaveFilePath() const { return saveFilePath_; }
    void setSaveFilePath(const QString& path) { saveFilePath_ = path; }
    const QString& SnapshotPath() const { return snapshotPath_; }
    void setSnapshotPath(const QString& path);
    // Seconds of one recording file; 0: one file per recording.
    int SegmentSeconds() const { return segmentSeconds_; }
    void setSegmentSeconds(int seconds) { segmentSeconds_ = seconds; }

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
    std::int32_t ConfigureWriterProfile(int width, int height, std::int64_t bitsPerSecond);

    // The frame callback of the grabber (streaming thread): takes a timed snapshot when due.
    void VideoSampleGrabberBuffer(TSampleGrabber& sender, double sampleTime,
                                  const std::uint8_t* buffer, std::size_t length);
    std::uint32_t LastSnapshotSecond() const { return lastSnapshotSecond_.load(); }

    // The capture components.
    TFilterGraph& CaptureGraph() const { return *captureGraph_; }
    TFilter& VideoSourceFilter() const { return *videoSourceFilter_; }
    TSampleGrabber& VideoSampleGrabber() const { return *videoSampleGrabber_; }
    TVideoRenderer& VideoRenderer() const { return *videoRenderer_; }
    TASFWriter& ASFWriter() const { return *asfWriter_; }
    // The last recording's file name (empty before the first).
    const QString& lastRecordingFile() const { return lastRecordingFile_; }

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
    // After the camera changed its state on its own (its graph failed) or after a failed
    // start, so that what shows its state can follow.
    void OnStateChanged(norvale::TCamera* sender);

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
    void buildRecording();
    void graphFailed(quint64 run, const QString& text, bool recordingOnly);
    void checkRecordingFile();
    struct FileIdentity {
        bool valid = false;
        unsigned long device = 0;
        unsigned long inode = 0;
    };
    static FileIdentity fileIdentity(const std::string& path);
    void message(const QString& text, const QString& caption, int icon);

    CameraServices services_;

    int mmsPort_ = 8801;
    int bitRate_ = 1024;
    int snapshotSeconds_ = 60;
    int segmentSeconds_ = 3600;
    QString cameraName_;
    int videoDeviceIndex_ = -1;
    int videoFormatIndex_ = -1;
    bool previewing_ = false;
    bool recording_ = false;
    std::atomic<bool> autoSnapshot_{false};
    QString saveFilePath_;
    QString snapshotPath_;
    std::atomic<std::uint32_t> lastSnapshotSecond_{0};
    QString lastRecordingFile_;
    // Counts graph teardowns, so a failure handled late can tell it belongs to a graph gone.
    quint64 graphRun_ = 0;
    // While recording: checks that the file being written still has its name.
    QTimer* recordingWatch_ = nullptr;
    FileIdentity recordingIdentity_;
    int refitCount_ = 0;

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

    // The bitmap of the latest snapshot and the lock of its drawing surface.
    std::mutex canvasLock_;
    std::unique_ptr<TBitmap> snapshotBitmap_;

    // Components first, the graph last: the graph goes first and unlinks them.
    std::unique_ptr<TASFWriter> asfWriter_;
    std::unique_ptr<TSampleGrabber> videoSampleGrabber_;
    std::unique_ptr<TFilter> videoSourceFilter_;
    std::unique_ptr<TVideoRenderer> videoRenderer_;
    std::unique_ptr<TFilterGraph> captureGraph_;
};

} // namespace norvale
