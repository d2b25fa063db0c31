#include "app/dialogs/ConfigForm.h"

#include "app/dialogs/SpinEdit.h"
#include "app/shell/Translator.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>

namespace norvale {

namespace {
QCheckBox* checkBox(QWidget* parent, const char* name, const char* caption, int x, int y, int w,
                    bool checked) {
    auto* c = new QCheckBox(QString::fromLatin1(caption), parent);
    c->setObjectName(QLatin1String(name));
    c->setGeometry(x, y, w, 20);
    c->setChecked(checked);
    return c;
}
} // namespace

TConfigForm::TConfigForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ConfigForm"));
    setWindowTitle(QStringLiteral("Options"));
    setModal(true);
    setFixedSize(377, 284);

    pageControl1_ = new QTabWidget(this);
    pageControl1_->setObjectName(QStringLiteral("PageControl1"));
    pageControl1_->setGeometry(8, 8, 361, 230);

    tabSheet2_ = new QWidget;
    tabSheet2_->setObjectName(QStringLiteral("TabSheet2"));
    chkAutoRun_ = checkBox(tabSheet2_, "chkAutoRun", N_("Autorun with Windows"), 16, 20, 320, true);
    chkStartMin_ = checkBox(tabSheet2_, "chkStartMin", N_("Start minimized"), 16, 50, 320, false);
    chkCheckForUpdates_ =
        checkBox(tabSheet2_, "chkCheckForUpdates",
                 N_("Notify me if there is a new version available"), 16, 80, 320, true);
    pageControl1_->addTab(tabSheet2_, QStringLiteral("General"));

    tsSwitchGroup_ = new QWidget;
    tsSwitchGroup_->setObjectName(QStringLiteral("tsSwitchGroup"));
    chkChangeGroup_ = checkBox(tsSwitchGroup_, "chkChangeGroup",
                               N_("Change follow groups automatically"), 16, 20, 320, false);
    auto* label2 = new QLabel(QStringLiteral(" in every"), tsSwitchGroup_);
    label2->setObjectName(QStringLiteral("Label2"));
    label2->setGeometry(32, 52, 60, 20);
    seChangeGroupSeconds_ = new TSpinEdit(tsSwitchGroup_);
    seChangeGroupSeconds_->setObjectName(QStringLiteral("seChangeGroupSeconds"));
    seChangeGroupSeconds_->setGeometry(96, 50, 70, 22);
    seChangeGroupSeconds_->SetBounds(5, 3600);
    seChangeGroupSeconds_->SetValue(30);
    auto* label3 = new QLabel(QStringLiteral("seconds."), tsSwitchGroup_);
    label3->setObjectName(QStringLiteral("Label3"));
    label3->setGeometry(172, 52, 80, 20);
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = "chkGroup" + QByteArray::number(i + 1);
        const QByteArray caption = "Group" + QByteArray::number(i + 1);
        chkGroups_[i] = checkBox(tsSwitchGroup_, name.constData(), caption.constData(),
                                 32 + (i % 2) * 140, 90 + (i / 2) * 30, 120, true);
    }
    pageControl1_->addTab(tsSwitchGroup_, QStringLiteral("Change Group"));

    button1_ = new QPushButton(QStringLiteral("&OK"), this);
    button1_->setObjectName(QStringLiteral("Button1"));
    button1_->setGeometry(208, 248, 75, 26);
    button1_->setDefault(true);
    connect(button1_, &QPushButton::clicked, this, &QDialog::accept);
    button2_ = new QPushButton(QStringLiteral("&Cancel"), this);
    button2_->setObjectName(QStringLiteral("Button2"));
    button2_->setGeometry(292, 248, 75, 26);
    button2_->setAutoDefault(false);
    connect(button2_, &QPushButton::clicked, this, &QDialog::reject);

    connect(chkChangeGroup_, &QCheckBox::toggled, this, [this] { updateEnabling(); });
    updateEnabling();
    pageControl1_->setCurrentWidget(tabSheet2_);
    Translator::translateComponent(this);
}

void TConfigForm::updateEnabling() {
    const bool on = chkChangeGroup_->isChecked();
    seChangeGroupSeconds_->setEnabled(on);
    for (QCheckBox* c : chkGroups_)
        c->setEnabled(on);
}

void TConfigForm::showEvent(QShowEvent* event) {
    updateEnabling();
    if (!event->spontaneous())
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

} // namespace norvale
