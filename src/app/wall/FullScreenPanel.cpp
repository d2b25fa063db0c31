#include "app/wall/FullScreenPanel.h"

#include "app/shell/Artwork.h"
#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "app/wall/WallWidgets.h"

#include <QBitmap>
#include <QFrame>
#include <QLabel>
#include <QRegion>
#include <QTimer>
#include <QToolButton>

namespace norvale {

namespace {
constexpr QRgb kMagenta = 0xffff00ff;
constexpr Qt::WindowFlags kToolWindow =
    Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus;

// Inside [left, right) x [top, bottom): left and top edges inside, right and bottom outside.
bool inside(const QPoint& p, int left, int top, int right, int bottom) {
    return p.x() >= left && p.x() < right && p.y() >= top && p.y() < bottom;
}
} // namespace

FullScreenPanel::FullScreenPanel(QWidget* owner, const Artwork* artwork, DesktopServices& desktop,
                                 Hooks hooks)
    : QObject(owner), artwork_(artwork), desktop_(desktop), hooks_(std::move(hooks)),
      owner_(owner) {
    controlPanel_ = new QWidget(owner, kToolWindow);
    controlPanel_->setObjectName(QStringLiteral("ControlPanel"));
    controlPanel_->setAttribute(Qt::WA_ShowWithoutActivating);
    controlPanel_->setFixedSize(kWidth, kHeight);

    auto* picture = new BackgroundImage(
        controlPanel_, artwork ? artwork->image(QStringLiteral("fspanel.png")) : QImage(), nullptr);
    picture->setObjectName(QStringLiteral("Image3"));
    picture->setGeometry(0, 0, kWidth, kHeight);

    caption_ = new QLabel(QString::fromLatin1(N_("127.0.0.1")), controlPanel_);
    caption_->setObjectName(QStringLiteral("Label2"));
    caption_->setGeometry(0, 0, kWidth, kHeight);
    caption_->setAlignment(Qt::AlignCenter);
    caption_->setFont(tahoma8(true));
    caption_->setAttribute(Qt::WA_TransparentForMouseEvents);
    QPalette pal = caption_->palette();
    pal.setColor(QPalette::WindowText, QColor(0x3b, 0x47, 0x55)); // dark ink on the light strip
    caption_->setPalette(pal);

    pinButton_ = makeButton("PinButton", "fs_pin_0.png", 22, 1, 22, 18, nullptr);
    pinButton_->setCheckable(true);
    if (artwork) {
        QIcon pin;
        pin.addPixmap(QPixmap::fromImage(artwork->image(QStringLiteral("fs_pin_0.png"))),
                      QIcon::Normal, QIcon::Off);
        pin.addPixmap(QPixmap::fromImage(artwork->image(QStringLiteral("fs_pin_2.png"))),
                      QIcon::Normal, QIcon::On);
        pinButton_->setIcon(pin);
    }
    zoomInBtn_ = makeButton("ZoomInBtn", "fs_zoomin.png", 51, 0, 22, 19, N_("Zoom In"));
    zoomOutBtn_ = makeButton("ZoomOutBtn", "fs_zoomout.png", 73, 0, 22, 19, N_("Zoom Out"));
    btnActualSize_ =
        makeButton("btnActualSize", "fs_actualsize.png", 95, 0, 22, 19, N_("Actual Size"));
    btnCapture_ = makeButton("btnCapture", "fs_capture.png", 117, 0, 22, 19, N_("Snap Screen"));
    closeBtn_ = makeButton("CloseBtn", "fs_close.png", 500, 1, 18, 18, N_("Exit Full Screen"));
    connect(closeBtn_, &QToolButton::clicked, this, [this] {
        if (!hooks_.fullScreenMode || !hooks_.fullScreenMode())
            return;
        controlPanel_->hide();
        emit exitFullScreen();
    });

    auto* bevel1 = new QFrame(controlPanel_);
    bevel1->setObjectName(QStringLiteral("Bevel1"));
    bevel1->setGeometry(47, 2, 2, 16);
    bevel1->setFrameShape(QFrame::VLine);
    bevel1->setFrameShadow(QFrame::Sunken);

    const int screenW = desktop_.screenWidth(owner_);
    controlPanel_->move((screenW - kWidth) / 2, 0);
    controlPanel_->hide();

    timer2_ = new QTimer(this);
    timer2_->setObjectName(QStringLiteral("Timer2"));
    timer2_->setInterval(400);
    connect(timer2_, &QTimer::timeout, this, &FullScreenPanel::Timer2Timer);
    timer2_->start();
}

QToolButton* FullScreenPanel::makeButton(const char* name, const char* picture, int x, int y, int w,
                                         int h, const char* hint) {
    auto* b = new QToolButton(controlPanel_);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, w, h);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setIconSize(QSize(w, h));
    if (artwork_)
        b->setIcon(QIcon(QPixmap::fromImage(artwork_->image(QString::fromLatin1(picture)))));
    if (hint)
        b->setToolTip(QString::fromLatin1(hint));
    return b;
}

