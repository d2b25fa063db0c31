#include "controls/RgnButton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using norvale::ButtonPicture;

namespace {

const QColor kMagenta(255, 0, 255);

QImage solid(int w, int h, QColor colour) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// A picture whose border ring is `key` and whose inside is `fill`.
QImage framed(int w, int h, QColor key, QColor fill) {
    QImage image = solid(w, h, key);
    QPainter p(&image);
    p.fillRect(1, 1, w - 2, h - 2, fill);
    return image;
}

// Drives a button with synthetic pointer events and records what it reports, in order.
class Driver {
public:
    explicit Driver(TRgnButton& button) : button_(button) {
        QObject::connect(&button, &TRgnButton::clicked, [this] { log.push_back("click"); });
        QObject::connect(&button, &TRgnButton::mouseDown, [this] { log.push_back("down"); });
        QObject::connect(&button, &TRgnButton::mouseUp, [this] { log.push_back("up"); });
        QObject::connect(&button, &TRgnButton::mouseEnter, [this] { log.push_back("enter"); });
        QObject::connect(&button, &TRgnButton::mouseLeave, [this] { log.push_back("leave"); });
    }
    void enter() {
        QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(&button_, &e);
    }
    void leave() {
        QEvent e(QEvent::Leave);
        QApplication::sendEvent(&button_, &e);
    }
    void mouse(QEvent::Type type, QPoint pos, Qt::MouseButton button = Qt::LeftButton) {
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        send(type, pos, button, held);
    }
    void send(QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(pos), QPointF(pos), button, held, Qt::NoModifier);
        QApplication::sendEvent(&button_, &e);
    }
    void press(QPoint pos = {2, 2}) { mouse(QEvent::MouseButtonPress, pos); }
    void release(QPoint pos = {2, 2}) { mouse(QEvent::MouseButtonRelease, pos); }
    // A move with the left button held (the only moves a button without tracking receives).
    void move(QPoint pos) { send(QEvent::MouseMove, pos, Qt::NoButton, Qt::LeftButton); }
    void doubleClick(QPoint pos = {2, 2}) { mouse(QEvent::MouseButtonDblClick, pos); }
    int count(const std::string& what) const {
        return static_cast<int>(std::count(log.begin(), log.end(), what));
    }

    std::vector<std::string> log;

private:
    TRgnButton& button_;
};

// Three pictures of distinct colours, as the wall's image lists hold them.
struct ThreeStates {
    QList<QImage> list = {solid(20, 10, Qt::blue), solid(20, 10, Qt::green),
                          solid(20, 10, Qt::red)};
};

TEST(RgnButton, StartsUnpressedEnabledAt15x15AndDrawsNothingWithoutPictures) {
    TRgnButton button;
    EXPECT_TRUE(button.buttonEnabled());
    EXPECT_FALSE(button.disabled());
    EXPECT_FALSE(button.downed());
    EXPECT_FALSE(button.autoRepeat());
    EXPECT_EQ(button.paintMode(), TPaintMode::pmNormal);
    EXPECT_EQ(button.size(), QSize(15, 15));
    button.setDowned(true);
    EXPECT_TRUE(button.currentPicture().isNull());
    EXPECT_EQ(button.size(), QSize(15, 15));
}

TEST(RgnButton, WithOnlyTheIdlePictureEveryStateShowsIt) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(30, 12, Qt::blue));
    EXPECT_EQ(button.size(), QSize(30, 12));
    d.enter();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    d.press();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    d.release();
    button.setDowned(true);
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
}

TEST(RgnButton, ImageListFillsPicturesAndShowsEachState) {
    ThreeStates pics;
    TRgnButton button;
    Driver d(button);
    button.setImageList(&pics.list);
    EXPECT_EQ(button.picIdle(), pics.list[0]);
    EXPECT_EQ(button.picUp(), pics.list[1]);
    EXPECT_EQ(button.picDown(), pics.list[2]);
    EXPECT_TRUE(button.picDsbld().isNull());
    EXPECT_EQ(button.size(), QSize(20, 10));

    d.enter();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Up);
    d.press();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Down);
    // What is painted is the chosen picture.
    EXPECT_EQ(button.grab().toImage().pixelColor(5, 5), QColor(Qt::red));
    d.release();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Up);
    button.setDowned(true); // held down by the program wins over hovering
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Down);
    d.leave();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Down);
    button.setDowned(false);
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    EXPECT_EQ(button.grab().toImage().pixelColor(5, 5), QColor(Qt::blue));
}

TEST(RgnButton, SameImageListAgainDoesNotReloadAndLaterChangesAreNotFollowed) {
    ThreeStates pics;
    TRgnButton button;
    button.setImageList(&pics.list);
    const QImage other = solid(8, 8, Qt::yellow);
    button.setPicIdle(other);
    button.setImageList(&pics.list);
    EXPECT_EQ(button.picIdle(), other);
    pics.list[1] = solid(8, 8, Qt::black);
    EXPECT_EQ(button.picUp().pixelColor(0, 0), QColor(Qt::green));

    QList<QImage> shortList = {solid(4, 4, Qt::cyan)};
    button.setImageList(&shortList);
    EXPECT_EQ(button.picIdle().pixelColor(0, 0), QColor(Qt::cyan));
    EXPECT_EQ(button.picUp().pixelColor(0, 0), QColor(Qt::green)); // untouched
    button.setImageList(nullptr);
    EXPECT_EQ(button.imageList(), nullptr);
    EXPECT_EQ(button.picIdle().pixelColor(0, 0), QColor(Qt::cyan));
}

