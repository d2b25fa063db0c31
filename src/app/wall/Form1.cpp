#include "app/wall/Form1.h"

#include "app/shell/Artwork.h"
#include "app/shell/Translator.h"
#include "controls/AnalogClock.h"
#include "controls/RgnButton.h"
#include "core/CameraSettings.h"
#include "core/IniFile.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QRadioButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>
#include <cstdio>

namespace norvale {

namespace {

constexpr int kWallWidth = 1024;
constexpr int kWallHeight = 768;
constexpr int kControlPanelWidth = 538;
constexpr int kControlPanelHeight = 20;
const QRect kPanelRect(317, 449, 199, 239);

// Freezes drawing of a window for a scope, also when the scope is left by an exception.
class UpdatesFrozen {
public:
    explicit UpdatesFrozen(QWidget* w) : w_(w), was_(w->updatesEnabled()) {
        w_->setUpdatesEnabled(false);
    }
    ~UpdatesFrozen() { w_->setUpdatesEnabled(was_); }
    UpdatesFrozen(const UpdatesFrozen&) = delete;
    UpdatesFrozen& operator=(const UpdatesFrozen&) = delete;

private:
    QWidget* w_;
    bool was_;
};

// The background picture; a left press on it starts a window drag on wide screens.
class BackgroundImage : public QWidget {
public:
    BackgroundImage(QWidget* parent, QImage image, std::function<void()> onPress)
        : QWidget(parent), image_(std::move(image)), onPress_(std::move(onPress)) {
        setAttribute(Qt::WA_OpaquePaintEvent, !image_.isNull());
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (image_.isNull())
            p.fillRect(rect(), QColor(0x12, 0x16, 0x1c));
        else
            p.drawImage(0, 0, image_);
    }
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && onPress_)
            onPress_();
    }

private:
    QImage image_;
    std::function<void()> onPress_;
};

// The selection frame: a red pen two pixels wide, no fill; clicks pass through it.
class SelectionShape : public QWidget {
public:
    explicit SelectionShape(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QPen pen(Qt::red);
        pen.setWidth(2);
        pen.setJoinStyle(Qt::MiterJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(1, 1, width() - 2, height() - 2));
    }
};

// Draws one camera list entry: status icon and "[group-slot] name", cut to 26 characters.
class CameraListDelegate : public QStyledItemDelegate {
public:
    CameraListDelegate(QObject* parent, const TForm1* form, QImage idle, QImage live)
        : QStyledItemDelegate(parent), form_(form), idle_(std::move(idle)), live_(std::move(live)) {
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const int i = index.row();
        const int group = form_->CurrentGroup();
        auto* camera = index.data(Qt::UserRole).value<TCamera*>();
        if (i < 0 || i > 8 || group < 1 || group > 4 || !camera)
            return;
        QString text =
            QStringLiteral("[%1-%2] ").arg(group).arg(i + 1) + camera->CameraName().trimmed();
        if (text.size() > 26)
            text = text.left(26) + QLatin1Char('~');
        const bool highlighted = option.state & QStyle::State_Selected;
        const QPalette& pal = option.palette;
        p->fillRect(option.rect, highlighted ? pal.highlight() : pal.base());
        const QImage& icon = camera->Previewing() ? live_ : idle_;
        if (!icon.isNull())
            p->drawImage(option.rect.left() + 1, option.rect.top() + 1, icon);
        p->setPen(highlighted ? pal.highlightedText().color() : pal.text().color());
        p->setFont(option.font);
        p->drawText(QRect(option.rect.left() + 20, option.rect.top(), option.rect.width() - 20,
                          option.rect.height()),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return {option.rect.width(), 16};
    }

private:
    const TForm1* form_;
    QImage idle_;
    QImage live_;
};

// Tahoma 8 pt as the wall was drawn for it: 11 pixels at 96 dots per inch, whatever the screen.
QFont tahoma8(bool bold = false) {
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(11);
    f.setBold(bold);
    return f;
}

QColor delphiColor(quint32 bgr) {
    return QColor(bgr & 0xff, (bgr >> 8) & 0xff, (bgr >> 16) & 0xff);
}

} // namespace

