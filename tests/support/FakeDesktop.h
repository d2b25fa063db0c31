#pragma once
// The desktop of the widget tests: answers boxes and modal dialogs without blocking, records
// error reports and tray balloons, and has a clock the test sets. Its screen is 1024 pixels wide
// and it has no tray unless the test says otherwise.
#include "app/shell/DesktopServices.h"
#include "platform/FolderChooser.h"
#include "platform/MessageBox.h"
#include "support/FakeClock.h"

#include <QDialog>
#include <QPoint>
#include <QString>
#include <functional>
#include <vector>

namespace norvale::test {

class FakeDesktop : public DesktopServices {
public:
    RecordingMessageBox boxes;
    // Cancels unless given an answer.
    ScriptedFolderChooser chooser;
    FakeClock time;
    // Answers each modal dialog; empty: it is cancelled without being shown.
    std::function<int(QDialog&)> dialogs;
    std::vector<QString> reports;
    // "title|text|ms" of each balloon.
    std::vector<QString> balloons;
    bool tray = false;
    int screen = 1024;
    QPoint pointer;
    // Answers each file-save dialog with (caption, suggested name); empty: cancelled.
    std::function<QString(const QString&, const QString&)> saveAs;

    IMessageBox& messages() override { return boxes; }
    IFolderChooser& folders() override { return chooser; }
    int execDialog(QDialog& dialog) override {
        return dialogs ? dialogs(dialog) : int(QDialog::Rejected);
    }
    void reportError(const QString& text) override { reports.push_back(text); }
    const Clock& clock() const override { return time; }
    bool trayAvailable() const override { return tray; }
    void showBalloon(QSystemTrayIcon&, const QString& title, const QString& text, int ms) override {
        balloons.push_back(title + "|" + text + "|" + QString::number(ms));
    }
    int screenWidth(const QWidget*) const override { return screen; }
    QPoint pointerPos() const override { return pointer; }
    QString saveFileName(QWidget*, const QString& caption, const QString& suggested,
                         const QString&) override {
        return saveAs ? saveAs(caption, suggested) : QString();
    }
};

} // namespace norvale::test
