#pragma once
// The about box: the application's name, its rights notice and the product page, which opens in
// the user's browser when clicked. Created once and shown again for every use; the texts are set
// from the branding values on every showing.
#include <QDialog>
#include <QImage>

class QLabel;
class QPushButton;

namespace norvale {

class IPageOpener;

struct AboutBoxTexts {
    QString applicationName; // APPLICATION_NAME
    QString copyright;       // COPYRIGHT_STRING
    QString productUrl;      // PRODUCT_URL
};

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    TAboutBox(AboutBoxTexts texts, IPageOpener* pages, const QImage& logo = {},
              QWidget* parent = nullptr);

    QLabel* SoftName() const { return softName_; }
    QLabel* Copyright() const { return copyright_; }
    QLabel* URL() const { return url_; }
    QLabel* ProgramIcon() const { return programIcon_; }
    QPushButton* OKButton() const { return okButton_; }

    // Clicking the address: asks the browser to open it; the box stays open.
    void URLClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void layOutTexts();

    AboutBoxTexts texts_;
    IPageOpener* pages_;
    QLabel* programIcon_ = nullptr;
    QLabel* softName_ = nullptr;
    QLabel* copyright_ = nullptr;
    QLabel* url_ = nullptr;
    QPushButton* okButton_ = nullptr;
};

} // namespace norvale