TForm1::TForm1(Form1Context context) : QWidget(nullptr), context_(std::move(context)) {
    setObjectName(QStringLiteral("Form1"));
    setFont(tahoma8());
    createControls();
    createActions();

    // 1-2: ExeDir is in the context; AllCameras starts empty.
    // 3: see every mouse press before it is dispatched.
    qApp->installEventFilter(this);
    // 4
    setWindowTitle(context_.applicationName);
    // 5-7: the button tables and layout tables are filled by createControls() and the core.
    fullScreenMode_ = false;
    // 8
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFixedSize(kWallWidth, kWallHeight);
    // 9
    const int screenW = context_.screenWidth
                            ? context_.screenWidth()
                            : (QGuiApplication::primaryScreen()
                                   ? QGuiApplication::primaryScreen()->geometry().width()
                                   : kWallWidth);
    controlPanel_->move((screenW - kControlPanelWidth) / 2, 0);
    controlPanel_->hide();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect g = screen->availableGeometry();
        move(g.left() + (g.width() - kWallWidth) / 2, g.top() + (g.height() - kWallHeight) / 2);
    }
    // 10
    IniFile ini(iniPath().toStdString());
    ini.beginRead(); // one read of the file for every key below
    readWindowValues(ini);
    // 11
    trayIcon_ = new QSystemTrayIcon(this);
    trayIcon_->setToolTip(context_.applicationName);
    if (context_.artwork)
        trayIcon_->setIcon(
            QIcon(QPixmap::fromImage(context_.artwork->image(QStringLiteral("icon.png")))));
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon_->show();
    // 12: showAtStart() tells the start-up code.
    // 13
    LoadCameras(ini);
    // 14-16
    SwitchGroup(1);
    ApplyLayout(settings_.currentCnt);
    SelectSlot(settings_.currentIndex);
    // 17: Qt draws the list double-buffered already.
    // 18
    UpdateGroupTimer();
    // 19
    Translator::translateComponent(this);
    if (context_.reportError)
        clock1_->clockTimer().setErrorHandler(context_.reportError);
    clock1_->setActive(true);
    // 20: labels are created transparent, over the background picture.
}

TForm1::~TForm1() {
    shutdown();
    qApp->removeEventFilter(this);
}

QString TForm1::iniPath() const {
    return context_.exeDir + QStringLiteral("setup.ini");
}

TRgnButton* TForm1::makeButton(const QString& name, const QString& artworkId, int x, int y, int w,
                               int h, const QString& hint) {
    auto* b = new TRgnButton(this);
    b->setObjectName(name);
    b->setGeometry(x, y, w, h);
    if (context_.artwork)
        b->setImageList(context_.artwork->buttonImages(artworkId));
    if (!hint.isEmpty())
        b->setToolTip(hint);
    return b;
}

QLabel* TForm1::makeLabel(const QString& text, int x, int y, int w, int h) {
    auto* l = new QLabel(text, this);
    // Labels size themselves to their text, as designed; the metric-compatible Tahoma of this
    // platform runs a few pixels wider than the layout's sizes.
    l->setGeometry(x, y, std::max(w, l->sizeHint().width()), std::max(h, l->sizeHint().height()));
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    l->setAutoFillBackground(false);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, QColor(0xd8, 0xde, 0xe6));
    l->setPalette(pal);
    return l;
}

