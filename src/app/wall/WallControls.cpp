#include "app/wall/WallControls.h"

#include "app/shell/Artwork.h"
#include "app/shell/Translator.h"
#include "app/wall/WallWidgets.h"
#include "controls/AnalogClock.h"
#include "controls/RgnButton.h"

#include <QLabel>

namespace norvale {

namespace {
constexpr int kWallWidth = 1024;
constexpr int kWallHeight = 768;
} // namespace

TRgnButton* WallControls::makeButton(const QString& name, const QString& artworkId, int x, int y,
                                     int w, int h, const QString& hint) {
    auto* b = new TRgnButton(wall_);
    b->setObjectName(name);
    b->setGeometry(x, y, w, h);
    if (artwork_)
        b->setImageList(artwork_->buttonImages(artworkId));
    if (!hint.isEmpty())
        b->setToolTip(hint);
    return b;
}

QLabel* WallControls::makeLabel(const char* text, int x, int y, int w, int h) {
    auto* l = new QLabel(QString::fromUtf8(text), wall_);
    l->setGeometry(x, y, w, h);
    // Not transparent for the mouse: a press on a label must not reach the background picture
    // beneath it, which would start a window drag.
    l->setAutoFillBackground(false);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, QColor(0xd8, 0xde, 0xe6));
    l->setPalette(pal);
    labels.append(l);
    return l;
}

void WallControls::fitLabels() {
    // Labels size themselves to their (translated) text, never below the designed size; the
    // metric-compatible Tahoma of this platform also runs a few pixels wider than the layout.
    for (QLabel* l : labels) {
        const QSize hint = l->sizeHint();
        l->resize(std::max(l->width(), hint.width()), std::max(l->height(), hint.height()));
    }
}

WallControls::WallControls(QWidget* wall, const Artwork* artwork,
                           std::function<void()> onBackgroundPress)
    : wall_(wall), artwork_(artwork) {
    const QImage background =
        artwork_ ? artwork_->image(QStringLiteral("background.jpg")) : QImage();
    image1 = new BackgroundImage(wall_, background, std::move(onBackgroundPress));
    image1->setObjectName(QStringLiteral("Image1"));
    image1->setGeometry(0, 0, kWallWidth, kWallHeight);

    shape1 = new SelectionShape(wall_);
    shape1->setObjectName(QStringLiteral("Shape1"));
    shape1->hide();

    clock1 = new TAnalogClock(wall_);
    clock1->setObjectName(QStringLiteral("Clock1"));
    clock1->setGeometry(861, 26, 109, 80);
    // Lime hands and marks with green outlines on black.
    clock1->setHandsColor(QColor(0, 255, 0));
    clock1->setSecHandColor(QColor(0, 255, 0));
    clock1->setTickColor(QColor(0, 255, 0));
    clock1->setTickOutline(QColor(0, 128, 0));
    clock1->setColor(QColor(0, 0, 0));

    // The labels beside the side buttons only name them; "&" marks their mnemonic letter.
    const struct {
        const char* name;
        const char* art;
        QRect button;
        const char* caption;
        QRect label;
        TRgnButton** button_;
    } sideButtons[] = {
        {"RgnBtn1", "options", {872, 168, 37, 37}, N_("&Options"), {918, 179, 60, 13}, &rgnBtn1},
        {"RgnBtn4", "help", {872, 251, 37, 37}, N_("&Help"), {921, 262, 60, 13}, &rgnBtn4},
        {"BtnHelp", "about", {916, 291, 37, 37}, N_("&About"), {868, 303, 46, 13}, &btnHelp},
    };
    for (const auto& sb : sideButtons) {
        TRgnButton* b =
            makeButton(QString::fromLatin1(sb.name), QString::fromLatin1(sb.art), sb.button.x(),
                       sb.button.y(), sb.button.width(), sb.button.height());
        QLabel* l =
            makeLabel(sb.caption, sb.label.x(), sb.label.y(), sb.label.width(), sb.label.height());
        l->setBuddy(b);
        *sb.button_ = b;
    }
    const int rows[3] = {369, 413, 458};
    const char* captions[3] = {N_("1     2     3"), N_("4     5     6"), N_("7     8     9")};
    for (int r = 0; r < 3; ++r) {
        QLabel* l = makeLabel(captions[r], 888, rows[r], 48, 13);
        l->setTextFormat(Qt::PlainText);
    }
    const int numX[3] = {876, 902, 927};
    const int numW[3] = {26, 25, 27};
    const int numY[3] = {385, 430, 475};
    const char* numNames[9] = {"NumBtn1", "NumBtn2", "NumBtn3", "Numbtn4", "Numbtn5",
                               "Numbtn6", "Numbtn7", "Numbtn8", "Numbtn9"};
    for (int i = 0; i < 9; ++i) {
        TRgnButton* b =
            makeButton(QString::fromLatin1(numNames[i]), QStringLiteral("num%1").arg(i + 1),
                       numX[i % 3], numY[i / 3], numW[i % 3], 17);
        numButtons[static_cast<std::size_t>(i)] = b;
    }

    btn1 = makeButton(QStringLiteral("Btn_1"), QStringLiteral("layout1"), 17, 700, 33, 33,
                      QStringLiteral("One Window"));
    btn4 = makeButton(QStringLiteral("Btn_4"), QStringLiteral("layout4"), 93, 700, 33, 33,
                      QStringLiteral("Four Windows"));
    btn6 = makeButton(QStringLiteral("Btn_6"), QStringLiteral("layout6"), 169, 700, 33, 33,
                      QStringLiteral("Six Windows"));
    btn9 = makeButton(QStringLiteral("Btn_9"), QStringLiteral("layout9"), 246, 700, 33, 33,
                      QStringLiteral("Nine Windows"));

    showPanelBtn = makeButton(QStringLiteral("ShowPanelBtn"), QStringLiteral("showpanel"), 317, 671,
                              199, 15, QStringLiteral("Show Desktop List"));
    previewBtn = makeButton(QStringLiteral("PreviewBtn"), QStringLiteral("preview"), 556, 700, 33,
                            33, QStringLiteral("Preview/Stop preview"));
    camSettingsBtn = makeButton(QStringLiteral("CamSettingsBtn"), QStringLiteral("settings"), 632,
                                700, 33, 33, QStringLiteral("Camera Settings"));
    fullScrBtn = makeButton(QStringLiteral("FullScrBtn"), QStringLiteral("fullscreen"), 708, 700,
                            33, 33, QStringLiteral("Full Screen"));
    snapshotBtn = makeButton(QStringLiteral("SnapshotBtn"), QStringLiteral("snapshot"), 785, 700,
                             33, 33, QStringLiteral("Activate Snapshot Timer"));
    minBtn = makeButton(QStringLiteral("MinBtn"), QStringLiteral("min"), 865, 692, 28, 28,
                        QStringLiteral("Minimize"));
    exitBtn = makeButton(QStringLiteral("ExitBtn"), QStringLiteral("exit"), 921, 680, 45, 45,
                         QStringLiteral("EXIT"));
    for (TRgnButton* b : {previewBtn, camSettingsBtn, fullScrBtn, snapshotBtn})
        b->setButtonEnabled(false);
}

} // namespace norvale
