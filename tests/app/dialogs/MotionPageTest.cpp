// The "Motion" page of the camera settings dialog against a fake detector: the keys its controls
// stand for, the mask painted on the picture, the changed pixels shown live, settings tried at
// once.
#include "app/dialogs/MotionPage.h"
#include "app/dialogs/FrameMotionPreview.h"
#include "app/dialogs/MotionPreview.h"
#include "app/dialogs/SettingsForm.h"
#include "app/dialogs/SpinEdit.h"
#include "capture/VideoFrame.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

#include <algorithm>

using namespace norvale;

namespace {

class FakePreview : public IMotionPreview {
public:
    bool running = true;
    std::vector<std::uint8_t> grey, changed;
    int width = 0, height = 0;
    std::vector<MotionSettings> tuned;

    bool view(std::vector<std::uint8_t>& g, std::vector<std::uint8_t>& c, int& w, int& h) override {
        if (!running)
            return false;
        g = grey;
        c = changed;
        w = width;
        h = height;
        return true;
    }
    void tune(const MotionSettings& s) override { tuned.push_back(s); }
};

void mouse(QWidget* w, QEvent::Type type, QPoint cellCentre, Qt::MouseButtons buttons) {
    // Cells of the 16 x 12 grid, by their centres in the view's own pixels.
    const QPointF pos((cellCentre.x() + 0.5) * w->width() / MotionMask::Columns,
                      (cellCentre.y() + 0.5) * w->height() / MotionMask::Rows);
    QMouseEvent e(type, pos, w->mapToGlobal(pos), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void drag(QWidget* w, QPoint from, QPoint to) {
    mouse(w, QEvent::MouseButtonPress, from, Qt::LeftButton);
    mouse(w, QEvent::MouseMove, to, Qt::LeftButton);
    mouse(w, QEvent::MouseButtonRelease, to, Qt::NoButton);
}

} // namespace

TEST(MotionPage, ControlsStandForTheirKeysBothWays) {
    MotionPage page;
    CameraSettings in = defaultCameraSettings("Cam");
    in.motionDetect = true;
    in.motionSensitivity = 73;
    in.motionMinArea = 250;
    in.recordMode = 1;
    in.preSeconds = 8;
    in.postSeconds = 45;
    in.motionSnapshot = true;
    in.motionMask = "8000" + std::string(44, '0');
    page.setValues(in);
    EXPECT_TRUE(page.chkMotionDetect()->isChecked());
    EXPECT_EQ(page.sldSensitivity()->value(), 73);
    EXPECT_EQ(page.sldMinArea()->value(), 250);
    EXPECT_EQ(page.edtSensitivity()->value(), 73);
    EXPECT_EQ(page.edtMinArea()->text(), "25.0 %");
    EXPECT_EQ(page.cbbRecordMode()->currentIndex(), 1);
    EXPECT_TRUE(page.maskView()->mask().ignored(0, 0));
    EXPECT_TRUE(page.btnMotionPreview()->isHidden()); // nothing to start

    CameraSettings out = defaultCameraSettings("Other");
    page.values(out);
    EXPECT_EQ(out.name, "Other"); // what the page does not show stays
    out.name = in.name;
    EXPECT_EQ(out, in);

    // Changed on the page: each control moves its own key.
    page.chkMotionDetect()->setChecked(false);
    page.sldSensitivity()->setValue(1);
    page.sldMinArea()->setValue(1000);
    page.cbbRecordMode()->setCurrentIndex(0);
    page.edtPreSeconds()->SetValue(0);
    page.edtPostSeconds()->SetValue(3600);
    page.chkMotionSnapshot()->setChecked(false);
    page.values(out);
    EXPECT_FALSE(out.motionDetect);
    EXPECT_EQ(out.motionSensitivity, 1);
    EXPECT_EQ(out.motionMinArea, 1000);
    EXPECT_EQ(out.recordMode, 0);
    EXPECT_EQ(out.preSeconds, 0);
    EXPECT_EQ(out.postSeconds, 3600);
    EXPECT_FALSE(out.motionSnapshot);
    EXPECT_EQ(page.edtSensitivity()->value(), 1);
    EXPECT_EQ(page.edtMinArea()->text(), "100.0 %");
    // Typed numbers move the sliders.
    page.edtSensitivity()->setValue(42);
    page.edtMinArea()->setValue(0.5);
    page.values(out);
    EXPECT_EQ(out.motionSensitivity, 42);
    EXPECT_EQ(out.motionMinArea, 5);

    // Through the dialog's own exchange.
    TSettingsForm form(nullptr, {});
    form.SetValues(in);
    EXPECT_EQ(form.Values(defaultCameraSettings("x")).motionSensitivity, 73);
    EXPECT_EQ(form.Values(defaultCameraSettings("x")).motionMask, in.motionMask);
}

TEST(MotionPage, MaskIsPaintedByDraggingAndKeptAsHex) {
    MotionPage page;
    page.resize(500, 360);
    CameraSettings s = defaultCameraSettings("Cam");
    page.setValues(s);
    QWidget* view = page.maskView();
    // A drag over three cells of row 2 ignores them; a drag from an ignored cell clears.
    drag(view, {3, 2}, {5, 2});
    page.values(s);
    EXPECT_EQ(s.motionMask, "00000000"
                            "1C00" +
                                std::string(36, '0'));
    drag(view, {4, 2}, {4, 2});
    drag(view, {15, 11}, {15, 11});
    page.values(s);
    EXPECT_EQ(s.motionMask, "00000000"
                            "1400" +
                                std::string(32, '0') + "0001");
    // Cleared: nothing ignored is the empty text.
    page.btnClearMask()->click();
    page.values(s);
    EXPECT_EQ(s.motionMask, "");
}

TEST(MotionPage, AStoredMaskThatCannotBeReadIsKeptUnlessPaintedOver) {
    MotionPage page;
    page.resize(500, 360);
    CameraSettings s = defaultCameraSettings("Cam");
    s.motionMask = "not a mask";
    page.setValues(s);
    EXPECT_TRUE(page.maskView()->mask().empty());
    page.sldSensitivity()->setValue(10); // other changes leave it
    CameraSettings out = s;
    out.motionMask.clear();
    page.values(out);
    EXPECT_EQ(out.motionMask, "not a mask");
    drag(page.maskView(), {0, 0}, {0, 0});
    page.values(out);
    EXPECT_EQ(out.motionMask, "8000" + std::string(44, '0'));
}

TEST(MotionPage, ShowsTheChangedPixelsLiveAndTriesTheSettingsAtOnce) {
    FakePreview preview;
    preview.width = 4;
    preview.height = 3;
    preview.grey = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    preview.changed = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    MotionPage page;
    page.setPreview(&preview);
    page.resize(500, 360);
    page.refreshPicture();
    const QImage picture = page.maskView()->picture();
    ASSERT_EQ(picture.size(), QSize(4, 3));
    EXPECT_EQ(picture.pixel(0, 0), qRgb(10, 10, 10));
    EXPECT_EQ(picture.pixel(3, 2), qRgb(120, 120, 120));
    const QColor changed = picture.pixelColor(1, 1);
    EXPECT_GT(changed.red(), 200);
    EXPECT_LT(changed.green(), 100);

    page.sldSensitivity()->setValue(90);
    drag(page.maskView(), {1, 1}, {1, 1});
    ASSERT_FALSE(preview.tuned.empty());
    EXPECT_EQ(preview.tuned.back().sensitivity, 90);
    EXPECT_TRUE(preview.tuned.back().mask.ignored(1, 1));

    // A picture of a wrong size or none at all shows black, never past its end.
    preview.grey.resize(5);
    page.refreshPicture();
    EXPECT_TRUE(page.maskView()->picture().isNull());
    preview.running = false;
    page.refreshPicture();
    EXPECT_TRUE(page.maskView()->picture().isNull());

    // While the page shows it fetches on its own; hidden, it stops.
    page.show();
    EXPECT_TRUE(page.refreshTimer().isActive());
    page.hide();
    EXPECT_FALSE(page.refreshTimer().isActive());
}

namespace {
// Frames made by the test: one colour, with a bright square where it is told.
class FakeFrames : public IFrameSource {
public:
    std::shared_ptr<const TVideoFrame> frame;
    bool wanted = false;
    void show(int width, int height, TVideoFrame::PixelFormat format, QRect square) {
        const int bytes = format == TVideoFrame::PixelFormat::Bgrx32 ? 4 : 3;
        const int stride = width * bytes + 8; // rows with a gap after them
        auto pixels = std::make_shared<std::vector<std::uint8_t>>(
            static_cast<std::size_t>(stride) * height, 0);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = pixels->data() + y * stride + x * bytes;
                const bool in = square.contains(x, y);
                p[0] = in ? 250 : 40;  // blue
                p[1] = in ? 250 : 100; // green
                p[2] = in ? 250 : 160; // red
            }
        frame =
            std::make_shared<TVideoFrame>(width, height, stride, pixels->data(), pixels, format);
    }
    std::shared_ptr<const TVideoFrame> LatestFrame() const override { return frame; }
    void SetFrameListener(std::function<void()>) override {}
    void SetFramesWanted(bool on) override { wanted = on; }
    bool Connected() const override { return frame != nullptr; }
};
} // namespace

TEST(FrameMotionPreview, TheDialogsOwnPictureIsMadeGreyAndRunThroughADetector) {
    for (const auto format : {TVideoFrame::PixelFormat::Bgrx32, TVideoFrame::PixelFormat::Bgr24}) {
        SCOPED_TRACE(static_cast<int>(format));
        FakeFrames frames;
        FrameMotionPreview preview(frames);
        std::vector<std::uint8_t> grey, changed;
        int w = 0, h = 0;
        EXPECT_FALSE(preview.view(grey, changed, w, h)); // no picture yet
        EXPECT_TRUE(frames.wanted); // asked for, though the dialog's window may be hidden

        frames.show(320, 240, format, {});
        ASSERT_TRUE(preview.view(grey, changed, w, h));
        ASSERT_EQ(w, 160);
        ASSERT_EQ(h, 120);
        ASSERT_EQ(grey.size(), 160u * 120u);
        ASSERT_EQ(changed.size(), grey.size());
        EXPECT_NEAR(grey[0], (29 * 40 + 150 * 100 + 77 * 160) >> 8, 1);

        // Something bright in the left half: changed there, nowhere else.
        frames.show(320, 240, format, QRect(40, 40, 80, 80));
        ASSERT_TRUE(preview.view(grey, changed, w, h));
        EXPECT_NE(changed[40 * 160 + 40], 0);
        EXPECT_EQ(changed[40 * 160 + 120], 0);
        EXPECT_GT(grey[40 * 160 + 40], 240);

        // A mask over that part, tried at once: nothing changed that counts.
        MotionSettings masked;
        for (int c = 0; c < 8; ++c)
            for (int r = 0; r < 12; ++r)
                masked.mask.setIgnored(c, r, true);
        preview.tune(masked);
        frames.show(320, 240, format, QRect(48, 48, 80, 80));
        ASSERT_TRUE(preview.view(grey, changed, w, h));
        EXPECT_EQ(std::count_if(changed.begin(), changed.end(), [](auto c) { return c != 0; }), 0);

        // A small frame keeps its size; the preview stopped shows nothing.
        frames.show(90, 60, format, {});
        ASSERT_TRUE(preview.view(grey, changed, w, h));
        EXPECT_EQ(w, 90);
        EXPECT_EQ(h, 60);
        frames.frame.reset();
        EXPECT_FALSE(preview.view(grey, changed, w, h));
    }
}