void TForm1::createControls() {
    const QImage background =
        context_.artwork ? context_.artwork->image(QStringLiteral("background.jpg")) : QImage();
    image1_ = new BackgroundImage(this, background, [this] { startWindowDrag(); });
    image1_->setObjectName(QStringLiteral("Image1"));
    image1_->setGeometry(0, 0, kWallWidth, kWallHeight);

    shape1_ = new SelectionShape(this);
    shape1_->setObjectName(QStringLiteral("Shape1"));
    shape1_->hide();

    clock1_ = new TAnalogClock(this);
    clock1_->setObjectName(QStringLiteral("Clock1"));
    clock1_->setGeometry(861, 26, 109, 80);
    // Lime hands and marks with green outlines on black.
    clock1_->setHandsColor(QColor(0, 255, 0));
    clock1_->setSecHandColor(QColor(0, 255, 0));
    clock1_->setTickColor(QColor(0, 255, 0));
    clock1_->setTickOutline(QColor(0, 128, 0));
    clock1_->setColor(QColor(0, 0, 0));

    // The labels beside the side buttons only name them; "&" marks their mnemonic letter.
    const struct {
        const char* name;
        const char* art;
        QRect button;
        const char* caption;
        QRect label;
    } sideButtons[] = {
        {"RgnBtn1", "options", {872, 168, 37, 37}, "&Options", {918, 179, 60, 13}},
        {"RgnBtn4", "help", {872, 251, 37, 37}, "&Help", {921, 262, 60, 13}},
        {"BtnHelp", "about", {916, 291, 37, 37}, "&About", {868, 303, 46, 13}},
    };
    for (const auto& sb : sideButtons) {
        TRgnButton* b =
            makeButton(QString::fromLatin1(sb.name), QString::fromLatin1(sb.art), sb.button.x(),
                       sb.button.y(), sb.button.width(), sb.button.height());
        QLabel* l = makeLabel(QString::fromLatin1(sb.caption), sb.label.x(), sb.label.y(),
                              sb.label.width(), sb.label.height());
        l->setBuddy(b);
    }
    const int rows[3] = {369, 413, 458};
    const char* captions[3] = {"1     2     3", "4     5     6", "7     8     9"};
    for (int r = 0; r < 3; ++r) {
        QLabel* l = makeLabel(QString::fromLatin1(captions[r]), 888, rows[r], 48, 13);
        l->setTextFormat(Qt::PlainText);
    }
    const int numX[3] = {876, 902, 927};
    const int numW[3] = {26, 25, 27};
    const int numY[3] = {385, 430, 475};
    const char* numNames[9] = {"NumBtn1", "NumBtn2", "NumBtn3", "Numbtn4", "Numbtn5",
                               "Numbtn6", "Numbtn7", "Numbtn8", "Numbtn9"};
    for (int i = 0; i < 9; ++i) {
        TRgnButton* b =
            makeButton(QString::fromLatin1(numNames[i]), QStringLiteral("num%1").arg(i + 1),
                       numX[i % 3], numY[i / 3], numW[i % 3], 17);
        numButtons_[i] = b;
        connect(b, &TRgnButton::clicked, this, [this, i] { SelectSlot(i + 1); });
    }

    btn1_ = makeButton(QStringLiteral("Btn_1"), QStringLiteral("layout1"), 17, 700, 33, 33,
                       QStringLiteral("One Window"));
    btn4_ = makeButton(QStringLiteral("Btn_4"), QStringLiteral("layout4"), 93, 700, 33, 33,
                       QStringLiteral("Four Windows"));
    btn6_ = makeButton(QStringLiteral("Btn_6"), QStringLiteral("layout6"), 169, 700, 33, 33,
                       QStringLiteral("Six Windows"));
    btn9_ = makeButton(QStringLiteral("Btn_9"), QStringLiteral("layout9"), 246, 700, 33, 33,
                       QStringLiteral("Nine Windows"));
    const std::pair<TRgnButton*, int> layoutButtons[] = {
        {btn1_, 1}, {btn4_, 4}, {btn6_, 6}, {btn9_, 9}};
    for (const auto& [button, tag] : layoutButtons)
        connect(button, &TRgnButton::clicked, this, [this, tag = tag] { ApplyLayout(tag); });

    showPanelBtn_ = makeButton(QStringLiteral("ShowPanelBtn"), QStringLiteral("showpanel"), 317,
                               671, 199, 15, QStringLiteral("Show Desktop List"));
    previewBtn_ = makeButton(QStringLiteral("PreviewBtn"), QStringLiteral("preview"), 556, 700, 33,
                             33, QStringLiteral("Preview/Stop preview"));
    camSettingsBtn_ = makeButton(QStringLiteral("CamSettingsBtn"), QStringLiteral("settings"), 632,
                                 700, 33, 33, QStringLiteral("Camera Settings"));
    fullScrBtn_ = makeButton(QStringLiteral("FullScrBtn"), QStringLiteral("fullscreen"), 708, 700,
                             33, 33, QStringLiteral("Full Screen"));
    snapshotBtn_ = makeButton(QStringLiteral("SnapshotBtn"), QStringLiteral("snapshot"), 785, 700,
                              33, 33, QStringLiteral("Activate Snapshot Timer"));
    minBtn_ = makeButton(QStringLiteral("MinBtn"), QStringLiteral("min"), 865, 692, 28, 28,
                         QStringLiteral("Minimize"));
    exitBtn_ = makeButton(QStringLiteral("ExitBtn"), QStringLiteral("exit"), 921, 680, 45, 45,
                          QStringLiteral("EXIT"));
    connect(exitBtn_, &TRgnButton::clicked, this, &QWidget::close);
    for (TRgnButton* b : {previewBtn_, camSettingsBtn_, fullScrBtn_, snapshotBtn_})
        b->setButtonEnabled(false);

    createPanel();

    controlPanel_ = new QWidget(this);
    controlPanel_->setObjectName(QStringLiteral("ControlPanel"));
    controlPanel_->resize(kControlPanelWidth, kControlPanelHeight);

    tmrPanel_ = new QTimer(this);
    tmrPanel_->setObjectName(QStringLiteral("tmrPanel"));
    tmrPanel_->setInterval(400);
    tmrChangeGroup_ = new QTimer(this);
    tmrChangeGroup_->setObjectName(QStringLiteral("tmrChangeGroup"));
    tmrChangeGroup_->setProperty("cursor", 0);
    connect(tmrChangeGroup_, &QTimer::timeout, this, &TForm1::tmrChangeGroupTimer);
}

