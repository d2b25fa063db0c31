#include "app/Camera.h"

#include "core/CameraSettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QStackedLayout>
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

TCamera::TCamera(QWidget* owner, const CameraServices& services)
    : QFrame(owner), services_(services) {
    buildLayout();
    buildActions();

    mmsPort_ = 8801;
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
    StopRecording();
    StopPreview();
}

// The frame's skin: a dark page control that sits quietly on the wall.
const char* const kCameraSkin = R"(
#ClientPanel, #Panel2 { background: #0d1116; }
#VideoWindow { background: black; }
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
    pageControl1_->installEventFilter(this);
    fillLayout(clientPanel_)->addWidget(pageControl1_);

    tabSheet1_ = new QWidget;
    tabSheet1_->setObjectName(QStringLiteral("TabSheet1"));
    videoWindow_ = new QWidget(tabSheet1_);
    videoWindow_->setObjectName(QStringLiteral("VideoWindow"));
    videoWindow_->setAttribute(Qt::WA_StyledBackground);
    videoWindow_->setContextMenuPolicy(Qt::CustomContextMenu);
    videoWindow_->installEventFilter(this);
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
    image1_->setAlignment(Qt::AlignCenter);
    image1_->setScaledContents(true);
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
        a.setText(FullScreen() ? QStringLiteral("Exit Full Screen")
                               : QStringLiteral("Full Screen"));
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

    for (QWidget* w :
         {videoWindow_, static_cast<QWidget*>(imgBackground_), static_cast<QWidget*>(image1_)}) {
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
    updateActions();
}

void TCamera::setVideoFormatIndex(int index) {
    if (index != videoFormatIndex_)
        videoFormatIndex_ = index;
}

bool TCamera::FullScreen() const {
    return videoFullScreen_;
}

void TCamera::setFullScreen(bool on) {
    if (on == videoFullScreen_)
        return;
    videoFullScreen_ = on;
    updateActions();
}

void TCamera::actSnapshotExecute() {
    autoSnapshot_ = !autoSnapshot_;
    imgBackground_->setVisible(!autoSnapshot_);
    image1_->setVisible(autoSnapshot_);
}

void TCamera::actFullScreenExecute() {
    if (previewing_)
        setFullScreen(!FullScreen());
    else
        setFullScreen(false);
}

void TCamera::actPreviewExecute() {
    // Starting and stopping the preview needs the capture graph, which the capture layer adds.
}

void TCamera::actSaveExecute() {
    // Recording needs the capture graph, which the capture layer adds.
}

void TCamera::actSettingsExecute() {
    // The camera settings dialog stops everything first.
    StopAll();
}

void TCamera::StopRecording() {
    if (!recording_)
        return;
    recording_ = false;
}

void TCamera::StopPreview() {
    if (!previewing_)
        return;
    previewing_ = false;
}

void TCamera::StopAll() {
    StopRecording();
    StopPreview();
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
    } else if (watched == videoWindow_ && e->type() == QEvent::MouseButtonDblClick) {
        actFullScreenExecute();
        return true;
    }
    return QFrame::eventFilter(watched, e);
}

} // namespace norvale
