// The video window: letter-boxed painting of the latest frame, frames only while visible,
// repaints scheduled from another thread, and full screen applied when a stream is connected.
#include "app/camera/VideoWindow.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace norvale;

namespace {

// A frame source fed by the test instead of a pipeline.
class FakeSource : public IFrameSource {
public:
    std::shared_ptr<const TVideoFrame> LatestFrame() const override {
        std::lock_guard lock(mutex);
        ++taken;
        return frame;
    }
    void SetFrameListener(std::function<void()> l) override {
        std::lock_guard lock(mutex);
        listener = std::move(l);
    }
    void SetFramesWanted(bool w) override { wanted = w; }
    bool Connected() const override { return connected; }

    // A solid frame of one colour (blue, green, red bytes).
    void push(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
        auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(w * h * 3));
        for (size_t i = 0; i < pixels->size(); i += 3) {
            (*pixels)[i] = b;
            (*pixels)[i + 1] = g;
            (*pixels)[i + 2] = r;
        }
        std::lock_guard lock(mutex);
        frame = std::make_shared<TVideoFrame>(w, h, w * 3, pixels->data(), pixels);
        if (listener)
            listener();
    }

    mutable std::mutex mutex;
    std::shared_ptr<const TVideoFrame> frame;
    std::function<void()> listener;
    mutable int taken = 0;
    std::atomic<bool> wanted{false};
    bool connected = false;
};

} // namespace

TEST(VideoWindow, PaintsTheFrameLetterBoxedOnBlack) {
    FakeSource source;
    TVideoWindow window;
    window.resize(400, 400);
    window.SetFrameSource(&source);
    source.push(320, 240, 0, 0, 255); // red, 4:3
    QImage shot = window.grab().toImage();
    // 4:3 in a square: 400 x 300 picture, 50-pixel bars above and below.
    EXPECT_EQ(shot.pixelColor(200, 20), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(200, 380), QColor(Qt::black));
    EXPECT_EQ(shot.pixelColor(200, 200), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(5, 200), QColor(Qt::red));

    window.SetKeepAspectRatio(false);
    shot = window.grab().toImage();
    EXPECT_EQ(shot.pixelColor(200, 20), QColor(Qt::red));
}

TEST(VideoWindow, PictureRectRule) {
    EXPECT_EQ(TVideoWindow::PictureRect(QRect(0, 0, 400, 400), 320, 240, true),
              QRect(0, 50, 400, 300));
    EXPECT_EQ(TVideoWindow::PictureRect(QRect(0, 0, 400, 100), 320, 240, true),
              QRect(133, 0, 133, 100));
    EXPECT_EQ(TVideoWindow::PictureRect(QRect(0, 0, 400, 100), 320, 240, false),
              QRect(0, 0, 400, 100));
    EXPECT_EQ(TVideoWindow::PictureRect(QRect(0, 0, 400, 100), 0, 0, true), QRect(0, 0, 400, 100));
}

TEST(VideoWindow, WithoutFrameOrSourceItIsBlack) {
    FakeSource source;
    TVideoWindow window;
    window.resize(100, 100);
    EXPECT_EQ(window.grab().toImage().pixelColor(50, 50), QColor(Qt::black));
    window.SetFrameSource(&source);
    EXPECT_EQ(window.grab().toImage().pixelColor(50, 50), QColor(Qt::black));
}

TEST(VideoWindow, TheWaitingTextShowsUntilAStreamIsConnected) {
    const struct {
        const char* state;
        bool withSource, connected, frame, textShown;
    } cases[] = {
        {"no source", false, false, false, true},
        {"stopped", true, false, false, true},
        {"starting: connected, no frame yet", true, true, false, false},
        {"running", true, true, true, false},
    };
    for (const auto& c : cases) {
        FakeSource source;
        TVideoWindow window;
        window.resize(240, 180);
        QPalette pal = window.palette();
        pal.setColor(QPalette::WindowText, Qt::white);
        window.setPalette(pal);
        window.SetWaitingText("Stopped: press Preview");
        if (c.withSource)
            window.SetFrameSource(&source);
        source.connected = c.connected;
        if (c.frame)
            source.push(240, 180, 0, 0, 255);
        const QImage shot = window.grab().toImage();
        int white = 0;
        for (int x = 0; x < shot.width(); ++x)
            white += qGray(shot.pixel(x, shot.height() / 2)) > 128 &&
                     shot.pixelColor(x, shot.height() / 2) != QColor(Qt::red);
        EXPECT_EQ(white > 0, c.textShown) << c.state;
        window.SetFrameSource(nullptr);
    }
}

TEST(VideoWindow, WantsFramesOnlyWhileVisible) {
    FakeSource source;
    TVideoWindow window;
    window.SetFrameSource(&source);
    EXPECT_FALSE(source.wanted);
    window.show();
    EXPECT_TRUE(source.wanted);
    window.hide();
    EXPECT_FALSE(source.wanted);
}

TEST(VideoWindow, FramesFromAnotherThreadScheduleARepaint) {
    FakeSource source;
    TVideoWindow window;
    window.resize(64, 48);
    window.SetFrameSource(&source);
    window.show();
    QApplication::processEvents();
    int before = source.taken;
    std::thread streaming([&] { source.push(64, 48, 0, 255, 0); });
    streaming.join();
    // The repaint happens on the GUI thread and takes the frame there.
    for (int i = 0; i < 200 && source.taken == before; ++i) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(source.taken, before);
}

TEST(VideoWindow, DestroyedWindowIsNoLongerCalled) {
    FakeSource source;
    {
        TVideoWindow window;
        window.SetFrameSource(&source);
        EXPECT_TRUE(static_cast<bool>(source.listener));
    }
    EXPECT_FALSE(static_cast<bool>(source.listener));
    source.push(8, 8, 1, 2, 3); // nobody to call: no crash
    QApplication::processEvents();
}

TEST(VideoWindow, FullScreenWaitsForAConnectedStream) {
    FakeSource source;
    TVideoWindow window;
    window.SetFrameSource(&source);
    window.SetFullScreen(true);
    EXPECT_TRUE(window.FullScreen());
    EXPECT_FALSE(window.FullScreenSurface()->isVisible()); // nothing rendered: only the flag

    source.connected = true;
    window.GraphAboutToRun();
    QWidget* surface = window.FullScreenSurface();
    ASSERT_TRUE(surface->isVisible());
    EXPECT_TRUE(surface->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(surface->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(surface->geometry(), QGuiApplication::primaryScreen()->geometry());
    EXPECT_TRUE(source.wanted); // the hidden window's camera is still seen full screen

    window.SetFullScreen(false);
    EXPECT_FALSE(surface->isVisible());
    EXPECT_FALSE(source.wanted);

    window.SetFullScreenTopMost(false);
    window.SetFullScreen(true);
    EXPECT_TRUE(surface->isVisible());
    EXPECT_FALSE(surface->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST(VideoWindow, DoubleClickIsReported) {
    TVideoWindow window;
    window.resize(50, 50);
    int clicks = 0;
    QObject::connect(&window, &TVideoWindow::DoubleClicked, [&] { ++clicks; });
    QMouseEvent event(QEvent::MouseButtonDblClick, QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &event);
    EXPECT_EQ(clicks, 1);
}