void TForm1::createPanel() {
    popupPanel_ = new QWidget(this);
    popupPanel_->setObjectName(QStringLiteral("PopupPanel"));
    popupPanel_->setGeometry(kPanelRect);
    const QImage panelImage =
        context_.artwork ? context_.artwork->image(QStringLiteral("panel.jpg")) : QImage();
    auto* image2 = new BackgroundImage(popupPanel_, panelImage, nullptr);
    image2->setObjectName(QStringLiteral("Image2"));
    image2->setGeometry(0, 0, kPanelRect.width(), kPanelRect.height());

    closePanelBtn_ = new TRgnButton(popupPanel_);
    closePanelBtn_->setObjectName(QStringLiteral("ClosePanelBtn"));
    closePanelBtn_->setGeometry(0, 0, 199, 15);
    closePanelBtn_->setToolTip(QStringLiteral("Hide"));
    if (context_.artwork)
        closePanelBtn_->setImageList(context_.artwork->buttonImages(QStringLiteral("hidepanel")));

    auto* label1 = new QLabel(QStringLiteral("Camera Device List"), popupPanel_);
    label1->setObjectName(QStringLiteral("Label1"));
    label1->setGeometry(49, 25, 91, 13);
    label1->setAttribute(Qt::WA_TransparentForMouseEvents);

    listBox1_ = new QListWidget(popupPanel_);
    listBox1_->setObjectName(QStringLiteral("ListBox1"));
    listBox1_->setGeometry(15, 46, 168, 146);
    listBox1_->setFrameShape(QFrame::NoFrame);
    listBox1_->setFocusPolicy(Qt::ClickFocus);
    listBox1_->setUniformItemSizes(true);
    listBox1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (int i = 1; i <= 9; ++i)
        listBox1_->addItem(QString::number(i));
    listBox1_->setItemDelegate(new CameraListDelegate(
        listBox1_, this,
        context_.artwork ? context_.artwork->image(QStringLiteral("status0.png")) : QImage(),
        context_.artwork ? context_.artwork->image(QStringLiteral("status1.png")) : QImage()));
    connect(listBox1_, &QListWidget::itemClicked, this, [this] { ListBox1Click(); });

    auto* bevel2 = new QFrame(popupPanel_);
    bevel2->setObjectName(QStringLiteral("Bevel2"));
    bevel2->setGeometry(19, 192, 160, 9);
    bevel2->setFrameShape(QFrame::HLine);
    bevel2->setFrameShadow(QFrame::Sunken);

    const QPoint groupPos[4] = {{21, 196}, {100, 196}, {21, 212}, {100, 212}};
    for (int i = 0; i < 4; ++i) {
        auto* rb = new QRadioButton(QStringLiteral("Group%1").arg(i + 1), popupPanel_);
        rb->setObjectName(QStringLiteral("rbGroup%1").arg(i + 1));
        rb->setGeometry(groupPos[i].x(), groupPos[i].y(), 73, 14);
        rb->setFont(tahoma8(true));
        rb->setAutoFillBackground(true);
        QPalette pal = rb->palette();
        pal.setColor(QPalette::Window, Qt::white);
        pal.setColor(QPalette::WindowText, delphiColor(0x800000));
        rb->setPalette(pal);
        groupButtons_[i] = rb;
        connect(rb, &QRadioButton::clicked, this, [this, i] {
            if (i + 1 != currentGroup_)
                SwitchGroup(i + 1);
        });
    }
    groupButtons_[0]->setChecked(true);

    connect(showPanelBtn_, &TRgnButton::clicked, this, [this] {
        popupPanel_->show();
        popupPanel_->raise();
    });
    connect(closePanelBtn_, &TRgnButton::clicked, popupPanel_, &QWidget::hide);
}

