#pragma once
// The video window of a camera: paints the latest frame of its frame source (the camera's
// renderer, TVideoRenderer) letter-boxed on black, and shows it full screen on demand.
//
// The camera wires it up: VideoWindow->SetFrameSource(&renderer) and
// renderer.SetOnAboutToRun([w] { w->GraphAboutToRun(); }), so a FullScreen set while nothing is
// rendered takes effect when the graph next runs.
//
// Frames arrive on the streaming thread; the window only schedules a repaint from there
// (queued to the GUI thread) and converts nothing. It tells the source the area it paints into
// (the full-screen surface's while that shows), so frames can arrive already fitted to it and
// painting is a copy. While neither the window nor its full-screen surface is visible it tells
// the source it wants no frames, so hidden cameras cost no painting.
#include "capture/VideoFrame.h"

#include <QPointer>
#include <QRect>
#include <QWidget>

namespace norvale {

class TVideoWindow : public QWidget {
    Q_OBJECT
public:
    explicit TVideoWindow(QWidget* parent = nullptr);
    ~TVideoWindow() override;

    // The source to paint (none: black). The window does not own it; the source must outlive
    // the window or be replaced (e.g. by none) first.
    void SetFrameSource(IFrameSource* source);
    IFrameSource* FrameSource() const { return source_; }

    bool KeepAspectRatio() const { return keepAspectRatio_; }
    void SetKeepAspectRatio(bool keep);

    // FullScreen: the picture on a frameless window over the whole screen (top-most when
    // FullScreenTopMost). Applied at once while a stream is connected, else when the graph runs.
    bool FullScreen() const { return fullScreen_; }
    void SetFullScreen(bool on);
    bool FullScreenTopMost() const { return fullScreenTopMost_; }
    void SetFullScreenTopMost(bool on) { fullScreenTopMost_ = on; }

    // Called right before the graph runs.
    void GraphAboutToRun();
    // Called once the graph no longer runs: the window and its full-screen surface turn black
    // at once (a frozen last picture would read as live).
    void GraphStopped();

    // What the window is waiting for, shown centred in its text colour while no stream is
    // connected (e.g. "Stopped: press Preview"); a running picture covers it. Empty: black.
    const QString& WaitingText() const { return waitingText_; }
    void SetWaitingText(const QString& text);
    // A line about what happened to the camera: centred over black while no frame is painted (a
    // camera that waits for its device), in a band along the foot of a running picture (a
    // recording that stopped while the live video goes on); empty: none.
    void SetStatusText(const QString& text);
    const QString& StatusText() const { return statusText_; }

    // The frameless full-screen window (hidden unless full screen is shown).
    QWidget* FullScreenSurface() const { return surface_; }

    // Where a frame of the given size is painted inside `area` (letter-boxed when keeping the
    // aspect ratio).
    static QRect PictureRect(const QRect& area, int frameWidth, int frameHeight, bool keepAspect);

signals:
    // Double click on the picture, in the window or full screen.
    void DoubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    friend class TVideoSurface;
    void paintFrame(QWidget* target);
    void applyFullScreen();
    void updateWanted();
    void updatePictureArea();
    void frameArrived();

    IFrameSource* source_ = nullptr;
    QString statusText_;
    QWidget* surface_ = nullptr; // child top-level window, owned by this widget
    bool keepAspectRatio_ = true;
    bool fullScreen_ = false;
    bool fullScreenTopMost_ = true;
    QString waitingText_;
};

} // namespace norvale
