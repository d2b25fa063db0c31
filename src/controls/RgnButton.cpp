#include "controls/RgnButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <span>
#include <vector>

using norvale::ButtonPicture;

TRgnButton::TRgnButton(QWidget* parent) : QWidget(parent) {
    resize(15, 15);
    repeatTimer_.setInterval(RepeatInterval);
    connect(&repeatTimer_, &QTimer::timeout, this, &TRgnButton::repeatTick);
}

void TRgnButton::setAutoRepeat(bool value) {
    autoRepeat_ = value;
    updateRepeatTimer();
}

void TRgnButton::setButtonEnabled(bool value) {
    if (enabled_ == value)
        return;
    enabled_ = value;
    refresh();
}

void TRgnButton::setDowned(bool value) {
    if (downed_ == value)
        return;
    downed_ = value;
    refresh();
}

void TRgnButton::setPicture(ButtonPicture which, const QImage& picture) {
    pictures_[idx(which)] = picture;
    refresh();
}

void TRgnButton::setPicIdle(const QImage& picture) {
    setPicture(ButtonPicture::Idle, picture);
    if (regionApplied_) {
        removeRegion();
        applyRegion();
    }
}

void TRgnButton::setPicUp(const QImage& picture) {
    setPicture(ButtonPicture::Up, picture);
}
void TRgnButton::setPicDown(const QImage& picture) {
    setPicture(ButtonPicture::Down, picture);
}
void TRgnButton::setPicDsbld(const QImage& picture) {
    setPicture(ButtonPicture::Disabled, picture);
}

void TRgnButton::setPaintMode(TPaintMode mode) {
    if (paintMode_ == mode)
        return;
    if (paintMode_ == TPaintMode::pmCrop)
        removeRegion();
    paintMode_ = mode;
    if (paintMode_ == TPaintMode::pmCrop)
        applyRegion();
    refresh();
}

void TRgnButton::setImageList(const QList<QImage>* list) {
    if (imageList_ == list)
        return;
    imageList_ = list;
    if (!list)
        return;
    // The shape is deliberately not rebuilt here: only setting the normal picture itself does.
    const ButtonPicture order[] = {ButtonPicture::Idle, ButtonPicture::Up, ButtonPicture::Down,
                                   ButtonPicture::Disabled};
    for (qsizetype i = 0; i < list->size() && i < 4; ++i)
        setPicture(order[i], list->at(i));
}

ButtonPicture TRgnButton::currentPictureKind() const {
    const norvale::ButtonFlags flags{enabled_, pressed_, mouseInside_, downed_};
    const norvale::ButtonPictureSet available{!pictures_[idx(ButtonPicture::Idle)].isNull(),
                                              !pictures_[idx(ButtonPicture::Up)].isNull(),
                                              !pictures_[idx(ButtonPicture::Down)].isNull(),
                                              !pictures_[idx(ButtonPicture::Disabled)].isNull()};
    return norvale::chooseButtonPicture(flags, available);
}

QImage TRgnButton::currentPicture() const {
    return pictures_[idx(currentPictureKind())];
}

void TRgnButton::refresh() {
    const QImage picture = currentPicture();
    if (!picture.isNull() && size() != picture.size())
        resize(picture.size());
    // Every state change shows at once, not at the next pass of the event loop.
    repaint();
}

void TRgnButton::paintEvent(QPaintEvent*) {
    const QImage picture = currentPicture();
    if (picture.isNull())
        return;
    QPainter painter(this);
    if (paintMode_ == TPaintMode::pmTransparent)
        painter.drawImage(0, 0, keyedOut(picture));
    else
        painter.drawImage(0, 0, picture);
}

QImage TRgnButton::keyedOut(const QImage& picture) const {
    if (keyedSourceKey_ == picture.cacheKey() && !keyedPicture_.isNull())
        return keyedPicture_;
    QImage keyed = picture.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = keyed.pixel(0, 0);
    for (int y = 0; y < keyed.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
        for (int x = 0; x < keyed.width(); ++x)
            if (line[x] == key)
                line[x] = 0;
    }
    keyedSourceKey_ = picture.cacheKey();
    keyedPicture_ = keyed;
    return keyed;
}