void TForm1::createActions() {
    actPreview_ = new TAction(QStringLiteral("&Preview"), this);
    actPreview_->setObjectName(QStringLiteral("actPreview"));
    actPreview_->setCheckable(true);
    actRecord_ = new TAction(QStringLiteral("&Save"), this);
    actRecord_->setObjectName(QStringLiteral("actRecord"));
    actRecord_->setCheckable(true);
    actSnapshot_ = new TAction(QStringLiteral("Activate S&napshot Timer"), this);
    actSnapshot_->setObjectName(QStringLiteral("actSnapshot"));
    actSnapshot_->setCheckable(true);
    actCamSettings_ = new TAction(QStringLiteral("&Camera Settings"), this);
    actCamSettings_->setObjectName(QStringLiteral("actCamSettings"));
    actFullScreen_ = new TAction(QStringLiteral("Full Screen"), this);
    actFullScreen_->setObjectName(QStringLiteral("actFullScreen"));

    // Each wall command runs the selected camera's own action of the same kind, when that is
    // enabled, and then refreshes the selection.
    auto forward = [this](TAction* wallAction, TAction* (TCamera::*cameraAction)() const) {
        wallAction->setExecuteRule([this, cameraAction] {
            if (TCamera* cam = selectedCamera_) {
                TAction* a = (cam->*cameraAction)();
                a->update();
                if (a->isEnabled())
                    a->execute();
            }
            UpdateSelection();
        });
    };
    forward(actPreview_, &TCamera::actPreview);
    forward(actRecord_, &TCamera::actSave);
    forward(actSnapshot_, &TCamera::actSnapshot);
    forward(actCamSettings_, &TCamera::actSettings);

    connect(previewBtn_, &TRgnButton::clicked, actPreview_, [this] { actPreview_->execute(); });
    connect(camSettingsBtn_, &TRgnButton::clicked, actCamSettings_,
            [this] { actCamSettings_->execute(); });
    connect(snapshotBtn_, &TRgnButton::clicked, actSnapshot_, [this] { actSnapshot_->execute(); });
}

TRgnButton* TForm1::LayoutButton(int frames) const {
    switch (frames) {
    case 1:
        return btn1_;
    case 4:
        return btn4_;
    case 6:
        return btn6_;
    case 9:
        return btn9_;
    default:
        return nullptr;
    }
}

TCamera* TForm1::SlotCamera(int slot) const {
    if (slot < 1 || slot > 9)
        return nullptr;
    return slotCameras_[static_cast<std::size_t>(slot - 1)];
}