TEST(RgnButton, DisabledButtonLooksNormalReportsNoClickButStillReportsMouseEvents) {
    ThreeStates pics;
    TRgnButton button;
    Driver d(button);
    button.setImageList(&pics.list);
    button.setButtonEnabled(false);
    EXPECT_TRUE(button.disabled());
    EXPECT_TRUE(button.isEnabled()); // the widget itself stays enabled
    d.enter();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    d.press();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    d.release();
    button.setDowned(true);
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    d.leave();
    EXPECT_EQ(d.log, (std::vector<std::string>{"enter", "down", "up", "leave"}));

    button.setPicDsbld(solid(20, 10, Qt::gray));
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Disabled);
    button.setButtonEnabled(true);
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Down);
}

TEST(RgnButton, ClickComesBetweenPressAndReleaseReports) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(20, 10, Qt::blue));
    d.enter();
    d.press();
    d.release();
    d.leave();
    EXPECT_EQ(d.log, (std::vector<std::string>{"enter", "down", "click", "up", "leave"}));
    EXPECT_FALSE(button.pressed());
    EXPECT_FALSE(button.mouseInside());
}

TEST(RgnButton, PressWithoutEnterEventCountsThePointerAsInside) {
    ThreeStates pics;
    TRgnButton button;
    Driver d(button);
    button.setImageList(&pics.list);
    d.press();
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Down);
    d.release();
    EXPECT_EQ(d.log, (std::vector<std::string>{"enter", "down", "click", "up"}));
}

TEST(RgnButton, OtherButtonsNeitherPressNorClick) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(20, 10, Qt::blue));
    d.mouse(QEvent::MouseButtonPress, {2, 2}, Qt::RightButton);
    d.mouse(QEvent::MouseButtonRelease, {2, 2}, Qt::RightButton);
    EXPECT_TRUE(d.log.empty());
    // A release that follows no press on this button is no click.
    d.release();
    EXPECT_EQ(d.log, (std::vector<std::string>{"up"}));
}

TEST(RgnButton, PressMoveOffAndReleaseOutsideGivesNoClick) {
    ThreeStates pics;
    TRgnButton button;
    Driver d(button);
    button.setImageList(&pics.list);
    d.enter();
    d.press();
    d.move({50, 50});
    EXPECT_FALSE(button.mouseInside());
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
    d.move({3, 3});
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Down);
    d.move({-1, 3});
    d.release({-1, 3});
    d.leave(); // held back by the pointer grab until the release: not reported twice
    EXPECT_EQ(d.log, (std::vector<std::string>{"enter", "down", "leave", "enter", "leave", "up"}));
    EXPECT_EQ(button.currentPictureKind(), ButtonPicture::Idle);
}

TEST(RgnButton, DoubleClickGivesOneClick) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(20, 10, Qt::blue));
    d.enter();
    d.press();
    d.release();
    d.doubleClick();
    EXPECT_FALSE(button.pressed());
    d.release();
    EXPECT_EQ(d.count("click"), 1);
    EXPECT_EQ(d.count("down"), 1);
    EXPECT_EQ(d.count("up"), 2);
}

TEST(RgnButton, AutoRepeatRunsOnlyWhileHeldOverTheButton) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(20, 10, Qt::blue));
    button.setAutoRepeat(true);
    EXPECT_EQ(TRgnButton::RepeatInterval, 300);
    d.enter();
    EXPECT_FALSE(button.repeatTimerActive());
    d.press();
    EXPECT_TRUE(button.repeatTimerActive());
    // Held for about a second: three ticks, then one more click on the release inside.
    button.repeatTick();
    button.repeatTick();
    button.repeatTick();
    EXPECT_EQ(d.count("click"), 3);
    d.move({40, 40});
    EXPECT_FALSE(button.repeatTimerActive());
    d.move({4, 4});
    EXPECT_TRUE(button.repeatTimerActive());
    d.release();
    EXPECT_FALSE(button.repeatTimerActive());
    EXPECT_EQ(d.count("click"), 4);

    // Switching the repetition off while held stops the timer; a disabled button repeats nothing.
    d.press();
    button.setAutoRepeat(false);
    EXPECT_FALSE(button.repeatTimerActive());
    button.setButtonEnabled(false);
    button.repeatTick();
    d.release();
    EXPECT_EQ(d.count("click"), 4);
}

TEST(RgnButton, RepeatTimerFiresFromTheEventLoop) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(20, 10, Qt::blue));
    button.setAutoRepeat(true);
    d.enter();
    d.press();
    // The tick is wired to the timer: run the loop until it reports, without asserting a duration.
    QEventLoop loop;
    QObject::connect(&button, &TRgnButton::clicked, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(d.count("click"), 1);
    d.release();
}

