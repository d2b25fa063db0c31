#include "app/camera/Camera.h"

#include "app/camera/VideoWindow.h"
#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "app/shell/WaitCursor.h"
#include "capture/FilterGraph.h"
#include "capture/SampleGrabber.h"
#include "capture/VideoRenderer.h"
#include "core/CameraSettings.h"
#include "core/FileNaming.h"
#include "core/Retention.h"
#include "core/WallLayout.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
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
}

TCamera::TCamera(QWidget* owner, CameraServices services)
    : QFrame(owner), services_(std::move(services)) {
    services_.fillDefaults();
    ChannelServices channelServices;
    channelServices.videoDevices = services_.videoDevices;
    channelServices.deviceFormats = services_.deviceFormats;
    if (services_.desktop)
        channelServices.clock = &services_.desktop->clock();
    channel_ = std::make_unique<CameraChannel>(std::move(channelServices));
    channel_->onSnapshot = [this](std::shared_ptr<const TBitmap> shown) { showSnapshot(shown); };
    channel_->onProfileFailed = [this](const char* call, std::int32_t code) {
        const QString hex =
            QString::number(static_cast<std::uint32_t>(code), 16).toUpper().rightJustified(8, '0');
        message(QStringLiteral("Error on Call %1 (%2)").arg(QLatin1String(call), hex),
                services_.applicationTitle, static_cast<int>(MessageIcon::None));
    };
    connect(channel_.get(), &CameraChannel::previewStarted, this, [this] {
        updateActions();
        emit OnPreview(this);
    });
    connect(channel_.get(), &CameraChannel::stateChangedByItself, this, &TCamera::channelChanged);
    // Recording on motion: armed, or writing an event.
    connect(channel_.get(), &CameraChannel::eventRecordingChanged, this, &TCamera::channelChanged);
    // Whatever changed the state (a command, a failed start, a loss, a return), the frame says
    // whether the camera is lost.
    connect(channel_.get(), &CameraChannel::stateEntered, this, &TCamera::showNotice);
    // A motion event shows on the frame and in the list while it runs; a camera that stops or
    // is lost has none.
    auto setMotion = [this](qint64 since) {
        if (since == motionSince_)
            return;
        motionSince_ = since;
        showNotice();
        emit OnMotion(this);
    };
    connect(channel_.get(), &CameraChannel::motionStarted, this,
            [setMotion](qint64 startMs) { setMotion(startMs > 0 ? startMs : 1); });
    connect(channel_.get(), &CameraChannel::motionEnded, this,
            [setMotion](const MotionEventRecord&) { setMotion(0); });
    connect(channel_.get(), &CameraChannel::stateEntered, this, [setMotion](ChannelState state) {
        if (state == ChannelState::Idle || state == ChannelState::Lost)
            setMotion(0);
    });
    // A recording that halts while nobody acts is shown, never put in a box to click away.
    connect(channel_.get(), &CameraChannel::recordingHalted, this,
            [this](const QString& text, bool again) {
                std::fprintf(stderr, "%s: %s\n", qUtf8Printable(objectName()),
                             qUtf8Printable(text));
                showNotice();
                if (!again)
                    emit OnRecordingHalted(this);
            });
    connect(channel_.get(), &CameraChannel::recordingWriteFailed, this, [this] {
        if (services_.recordingWriteFailed)
            services_.recordingWriteFailed();
    });
    // Failures that answer a command go to the program's error report (a box to click away): a
    // recording start a person asked for that failed after the command returned, a failure of a
    // graph already stopped. A recording that halts on its own while it runs is no such report:
    // the frame and the list show it, OnRecordingHalted tells the wall.
    connect(channel_.get(), &CameraChannel::failed, this, [this](const QString& text) {
        if (services_.desktop)
            services_.desktop->reportError(text);
    });
    connect(channel_.get(), &CameraChannel::lost, this, [this](const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(objectName()), qUtf8Printable(text));
        emit OnLost(this);
    });
    buildLayout();
    channel_->onGraphStopped = [w = videoWindow_] { w->GraphStopped(); };
    buildActions();

    channel_->setMMSPort(services_.mmsPort);
    CameraSettings initial = defaultCameraSettings("untitled");
    channel_->setSettings(initial);
    pageControl1_->setTabText(0, CameraName());
    pageControl1_->setCurrentIndex(0);
    updateActions();
}

