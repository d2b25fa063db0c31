#pragma once
// TRgnButton: a push button drawn entirely from pictures (normal, hover, pressed, disabled). It
// takes the size of the picture it shows, can take the shape of its normal picture (pmCrop) or
// draw its pictures with a colour key (pmTransparent), can repeat its click while held, and can be
// held down by the program (Downed) to show which layout, slot or toggle is active.
#include "core/ButtonPicture.h"

#include <QImage>
#include <QList>
#include <QTimer>
#include <QWidget>

enum class TPaintMode { pmNormal, pmCrop, pmTransparent };

class TRgnButton : public QWidget {
    Q_OBJECT
public:
    // Interval of the click repetition while the button is held.
    static constexpr int RepeatInterval = 300;

    explicit TRgnButton(QWidget* parent = nullptr);

    bool autoRepeat() const { return autoRepeat_; }
    void setAutoRepeat(bool value);
    // The button's own enabled flag. While false no click is reported and the disabled picture is
    // shown, but the widget itself stays enabled and still reports its mouse events.
    bool buttonEnabled() const { return enabled_; }
    void setButtonEnabled(bool value);
    bool disabled() const { return !enabled_; }
    // Held down by the program: shows the pressed picture while true.
    bool downed() const { return downed_; }
    void setDowned(bool value);

    QImage picIdle() const { return pictures_[idx(norvale::ButtonPicture::Idle)]; }
    QImage picUp() const { return pictures_[idx(norvale::ButtonPicture::Up)]; }
    QImage picDown() const { return pictures_[idx(norvale::ButtonPicture::Down)]; }
    QImage picDsbld() const { return pictures_[idx(norvale::ButtonPicture::Disabled)]; }
    // Replacing the normal picture also reshapes a shaped button.
    void setPicIdle(const QImage& picture);
    void setPicUp(const QImage& picture);
    void setPicDown(const QImage& picture);
    void setPicDsbld(const QImage& picture);

    TPaintMode paintMode() const { return paintMode_; }
    void setPaintMode(TPaintMode mode);

    // Fills the pictures from a list once, when a different list is given: images 0 to 3 become
    // the normal, hover, pressed and disabled pictures, as far as the list holds them. Later
    // changes of the list are not followed; the list is compared by identity and not owned.
    const QList<QImage>* imageList() const { return imageList_; }
    void setImageList(const QList<QImage>* list);

    // The state behind the picture choice.
    bool pressed() const { return pressed_; }
    bool mouseInside() const { return mouseInside_; }
    bool regionApplied() const { return regionApplied_; }
    // Which picture the current state shows, and that picture (null when it holds no graphic:
    // then nothing is drawn and the size stays).
    norvale::ButtonPicture currentPictureKind() const;
    QImage currentPicture() const;

    // The repetition timer runs exactly while AutoRepeat is on and the button is held with the
    // pointer over it; each tick reports a click as the release would.
    bool repeatTimerActive() const { return repeatTimer_.isActive(); }
    void repeatTick();

signals:
    void clicked(); // only while buttonEnabled()
    void mouseDown();
    void mouseUp();
    void mouseEnter();
    void mouseLeave();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    static constexpr int idx(norvale::ButtonPicture p) { return static_cast<int>(p); }
    void setPicture(norvale::ButtonPicture which, const QImage& picture);
    // Takes the current picture's size and paints at once.
    void refresh();
    void pointerEntered();
    void pointerLeft();
    bool isInside(const QPoint& pos) const;
    void clickDispatch();
    void updateRepeatTimer();
    void applyRegion();
    void removeRegion();
    QImage keyedOut(const QImage& picture) const;

    bool autoRepeat_ = false;
    bool enabled_ = true;
    bool downed_ = false;
    TPaintMode paintMode_ = TPaintMode::pmNormal;
    QImage pictures_[4];
    const QList<QImage>* imageList_ = nullptr;
    bool regionApplied_ = false;
    QTimer repeatTimer_;
    bool pressed_ = false;
    bool mouseInside_ = false;
    // The last picture keyed out for pmTransparent, by the source's cache key.
    mutable qint64 keyedSourceKey_ = 0;
    mutable QImage keyedPicture_;
};