void TForm1::readWindowValues(const IniFile& ini) {
    settings_ = readWallSettings(ini);
    popupPanel_->setVisible(settings_.panelVisible);
}

void TForm1::LoadCameras(const IniFile& ini) {
    for (int g = 1; g <= kGroupCount; ++g) {
        for (int s = 1; s <= kSlotsPerGroup; ++s) {
            const std::string section = cameraSectionName(cameraNumber(g, s));
            auto* cam = new TCamera(this, context_.cameraServices);
            cam->setObjectName(QString::fromStdString(section));
            const CameraSettings values = readCameraSettings(ini, section);
            cam->setCameraName(QString::fromStdString(values.name));
            cam->setSaveFilePath(QString::fromStdString(values.saveFilePath));
            cam->setVideoDeviceIndex(values.videoDeviceIndex);
            cam->setVideoFormatIndex(values.videoFormatIndex);
            cam->setBitRate(values.bitRate);
            cam->setAutoSnapshot(values.autoSnapshot);
            cam->setSnapshotSeconds(values.snapshotSeconds);
            cam->setSnapshotPath(QString::fromStdString(values.snapshotPath));
            cam->hide();
            connect(cam, &TCamera::OnPreview, this, &TForm1::CameraPreview);
            connect(cam, &TCamera::OnStateChanged, this, &TForm1::CameraPreview);
            allCameras_.append(cam);
        }
    }
}

void TForm1::SaveCameras(IniFile& ini) {
    for (int i = 0; i < allCameras_.size(); ++i) {
        const TCamera* cam = allCameras_[i];
        if (!cam)
            continue;
        CameraSettings values;
        values.name = cam->CameraName().toStdString();
        values.saveFilePath = cam->SaveFilePath().toStdString();
        values.videoDeviceIndex = cam->VideoDeviceIndex();
        values.videoFormatIndex = cam->VideoFormatIndex();
        values.bitRate = cam->BitRate();
        values.autoSnapshot = cam->AutoSnapshot();
        values.snapshotSeconds = cam->SnapshotSeconds();
        values.snapshotPath = cam->SnapshotPath().toStdString();
        writeCameraSettings(ini, cameraSectionName(i + 1), values);
    }
}

void TForm1::writeWindowValues(IniFile& ini) {
    settings_.panelVisible = !popupPanel_->isHidden();
    writeWallSettings(ini, settings_);
}

void TForm1::shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // Every step runs whatever an earlier one threw, so that one camera that fails to stop
    // cannot cost the other cameras their recordings or the user the settings. Only a failed
    // write of setup.ini ends the writing steps, with its own report.
    QStringList failures;
    auto step = [&](const std::string& name, auto&& body) {
        try {
            if (context_.shutdownStep)
                context_.shutdownStep(name);
            body();
        } catch (const IniWriteError&) {
            throw;
        } catch (const std::exception& e) {
            failures << QString::fromStdString(name) + QStringLiteral(": ") +
                            QString::fromUtf8(e.what());
        } catch (...) {
            failures << QString::fromStdString(name) + QStringLiteral(": unknown error");
        }
    };
    UpdatesFrozen freeze(this);
    step("stop timers", [&] {
        tmrPanel_->stop();
        tmrChangeGroup_->stop();
    });
    for (TCamera* cam : allCameras_)
        step("stop " + cam->objectName().toStdString(), [&] { cam->StopAll(); });
    try {
        IniFile ini(iniPath().toStdString());
        // The ~300 keys reach the file in one safe replacement.
        ini.beginUpdate();
        step("write cameras", [&] { SaveCameras(ini); });
        step("write window values", [&] { writeWindowValues(ini); });
        ini.commit();
        step("destroy cameras", [&] {
            selectedCamera_ = nullptr;
            slotCameras_.fill(nullptr);
            for (int i = 0; i < listBox1_->count(); ++i)
                listBox1_->item(i)->setData(Qt::UserRole, QVariant());
            // One at a time, so a camera that fails on its way out leaves the others to go.
            while (!allCameras_.isEmpty()) {
                TCamera* cam = allCameras_.takeFirst();
                step("destroy " + cam->objectName().toStdString(), [&] { delete cam; });
            }
        });
    } catch (const IniWriteError&) {
        // The cameras go with the window that owns them.
        const QString text = QStringLiteral("Unable to write to %1").arg(iniPath());
        if (context_.reportError)
            context_.reportError(text);
        else if (context_.messages)
            context_.messages->error(text);
    }
    // Nothing of the program is left to show a box in; the failures go to the console.
    for (const QString& f : failures)
        std::fprintf(stderr, "Shutdown: %s\n", qUtf8Printable(f));
}

