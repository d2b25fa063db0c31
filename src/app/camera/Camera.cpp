#include "app/camera/Camera.h"

#include "app/camera/VideoWindow.h"
#include "app/dialogs/SettingsForm.h"
#include "app/dialogs/SpinEdit.h"
#include "app/shell/Translator.h"
#include "app/shell/WaitCursor.h"
#include "capture/ASFWriter.h"
#include "capture/CaptureLog.h"
#include "capture/FilterGraph.h"
#include "capture/SampleGrabber.h"
#include "capture/VideoRenderer.h"
#include "core/AtomicFile.h"
#include "core/CameraSettings.h"
#include "core/FileNaming.h"
#include "core/WallLayout.h"
#include "platform/MessageBox.h"

#include <QMetaObject>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <sys/stat.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStackedLayout>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace norvale {

namespace {
// The deferred re-layout message: posted on every size change, handled once per posting.
const QEvent::Type kRefitVideoEvent = static_cast<QEvent::Type>(QEvent::User + 2008);

QVBoxLayout* fillLayout(QWidget* w) {
    auto* l = new QVBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(0);
    return l;
}
} // namespace

void CameraServices::fillDefaults() {
    if (!videoDeviceCount)
        videoDeviceCount = [devices = videoDevices] {
            return devices ? devices->DeviceCount() : 0;
        };
    if (!localTime) {
        localTime = [] {
            const std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            return local;
        };
    }
    if (!monotonicSeconds) {
        monotonicSeconds = [] {
            using namespace std::chrono;
            return static_cast<std::uint32_t>(
                duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
        };
    }
    if (!tickCount) {
        tickCount = [] {
            using namespace std::chrono;
            return static_cast<std::uint32_t>(
                duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
        };
    }
}

TCamera::TCamera(QWidget* owner, CameraServices services)
    : QFrame(owner), services_(std::move(services)) {
    services_.fillDefaults();
    asfWriter_ = std::make_unique<TASFWriter>("ASFWriter");
    asfWriter_->SetProfile(TWMProfiles8::wmp_V80_56VideoOnly);
    asfWriter_->SetPort(0);
    asfWriter_->SetMaxUsers(8);
    videoSampleGrabber_ = std::make_unique<TSampleGrabber>("VideoSampleGrabber");
    videoSampleGrabber_->SetOnBuffer(
        [this](TSampleGrabber& sender, double time, const std::uint8_t* buffer,
               std::size_t length) { VideoSampleGrabberBuffer(sender, time, buffer, length); });
    // Frames are converted for the callback only when it will take a snapshot of them; the
    // test is the callback's own first steps (read the clock, compare).
    videoSampleGrabber_->SetBufferWanted([this] {
        return autoSnapshot_.load(std::memory_order_relaxed) &&
               snapshotDue(services_.monotonicSeconds(),
                           lastSnapshotSecond_.load(std::memory_order_relaxed), snapshotSeconds_);
    });
    videoSourceFilter_ = std::make_unique<TFilter>("VideoSourceFilter");
    videoRenderer_ = std::make_unique<TVideoRenderer>("VideoWindow");
    captureGraph_ = std::make_unique<TFilterGraph>("CaptureGraph");
    captureGraph_->SetMode(TGraphMode::gmCapture);
    captureGraph_->SetGraphEdit(true);
    captureGraph_->SetOnError([this](const std::string& text, TFilterComponent* origin) {
        // Handled from the event loop, not inside the bus dispatch; a graph rebuilt in between
        // (a new run) makes it stale.
        const bool recordingOnly = origin == asfWriter_.get();
        QMetaObject::invokeMethod(
            this,
            [this, run = graphRun_, text = QString::fromStdString(text), recordingOnly] {
                graphFailed(run, text, recordingOnly);
            },
            Qt::QueuedConnection);
    });
    recordingWatch_ = new QTimer(this);
    recordingWatch_->setInterval(1000);
    connect(recordingWatch_, &QTimer::timeout, this, &TCamera::checkRecordingFile);
    buildLayout();
    buildActions();

    mmsPort_ = services_.mmsPort;
    bitRate_ = 1024;
    saveFilePath_ = QString::fromStdString(defaultFolder());
    snapshotPath_ = saveFilePath_;
    snapshotSeconds_ = 60;
    videoDeviceIndex_ = -1;
    videoFormatIndex_ = -1;
    recording_ = previewing_ = autoSnapshot_ = false;
    setCameraName(QStringLiteral("untitled"));
    lastSnapshotSecond_ = 0;
    pageControl1_->setCurrentIndex(0);
    updateActions();
}

TCamera::~TCamera() {
    try {
        StopRecording();
        StopPreview();
    } catch (const std::exception& e) {
        // A destructor must not throw; the graph is released below all the same.
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(objectName()), e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unknown error while stopping\n", qUtf8Printable(objectName()));
    }
    videoWindow_->SetFrameSource(nullptr);
    videoRenderer_->SetOnAboutToRun({});
}

// The frame's skin: a dark page control that sits quietly on the wall.
const char* const kCameraSkin = R"(
#ClientPanel, #Panel2 { background: #0d1116; }
#VideoWindow { background: black; color: #8d99a6; }
QTabWidget::pane { border: 0; }
QTabBar::tab { background: #161c23; color: #8d99a6; border: 1px solid #27313c; border-bottom: 0;
               padding: 1px 10px; margin-right: 1px; }
QTabBar::tab:selected { background: #223040; color: #e8eef4; border-color: #38c6f0; }
#Panel1 { background: #161c23; }
#chkAutoSnapshot { color: #c5ced8; }
)";

void TCamera::buildLayout() {
    setFrameShape(QFrame::NoFrame);
    setStyleSheet(QString::fromLatin1(kCameraSkin));
    clientPanel_ = new QWidget(this);
    clientPanel_->setObjectName(QStringLiteral("ClientPanel"));
    clientPanel_->setAttribute(Qt::WA_StyledBackground);
    fillLayout(this)->addWidget(clientPanel_);

    pageControl1_ = new QTabWidget(clientPanel_);
    pageControl1_->setObjectName(QStringLiteral("PageControl1"));
    QFont tabFont(QStringLiteral("Arial"));
    tabFont.setPixelSize(14);
    pageControl1_->setFont(tabFont);
    pageControl1_->setDocumentMode(true);
    // Document mode draws a light base line across the bar, beside the tabs: not on this skin.
    pageControl1_->tabBar()->setDrawBase(false);
    pageControl1_->installEventFilter(this);
    fillLayout(clientPanel_)->addWidget(pageControl1_);

    tabSheet1_ = new QWidget;
    tabSheet1_->setObjectName(QStringLiteral("TabSheet1"));
    videoWindow_ = new TVideoWindow(tabSheet1_);
    videoWindow_->setObjectName(QStringLiteral("VideoWindow"));
    videoWindow_->SetKeepAspectRatio(true);
    videoWindow_->SetFullScreenTopMost(true);
    videoWindow_->setContextMenuPolicy(Qt::CustomContextMenu);
    videoWindow_->SetFrameSource(videoRenderer_.get());
    videoWindow_->SetWaitingText(Translator::tr(QStringLiteral("No device: open Camera Settings")));
    videoRenderer_->SetOnAboutToRun([w = videoWindow_] { w->GraphAboutToRun(); });
    connect(videoWindow_, &TVideoWindow::DoubleClicked, this, [this] {
        actFullScreenExecute();
        updateActions();
    });
    fillLayout(tabSheet1_)->addWidget(videoWindow_);
    pageControl1_->addTab(tabSheet1_, QStringLiteral("Camera"));

    tabSheet2_ = new QWidget;
    tabSheet2_->setObjectName(QStringLiteral("TabSheet2"));
    auto* sheet2 = fillLayout(tabSheet2_);
    panel1_ = new QWidget(tabSheet2_);
    panel1_->setObjectName(QStringLiteral("Panel1"));
    panel1_->setFixedHeight(24);
    panel1_->setAttribute(Qt::WA_StyledBackground);
    chkAutoSnapshot_ = new QCheckBox(panel1_);
    chkAutoSnapshot_->setObjectName(QStringLiteral("chkAutoSnapshot"));
    chkAutoSnapshot_->setGeometry(8, 4, 193, 17);
    QFont chkFont(QStringLiteral("Tahoma"));
    chkFont.setPixelSize(11);
    chkAutoSnapshot_->setFont(chkFont);
    sheet2->addWidget(panel1_);

    panel2_ = new QWidget(tabSheet2_);
    panel2_->setObjectName(QStringLiteral("Panel2"));
    panel2_->setAttribute(Qt::WA_StyledBackground);
    auto* stack = new QStackedLayout(panel2_);
    stack->setStackingMode(QStackedLayout::StackAll);
    imgBackground_ = new QLabel(panel2_);
    imgBackground_->setObjectName(QStringLiteral("imgBackground"));
    imgBackground_->setAlignment(Qt::AlignCenter);
    if (!services_.snapshotPlaceholder.isNull())
        imgBackground_->setPixmap(QPixmap::fromImage(services_.snapshotPlaceholder));
    imgBackground_->setContextMenuPolicy(Qt::CustomContextMenu);
    image1_ = new QLabel(panel2_);
    image1_->setObjectName(QStringLiteral("Image1"));
    // The latest snapshot at its natural size from the top-left corner.
    image1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    image1_->setContextMenuPolicy(Qt::CustomContextMenu);
    stack->addWidget(imgBackground_);
    stack->addWidget(image1_);
    image1_->raise();
    sheet2->addWidget(panel2_, 1);
    pageControl1_->addTab(tabSheet2_, QStringLiteral("Snapshot"));
}

void TCamera::buildActions() {
    actPreview_ = new TAction(QStringLiteral("&Preview"), this);
    actPreview_->setObjectName(QStringLiteral("actPreview"));
    actPreview_->setCheckable(true);
    actPreview_->setUpdateRule([this](TAction& a) {
        a.setEnabled(videoDeviceIndex_ != -1);
        a.setChecked(previewing_);
    });
    actPreview_->setExecuteRule([this] { actPreviewExecute(); });

    actSave_ = new TAction(QStringLiteral("&Save"), this);
    actSave_->setObjectName(QStringLiteral("actSave"));
    actSave_->setCheckable(true);
    actSave_->setUpdateRule([this](TAction& a) {
        a.setEnabled(previewing_);
        a.setChecked(recording_);
    });
    actSave_->setExecuteRule([this] { actSaveExecute(); });

    actSnapshot_ = new TAction(QStringLiteral("Activate S&napshot Timer"), this);
    actSnapshot_->setObjectName(QStringLiteral("actSnapshot"));
    actSnapshot_->setCheckable(true);
    actSnapshot_->setUpdateRule([this](TAction& a) {
        a.setEnabled(true);
        a.setChecked(autoSnapshot_);
    });
    actSnapshot_->setExecuteRule([this] { actSnapshotExecute(); });

    actSettings_ = new TAction(QStringLiteral("Settings"), this);
    actSettings_->setObjectName(QStringLiteral("actSettings"));
    actSettings_->setUpdateRule([](TAction& a) { a.setEnabled(true); });
    actSettings_->setExecuteRule([this] { actSettingsExecute(); });

    actFullScreen_ = new TAction(QStringLiteral("&Full Screen"), this);
    actFullScreen_->setObjectName(QStringLiteral("actFullScreen"));
    actFullScreen_->setUpdateRule([this](TAction& a) {
        a.setEnabled(previewing_);
        // Set on every update, after the window's translation: looked up here.
        a.setText(Translator::tr(FullScreen() ? QStringLiteral("Exit Full Screen")
                                              : QStringLiteral("Full Screen")));
    });
    actFullScreen_->setExecuteRule([this] { actFullScreenExecute(); });

    popupMenu1_ = new QMenu(this);
    popupMenu1_->setObjectName(QStringLiteral("PopupMenu1"));
    popupMenu1_->addAction(actPreview_);
    popupMenu1_->addAction(actSave_);
    popupMenu1_->addAction(actSnapshot_);
    popupMenu1_->addSeparator();
    popupMenu1_->addAction(actFullScreen_);
    popupMenu1_->addSeparator();
    popupMenu1_->addAction(actSettings_);
    connect(popupMenu1_, &QMenu::aboutToShow, this, &TCamera::updateActions);

    for (QWidget* w : {static_cast<QWidget*>(videoWindow_), static_cast<QWidget*>(imgBackground_),
                       static_cast<QWidget*>(image1_)}) {
        connect(w, &QWidget::customContextMenuRequested, this,
                [this, w](const QPoint& pos) { popupMenu1_->popup(w->mapToGlobal(pos)); });
    }

    // The check box on the snapshot page shows and runs actSnapshot.
    auto syncCheckBox = [this] {
        chkAutoSnapshot_->setText(actSnapshot_->text());
        chkAutoSnapshot_->setChecked(actSnapshot_->isChecked());
        chkAutoSnapshot_->setEnabled(actSnapshot_->isEnabled());
    };
    connect(actSnapshot_, &QAction::changed, this, syncCheckBox);
    connect(chkAutoSnapshot_, &QCheckBox::clicked, this, [this, syncCheckBox] {
        actSnapshot_->execute();
        syncCheckBox();
    });
    syncCheckBox();
}

void TCamera::updateActions() {
    for (TAction* a : {actPreview_, actSave_, actSnapshot_, actSettings_, actFullScreen_})
        a->update();
}

void TCamera::setMMSPort(int port) {
    if (port != mmsPort_)
        mmsPort_ = port;
}

void TCamera::setSnapshotPath(const QString& path) {
    std::lock_guard lock(canvasLock_);
    snapshotPath_ = path;
}

void TCamera::setCameraName(const QString& name) {
    if (name == cameraName_)
        return;
    cameraName_ = name;
    pageControl1_->setTabText(0, name);
}

void TCamera::setVideoDeviceIndex(int index) {
    if (index == videoDeviceIndex_)
        return;
    // Only a position in today's device list is taken; anything else keeps the old choice.
    if (index < 0 || index > services_.videoDeviceCount() - 1)
        return;
    videoDeviceIndex_ = index;
    videoWindow_->SetWaitingText(Translator::tr(QStringLiteral("Stopped: press Preview")));
    updateActions();
}

void TCamera::setVideoFormatIndex(int index) {
    if (index != videoFormatIndex_)
        videoFormatIndex_ = index;
}

bool TCamera::FullScreen() const {
    return videoWindow_->FullScreen();
}

void TCamera::setFullScreen(bool on) {
    if (on == videoWindow_->FullScreen())
        return;
    videoWindow_->SetFullScreen(on);
    updateActions();
}

void TCamera::actSnapshotExecute() {
    const bool on = !autoSnapshot_.load();
    autoSnapshot_.store(on);
    imgBackground_->setVisible(!on);
    image1_->setVisible(on);
}

void TCamera::actFullScreenExecute() {
    if (previewing_)
        setFullScreen(!FullScreen());
    else
        setFullScreen(false);
}

void TCamera::actPreviewExecute() {
    const TGraphState state = captureGraph_->GraphState();
    if (state == TGraphState::gsUninitialized || state == TGraphState::gsStopped)
        StartPreview();
    else
        StopPreview();
}

void TCamera::actSaveExecute() {
    if (!recording_) {
        StartRecording();
    } else {
        StopRecording();
        if (previewing_)
            StartPreview();
    }
}

namespace {
// Texts taken back from a dialog lose leading and trailing blanks and control characters.
QString trimmedText(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text.at(first).unicode() <= ' ')
        ++first;
    while (last > first && text.at(last - 1).unicode() <= ' ')
        --last;
    return text.mid(first, last - first);
}
} // namespace

void TCamera::actSettingsExecute() {
    // The dialog works on this camera's own graph, so everything stops first; it is not
    // restarted afterwards.
    StopAll();
    SettingsFormServices dialogServices;
    dialogServices.devices = services_.videoDevices;
    dialogServices.formats = services_.deviceFormats;
    dialogServices.sourceFilter = videoSourceFilter_.get();
    dialogServices.graph = captureGraph_.get();
    dialogServices.messages = services_.messages;
    dialogServices.folders = services_.folders;
    dialogServices.exeDir = services_.exeDir;
    dialogServices.reportError = services_.reportError;
    // Freed when the command ends; shown over the main window, outside this frame's skin.
    auto form = std::make_unique<TSettingsForm>(window(), std::move(dialogServices));
    form->SetDeviceIndex(videoDeviceIndex_);
    form->SetFormatIndex(videoFormatIndex_);
    form->edtSaveFilePath()->setText(saveFilePath_);
    form->NameEdit()->setText(cameraName_);
    form->edtKBps()->SetValue(bitRate_);
    form->SetSegmentSeconds(segmentSeconds_);
    form->chkAutoSnapshot()->setChecked(autoSnapshot_.load());
    form->edtSnapshotSeconds()->SetValue(snapshotSeconds_);
    form->edtSnapshotPath()->setText(SnapshotPath());
    const int result = services_.execDialog ? services_.execDialog(*form) : form->exec();
    if (result != QDialog::Accepted)
        return;
    setVideoDeviceIndex(form->DeviceIndex());
    setVideoFormatIndex(form->FormatIndex());
    setSaveFilePath(trimmedText(form->edtSaveFilePath()->text()));
    setCameraName(trimmedText(form->NameEdit()->text()));
    setBitRate(form->edtKBps()->Value());
    setSegmentSeconds(form->SegmentSeconds());
    setAutoSnapshot(form->chkAutoSnapshot()->isChecked());
    setSnapshotSeconds(form->edtSnapshotSeconds()->Value());
    setSnapshotPath(trimmedText(form->edtSnapshotPath()->text()));
    updateActions();
}

void TCamera::message(const QString& text, const QString& caption, int icon) {
    if (services_.messages)
        services_.messages->show(
            {window(), text, caption, static_cast<MessageIcon>(icon), MessageButtons::Ok});
}

void TCamera::TearDownGraph() {
    WaitCursor wait;
    // Black at once once nothing runs, also when a step below fails.
    struct Blank {
        TVideoWindow* window;
        ~Blank() { window->GraphStopped(); }
    } blank{videoWindow_};
    ++graphRun_;
    recordingWatch_->stop();
    captureGraph_->StopGraph();
    captureGraph_->PurgeGraph();
    captureGraph_->SetActive(false);
    asfWriter_->SetFilterGraph(nullptr);
    videoSampleGrabber_->SetFilterGraph(nullptr);
    videoSourceFilter_->SetFilterGraph(nullptr);
    videoRenderer_->SetFilterGraph(nullptr);
}

void TCamera::StartPreview() {
    if (videoDeviceIndex_ < 0) {
        message(Translator::tr(QStringLiteral("Please select a video device!")),
                Translator::tr(QStringLiteral("Error")), static_cast<int>(MessageIcon::Error));
        return;
    }
    pageControl1_->setCurrentIndex(0);
    RefitVideo();
    TearDownGraph();
    videoSourceFilter_->SetFilterGraph(captureGraph_.get());
    videoRenderer_->SetFilterGraph(captureGraph_.get());
    videoSampleGrabber_->SetFilterGraph(captureGraph_.get());
    // The device at this position now; an empty identity when there is none any more.
    videoSourceFilter_->BaseFilter().StoreMoniker(
        services_.videoDevices ? services_.videoDevices->MonikerAt(videoDeviceIndex_)
                               : std::nullopt);
    captureGraph_->SetActive(true);
    // A missing device fails here with "Interface not supported"; other results are not examined.
    captureGraph_->RenderStream(PIN_CATEGORY_PREVIEW, *videoSourceFilter_,
                                videoSampleGrabber_.get(), *videoRenderer_);
    captureGraph_->RunGraph();
    previewing_ = true;
    updateActions();
    emit OnPreview(this);
}

void TCamera::StopPreview() {
    TearDownGraph();
    previewing_ = false;
    updateActions();
}

void TCamera::StopRecording() {
    if (recording_ && asfWriter_->HasFilter()) // the newest segment
        lastRecordingFile_ = QString::fromStdString(asfWriter_->CurrentFileName().string());
    TearDownGraph();
    recording_ = false;
    updateActions();
}

void TCamera::StopAll() {
    StopRecording();
    StopPreview();
}

void TCamera::StartRecording() {
    try {
        buildRecording();
    } catch (...) {
        // The one report is the error going on to the caller. When only the recording could
        // not start (its file cannot be opened), live video resumes; when the preview cannot
        // start either, the camera rests idle.
        const bool resume = previewing_;
        try {
            StopRecording();
            if (resume)
                StartPreview();
        } catch (...) {
            try {
                StopPreview();
            } catch (...) {
            }
            previewing_ = false;
            updateActions();
        }
        emit OnStateChanged(this);
        throw;
    }
}

void TCamera::buildRecording() {
    StopRecording();
    pageControl1_->setCurrentIndex(0);
    WaitCursor wait;
    asfWriter_->SetFilterGraph(captureGraph_.get());
    videoSampleGrabber_->SetFilterGraph(captureGraph_.get());
    videoSourceFilter_->SetFilterGraph(captureGraph_.get());
    videoRenderer_->SetFilterGraph(captureGraph_.get());

    saveFilePath_ = QString::fromStdString(folderWithSeparator(saveFilePath_.toStdString()));
    // The first file and every later segment are named by the same rule, never twice the same.
    auto nextFile = [folder = saveFilePath_.toStdString(), name = cameraName_.toStdString(),
                     clock = services_.localTime] {
        return claimTimestampedFileName(folder, name, clock(), ".wmv");
    };
    FileNameClaim first = nextFile();
    const std::string fileName = first.path();
    lastRecordingFile_ = QString::fromStdString(fileName);
    asfWriter_->SetFileName(std::move(first));
    asfWriter_->SetSegmentSeconds(segmentSeconds_);
    asfWriter_->SetFileNameProvider(nextFile);
    asfWriter_->SetPort(static_cast<std::uint32_t>(std::max(0, mmsPort_)));
    asfWriter_->SetCameraNumber(cameraNumberOfName(objectName().toStdString()));
    captureGraph_->SetActive(true);

    if (videoFormatIndex_ != -1) {
        // A device that is gone has no pins to configure: "Interface not supported".
        videoSourceFilter_->RequireFilter();
        TPinList pins(videoSourceFilter_.get());
        const int count = services_.deviceFormats ? services_.deviceFormats->Count() : 0;
        if (videoFormatIndex_ >= 0 && videoFormatIndex_ <= count - 1)
            pins.FirstPin().SetFormat(services_.deviceFormats->ItemAt(videoFormatIndex_));
    }
    CheckDirectShowResult(captureGraph_->RenderStream(PIN_CATEGORY_PREVIEW, *videoSourceFilter_,
                                                      videoSampleGrabber_.get(), *videoRenderer_));
    CheckDirectShowResult(captureGraph_->RenderStream(PIN_CATEGORY_CAPTURE, *videoSourceFilter_,
                                                      nullptr, *asfWriter_));
    const auto [width, height] = captureGraph_->NativeVideoSize();
    ConfigureWriterProfile(width, height, static_cast<std::int64_t>(bitRate_) * 1000);
    captureGraph_->RunGraph();
    recording_ = true;
    recordingIdentity_ = fileIdentity(fileName);
    recordingWatch_->start();
    updateActions();
}

TCamera::FileIdentity TCamera::fileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino};
}

