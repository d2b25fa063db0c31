#include "app/camera/VideoWindow.h"

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <cstdlib>

namespace norvale {

// The full-screen window: paints the same frames as its owner.
class TVideoSurface : public QWidget {
public:
    explicit TVideoSurface(TVideoWindow* owner)
        : QWidget(owner, Qt::Window | Qt::FramelessWindowHint), owner_(owner) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setWindowTitle(owner->windowTitle());
    }

protected:
    void paintEvent(QPaintEvent*) override { owner_->paintFrame(this); }
    void mouseDoubleClickEvent(QMouseEvent*) override { emit owner_->DoubleClicked(); }
    void showEvent(QShowEvent*) override { owner_->updateWanted(); }
    void hideEvent(QHideEvent*) override { owner_->updateWanted(); }
    void resizeEvent(QResizeEvent*) override { owner_->updatePictureArea(); }

private:
    TVideoWindow* owner_;
};

TVideoWindow::TVideoWindow(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAutoFillBackground(true);
    surface_ = new TVideoSurface(this);
}

TVideoWindow::~TVideoWindow() {
    // After this no streaming thread can reach the window any more.
    if (source_)
        source_->SetFrameListener(nullptr);
}

void TVideoWindow::SetFrameSource(IFrameSource* source) {
    if (source == source_)
        return;
    if (source_)
        source_->SetFrameListener(nullptr);
    source_ = source;
    if (source_) {
        source_->SetFrameListener([this] {
            // Streaming thread: hand the repaint to the GUI thread, nothing else.
            QMetaObject::invokeMethod(this, &TVideoWindow::frameArrived, Qt::QueuedConnection);
        });
        updateWanted();
        updatePictureArea();
    }
    update();
}

void TVideoWindow::SetKeepAspectRatio(bool keep) {
    if (keep == keepAspectRatio_)
        return;
    keepAspectRatio_ = keep;
    updatePictureArea();
    update();
    surface_->update();
}

void TVideoWindow::SetFullScreen(bool on) {
    fullScreen_ = on;
    // Without a connected stream only the flag changes; the next run applies it.
    if (source_ && source_->Connected())
        applyFullScreen();
    else if (!on)
        surface_->hide();
}

void TVideoWindow::SetWaitingText(const QString& text) {
    if (text == waitingText_)
        return;
    waitingText_ = text;
    update();
}

void TVideoWindow::GraphAboutToRun() {
    if (source_ && source_->Connected())
        applyFullScreen();
}

void TVideoWindow::applyFullScreen() {
    if (!fullScreen_) {
        surface_->hide();
        return;
    }
    Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint;
    if (fullScreenTopMost_)
        flags |= Qt::WindowStaysOnTopHint;
    if (surface_->windowFlags() != flags)
        surface_->setWindowFlags(flags);
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen)
        surface_->setGeometry(screen->geometry());
    surface_->show();
    surface_->raise();
}

void TVideoWindow::updateWanted() {
    if (source_)
        source_->SetFramesWanted(isVisible() || surface_->isVisible());
    updatePictureArea();
}

void TVideoWindow::updatePictureArea() {
    // The larger picture while full screen shows; the window's own otherwise.
    if (!source_)
        return;
    const QSize area = surface_->isVisible() ? surface_->size() : size();
    source_->SetPictureArea(area.width(), area.height(), keepAspectRatio_);
}

void TVideoWindow::frameArrived() {
    if (isVisible())
        update();
    if (surface_->isVisible())
        surface_->update();
    if (!isVisible() && !surface_->isVisible() && source_)
        source_->LatestFrame(); // re-arm the listener; nothing to paint
}

QRect TVideoWindow::PictureRect(const QRect& area, int frameWidth, int frameHeight,
                                bool keepAspect) {
    if (!keepAspect || frameWidth <= 0 || frameHeight <= 0 || area.isEmpty())
        return area;
    QSize size = QSize(frameWidth, frameHeight).scaled(area.size(), Qt::KeepAspectRatio);
    QRect r(QPoint(0, 0), size);
    r.moveCenter(area.center());
    return r;
}

void TVideoWindow::paintFrame(QWidget* target) {
    QPainter painter(target);
    const QRect area = target->rect();
    std::shared_ptr<const TVideoFrame> frame = source_ ? source_->LatestFrame() : nullptr;
    if (!frame || frame->Width() <= 0 || frame->Height() <= 0) {
        painter.fillRect(area, Qt::black);
        if (!statusText_.isEmpty()) {
            // What happened to a running camera (lost) outranks what a stopped one waits for.
            painter.setPen(Qt::white);
            painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, statusText_);
        } else if (!waitingText_.isEmpty() && !(source_ && source_->Connected())) {
            painter.setPen(palette().color(QPalette::WindowText));
            painter.setFont(font());
            painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, waitingText_);
        }
        return;
    }
    QRect picture = PictureRect(area, frame->Width(), frame->Height(), keepAspectRatio_);
    // A frame the source already fitted to this area may differ from the exact fit by a pixel
    // of rounding: it is copied as it is rather than scaled by that pixel.
    const QSize frameSize(frame->Width(), frame->Height());
    const QSize off = picture.size() - frameSize;
    if (keepAspectRatio_ && std::abs(off.width()) <= 1 && std::abs(off.height()) <= 1 &&
        frameSize.width() <= area.width() && frameSize.height() <= area.height()) {
        QRect exact(QPoint(0, 0), frameSize);
        exact.moveCenter(area.center());
        picture = exact;
    }
    // Black bars around the picture only, so the picture itself is painted once.
    QRegion bars = QRegion(area).subtracted(QRegion(picture));
    for (const QRect& r : bars)
        painter.fillRect(r, Qt::black);
    const QImage image(frame->Data(), frame->Width(), frame->Height(), frame->Stride(),
                       frame->Format() == TVideoFrame::PixelFormat::Bgrx32 ? QImage::Format_RGB32
                                                                           : QImage::Format_BGR888);
    if (picture.size() == image.size()) {
        painter.drawImage(picture.topLeft(), image);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(picture, image);
    }
    if (!statusText_.isEmpty()) {
        const int height = painter.fontMetrics().height() + 6;
        QRect band(picture.left(), picture.bottom() + 1 - height, picture.width(), height);
        band = band.intersected(area);
        painter.fillRect(band, QColor(0, 0, 0, 170));
        painter.setPen(Qt::white);
        painter.drawText(band.adjusted(4, 0, -4, 0),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, statusText_);
    }
}

void TVideoWindow::GraphStopped() {
    // The source has let go of its frames; painting now shows black.
    update();
    surface_->update();
}

void TVideoWindow::SetStatusText(const QString& text) {
    if (text == statusText_)
        return;
    statusText_ = text;
    update();
    surface_->update();
}

void TVideoWindow::paintEvent(QPaintEvent*) {
    paintFrame(this);
}

void TVideoWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    emit DoubleClicked();
}

void TVideoWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updatePictureArea();
}

void TVideoWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateWanted();
}

void TVideoWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateWanted();
}

} // namespace norvale
