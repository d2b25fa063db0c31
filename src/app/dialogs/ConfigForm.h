#pragma once
// The options dialog: start at logon, start minimised, the new-version notice, and automatic
// cycling through the camera groups. Created once and shown again for every use; the main
// window fills it before showing it and takes the values back after OK. It reopens on the page
// it was closed on.
#include <QDialog>
#include <array>

class QCheckBox;
class QLabel;
class QPushButton;
class QTabWidget;

namespace norvale {

class TSpinEdit;

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
    QPushButton* button1_ = nullptr;
    QPushButton* button2_ = nullptr;
};

} // namespace norvale