void TCamera::checkRecordingFile() {
    // The writer keeps writing into a file whose folder was deleted (or that was replaced)
    // without a complaint, and nothing of it would survive: when the path no longer names the
    // file being written, the recording ends now, with a report.
    if (!recording_ || !recordingIdentity_.valid)
        return;
    // At each new segment the watch moves on to the file being written now.
    if (const QString current = QString::fromStdString(asfWriter_->CurrentFileName().string());
        current != lastRecordingFile_) {
        lastRecordingFile_ = current;
        recordingIdentity_ = fileIdentity(current.toStdString());
    }
    const FileIdentity now = fileIdentity(lastRecordingFile_.toStdString());
    if (now.valid && now.device == recordingIdentity_.device &&
        now.inode == recordingIdentity_.inode)
        return;
    recordingWatch_->stop();
    graphFailed(graphRun_,
                QStringLiteral("The recording file %1 has been removed; the recording has stopped.")
                    .arg(lastRecordingFile_),
                true);
}

std::int32_t TCamera::ConfigureWriterProfile(int width, int height, std::int64_t bitsPerSecond) {
    TWriterProfile profile;
    profile.Name = cameraName_.toStdString() + std::to_string(services_.tickCount());
    profile.Description = "Norvale WMV ProFiles";
    // A bit rate that does not fit the stream's 32-bit field (or is not positive) would wrap
    // into nonsense; the nearest rate the stream can carry is used instead.
    profile.BitRate = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(bitsPerSecond, 1000, std::numeric_limits<std::int32_t>::max()));
    profile.AvgTimePerFrame = 666667;
    profile.MaxKeyFrameSpacing = 30000000;
    profile.Quality = 100;
    profile.Width = width;
    profile.Height = height;
    profile.BufferWindow = 0xFFFFFFFF;
    auto fail = [this](const char* call, std::int32_t code) {
        const QString hex =
            QString::number(static_cast<std::uint32_t>(code), 16).toUpper().rightJustified(8, '0');
        message(QStringLiteral("Error on Call %1 (%2)").arg(QLatin1String(call), hex),
                services_.applicationTitle, static_cast<int>(MessageIcon::None));
        return code;
    };
    if (!asfWriter_->HasFilter())
        return fail("pWriter.QueryInterface", hr::E_NOINTERFACE);
    const HResult result = asfWriter_->ConfigureFilterUsingProfile(profile);
    if (result < 0)
        return fail("pWriter.ConfigureFilterUsingProfile", result);
    return 0;
}