void TForm1::ApplyLayout(int frames) {
    UpdatesFrozen freeze(this);
    for (TCamera* cam : allCameras_)
        cam->hide();
    for (TRgnButton* b : {btn1_, btn4_, btn6_, btn9_})
        b->setDowned(false);

    auto place = [](TCamera* cam, const Rect& r) {
        if (!cam)
            return;
        cam->setGeometry(r.left, r.top, r.width, r.height);
        cam->show();
        cam->raise();
        cam->RefitVideo();
    };
    const auto rects = layoutRects(frames);
    if (frames == 1) {
        place(selectedCamera_ ? selectedCamera_ : slotCameras_[0], rects[0]);
        settings_.currentCnt = 1;
        btn1_->setDowned(true);
    } else if (!rects.empty()) {
        for (std::size_t i = 0; i < rects.size(); ++i)
            place(slotCameras_[i], rects[i]);
        settings_.currentCnt = frames;
        LayoutButton(frames)->setDowned(true);
    }
    UpdateSelection();
    if (!popupPanel_->isHidden())
        popupPanel_->raise();
}

void TForm1::SelectSlot(int slot) {
    if (slot < 1 || slot > 9)
        return;
    QListWidgetItem* item = listBox1_->item(slot - 1);
    selectedCamera_ = item ? item->data(Qt::UserRole).value<TCamera*>() : nullptr;
    settings_.currentIndex = slot;
    UpdateSelection();
}

void TForm1::UpdateSelection() {
    TCamera* cam = selectedCamera_;
    if (!cam) {
        actPreview_->setEnabled(false);
        actPreview_->setChecked(false);
        actRecord_->setEnabled(false);
        actRecord_->setChecked(false);
        actSnapshot_->setEnabled(false);
        actCamSettings_->setEnabled(false);
        previewBtn_->setButtonEnabled(false);
        previewBtn_->setDowned(false);
        camSettingsBtn_->setButtonEnabled(false);
        snapshotBtn_->setButtonEnabled(false);
        return;
    }
    const QRect g = cam->geometry();
    shape1_->setGeometry(g.left() - 2, g.top() - 2, g.width() + 4, g.height() + 4);
    for (int i = 0; i < 9; ++i)
        numButtons_[i]->setDowned(i + 1 == settings_.currentIndex);
    if (listBox1_->currentRow() != settings_.currentIndex - 1)
        listBox1_->setCurrentRow(settings_.currentIndex - 1);
    shape1_->setVisible(!cam->isHidden());

    const bool previewing = cam->Previewing();
    actPreview_->setEnabled(true);
    actPreview_->setChecked(previewing);
    actRecord_->setEnabled(previewing);
    actRecord_->setChecked(cam->Recording());
    actSnapshot_->setEnabled(previewing);
    actSnapshot_->setChecked(cam->AutoSnapshot());
    actCamSettings_->setEnabled(!previewing);
    actFullScreen_->setEnabled(previewing);

    previewBtn_->setButtonEnabled(actPreview_->isEnabled());
    previewBtn_->setDowned(actPreview_->isChecked());
    camSettingsBtn_->setButtonEnabled(actCamSettings_->isEnabled());
    snapshotBtn_->setButtonEnabled(actSnapshot_->isEnabled());
    snapshotBtn_->setDowned(actSnapshot_->isChecked());
    fullScrBtn_->setButtonEnabled(actFullScreen_->isEnabled());
}

