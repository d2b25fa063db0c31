// The program loads its pictures by name and places them at fixed sizes; this checks that the
// drawn artwork keeps that contract.
#include "support/TestSupport.h"

#include <QImage>
#include <QString>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Picture {
    std::string name;
    int width;
    int height;
};

std::vector<Picture> expectedPictures() {
    std::vector<Picture> list = {
        {"background.jpg", 1024, 768},
        {"panel.jpg", 199, 239},
        {"fspanel.png", 538, 20},
        {"fs_pin_0.png", 22, 18},
        {"fs_pin_2.png", 22, 18},
        {"fs_zoomin.png", 22, 19},
        {"fs_zoomout.png", 22, 19},
        {"fs_actualsize.png", 22, 19},
        {"fs_capture.png", 22, 19},
        {"fs_close.png", 18, 18},
        {"icon.png", 64, 64},
        {"icon16.png", 16, 16},
        {"status0.png", 16, 16},
        {"status1.png", 16, 16},
        {"snapshot_placeholder.png", 160, 120},
    };
    const Picture buttons[] = {
        {"exit", 45, 45},     {"min", 28, 28},        {"layout1", 33, 33},
        {"layout4", 33, 33},  {"layout6", 33, 33},    {"layout9", 33, 33},
        {"preview", 33, 33},  {"settings", 33, 33},   {"fullscreen", 33, 33},
        {"snapshot", 33, 33}, {"options", 37, 37},    {"help", 37, 37},
        {"about", 37, 37},    {"showpanel", 199, 15}, {"hidepanel", 199, 15},
        {"num1", 26, 17},     {"num2", 25, 17},       {"num3", 27, 17},
        {"num4", 26, 17},     {"num5", 25, 17},       {"num6", 27, 17},
        {"num7", 26, 17},     {"num8", 25, 17},       {"num9", 27, 17},
    };
    for (const Picture& b : buttons)
        for (int state = 0; state < 3; ++state)
            list.push_back(
                {"btn_" + b.name + "_" + std::to_string(state) + ".png", b.width, b.height});
    return list;
}

std::filesystem::path assets() {
    return norvale::test::buildDir() / "assets";
}

TEST(ArtworkFiles, EveryPictureExistsWithItsSize) {
    if (!std::filesystem::exists(assets()))
        GTEST_SKIP() << "the artwork has not been drawn in this build";
    for (const Picture& p : expectedPictures()) {
        const QImage image(QString::fromStdString((assets() / p.name).string()));
        ASSERT_FALSE(image.isNull()) << p.name << " is missing or unreadable";
        EXPECT_EQ(image.width(), p.width) << p.name;
        EXPECT_EQ(image.height(), p.height) << p.name;
    }
}

TEST(ArtworkFiles, PressedButtonsLookDifferentFromTheirNormalState) {
    if (!std::filesystem::exists(assets()))
        GTEST_SKIP() << "the artwork has not been drawn in this build";
    for (const char* id : {"layout1", "num5", "preview", "snapshot", "exit", "showpanel"}) {
        const auto path = [&](int state) {
            return QString::fromStdString(
                (assets() / ("btn_" + std::string(id) + "_" + std::to_string(state) + ".png"))
                    .string());
        };
        EXPECT_NE(QImage(path(0)), QImage(path(2))) << id;
        EXPECT_NE(QImage(path(0)), QImage(path(1))) << id;
    }
}

TEST(ArtworkFiles, FullScreenPanelIsCutAwayWithPureMagentaAtItsEnds) {
    const QImage panel(QString::fromStdString((assets() / "fspanel.png").string()));
    if (panel.isNull())
        GTEST_SKIP() << "the artwork has not been drawn in this build";
    const QRgb magenta = qRgb(255, 0, 255);
    for (QPoint corner : {QPoint(0, 0), QPoint(537, 0), QPoint(0, 19), QPoint(537, 19)})
        EXPECT_EQ(panel.pixel(corner) & 0xffffff, magenta & 0xffffff) << corner.x() << corner.y();
    EXPECT_NE(panel.pixel(269, 10) & 0xffffff, magenta & 0xffffff);
    // No blended fringe: every pixel is either the key or clearly not pink.
    for (int y = 0; y < panel.height(); ++y)
        for (int x = 0; x < panel.width(); ++x) {
            const QRgb c = panel.pixel(x, y);
            if ((c & 0xffffff) == (magenta & 0xffffff))
                continue;
            const bool pinkish = qRed(c) > 200 && qBlue(c) > 200 && qGreen(c) < 120;
            EXPECT_FALSE(pinkish) << x << "," << y;
        }
}

} // namespace
