#pragma once
// The camera settings dialog: the capture device and recording format of one camera, its name,
// its recording folder and bit rate, its snapshot timer and folder, and its motion detection.
//
// The camera fills it (device and format lists, its source filter and graph, both indexes and the
// fields), shows it modally, and takes the values back only after OK. While open, the dialog uses
// the camera's own graph to list a device's formats, to preview it in its own video window and to
// show the device's controls; the graph is stopped, emptied and inactive again once it closes.
#include "capture/NetworkCamera.h"
#include "core/CameraSettings.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QToolButton;

namespace norvale {

class DesktopServices;
class IMotionPreview;
class MotionPage;
class TEnumMediaType;
class TFilter;
class TFilterGraph;
class TSpinEdit;
class TSysDevEnum;
class TVideoRenderer;
class TVideoWindow;

struct SettingsFormServices {
    TSysDevEnum* devices = nullptr;    // VideoDevices
    TEnumMediaType* formats = nullptr; // DeviceFormats
    TFilter* sourceFilter = nullptr;   // the camera's source filter
    TFilterGraph* graph = nullptr;     // the camera's capture graph
    QString exeDir;                    // with its trailing "/"; Enc.ini lives there
    // The two refusals of OK, the folder buttons, and the error report where failures of a
    // device pick, a preview or "Configure..." go; none: no box, the folder buttons do nothing.
    DesktopServices* desktop = nullptr;
    // The detector behind the "Motion" page's live picture; none: one of the dialog's own, fed
    // from its preview.
    IMotionPreview* motionPreview = nullptr;
    // "Find on LAN...": the computer chooser, giving the chosen computer's name and address
    // (false: none chosen); none: the button does nothing.
    std::function<bool(QString& computer, QString& address)> chooseComputer;
    // The numbers of the cameras a computer serves; none: asked at its port 8801.
    std::function<std::vector<int>(const QString& address)> servedCameras;
    // What the network camera dialog's "Test" asks the camera; none: the real stream.
    std::function<NetProbeResult(const NetCameraConfig&)> netProber;
};

class TSettingsForm : public QDialog {
    Q_OBJECT
public:
    TSettingsForm(QWidget* owner, SettingsFormServices services);
    ~TSettingsForm() override;

    // Positions in VideoDevices / DeviceFormats; -1 for none.
    int DeviceIndex() const { return deviceIndex_; }
    void SetDeviceIndex(int index) { deviceIndex_ = index; }
    int FormatIndex() const { return formatIndex_; }
    void SetFormatIndex(int index) { formatIndex_ = index; }

    // The length of one recording file, shown as "New file every [ ] minutes" (0: one file per
    // recording). A stored length that is not whole minutes shows rounded and comes back as it
    // was unless the field is changed.
    void SetSegmentSeconds(int seconds);
    int SegmentSeconds() const;
    // Fills every field from a camera's settings; Values gives them back over `base` (what the
    // dialog does not show stays as it is there), texts without leading and trailing blanks.
    void SetValues(const CameraSettings& values);
    CameraSettings Values(const CameraSettings& base) const;

    // The characters a camera name cannot hold (they would break its file names).
    static const QString& ForbiddenNameCharacters();

    // The format list's entries for a device's format texts: every text that mentions
    // "VideoInfo2" is left out; each entry carries its position in the device's list.
    static std::vector<std::pair<QString, int>>
    ListedFormats(const std::vector<std::string>& texts);
    // The entry to preselect: the first whose text equals `preferred` (letter case ignored),
    // else the last that mentions 352 and 288 or 320 and 240, else the first; -1 for none.
    static int PreselectedFormat(const QStringList& entries, const QString& preferred);

