// The video window tells its frame source the area it paints into, so frames can arrive fitted
// to it, and paints such frames 1:1.
#include "app/camera/VideoWindow.h"

#include <QApplication>
#include <QImage>
#include <QScreen>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

using namespace norvale;

namespace {

class AreaSource : public IFrameSource {
public:
    std::shared_ptr<const TVideoFrame> LatestFrame() const override {
        std::lock_guard lock(mutex);
        return frame;
    }
    void SetFrameListener(std::function<void()>) override {}
    void SetFramesWanted(bool) override {}
    bool Connected() const override { return connected; }
    void SetPictureArea(int width, int height, bool keepAspect) override {
        area = QSize(width, height);
        keep = keepAspect;
    }

    // A 32-bit frame of alternating black and white columns (sharp edges show any scaling).
    void pushStripes(int w, int h) {
        const int stride = w * 4;
        auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(stride * h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t v = x % 2 ? 255 : 0;
                uint8_t* p = pixels->data() + y * stride + x * 4;
                p[0] = p[1] = p[2] = v;
                p[3] = 0;
            }
        std::lock_guard lock(mutex);
        frame = std::make_shared<TVideoFrame>(w, h, stride, pixels->data(), pixels,
                                              TVideoFrame::PixelFormat::Bgrx32);
    }

    mutable std::mutex mutex;
    std::shared_ptr<const TVideoFrame> frame;
    QSize area;
    bool keep = true;
    bool connected = false;
};

} // namespace

TEST(VideoWindowArea, SourceLearnsTheAreaOfTheWindowOrOfTheFullScreenSurface) {
    AreaSource source;
    TVideoWindow window;
    window.resize(320, 200);
    window.SetFrameSource(&source);
    EXPECT_EQ(source.area, QSize(320, 200));
    window.show();
    window.resize(300, 150);
    EXPECT_EQ(source.area, QSize(300, 150));
    window.SetKeepAspectRatio(false);
    EXPECT_FALSE(source.keep);
    window.SetKeepAspectRatio(true);
    EXPECT_TRUE(source.keep);

    source.connected = true;
    window.SetFullScreen(true);
    ASSERT_TRUE(window.FullScreenSurface()->isVisible());
    EXPECT_EQ(source.area, QGuiApplication::primaryScreen()->geometry().size());
    window.SetFullScreen(false);
    EXPECT_EQ(source.area, QSize(300, 150));
}

TEST(VideoWindowArea, AFrameFittedToTheAreaIsPaintedUnscaledEvenWhenAPixelShort) {
    AreaSource source;
    TVideoWindow window;
    window.SetFrameSource(&source);
    struct Case {
        QSize window;
        QSize frame;
    };
    // Exact fit, and fits a pixel short of the window's own letter-box rectangle.
    const Case cases[] = {{{400, 300}, {400, 300}},
                          {{401, 301}, {400, 300}},
                          {{200, 150}, {200, 150}},
                          {{641, 481}, {640, 480}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.window.width() << "x" << c.window.height());
        window.resize(c.window);
        source.pushStripes(c.frame.width(), c.frame.height());
        const QImage shot = window.grab().toImage();
        const int y = c.window.height() / 2;
        int grey = 0, white = 0;
        for (int x = 0; x < c.window.width(); ++x) {
            const int v = qGray(shot.pixel(x, y));
            grey += v != 0 && v != 255;
            white += v == 255;
        }
        EXPECT_EQ(grey, 0);                    // no column blended with its neighbour
        EXPECT_EQ(white, c.frame.width() / 2); // every white column once
    }
}
