#pragma once
// The dialog for one network camera: its name, its address, the user and password it asks
// for, and a "Test" that opens the stream away from the window's thread and shows the first
// picture, or in plain words why there is none. The password field never shows what it holds.
#include "capture/NetworkCamera.h"

#include <QDialog>
#include <functional>
#include <thread>

class QLabel;
class QLineEdit;
class QPushButton;

namespace norvale {

class DesktopServices;

class TNetCameraForm : public QDialog {
    Q_OBJECT
public:
    // Opens a camera and waits for its first picture; runs on a thread of its own.
    using Prober = std::function<NetProbeResult(const NetCameraConfig&)>;

    // `desktop` answers the refusals of OK (none: no box). `prober` defaults to the real one.
    TNetCameraForm(QWidget* owner, DesktopServices* desktop, Prober prober = {});
    ~TNetCameraForm() override; // waits for a test still running

    void SetCamera(const NetCameraConfig& camera);
    // The fields without leading and trailing blanks (the password as typed).
    NetCameraConfig Camera() const;

    QLineEdit* NameEdit() const { return nameEdit_; }
    QLineEdit* AddressEdit() const { return addressEdit_; }
    QLineEdit* UserEdit() const { return userEdit_; }
    QLineEdit* PasswordEdit() const { return passwordEdit_; }
    QPushButton* TestButton() const { return testButton_; }
    QLabel* Picture() const { return picture_; }
    QLabel* TestResult() const { return result_; }
    bool Testing() const { return testing_; }

    // "Test": the answer arrives later (testFinished).
    void TestClick();

public slots:
    void accept() override; // refuses an unusable address or an empty name

signals:
    void testFinished(bool ok);

private:
    void showResult(const NetProbeResult& result);

    DesktopServices* desktop_;
    Prober prober_;
    std::thread test_;
    bool testing_ = false;

    QLineEdit* nameEdit_ = nullptr;
    QLineEdit* addressEdit_ = nullptr;
    QLineEdit* userEdit_ = nullptr;
    QLineEdit* passwordEdit_ = nullptr;
    QPushButton* testButton_ = nullptr;
    QLabel* picture_ = nullptr;
    QLabel* result_ = nullptr;
};

} // namespace norvale
