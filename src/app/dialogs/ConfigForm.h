#pragma once
// The options dialog: start at logon, start minimised, the new-version notice, resuming the
// cameras at start, automatic cycling through the camera groups, and what retention keeps
// (free space, age) with the recording disks' state, and the command run at motion events. Created
// once and shown again for every use; the main window fills it before showing it and takes the
// values back after OK. It reopens on the page it was closed on.
#include <QDateTime>
#include <QDialog>
#include <QList>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace norvale {

class TSpinEdit;

// What the "Storage" page shows besides its two limits.
struct StorageStatus {
    struct Disk {
        QString folder; // a recording folder on it
        std::uint64_t freeBytes = 0;
        std::uint64_t totalBytes = 0;
    };
    QList<Disk> disks;
    struct Sweep {
        QDateTime finishedAt;
        int filesRemoved = 0;
        std::uint64_t bytesFreed = 0;
    };
    std::optional<Sweep> lastSweep;
};

class TConfigForm : public QDialog {
    Q_OBJECT
public:
    explicit TConfigForm(QWidget* parent = nullptr);

    QTabWidget* PageControl1() const { return pageControl1_; }
    QWidget* TabSheet2() const { return tabSheet2_; }
    QWidget* tsSwitchGroup() const { return tsSwitchGroup_; }
    QCheckBox* chkAutoRun() const { return chkAutoRun_; }
    QCheckBox* chkStartMin() const { return chkStartMin_; }
    QCheckBox* chkCheckForUpdates() const { return chkCheckForUpdates_; }
    QCheckBox* chkChangeGroup() const { return chkChangeGroup_; }
    TSpinEdit* seChangeGroupSeconds() const { return seChangeGroupSeconds_; }
    QCheckBox* chkGroup(int group) const { return chkGroups_.at(group - 1); } // 1..4
    QCheckBox* chkResumeCameras() const { return chkResumeCameras_; }
    QWidget* tsStorage() const { return tsStorage_; }
    TSpinEdit* seKeepFreeMB() const { return seKeepFreeMB_; }
    TSpinEdit* seKeepDays() const { return seKeepDays_; }
    QLabel* lblDisks() const { return lblDisks_; }
    QLabel* lblLastSweep() const { return lblLastSweep_; }
    void setStorageStatus(const StorageStatus& status);
    // The command run at the start and end of every motion event ([System] MotionCommand).
    QWidget* tsMotion() const { return tsMotion_; }
    QLineEdit* edtMotionCommand() const { return edtMotionCommand_; }
    // Says while the command line cannot be split into arguments; empty otherwise.
    QLabel* lblMotionCommandCheck() const { return lblMotionCommandCheck_; }
    QPushButton* Button1() const { return button1_; }
    QPushButton* Button2() const { return button2_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The interval and the group boxes are usable only while cycling is on.
    void updateEnabling();

    QTabWidget* pageControl1_ = nullptr;
    QWidget* tabSheet2_ = nullptr;
    QWidget* tsSwitchGroup_ = nullptr;
    QCheckBox* chkAutoRun_ = nullptr;
    QCheckBox* chkStartMin_ = nullptr;
    QCheckBox* chkCheckForUpdates_ = nullptr;
    QCheckBox* chkChangeGroup_ = nullptr;
    TSpinEdit* seChangeGroupSeconds_ = nullptr;
    std::array<QCheckBox*, 4> chkGroups_{};
    QCheckBox* chkResumeCameras_ = nullptr;
    QWidget* tsStorage_ = nullptr;
    TSpinEdit* seKeepFreeMB_ = nullptr;
    TSpinEdit* seKeepDays_ = nullptr;
    QLabel* lblDisks_ = nullptr;
    QLabel* lblLastSweep_ = nullptr;
    QWidget* tsMotion_ = nullptr;
    QLineEdit* edtMotionCommand_ = nullptr;
    QLabel* lblMotionCommandCheck_ = nullptr;
    QPushButton* button1_ = nullptr;
    QPushButton* button2_ = nullptr;
};

} // namespace norvale
