#pragma once
// Small pieces the wall's role classes share: the fonts and colours the wall was drawn for, the
// picture widgets and the drawing freeze.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QWidget>
#include <functional>

namespace norvale {

// Tahoma 8 pt as the wall was drawn for it: 11 pixels at 96 dots per inch, whatever the screen.
QFont tahoma8(bool bold = false);

// A colour written as $00BBGGRR.
inline QColor bgrColor(quint32 bgr) {
    return QColor(bgr & 0xff, (bgr >> 8) & 0xff, (bgr >> 16) & 0xff);
}

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

// A picture over the whole widget; a left press on it runs onPress (the wall's window drag).
class BackgroundImage : public QWidget {
public:
    BackgroundImage(QWidget* parent, QImage image, std::function<void()> onPress);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;

private:
    QImage image_;
    std::function<void()> onPress_;
};

// The selection frame: a red ring two pixels wide. Only the ring is part of the widget, so
// presses inside reach the camera and presses on the ring do not fall through to the background
// (which would start a window drag).
class SelectionShape : public QWidget {
public:
    explicit SelectionShape(QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
};

} // namespace norvale