void TCamera::VideoSampleGrabberBuffer(TSampleGrabber& sender, double, const std::uint8_t* buffer,
                                       std::size_t length) {
    // Runs for every frame: when nothing is due, read the clock and compare, nothing more.
    if (!autoSnapshot_.load(std::memory_order_relaxed))
        return;
    const std::uint32_t now = services_.monotonicSeconds();
    if (!snapshotDue(now, lastSnapshotSecond_.load(std::memory_order_relaxed), snapshotSeconds_))
        return;
    // Counted as taken before the attempt: a failed snapshot waits for the next interval too.
    lastSnapshotSecond_.store(now, std::memory_order_relaxed);
    try {
        // The folder gains its separator like the recording folder. The property is changed on
        // the GUI thread; both sides hold the canvas lock, as this thread reads it while running.
        std::string folder;
        {
            std::lock_guard lock(canvasLock_);
            folder = snapshotPath_.toStdString();
        }
        const std::string withSeparator = folderWithSeparator(folder);
        if (withSeparator != folder) {
            QMetaObject::invokeMethod(
                this,
                [this, folder, withSeparator] {
                    std::lock_guard lock(canvasLock_);
                    if (snapshotPath_.toStdString() == folder)
                        snapshotPath_ = QString::fromStdString(withSeparator);
                },
                Qt::QueuedConnection);
        }
        folder = withSeparator;
        const std::string fileName =
            timestampedFileName(folder, cameraName_.toStdString(), services_.localTime(), ".bmp");
        std::shared_ptr<const TBitmap> shown;
        {
            std::lock_guard lock(canvasLock_);
            if (!snapshotBitmap_)
                snapshotBitmap_ = std::make_unique<TBitmap>();
            sender.FrameToBitmap(snapshotBitmap_.get(), buffer, length);
            if (!snapshotBitmap_->empty()) {
                const std::vector<std::uint8_t> file = snapshotBitmap_->BmpFile();
                // Whole or not at all: a full disk leaves no truncated or empty pictures.
                writeFileAtomically(fileName, file.data(), file.size());
                shown = std::make_shared<const TBitmap>(*snapshotBitmap_);
            }
        }
        if (shown)
            QMetaObject::invokeMethod(
                this, [this, shown] { showSnapshot(shown); }, Qt::QueuedConnection);
    } catch (...) {
        // Snapshots fail silently; the next one is due an interval later.
        LogSwallowedFailure("a timed snapshot");
    }
}

