// The composition root: the one place where the program's objects are created and wired.
#include "app/dialogs/AboutBox.h"
#include "app/dialogs/CameraSettingsDialog.h"
#include "app/dialogs/ConfigForm.h"
#include "app/scanner/ScanForm.h"
#include "app/shell/Application.h"
#include "app/shell/Artwork.h"
#include "app/shell/IndexKeeper.h"
#include "app/shell/MotionCommands.h"
#include "app/shell/ShutdownSignals.h"
#include "app/shell/StorageKeeper.h"
#include "app/shell/SystemDesktop.h"
#include "app/shell/Translator.h"
#include "app/wall/DialogCommands.h"
#include "app/wall/Form1.h"
#include "app/wall/TrayControl.h"
#include "capture/EnumMediaType.h"
#include "capture/SysDevEnum.h"
#include "core/Branding.h"
#include "core/WallLayout.h"
#include "platform/MessageBox.h"
#include "platform/PageOpener.h"
#include "platform/SingleInstance.h"

#include <QDateTime>
#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QSessionManager>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

namespace norvale {

struct StartupOptions {
    QString exeDir; // the executable's folder, ending in "/"
    // Boxes, dialogs, the error report, the clocks, the tray, the screen: the desktop the
    // program runs on.
    DesktopServices* desktop = nullptr;
    // The browser for support and product pages; none: the desktop's own.
    IPageOpener* pages = nullptr;
    // Called once the main window exists (tests use it to drive and close the wall).
    std::function<void(QWidget* mainWindow)> onRunning;
    // The port every camera's live stream serves on.
    int mmsPort = 8801;
};

namespace {
// The wall is designed for Tahoma 8 pt. Debian's metric-compatible Tahoma (fonts-wine) is not
// registered with fontconfig, so the program adds it itself when it is not known already.
void addTahoma() {
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma")))
        return;
    for (const char* file :
         {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"})
        QFontDatabase::addApplicationFont(QString::fromLatin1(file));
}
} // namespace

// Runs the whole program: branding, single-instance guard, translation, windows, message loop
// and shutdown. Returns the process exit code.
int runNorvale(TApplication& app, const StartupOptions& options) {
    DesktopServices& desktop = *options.desktop;
    IMessageBox& messages = desktop.messages();

    // A desktop that ends the program closes the main window the ordinary way. Installed first:
    // a signal during start-up waits in the handler's pipe and is acted on by the message loop,
    // when the main window exists.
    // Before the main window exists a signal ends the program at once: a start-up box that is
    // showing is closed (its event loop ends) and the program ends as after its OK.
    std::unique_ptr<TForm1> form1;
    bool endRequested = false;
    ShutdownSignals shutdownSignals([&form1, &endRequested](int) {
        endRequested = true;
        if (form1)
            form1->close();
        else
            QCoreApplication::exit(0);
    });

    // Branding comes first: the other steps use its application name.
    const auto branding =
        loadBrandingFile((options.exeDir + QStringLiteral("update.dll")).toStdString());
    if (!branding) {
        messages.show({nullptr, QStringLiteral("update.dll not found!"), QStringLiteral("Error"),
                       MessageIcon::Error, MessageButtons::Ok});
        return 1;
    }
    const QString appName = QString::fromStdString(branding->applicationName);

    // One copy per machine and application name.
    SingleInstance instance(branding->applicationName);
    if (instance.alreadyRunning()) {
        messages.show({nullptr, QStringLiteral("Application is running already!"),
                       QStringLiteral("Message"), MessageIcon::Information, MessageButtons::Ok});
        return 0;
    }

    // Translation, before the first window exists.
    Translator::install(options.exeDir, QStringLiteral("en"));

    // The data module's lists: the capture devices present now, and the (empty) format list
    // the camera settings dialog fills. Both live until the process ends.
    auto videoDevices = std::make_unique<TSysDevEnum>(CLSID_VideoInputDeviceCategory);
    auto deviceFormats = std::make_unique<TEnumMediaType>();

    // Errors that reach the message loop are reported in a box captioned with the application
    // name.
    app.setErrorReport([&messages, appName](const QString& text) {
        messages.show({nullptr, text, appName, MessageIcon::Error, MessageButtons::Ok});
    });
    setApplicationIdentity(appName);
    app.setQuitOnLastWindowClosed(false);
    Artwork artwork(options.exeDir + QStringLiteral("assets/"));
    app.setWindowIcon(QIcon(QPixmap::fromImage(artwork.image(QStringLiteral("icon.png")))));

    addTahoma();

    // Retention: what the cameras write and where, read from the wall on the GUI thread; the
    // sweeps run on the keeper's own thread.
    std::unique_ptr<StorageKeeper> storage = std::make_unique<StorageKeeper>([&form1] {
        RetentionSetup setup;
        if (!form1)
            return setup;
        setup.policy = {form1->settings().keepFreeMB, form1->settings().keepDays};
        setup.takenAt = static_cast<std::int64_t>(std::time(nullptr));
        for (const TCamera* cam : form1->AllCameras()) {
            setup.cameras.push_back({cam->CameraName().toStdString(),
                                     cam->SaveFilePath().toStdString(),
                                     cam->SnapshotPath().toStdString()});
            if (cam->Recording()) {
                setup.recording = true;
                setup.beingWritten.push_back(cam->lastRecordingFile().toStdString());
            }
            // A recording that waits for room is looked after as often as a running one.
            if (cam->Channel().waitsToRecord())
                setup.recording = true;
        }
        return setup;
    });

    DesktopPageOpener desktopPages;
    IPageOpener* pages = options.pages ? options.pages : &desktopPages;

    // The main window.
    Form1Context context;
    context.exeDir = options.exeDir;
    context.applicationName = appName;
    context.desktop = &desktop;
    context.artwork = &artwork;
    context.cameraServices.snapshotPlaceholder =
        artwork.image(QStringLiteral("snapshot_placeholder.png"));
    context.cameraServices.videoDevices = videoDevices.get();
    context.cameraServices.deviceFormats = deviceFormats.get();
    context.cameraServices.exeDir = options.exeDir;
    context.cameraServices.applicationTitle = appName;
    context.cameraServices.mmsPort = options.mmsPort;
    context.cameraServices.editSettings = &editCameraSettings;
    context.cameraServices.recordingWriteFailed = [&storage] {
        if (storage)
            storage->sweepNow();
    };
    form1 = std::make_unique<TForm1>(std::move(context));
    // A recording halted by a full disk or a folder gone starts again once a look at the disks
    // finds room (and the folder) again.
    QObject::connect(storage.get(), &StorageKeeper::disksChecked, form1.get(), [&form1, &storage] {
        const std::vector<DiskSpace> disks = storage->disks();
        for (TCamera* cam : form1->AllCameras())
            cam->ResumeRecordingIfRoom(disks, form1->settings().keepFreeMB);
    });
    storage->start();

    // The index of recordings and motion events, next to setup.ini; its writes run on its own
    // thread. What it has to say (rebuilt, a write failed) is shown like a camera lost: on the
    // console and in the tray, never in a box that waits for a click.
    auto index = std::make_unique<IndexKeeper>(
        (options.exeDir + QStringLiteral("norvale.db")).toStdString(), [&form1] {
            std::vector<ScannedCamera> cameras;
            for (const TCamera* cam : form1->AllCameras())
                cameras.push_back({cameraNumberOfName(cam->objectName().toStdString()),
                                   cam->CameraName().toStdString(),
                                   cam->SaveFilePath().toStdString(),
                                   cam->Channel().recording() ? cam->Channel().lastRecordingFile()
                                                              : std::string()});
            return cameras;
        });
    QObject::connect(index.get(), &IndexKeeper::report, form1.get(),
                     [&form1, appName](const QString& text) {
                         std::fprintf(stderr, "%s\n", qUtf8Printable(text));
                         form1->tray().Notify(appName, text);
                     });
    QObject::connect(storage.get(), &StorageKeeper::filesRemoved, index.get(),
                     &IndexKeeper::filesRemoved);
    // The user's command at the start and end of every motion event.
    auto motionCommands = std::make_unique<MotionCommands>(
        [&form1] { return form1 ? form1->settings().motionCommand : std::string(); });
    QObject::connect(motionCommands.get(), &MotionCommands::failed, form1.get(),
                     [&form1](const QString& cameraName, const QString& text) {
                         form1->tray().Notify(cameraName, text);
                     });
    for (TCamera* cam : form1->AllCameras()) {
        const int number = cameraNumberOfName(cam->objectName().toStdString());
        index->watch(number, cam->Channel());
        motionCommands->watch(number, cam->Channel());
    }
    index->start();

    QObject::connect(&app, &QGuiApplication::commitDataRequest, form1.get(),
                     [&form1](QSessionManager&) { form1->close(); });

    // The dialogs live from start-up to exit, hidden until used. No command opens the
    // computer chooser.
    auto configForm = std::make_unique<TConfigForm>();
    const QImage logo = artwork.image(QStringLiteral("icon.png"));
    auto aboutBox = std::make_unique<TAboutBox>(
        AboutBoxTexts{appName, QString::fromStdString(branding->copyright),
                      QString::fromStdString(branding->productUrl)},
        pages, logo);
    auto scanForm = std::make_unique<TScanForm>(messages);
    DialogCommandsContext commands;
    commands.configForm = configForm.get();
    commands.aboutBox = aboutBox.get();
    commands.pages = pages;
    commands.applicationName = appName;
    commands.executablePath = QCoreApplication::applicationFilePath();
    commands.supportUrl = QString::fromStdString(branding->supportUrl);
    commands.storageStatus = [&storage] {
        StorageStatus status;
        if (!storage)
            return status;
        for (const DiskSpace& d : storage->disks())
            status.disks.append({QString::fromStdString(d.folder), d.freeBytes, d.totalBytes});
        if (const auto last = storage->lastResult())
            status.lastSweep = StorageStatus::Sweep{QDateTime::fromSecsSinceEpoch(last->finishedAt),
                                                    last->filesRemoved, last->bytesFreed};
        return status;
    };
    commands.retentionChanged = [&storage] {
        if (storage)
            storage->sweepNow();
    };
    new DialogCommands(*form1, std::move(commands)); // owned by the main window

    // A signal during start-up: the main window was made, so it is taken down the ordinary
    // way (cameras stopped, settings written) without entering the loop.
    if (!endRequested) {
        if (form1->showAtStart())
            form1->show();
        if (options.onRunning)
            QTimer::singleShot(0, form1.get(), [&] { options.onRunning(form1.get()); });
        app.exec();
    }

    // Windows go in the reverse order of their creation; the main window's destruction stops
    // every camera and writes the settings. No sweep outlives the cameras it was told about.
    storage.reset();
    scanForm.reset();
    aboutBox.reset();
    configForm.reset();
    form1.reset();
    // Last: what the cameras wrote while they stopped is in the index before it closes.
    motionCommands.reset();
    index.reset();
    return 0;
}

} // namespace norvale

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

    // The one desktop every window is handed.
    norvale::SystemDesktop desktop(*messages,
                                   [&app](const QString& text) { app.reportError(text); });

    norvale::StartupOptions options;
    options.exeDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    options.desktop = &desktop;
    // Every camera serves on 8801; runs on a shared machine move it with NORVALE_MMS_PORT.
    if (const char* v = std::getenv("NORVALE_MMS_PORT"))
        if (const int port = std::atoi(v); port > 0 && port <= 65535)
            options.mmsPort = port;
    return norvale::runNorvale(app, options);
}