    // Controls.
    QTabWidget* pcPreferences() const { return pcPreferences_; }
    QWidget* tabCapture() const { return tabCapture_; }
    QWidget* tabSaveToFile() const { return tabSaveToFile_; }
    QWidget* tabSnapshots() const { return tabSnapshots_; }
    MotionPage* tabMotion() const { return tabMotion_; }
    TVideoWindow* VideoWindow() const { return videoWindow_; }
    QLineEdit* NameEdit() const { return nameEdit_; }
    QLabel* Label4() const { return label4_; }
    QComboBox* cbbVideoDevices() const { return cbbVideoDevices_; }
    QPushButton* Btn_Video_Property() const { return btnVideoProperty_; }
    QPushButton* btnPreview() const { return btnPreview_; }
    QPushButton* btnAddNetCamera() const { return btnAddNet_; }
    QPushButton* btnEditNetCamera() const { return btnEditNet_; }
    QPushButton* btnRemoveNetCamera() const { return btnRemoveNet_; }
    QPushButton* btnFindOnLan() const { return btnFindOnLan_; }
    QLineEdit* edtSaveFilePath() const { return edtSaveFilePath_; }
    QToolButton* btnBrowse() const { return btnBrowse_; }
    QComboBox* cbbVideoFormats() const { return cbbVideoFormats_; }
    // The chosen format as the closed list shows it.
    QString ShownFormatText() const;
    TSpinEdit* edtKBps() const { return edtKBps_; }
    TSpinEdit* edtSegmentMinutes() const { return edtSegmentMinutes_; }
    // "Record": WMV re-encoded, or the camera's own stream; offered (visible) only while the
    // chosen format is one the camera compresses itself (H.264, H.265, MJPEG).
    QComboBox* cbbRecordFormat() const { return cbbRecordFormat_; }
    bool RecordFormatOffered() const;
    QCheckBox* chkAutoSnapshot() const { return chkAutoSnapshot_; }
    TSpinEdit* edtSnapshotSeconds() const { return edtSnapshotSeconds_; }
    QLineEdit* edtSnapshotPath() const { return edtSnapshotPath_; }
    QToolButton* SpeedButton1() const { return speedButton1_; }
    QPushButton* OKButton() const { return okButton_; }
    QPushButton* CancelButton() const { return cancelButton_; }

    // The user's actions, also for tests.
    void cbbVideoDevicesChange();
    void btnPreviewClick();
    void BtnVideoPropertyClick();
    void btnBrowseClick();
    void SpeedButton1Click();
    // The network cameras: a new one, the selected one changed or removed, and the cameras
    // another computer's Norvale serves. Each change applies at once to the device list (it is
    // not undone by Cancel) and reaches setup.ini at exit.
    void btnAddNetCameraClick();
    void btnEditNetCameraClick();
    void btnRemoveNetCameraClick();
    void btnFindOnLanClick();

public slots:
    void accept() override; // OK: refuses without a device or a format
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void opening();
    void preselectFormat();
    void closeGraph();
    void report(const QString& text);
    void browse(QLineEdit* field);
    // Position in networkCameras() of the selected device; -1 when it is not a network camera.
    int selectedNetCamera() const;
    void updateNetButtons();
    // Applies the new list and lists the devices again, selecting position `select`.
    void applyNetCameras(std::vector<NetCameraConfig> cameras, int select);
    bool editNetCamera(NetCameraConfig& camera);
    void showRecordFormatChoice();

    SettingsFormServices services_;
    int deviceIndex_ = -1;
    int formatIndex_ = -1;
    int segmentSeconds_ = 3600;
    int shownSegmentMinutes_ = 60;
    bool open_ = false;

    QTabWidget* pcPreferences_ = nullptr;
    QWidget* tabCapture_ = nullptr;
    QWidget* tabSaveToFile_ = nullptr;
    QWidget* tabSnapshots_ = nullptr;
    MotionPage* tabMotion_ = nullptr;
    TVideoWindow* videoWindow_ = nullptr;
    QLineEdit* nameEdit_ = nullptr;
    QLabel* label4_ = nullptr;
    QComboBox* cbbVideoDevices_ = nullptr;
    QPushButton* btnVideoProperty_ = nullptr;
    QPushButton* btnPreview_ = nullptr;
    QPushButton* btnAddNet_ = nullptr;
    QPushButton* btnEditNet_ = nullptr;
    QPushButton* btnRemoveNet_ = nullptr;
    QPushButton* btnFindOnLan_ = nullptr;
    QLineEdit* edtSaveFilePath_ = nullptr;
    QToolButton* btnBrowse_ = nullptr;
    QComboBox* cbbVideoFormats_ = nullptr;
    TSpinEdit* edtKBps_ = nullptr;
    TSpinEdit* edtSegmentMinutes_ = nullptr;
    QLabel* lblRecordFormat_ = nullptr;
    QComboBox* cbbRecordFormat_ = nullptr;
    QCheckBox* chkAutoSnapshot_ = nullptr;
    TSpinEdit* edtSnapshotSeconds_ = nullptr;
    QLineEdit* edtSnapshotPath_ = nullptr;
    QToolButton* speedButton1_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;

    // The renderer behind VideoWindow, linked to the camera's graph for "Preview".
    std::unique_ptr<TVideoRenderer> renderer_;
    // The "Motion" page's detector over the preview, when none was given.
    std::unique_ptr<IMotionPreview> ownMotionPreview_;
};

} // namespace norvale
