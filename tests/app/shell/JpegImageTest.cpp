#include "app/shell/JpegImage.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QImageWriter>
#include <gtest/gtest.h>

using namespace norvale;

TEST(JpegImage, DecodesTheBuiltBackgroundAtItsSize) {
    QString error;
    const QImage img = loadJpeg(
        QString::fromStdString((norvale::test::buildDir() / "assets/background.jpg").string()),
        &error);
    ASSERT_FALSE(img.isNull()) << error.toStdString();
    EXPECT_EQ(img.size(), QSize(1024, 768));
}

TEST(JpegImage, DamagedDataGivesANullImageAndAReason) {
    QFile f(QString::fromStdString((norvale::test::buildDir() / "assets/panel.jpg").string()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray good = f.readAll();
    ASSERT_FALSE(decodeJpeg(good).isNull());

    QString error;
    EXPECT_TRUE(decodeJpeg(QByteArray(), &error).isNull());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(decodeJpeg(QByteArray("not a picture at all"), &error).isNull());
    EXPECT_FALSE(error.isEmpty());
    // Every truncation and a run of flipped bytes must fail cleanly or decode; never crash.
    for (qsizetype len :
         {qsizetype(2), qsizetype(20), qsizetype(200), good.size() / 2, good.size() - 3})
        (void)decodeJpeg(good.left(len));
    QByteArray flipped = good;
    for (int i = 100; i < flipped.size(); i += 97)
        flipped[i] = static_cast<char>(~flipped[i]);
    (void)decodeJpeg(flipped);
    EXPECT_TRUE(loadJpeg("/nonexistent/picture.jpg", &error).isNull());
}
