#include "app/dialogs/ConfigForm.h"

#include "app/dialogs/SpinEdit.h"
#include "app/shell/Translator.h"
#include "core/CommandLine.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <limits>

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

QLabel* label(QWidget* parent, const char* name, const QString& text, int x, int y, int w,
              int h = 20) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(x, y, w, h);
    return l;
}

TSpinEdit* spinEdit(QWidget* parent, const char* name, int x, int y, int maxValue, int value) {
    auto* e = new TSpinEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(x, y, 90, 22);
    e->SetBounds(0, maxValue);
    e->SetValue(value);
    return e;
}

QString dataSize(std::uint64_t bytes) {
    return QLocale().formattedDataSize(static_cast<qint64>(bytes), 1,
                                       QLocale::DataSizeTraditionalFormat);
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
    chkResumeCameras_ =
        checkBox(tabSheet2_, "chkResumeCameras",
                 N_("Resume previewing and recording cameras at start"), 16, 110, 330, true);
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

    // Retention: the two limits, then the disks they act on and what the last sweep did.
    tsStorage_ = new QWidget;
    tsStorage_->setObjectName(QStringLiteral("tsStorage"));
    label(tsStorage_, "lblKeepFree", QStringLiteral("Keep free on each recording disk (MB):"), 16,
          20, 230);
    seKeepFreeMB_ =
        spinEdit(tsStorage_, "seKeepFreeMB", 252, 18, std::numeric_limits<int>::max(), 2048);
    label(tsStorage_, "lblKeepDays", QStringLiteral("Delete files older than (days):"), 16, 50,
          230);
    seKeepDays_ = spinEdit(tsStorage_, "seKeepDays", 252, 48, 36500, 0);
    label(tsStorage_, "lblLimitsOff", QStringLiteral("0 turns a limit off."), 16, 76, 320);
    label(tsStorage_, "lblDisksCaption", QStringLiteral("Recording disks:"), 16, 104, 320);
    lblDisks_ = label(tsStorage_, "lblDisks", QString(), 16, 122, 330, 52);
    lblDisks_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblDisks_->setWordWrap(true);
    lblLastSweep_ = label(tsStorage_, "lblLastSweep", QString(), 16, 176, 330, 20);
    pageControl1_->addTab(tsStorage_, QStringLiteral("Storage"));

    // Being told of motion: a command of the user's, run without a shell.
    tsMotion_ = new QWidget;
    tsMotion_->setObjectName(QStringLiteral("tsMotion"));
    auto* caption = label(tsMotion_, "lblMotionCommand",
                          QStringLiteral("Run this command at the start and end of every motion "
                                         "event:"),
                          16, 14, 330, 34);
    caption->setWordWrap(true);
    edtMotionCommand_ = new QLineEdit(tsMotion_);
    edtMotionCommand_->setObjectName(QStringLiteral("edtMotionCommand"));
    edtMotionCommand_->setGeometry(16, 52, 330, 22);
    auto* fields = label(tsMotion_, "lblMotionFields",
                         QStringLiteral("%c camera number, %n camera name, %e start or end, "
                                        "%t time, %f recording file. Empty: no command."),
                         16, 82, 330, 36);
    fields->setWordWrap(true);
    fields->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblMotionCommandCheck_ = label(tsMotion_, "lblMotionCommandCheck", QString(), 16, 124, 330, 36);
    lblMotionCommandCheck_->setWordWrap(true);
    lblMotionCommandCheck_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblMotionCommandCheck_->setStyleSheet(QLatin1String("color: #a00000;"));
    connect(edtMotionCommand_, &QLineEdit::textChanged, this, [this](const QString& text) {
        lblMotionCommandCheck_->setText(
            splitCommandLine(text.toStdString())
                ? QString()
                : Translator::tr(QStringLiteral("This command cannot be run: a quote is not closed "
                                                "or a backslash ends it.")));
    });
    pageControl1_->addTab(tsMotion_, QStringLiteral("Motion"));

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

void TConfigForm::setStorageStatus(const StorageStatus& status) {
    QStringList disks;
    for (const auto& d : status.disks)
        disks << Translator::tr(QStringLiteral("%1: %2 free of %3"))
                     .arg(d.folder, dataSize(d.freeBytes), dataSize(d.totalBytes));
    lblDisks_->setText(disks.isEmpty() ? Translator::tr(QStringLiteral("No recording disk found."))
                                       : disks.join(QLatin1Char('\n')));
    if (!status.lastSweep) {
        lblLastSweep_->setText(Translator::tr(QStringLiteral("No sweep yet.")));
        return;
    }
    const auto& sweep = *status.lastSweep;
    lblLastSweep_->setText(
        Translator::tr(QStringLiteral("Last sweep at %1: %2 files removed, %3 freed."))
            .arg(QLocale().toString(sweep.finishedAt.time(), QLocale::ShortFormat))
            .arg(sweep.filesRemoved)
            .arg(dataSize(sweep.bytesFreed)));
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
