#pragma once
// The control panel of the full-screen view (ControlPanel): a 538 x 20 strip centred at the top
// of the screen, shaped to its picture. It slides away when the pointer leaves it unless pinned,
// and comes back when the pointer touches the top edge; Timer2 checks every 400 ms.
//
// The full-screen picture is a top-level window of its own. A window manager keeps the focused
// full-screen window above every other top-level window, so while the picture shows the panel
// lives inside that window, as its child; otherwise it is a tool window above the wall that never
// takes the focus. Its position is in screen coordinates either way.
#include <QObject>
#include <QPoint>
#include <functional>

class QLabel;
class QTimer;
class QToolButton;
class QWidget;

namespace norvale {

class Artwork;
class DesktopServices;

class FullScreenPanel : public QObject {
    Q_OBJECT
public:
    static constexpr int kWidth = 538;
    static constexpr int kHeight = 20;

    struct Hooks {
        std::function<bool()> fullScreenMode;
        // The full-screen picture's window, or none; empty: none.
        std::function<QWidget*()> fullScreenWindow;
    };

    // The screen's width and the pointer come from the desktop, which outlives the panel.
    FullScreenPanel(QWidget* owner, const Artwork* artwork, DesktopServices& desktop, Hooks hooks);

    QWidget* ControlPanel() const { return controlPanel_; }
    QToolButton* PinButton() const { return pinButton_; }
    QToolButton* CloseBtn() const { return closeBtn_; }
    QToolButton* ZoomInBtn() const { return zoomInBtn_; }
    QToolButton* ZoomOutBtn() const { return zoomOutBtn_; }
    QToolButton* btnActualSize() const { return btnActualSize_; }
    QToolButton* btnCapture() const { return btnCapture_; }
    QTimer* Timer2() const { return timer2_; }

    // One tick: show, hide or slide the panel.
    void Timer2Timer();
    // Shutdown: the panel timer stops before the cameras do, and the panel leaves the
    // full-screen window, which goes with its camera.
    void stop();
    // Hides the panel and takes it out of the full-screen window.
    void hidePanel();

signals:
    // CloseBtn while full screen: the panel is hidden already; leave the full-screen view.
    void exitFullScreen();

private:
    QToolButton* makeButton(const char* name, const char* picture, int x, int y, int w, int h,
                            const char* hint);
    void cutToPicture();
    // Puts the panel into `host` (a full-screen window) or, for none, back to a top-level tool
    // window; keeps its screen position and its visibility.
    void placeIn(QWidget* host);

    const Artwork* artwork_;
    DesktopServices& desktop_;
    Hooks hooks_;
    QWidget* owner_ = nullptr;
    QWidget* controlPanel_ = nullptr;
    QLabel* caption_ = nullptr;
    QToolButton* pinButton_ = nullptr;
    QToolButton* zoomInBtn_ = nullptr;
    QToolButton* zoomOutBtn_ = nullptr;
    QToolButton* btnActualSize_ = nullptr;
    QToolButton* btnCapture_ = nullptr;
    QToolButton* closeBtn_ = nullptr;
    QTimer* timer2_ = nullptr;
};

} // namespace norvale