TEST(RgnButton, CropCutsAwayTheKeyColourOfTheIdlePicture) {
    TRgnButton button;
    button.setPicIdle(framed(10, 8, kMagenta, Qt::darkCyan));
    // Other states have other keys; the shape still follows the idle picture.
    button.setPicDown(framed(10, 8, Qt::white, Qt::black));
    button.setPaintMode(TPaintMode::pmCrop);
    EXPECT_TRUE(button.regionApplied());
    const QRegion mask = button.mask();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) {
            const bool border = x == 0 || y == 0 || x == 9 || y == 7;
            EXPECT_EQ(mask.contains(QPoint(x, y)), !border) << x << "," << y;
        }

    // Replacing the idle picture reshapes.
    QImage dotted = solid(10, 8, kMagenta);
    dotted.setPixelColor(4, 4, Qt::white);
    button.setPicIdle(dotted);
    EXPECT_EQ(button.mask(), QRegion(4, 4, 1, 1));

    // A picture of nothing but its key leaves nothing of the button.
    button.setPicIdle(solid(10, 8, kMagenta));
    EXPECT_FALSE(button.mask().isEmpty());
    EXPECT_TRUE((button.mask() & button.rect()).isEmpty());

    button.setPaintMode(TPaintMode::pmNormal);
    EXPECT_FALSE(button.regionApplied());
    EXPECT_TRUE(button.mask().isEmpty()); // the whole rectangle again
}

TEST(RgnButton, ImageListDoesNotReshapeAndPointerOutsideTheShapeIsOutside) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(framed(10, 8, kMagenta, Qt::darkCyan));
    button.setPaintMode(TPaintMode::pmCrop);
    const QRegion before = button.mask();
    QList<QImage> list = {solid(10, 8, Qt::blue)};
    button.setImageList(&list);
    EXPECT_EQ(button.mask(), before);

    d.enter();
    d.press({4, 4});
    d.move({0, 0}); // a cut-away corner
    EXPECT_FALSE(button.mouseInside());
    d.release({0, 0});
    EXPECT_EQ(d.count("click"), 0);
}

TEST(RgnButton, TransparentModeKeysEachStateOnItsOwnTopLeftPixel) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(framed(10, 8, kMagenta, Qt::darkCyan));
    button.setPicDown(framed(10, 8, Qt::white, kMagenta));
    button.setPaintMode(TPaintMode::pmTransparent);
    EXPECT_TRUE(button.mask().isEmpty()); // not shaped

    auto render = [&button] {
        QImage canvas(10, 8, QImage::Format_RGB32);
        canvas.fill(Qt::yellow);
        button.render(&canvas, QPoint(), QRegion(), QWidget::DrawChildren);
        return canvas;
    };
    QImage idle = render();
    EXPECT_EQ(idle.pixelColor(0, 0), QColor(Qt::yellow));
    EXPECT_EQ(idle.pixelColor(5, 4), QColor(Qt::darkCyan));

    button.setDowned(true);
    QImage down = render();
    EXPECT_EQ(down.pixelColor(0, 0), QColor(Qt::yellow)); // white key of the down picture
    EXPECT_EQ(down.pixelColor(5, 4), kMagenta);           // magenta is plain colour here

    button.setPaintMode(TPaintMode::pmNormal);
    EXPECT_EQ(render().pixelColor(0, 0), QColor(Qt::white));
}

TEST(RgnButton, TakesTheSizeOfEachPictureItShows) {
    TRgnButton button;
    Driver d(button);
    button.setPicIdle(solid(20, 10, Qt::blue));
    button.setPicDown(solid(24, 14, Qt::red));
    button.setDowned(true);
    EXPECT_EQ(button.size(), QSize(24, 14));
    button.setDowned(false);
    EXPECT_EQ(button.size(), QSize(20, 10));
    // A state without its own picture falls back to the normal one.
    d.enter();
    EXPECT_EQ(button.size(), QSize(20, 10));
}

// Counts paints so the test can tell a synchronous repaint from a scheduled one.
class CountingButton : public TRgnButton {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        TRgnButton::paintEvent(event);
    }
};

TEST(RgnButton, EveryStateChangePaintsAtOnce) {
    ThreeStates pics;
    CountingButton button;
    Driver d(button);
    button.setImageList(&pics.list);
    button.show();
    QApplication::processEvents();
    int before = button.paints;
    button.setDowned(true);
    EXPECT_GT(button.paints, before);
    before = button.paints;
    button.setDowned(true); // unchanged: nothing to paint
    EXPECT_EQ(button.paints, before);
    button.setButtonEnabled(false);
    EXPECT_GT(button.paints, before);
    d.leave(); // the platform may have put the pointer over the shown button already
    before = button.paints;
    d.enter();
    EXPECT_GT(button.paints, before);
    before = button.paints;
    button.setPicUp(solid(20, 10, Qt::black));
    EXPECT_GT(button.paints, before);
}

} // namespace