bool TRgnButton::isInside(const QPoint& pos) const {
    if (!rect().contains(pos))
        return false;
    return mask().isEmpty() || mask().contains(pos);
}

void TRgnButton::pointerEntered() {
    if (mouseInside_)
        return;
    mouseInside_ = true;
    refresh();
    emit mouseEnter();
    updateRepeatTimer();
}

void TRgnButton::pointerLeft() {
    mouseInside_ = false;
    refresh();
    emit mouseLeave();
    updateRepeatTimer();
}

void TRgnButton::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    pointerEntered();
}

void TRgnButton::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (!mouseInside_)
        return;
    pointerLeft();
}

void TRgnButton::mousePressEvent(QMouseEvent* event) {
    QWidget::mousePressEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    event->accept();
    // A press on the button means the pointer is over it, even when Qt sent no enter event (for
    // example when the button appeared under a resting pointer or a modal dialog just closed).
    if (!mouseInside_ && isInside(event->position().toPoint()))
        pointerEntered();
    pressed_ = true;
    refresh();
    emit mouseDown();
    updateRepeatTimer();
}

void TRgnButton::mouseMoveEvent(QMouseEvent* event) {
    QWidget::mouseMoveEvent(event);
    // While the button is held the widget grabs the pointer and Qt holds back enter and leave
    // events until the release, so crossing the edge is followed here.
    if (!pressed_)
        return;
    const bool inside = isInside(event->position().toPoint());
    if (inside && !mouseInside_)
        pointerEntered();
    else if (!inside && mouseInside_)
        pointerLeft();
}

void TRgnButton::mouseReleaseEvent(QMouseEvent* event) {
    QWidget::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    event->accept();
    // The release completes a click only after a press on this button, and only inside it.
    if (pressed_ && isInside(event->position().toPoint()))
        clickDispatch();
    pressed_ = false;
    refresh();
    emit mouseUp();
    updateRepeatTimer();
}

void TRgnButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click neither presses nor clicks, so a fast double click
    // reports one click. (The default handling would treat it as another press.)
    event->accept();
}

void TRgnButton::clickDispatch() {
    if (enabled_)
        emit clicked();
}

void TRgnButton::repeatTick() {
    clickDispatch();
}

void TRgnButton::updateRepeatTimer() {
    const bool run = autoRepeat_ && mouseInside_ && pressed_;
    if (run && !repeatTimer_.isActive())
        repeatTimer_.start();
    else if (!run)
        repeatTimer_.stop();
}

void TRgnButton::applyRegion() {
    if (paintMode_ != TPaintMode::pmCrop || regionApplied_)
        return;
    QImage picture = pictures_[idx(ButtonPicture::Idle)].convertToFormat(QImage::Format_ARGB32);
    if (!picture.isNull()) {
        const auto* bits = reinterpret_cast<const std::uint32_t*>(picture.constBits());
        const std::size_t stride = static_cast<std::size_t>(picture.bytesPerLine()) / 4;
        const std::span<const std::uint32_t> pixels(
            bits, stride * static_cast<std::size_t>(picture.height()));
        const std::vector<norvale::PixelRect> kept =
            norvale::keptPixelRects(picture.width(), picture.height(), pixels, stride);
        QList<QRect> rects;
        rects.reserve(static_cast<qsizetype>(kept.size()));
        for (const norvale::PixelRect& r : kept)
            rects.append(QRect(r.x, r.y, r.width, r.height));
        QRegion shape;
        if (rects.isEmpty()) {
            // Qt takes an empty mask for "no mask"; a picture made only of its key colour leaves
            // nothing of the button, so the mask is a single pixel outside the widget.
            shape = QRegion(-1, -1, 1, 1);
        } else {
            shape.setRects(rects.constData(), static_cast<int>(rects.size()));
        }
        setMask(shape);
    }
    regionApplied_ = true;
}

void TRgnButton::removeRegion() {
    // Unshaped means the whole widget, whatever size the normal picture has (an empty normal
    // picture would otherwise leave a zero-sized, invisible button).
    clearMask();
    regionApplied_ = false;
}