void TForm1::CameraPreview(TCamera* camera) {
    if (camera == selectedCamera_)
        UpdateSelection();
}

int TForm1::SlotAt(int x, int y) const {
    std::array<SlotFrame, 9> frames;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (const TCamera* cam = slotCameras_[i]) {
            const QRect g = cam->geometry();
            frames[i] = {!cam->isHidden(), {g.left(), g.top(), g.width(), g.height()}};
        }
    }
    std::optional<Rect> panel;
    if (!popupPanel_->isHidden()) {
        const QRect g = popupPanel_->geometry();
        panel = Rect{g.left(), g.top(), g.width(), g.height()};
    }
    return slotAt(x, y, frames, panel);
}

void TForm1::SwitchGroup(int group) {
    if (group == currentGroup_)
        return;
    currentGroup_ = group;
    for (int i = 0; i < 4; ++i) {
        QRadioButton* rb = groupButtons_[i];
        rb->setChecked(i + 1 == group);
        QPalette pal = rb->palette();
        pal.setColor(QPalette::WindowText, delphiColor(i + 1 == group ? 0x000080 : 0x800000));
        rb->setPalette(pal);
    }
    listBox1_->setUpdatesEnabled(false);
    for (int s = 1; s <= 9; ++s) {
        const int index = cameraNumber(group, s) - 1;
        TCamera* cam = index >= 0 && index < allCameras_.size() ? allCameras_[index] : nullptr;
        listBox1_->item(s - 1)->setData(Qt::UserRole, QVariant::fromValue(cam));
        slotCameras_[static_cast<std::size_t>(s - 1)] = cam;
    }
    listBox1_->setUpdatesEnabled(true);
    ApplyLayout(settings_.currentCnt);
    ListBox1Click();
}

void TForm1::ListBox1Click() {
    const int row = listBox1_->currentRow();
    if (row < 0 || row > 8)
        return;
    if (listBox1_->item(row)->data(Qt::UserRole).value<TCamera*>() != selectedCamera_)
        SelectSlot(row + 1);
}

void TForm1::UpdateGroupTimer() {
    tmrChangeGroup_->stop();
    tmrChangeGroup_->setInterval(settings_.changeGroupSeconds * 1000);
    if (std::none_of(settings_.groupEnabled.begin(), settings_.groupEnabled.end(),
                     [](bool b) { return b; }))
        settings_.changeGroup = false;
    if (settings_.changeGroup)
        tmrChangeGroup_->start();
}

void TForm1::tmrChangeGroupTimer() {
    if (!settings_.changeGroup)
        return;
    int cursor = tmrChangeGroup_->property("cursor").toInt();
    cursor = cursor % 4 + 1;
    for (int guard = 0; !settings_.groupEnabled[static_cast<std::size_t>(cursor - 1)] && guard < 4;
         ++guard)
        cursor = cursor % 4 + 1;
    tmrChangeGroup_->setProperty("cursor", cursor);
    if (currentGroup_ != cursor)
        SwitchGroup(cursor);
}

void TForm1::startWindowDrag() {
    const int screenW = context_.screenWidth
                            ? context_.screenWidth()
                            : (screen() ? screen()->geometry().width() : kWallWidth);
    if (screenW <= kWallWidth)
        return;
    if (QWindow* w = windowHandle())
        w->startSystemMove();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
        auto* me = static_cast<QMouseEvent*>(event);
        const bool foreground = isActiveWindow() && !QApplication::activeModalWidget();
        if (me->button() == Qt::LeftButton && foreground && !fullScreenMode_) {
            const QPoint p = mapFromGlobal(me->globalPosition().toPoint());
            const int slot = SlotAt(p.x(), p.y());
            if (slot != -1 && slot != settings_.currentIndex)
                SelectSlot(slot);
        }
    }
    return false; // never consumed: the click still reaches the window under the pointer
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    for (TCamera* cam : allCameras_)
        cam->RefitVideo();
}

void TForm1::closeEvent(QCloseEvent* event) {
    event->accept();
    // Closing the main window is the only way the program ends.
    QCoreApplication::quit();
}

} // namespace norvale
