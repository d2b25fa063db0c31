#include "app/wall/WallWidgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

namespace norvale {

QFont tahoma8(bool bold) {
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(11);
    f.setBold(bold);
    return f;
}

BackgroundImage::BackgroundImage(QWidget* parent, QImage image, std::function<void()> onPress)
    : QWidget(parent), image_(std::move(image)), onPress_(std::move(onPress)) {
    setAttribute(Qt::WA_OpaquePaintEvent, !image_.isNull());
}

void BackgroundImage::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (image_.isNull())
        p.fillRect(rect(), QColor(0x12, 0x16, 0x1c));
    else
        p.drawImage(0, 0, image_);
}

void BackgroundImage::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && onPress_)
        onPress_();
}

SelectionShape::SelectionShape(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NoSystemBackground);
}

void SelectionShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QPen pen(Qt::red);
    pen.setWidth(2);
    pen.setJoinStyle(Qt::MiterJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(1, 1, width() - 2, height() - 2));
}

void SelectionShape::resizeEvent(QResizeEvent*) {
    const QRect outer = rect();
    setMask(QRegion(outer).subtracted(QRegion(outer.adjusted(2, 2, -2, -2))));
}

} // namespace norvale
