#pragma once
// The main window's commands that open the application's dialogs and pages: "&Options" (the
// options exchange, with the autorun entry), "&About", and "&Help" / F1 (the support page).
#include "app/dialogs/ConfigForm.h"
#include "app/shell/Action.h"
#include "platform/Autorun.h"

#include <QObject>
#include <QString>
#include <functional>

class QDialog;

namespace norvale {

class IPageOpener;
class TAboutBox;
class TConfigForm;
class TForm1;

struct DialogCommandsContext {
    TConfigForm* configForm = nullptr;
    TAboutBox* aboutBox = nullptr;
    IPageOpener* pages = nullptr;
    Autorun autorun;
    QString applicationName; // names the autorun entry
    QString executablePath;  // what the autorun entry starts
    QString supportUrl;      // SUPPORT_URL
    // The recording disks and the last retention sweep, for the "Storage" page; and who is
    // told when OK changed the retention limits. Empty: nothing shown, nobody told.
    std::function<StorageStatus()> storageStatus;
    std::function<void()> retentionChanged;
};

class DialogCommands : public QObject {
    Q_OBJECT
public:
    // Wires the commands to the main window's buttons (RgnBtn1, BtnHelp, RgnBtn4) and F1. The
    // dialogs and boxes go through the main window's desktop.
    DialogCommands(TForm1& form, DialogCommandsContext context);

    TAction* actAbout() const { return actAbout_; }
    TAction* actHelp() const { return actHelp_; }

    void OptionsClick();

private:
    int exec(QDialog& dialog);

    TForm1& form_;
    DialogCommandsContext context_;
    TAction* actAbout_ = nullptr;
    TAction* actHelp_ = nullptr;
};

} // namespace norvale
