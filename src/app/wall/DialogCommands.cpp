#include "app/wall/DialogCommands.h"

#include "app/dialogs/AboutBox.h"
#include "app/dialogs/ConfigForm.h"
#include "app/dialogs/SpinEdit.h"
#include "app/shell/DesktopServices.h"
#include "app/shell/Translator.h"
#include "app/wall/Form1.h"
#include "controls/RgnButton.h"
#include "platform/MessageBox.h"
#include "platform/PageOpener.h"

#include <QCheckBox>
#include <QLineEdit>

namespace norvale {

DialogCommands::DialogCommands(TForm1& form, DialogCommandsContext context)
    : QObject(&form), form_(form), context_(std::move(context)) {
    actAbout_ = new TAction(QStringLiteral("&About"), &form);
    actAbout_->setObjectName(QStringLiteral("actAbout"));
    actAbout_->setToolTip(QStringLiteral("About..."));
    actAbout_->setExecuteRule([this] {
        if (context_.aboutBox)
            exec(*context_.aboutBox);
    });
    actHelp_ = new TAction(QStringLiteral("&Help"), &form);
    actHelp_->setObjectName(QStringLiteral("actHelp"));
    actHelp_->setShortcut(QKeySequence(Qt::Key_F1));
    actHelp_->setShortcutContext(Qt::WindowShortcut);
    actHelp_->setExecuteRule([this] {
        // Opening the page never holds up the wall, and its failure is not reported.
        if (context_.pages)
            context_.pages->open(context_.supportUrl);
    });
    form.addAction(actHelp_);
    // The main window translated itself before these commands were made.
    Translator::translateComponent(actAbout_);
    Translator::translateComponent(actHelp_);

    connect(form.RgnBtn1(), &TRgnButton::clicked, this, [this] { OptionsClick(); });
    connect(form.BtnHelp(), &TRgnButton::clicked, this, [this] { actAbout_->execute(); });
    connect(form.RgnBtn4(), &TRgnButton::clicked, this, [this] { actHelp_->execute(); });
}

int DialogCommands::exec(QDialog& dialog) {
    return form_.desktop().execDialog(dialog);
}

void DialogCommands::OptionsClick() {
    TConfigForm* config = context_.configForm;
    if (!config)
        return;
    WallSettings& s = form_.settings();
    config->chkAutoRun()->setChecked(s.autoRun);
    config->chkCheckForUpdates()->setChecked(s.checkForUpdates);
    config->chkStartMin()->setChecked(s.startMinimized);
    config->chkChangeGroup()->setChecked(s.changeGroup);
    config->seChangeGroupSeconds()->SetValue(s.changeGroupSeconds);
    for (int g = 1; g <= 4; ++g)
        config->chkGroup(g)->setChecked(s.groupEnabled[static_cast<size_t>(g - 1)]);
    config->chkResumeCameras()->setChecked(s.resumeCameras);
    config->seKeepFreeMB()->SetValue(s.keepFreeMB);
    config->seKeepDays()->SetValue(s.keepDays);
    config->edtMotionCommand()->setText(QString::fromStdString(s.motionCommand));
    config->setStorageStatus(context_.storageStatus ? context_.storageStatus() : StorageStatus{});
    if (exec(*config) != QDialog::Accepted)
        return;
    s.autoRun = config->chkAutoRun()->isChecked();
    s.startMinimized = config->chkStartMin()->isChecked();
    s.checkForUpdates = config->chkCheckForUpdates()->isChecked();
    s.resumeCameras = config->chkResumeCameras()->isChecked();
    s.motionCommand = config->edtMotionCommand()->text().trimmed().toStdString();
    const int keepFreeMB = config->seKeepFreeMB()->Value();
    const int keepDays = config->seKeepDays()->Value();
    if (keepFreeMB != s.keepFreeMB || keepDays != s.keepDays) {
        s.keepFreeMB = keepFreeMB;
        s.keepDays = keepDays;
        if (context_.retentionChanged)
            context_.retentionChanged();
    }
    // Written or removed on every OK, changed or not. A folder that cannot be made is passed
    // over in silence; an entry that cannot be written ends the OK handling here.
    const std::string name = context_.applicationName.toStdString();
    const AutorunResult result =
        s.autoRun ? context_.autorun.add(name, context_.executablePath.toStdString())
                  : context_.autorun.remove(name);
    if (result == AutorunResult::CannotWrite) {
        form_.desktop().messages().error(
            Translator::tr(QStringLiteral("Failed to set data for '%1'"))
                .arg(context_.applicationName),
            &form_);
        return;
    }
    s.changeGroup = config->chkChangeGroup()->isChecked();
    s.changeGroupSeconds = config->seChangeGroupSeconds()->Value();
    for (int g = 1; g <= 4; ++g)
        s.groupEnabled[static_cast<size_t>(g - 1)] = config->chkGroup(g)->isChecked();
    form_.UpdateGroupTimer();
}

} // namespace norvale