void TCamera::showSnapshot(std::shared_ptr<const TBitmap> bitmap) {
    const auto& h = bitmap->header;
    const int width = h.biWidth;
    const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    const int bytesPerPixel = h.biBitCount / 8;
    if (width <= 0 || height <= 0 || (bytesPerPixel != 3 && bytesPerPixel != 4))
        return;
    const qsizetype stride = ((static_cast<qsizetype>(width) * h.biBitCount + 31) / 32) * 4;
    if (static_cast<qsizetype>(bitmap->bits.size()) < stride * height)
        return;
    QImage image(bitmap->bits.data(), width, height, stride,
                 bytesPerPixel == 3 ? QImage::Format_BGR888 : QImage::Format_RGB32);
    // Bottom-up rows unless the height is negative.
    QImage copy = h.biHeight > 0 ? image.mirrored(false, true) : image.copy();
    image1_->setPixmap(QPixmap::fromImage(copy));
}

void TCamera::graphFailed(quint64 run, const QString& text, bool recordingOnly) {
    if (run != graphRun_) {
        // The graph that failed was torn down meanwhile (the user stopped it): only the
        // report is left to give.
        if (services_.reportError)
            services_.reportError(text);
        return;
    }
    // The pipeline failed on its own. A failure of the file branch (full disk, folder gone)
    // ends only the recording and live video resumes; anything else (camera gone) brings the
    // camera to rest in the idle state. The recording so far stays readable either way.
    const bool resume = recordingOnly && recording_ && previewing_;
    if (recordingOnly && recording_ && services_.recordingWriteFailed)
        services_.recordingWriteFailed();
    try {
        StopRecording();
        if (resume)
            StartPreview();
        else
            StopPreview();
    } catch (const std::exception&) {
        try {
            StopPreview();
        } catch (const std::exception&) {
        }
        previewing_ = false;
        updateActions();
    }
    emit OnStateChanged(this);
    if (services_.reportError)
        services_.reportError(text);
}

void TCamera::RefitVideo() {
    ++refitCount_;
    // Re-applying the alignment makes each parent lay out its children again.
    if (QLayout* l = clientPanel_->layout())
        l->invalidate(), l->activate();
    if (QLayout* l = tabSheet1_->layout())
        l->invalidate(), l->activate();
}

void TCamera::postRefit() {
    QCoreApplication::postEvent(this, new QEvent(kRefitVideoEvent));
}

bool TCamera::event(QEvent* e) {
    if (e->type() == kRefitVideoEvent) {
        RefitVideo();
        return true;
    }
    return QFrame::event(e);
}

void TCamera::resizeEvent(QResizeEvent* e) {
    QFrame::resizeEvent(e);
    postRefit();
}

bool TCamera::eventFilter(QObject* watched, QEvent* e) {
    if (watched == pageControl1_ && e->type() == QEvent::Resize) {
        postRefit();
    }
    return QFrame::eventFilter(watched, e);
}

} // namespace norvale