void FullScreenPanel::cutToPicture() {
    const QImage picture = artwork_ ? artwork_->image(QStringLiteral("fspanel.png")) : QImage();
    if (picture.isNull()) {
        controlPanel_->clearMask();
        return;
    }
    // The mask's set pixels become the region: those that are not magenta.
    const QImage shape = picture.convertToFormat(QImage::Format_RGB32)
                             .createMaskFromColor(kMagenta, Qt::MaskInColor);
    controlPanel_->setMask(QRegion(QBitmap::fromImage(shape)));
}

void FullScreenPanel::stop() {
    timer2_->stop();
    hidePanel();
}

void FullScreenPanel::hidePanel() {
    controlPanel_->hide();
    placeIn(nullptr);
}

void FullScreenPanel::placeIn(QWidget* host) {
    QWidget* const parent = host ? host : owner_;
    const bool inHost = host != nullptr;
    if (controlPanel_->parentWidget() == parent && controlPanel_->isWindow() != inHost)
        return;
    // Screen coordinates before and after: the host covers the screen from its own origin.
    const QPoint screenPos = controlPanel_->isWindow()
                                 ? controlPanel_->pos()
                                 : controlPanel_->parentWidget()->mapToGlobal(controlPanel_->pos());
    const bool shown = !controlPanel_->isHidden();
    controlPanel_->setParent(parent, inHost ? Qt::Widget : kToolWindow);
    controlPanel_->move(inHost ? host->mapFromGlobal(screenPos) : screenPos);
    cutToPicture();
    if (shown) {
        controlPanel_->show();
        controlPanel_->raise();
    }
}

void FullScreenPanel::Timer2Timer() {
    if (!hooks_.fullScreenMode || !hooks_.fullScreenMode()) {
        if (!controlPanel_->isHidden() || !controlPanel_->isWindow())
            hidePanel();
        return;
    }
    QWidget* host = hooks_.fullScreenWindow ? hooks_.fullScreenWindow() : nullptr;
    placeIn(host && host->isVisible() ? host : nullptr);
    if (controlPanel_->isHidden()) {
        controlPanel_->show();
        controlPanel_->raise();
        cutToPicture();
    }
    // The slide works in screen coordinates, wherever the panel lives.
    const auto screenPos = [this] {
        return controlPanel_->isWindow()
                   ? controlPanel_->pos()
                   : controlPanel_->parentWidget()->mapToGlobal(controlPanel_->pos());
    };
    const auto moveTo = [this](const QPoint& screen) {
        controlPanel_->move(controlPanel_->isWindow()
                                ? screen
                                : controlPanel_->parentWidget()->mapFromGlobal(screen));
    };
    const QPoint p = desktop_.pointerPos();
    const int screenW = desktop_.screenWidth(owner_);
    const QPoint at = screenPos();
    const int left = at.x();
    if (at.y() != 0) {
        if (inside(p, left, 0, screenW, 3)) {
            moveTo({left, 0});
            controlPanel_->raise();
        }
        return;
    }
    if (inside(p, left, 0, screenW, controlPanel_->height()) || pinButton_->isChecked())
        return;
    moveTo({left, 3 - controlPanel_->height()});
}

} // namespace norvale
