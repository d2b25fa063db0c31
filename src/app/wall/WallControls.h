#pragma once
// The wall's fixed controls as designed: the background picture, the selection frame, the
// clock, the side buttons with their labels, the number, layout and command buttons. It builds
// and places them on the main window; the window gives them their meaning.
#include <QList>
#include <QString>
#include <array>
#include <functional>

class QLabel;
class QWidget;
class TAnalogClock;
class TRgnButton;

namespace norvale {

class Artwork;

class WallControls {
public:
    // onBackgroundPress: a left press on the background picture (and only there).
    WallControls(QWidget* wall, const Artwork* artwork, std::function<void()> onBackgroundPress);

    // Labels size themselves to their text once it is translated.
    void fitLabels();

    QWidget* image1 = nullptr;
    QWidget* shape1 = nullptr;
    TAnalogClock* clock1 = nullptr;
    std::array<TRgnButton*, 9> numButtons{};
    TRgnButton* btn1 = nullptr;
    TRgnButton* btn4 = nullptr;
    TRgnButton* btn6 = nullptr;
    TRgnButton* btn9 = nullptr;
    TRgnButton* rgnBtn1 = nullptr; // Options
    TRgnButton* rgnBtn4 = nullptr; // Help
    TRgnButton* btnHelp = nullptr; // About
    TRgnButton* previewBtn = nullptr;
    TRgnButton* camSettingsBtn = nullptr;
    TRgnButton* fullScrBtn = nullptr;
    TRgnButton* snapshotBtn = nullptr;
    TRgnButton* minBtn = nullptr;
    TRgnButton* exitBtn = nullptr;
    TRgnButton* showPanelBtn = nullptr;
    QList<QLabel*> labels;

private:
    TRgnButton* makeButton(const QString& name, const QString& artworkId, int x, int y, int w,
                           int h, const QString& hint = {});
    QLabel* makeLabel(const char* text, int x, int y, int w, int h);

    QWidget* wall_;
    const Artwork* artwork_;
};

} // namespace norvale
