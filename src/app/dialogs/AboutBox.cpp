#include "app/dialogs/AboutBox.h"

#include "app/shell/Translator.h"
#include "platform/PageOpener.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

#include <algorithm>

namespace norvale {

TAboutBox::TAboutBox(AboutBoxTexts texts, IPageOpener* pages, const QImage& logo, QWidget* parent)
    : QDialog(parent), texts_(std::move(texts)), pages_(pages) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    setFixedSize(350, 224);

    auto* panel1 = new QWidget(this);
    panel1->setObjectName(QStringLiteral("Panel1"));
    panel1->setGeometry(0, 0, 350, 81);
    panel1->setAttribute(Qt::WA_StyledBackground);
    panel1->setStyleSheet(QLatin1String("#Panel1 { background: #808080; }"));
    programIcon_ = new QLabel(panel1);
    programIcon_->setObjectName(QStringLiteral("ProgramIcon"));
    programIcon_->setGeometry((350 - 256) / 2, (81 - 64) / 2, 256, 64);
    programIcon_->setAlignment(Qt::AlignCenter);
    if (!logo.isNull())
        programIcon_->setPixmap(QPixmap::fromImage(
            logo.scaled(256, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation)));

    auto* panel2 = new QWidget(this);
    panel2->setObjectName(QStringLiteral("Panel2"));
    panel2->setGeometry(0, 81, 350, 96);
    panel2->setAttribute(Qt::WA_StyledBackground);
    panel2->setStyleSheet(QLatin1String("#Panel2 { background: #ffffe1; }"));
    softName_ = new QLabel(panel2);
    softName_->setObjectName(QStringLiteral("SoftName"));
    softName_->setGeometry(12, 8, 326, 18);
    softName_->setTextFormat(Qt::PlainText);
    softName_->setWordWrap(true);
    softName_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont bold = softName_->font();
    bold.setBold(true);
    softName_->setFont(bold);
    copyright_ = new QLabel(panel2);
    copyright_->setObjectName(QStringLiteral("Copyright"));
    copyright_->setGeometry(12, 28, 326, 18);
    copyright_->setTextFormat(Qt::PlainText);
    copyright_->setWordWrap(true);
    copyright_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    url_ = new QLabel(panel2);
    url_->setObjectName(QStringLiteral("URL"));
    url_->setGeometry(12, 48, 326, 44);
    url_->setTextFormat(Qt::PlainText);
    url_->setWordWrap(true);
    url_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    url_->setFont(bold);
    url_->setStyleSheet(QLatin1String("color: blue;"));
    url_->setCursor(Qt::PointingHandCursor);
    url_->setToolTip(QStringLiteral("Visit our website."));
    url_->installEventFilter(this);

    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    okButton_->setObjectName(QStringLiteral("OKButton"));
    okButton_->setGeometry((350 - 75) / 2, 188, 75, 26);
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
    Translator::translateComponent(this);
}

void TAboutBox::showEvent(QShowEvent* event) {
    softName_->setText(texts_.applicationName);
    copyright_->setText(texts_.copyright);
    // A long address without blanks still wraps: a zero-width space after each separator.
    QString shown = texts_.productUrl;
    for (const QChar c : {QChar('/'), QChar('.'), QChar('?'), QChar('&'), QChar('=')})
        shown.replace(c, QString(c) + QChar(0x200B));
    url_->setText(shown);
    layOutTexts();
    if (!event->spontaneous())
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

void TAboutBox::layOutTexts() {
    // Each text takes the lines it wraps to, one under the other. Branding texts that fit keep
    // the designed places; longer ones make the middle band and the box taller rather than be
    // cut.
    constexpr int kTextWidth = 326;
    const int designed[3] = {18, 18, 44};
    QLabel* labels[3] = {softName_, copyright_, url_};
    int y = 8;
    for (int i = 0; i < 3; ++i) {
        const int h = std::max(designed[i], labels[i]->heightForWidth(kTextWidth));
        labels[i]->setGeometry(12, y, kTextWidth, h);
        y += h + 2;
    }
    const int band = std::max(96, y + 2);
    QWidget* panel2 = softName_->parentWidget();
    panel2->setFixedSize(350, band);
    okButton_->move(okButton_->x(), 81 + band + 11);
    setFixedSize(350, 224 + band - 96);
}

void TAboutBox::URLClick() {
    if (pages_)
        pages_->open(texts_.productUrl);
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    if (watched == url_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        URLClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace norvale
