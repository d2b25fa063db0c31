// The composition root: the one place where the program's objects are created and wired.
#include "app/shell/Application.h"
#include "platform/MessageBox.h"

#include <QDir>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// NORVALE_REPORT_PAINTED=1: prints "wall painted" on standard output once the first window has
// been painted, so a script can time the start from exec to a usable wall.
class PaintedReport : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The first widget painted belongs to the first window shown; the window itself may not
        // be painted at all when its background picture covers it.
        if (event->type() == QEvent::Paint && watched->isWidgetType()) {
            qApp->removeEventFilter(this);
            // After the whole window, children included, has been painted in this pass.
            QTimer::singleShot(0, [] {
                std::fputs("wall painted\n", stdout);
                std::fflush(stdout);
            });
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    norvale::TApplication app(argc, argv);

    // Headless runs (tests, scripted checks) print message boxes instead of waiting for a click.
    std::unique_ptr<norvale::IMessageBox> messages;
    if (const char* v = std::getenv("NORVALE_PRINT_MESSAGES"); v && *v == '1')
        messages = std::make_unique<norvale::PrintingMessageBox>();
    else
        messages = std::make_unique<norvale::QtMessageBox>();

    PaintedReport paintedReport;
    if (const char* v = std::getenv("NORVALE_REPORT_PAINTED"); v && *v == '1')
        app.installEventFilter(&paintedReport);

    norvale::StartupOptions options;
    options.exeDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    options.messages = messages.get();
    // Every camera serves on 8801; runs on a shared machine move it with NORVALE_MMS_PORT.
    if (const char* v = std::getenv("NORVALE_MMS_PORT"))
        if (const int port = std::atoi(v); port > 0 && port <= 65535)
            options.mmsPort = port;
    return norvale::runNorvale(app, options);
}