TCamera::~TCamera() {
    // Nothing of the channel may call back while the frame goes, to the frame or to anyone else:
    // whoever listens (the main window) may itself be half destroyed by now, as when its own
    // shutdown stopped early and its children go with it.
    channel_->disconnect();
    channel_->onGraphStopped = {};
    channel_->onSnapshot = {};
    channel_->onProfileFailed = {};
    try {
        channel_->stopRecording();
        channel_->stopPreview();
    } catch (const std::exception& e) {
        // A destructor must not throw; the graph is released below all the same.
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(objectName()), e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unknown error while stopping\n", qUtf8Printable(objectName()));
    }
    // The channel goes before the window that shows it.
    videoWindow_->SetFrameSource(nullptr);
    channel_->renderer().SetOnAboutToRun({});
    channel_.reset();
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
    videoWindow_->SetFrameSource(&channel_->renderer());
    videoWindow_->SetWaitingText(Translator::tr(QStringLiteral("No device: open Camera Settings")));
    channel_->renderer().SetOnAboutToRun([w = videoWindow_] { w->GraphAboutToRun(); });
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
        a.setEnabled(VideoDeviceIndex() != -1);
        a.setChecked(Previewing());
    });
    actPreview_->setExecuteRule([this] { actPreviewExecute(); });

    actSave_ = new TAction(QStringLiteral("&Save"), this);
    actSave_->setObjectName(QStringLiteral("actSave"));
    actSave_->setCheckable(true);
    actSave_->setUpdateRule([this](TAction& a) {
        a.setEnabled(Previewing());
        a.setChecked(Recording());
    });
    actSave_->setExecuteRule([this] { actSaveExecute(); });

    actSnapshot_ = new TAction(QStringLiteral("Activate S&napshot Timer"), this);
    actSnapshot_->setObjectName(QStringLiteral("actSnapshot"));
    actSnapshot_->setCheckable(true);
    actSnapshot_->setUpdateRule([this](TAction& a) {
        a.setEnabled(true);
        a.setChecked(AutoSnapshot());
    });
    actSnapshot_->setExecuteRule([this] { actSnapshotExecute(); });

    actSettings_ = new TAction(QStringLiteral("Settings"), this);
    actSettings_->setObjectName(QStringLiteral("actSettings"));
    actSettings_->setUpdateRule([](TAction& a) { a.setEnabled(true); });
    actSettings_->setExecuteRule([this] { actSettingsExecute(); });

    actFullScreen_ = new TAction(QStringLiteral("&Full Screen"), this);
    actFullScreen_->setObjectName(QStringLiteral("actFullScreen"));
    actFullScreen_->setUpdateRule([this](TAction& a) {
        a.setEnabled(Previewing());
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

void TCamera::setCameraName(const QString& name) {
    if (name == CameraName())
        return;
    channel_->setName(name.toStdString());
    pageControl1_->setTabText(0, name);
}

void TCamera::setVideoDeviceIndex(int index) {
    if (index == VideoDeviceIndex())
        return;
    // Only a position in today's device list is taken; anything else keeps the old choice.
    if (index < 0 || index > services_.videoDeviceCount() - 1)
        return;
    channel_->setVideoDeviceIndex(index);
    videoWindow_->SetWaitingText(Translator::tr(QStringLiteral("Stopped: press Preview")));
    updateActions();
}

void TCamera::setSettings(const CameraSettings& settings) {
    const int deviceIndex = VideoDeviceIndex();
    CameraSettings values = settings;
    values.videoDeviceIndex = deviceIndex;
    channel_->setSettings(values);
    pageControl1_->setTabText(0, CameraName());
    setVideoDeviceIndex(settings.videoDeviceIndex);
    updateActions();
}

QString TCamera::LostText() const {
    if (!Lost())
        return {};
    const std::tm& t = channel_->lostSince();
    const QString time = QString::asprintf("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return Translator::tr(QStringLiteral("Camera lost since %1")).arg(time);
}

QString TCamera::HaltText() const {
    if (channel_->halt() == RecordingHalt::None)
        return {};
    const std::tm& t = channel_->haltedAt();
    const QString time = QString::asprintf("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return Translator::tr(QStringLiteral("Recording stopped at %1: %2"))
        .arg(time, channel_->haltText());
}

QString TCamera::MotionRecordingText() const {
    if (channel_->writingEvent())
        return Translator::tr(QStringLiteral("Recording an event"));
    if (channel_->armed())
        return Translator::tr(QStringLiteral("Armed: waiting for motion"));
    return {};
}

QString TCamera::MotionText() const {
    if (!InMotion())
        return {};
    const QString time = QDateTime::fromMSecsSinceEpoch(motionSince_).toString(u"HH:mm:ss");
    return Translator::tr(QStringLiteral("Motion since %1")).arg(time);
}

QString TCamera::NoticeText() const {
    if (Lost())
        return LostText();
    if (const QString halt = HaltText(); !halt.isEmpty())
        return halt;
    // Recording on motion says whether it writes the event; otherwise a running event shows.
    if (channel_->writingEvent() || !InMotion())
        return MotionRecordingText();
    return MotionText();
}

void TCamera::showNotice() {
    videoWindow_->SetStatusText(NoticeText());
}

void TCamera::ResumeRecordingIfRoom(const std::vector<DiskSpace>& disks, std::int64_t keepFreeMB) {
    if (!channel_->waitsToRecord())
        return;
    // The folder as it is now (never created here), and the disk it lives on as last seen.
    struct stat st {};
    const std::string folder = channel_->saveFilePath();
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    const auto disk = std::find_if(disks.begin(), disks.end(), [&](const DiskSpace& d) {
        return d.id == static_cast<std::uint64_t>(st.st_dev);
    });
    if (disk == disks.end() || disk->freeBytes < spaceToRecordAgain(keepFreeMB, disk->totalBytes))
        return;
    channel_->setCameraNumber(cameraNumberOfName(objectName().toStdString()));
    channel_->resumeRecording(); // announces itself through OnStateChanged
}

void TCamera::channelChanged() {
    showNotice();
    updateActions();
    emit OnStateChanged(this);
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
    const bool on = !AutoSnapshot();
    setAutoSnapshot(on);
    imgBackground_->setVisible(!on);
    image1_->setVisible(on);
}

void TCamera::actFullScreenExecute() {
    if (Previewing())
        setFullScreen(!FullScreen());
    else
        setFullScreen(false);
}

void TCamera::actPreviewExecute() {
    const TGraphState state = CaptureGraph().GraphState();
    if (state == TGraphState::gsUninitialized || state == TGraphState::gsStopped)
        StartPreview();
    else
        StopPreview();
}

void TCamera::actSaveExecute() {
    if (!Recording()) {
        StartRecording();
    } else {
        StopRecording();
        if (Previewing())
            StartPreview();
    }
}

void TCamera::actSettingsExecute() {
    // The dialog works on this camera's own graph, so everything stops first; it is not
    // restarted afterwards.
    StopAll();
    if (services_.editSettings)
        services_.editSettings(*this, services_);
}

void TCamera::message(const QString& text, const QString& caption, int icon) {
    if (services_.desktop)
        services_.desktop->messages().show(
            {window(), text, caption, static_cast<MessageIcon>(icon), MessageButtons::Ok});
}

// The commands of the frame: the channel does the work; the frame shows the wait cursor and
// keeps its actions up to date.
void TCamera::TearDownGraph() {
    WaitCursor wait;
    channel_->tearDownGraph();
}

void TCamera::StartPreview() {
    if (VideoDeviceIndex() < 0) {
        message(Translator::tr(QStringLiteral("Please select a video device!")),
                Translator::tr(QStringLiteral("Error")), static_cast<int>(MessageIcon::Error));
        return;
    }
    pageControl1_->setCurrentIndex(0);
    RefitVideo();
    WaitCursor wait;
    channel_->startPreview(); // announces itself through OnPreview
}

void TCamera::StopPreview() {
    WaitCursor wait;
    channel_->stopPreview();
    updateActions();
}

void TCamera::StopRecording() {
    WaitCursor wait;
    channel_->stopRecording();
    updateActions();
}

void TCamera::StopAll() {
    StopRecording();
    StopPreview();
}

void TCamera::StartRecording() {
    pageControl1_->setCurrentIndex(0);
    WaitCursor wait;
    struct Update {
        TCamera* self;
        ~Update() { self->updateActions(); }
    } update{this};
    channel_->setCameraNumber(cameraNumberOfName(objectName().toStdString()));
    channel_->startRecording();
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
