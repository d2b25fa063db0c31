#pragma once
// Start-up and shutdown of the program, and the one application-level error report that every
// exception escaping a command or handler reaches.
#include <QApplication>
#include <QString>
#include <functional>

namespace norvale {

class IFolderChooser;
class IMessageBox;
class IPageOpener;

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // Where exceptions that escape an event handler are shown; the program goes on.
    void setErrorReport(std::function<void(const QString&)> report) { report_ = std::move(report); }
    void reportError(const QString& text);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    std::function<void(const QString&)> report_;
};

struct StartupOptions {
    QString exeDir; // the executable's folder, ending in "/"
    IMessageBox* messages = nullptr;
    // The browser for support and product pages, the folder browser; none: the desktop's own.
    IPageOpener* pages = nullptr;
    IFolderChooser* folders = nullptr;
    // Called once the main window exists (tests use it to drive and close the wall).
    std::function<void(QWidget* mainWindow)> onRunning;
    // The port every camera's live stream serves on.
    int mmsPort = 8801;
};

// Runs the whole program: branding, single-instance guard, translation, windows, message loop
// and shutdown. Returns the process exit code.
int runNorvale(TApplication& app, const StartupOptions& options);

// Names the application after its branding for the desktop (single instance, tray hint) without
// changing any window's caption.
void setApplicationIdentity(const QString& applicationName);

} // namespace norvale
