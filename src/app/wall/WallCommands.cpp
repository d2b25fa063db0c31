#include "app/wall/WallCommands.h"

#include "app/camera/Camera.h"
#include "app/shell/Action.h"
#include "app/shell/Translator.h"
#include "app/shell/WaitCursor.h"
#include "platform/MessageBox.h"

#include <optional>

namespace norvale {

namespace {
// The camera's own command behind each camera command of the wall.
TAction* cameraCommand(const WallCommands& c, const TAction* wall, const TCamera& cam) {
    if (wall == c.actPreview())
        return cam.actPreview();
    if (wall == c.actRecord())
        return cam.actSave();
    if (wall == c.actSnapshot())
        return cam.actSnapshot();
    if (wall == c.actCamSettings())
        return cam.actSettings();
    return nullptr;
}
} // namespace

WallCommands::WallCommands(QObject* owner, IMessageBox* messages, QWidget* messageOwner,
                           std::function<TCamera*()> selected,
                           std::function<void()> updateSelection)
    : QObject(owner), messages_(messages), messageOwner_(messageOwner),
      selected_(std::move(selected)), updateSelection_(std::move(updateSelection)) {
    actPreview_ = make(N_("&Preview"), "actPreview", true);
    actRecord_ = make(N_("&Save"), "actRecord", true);
    actSnapshot_ = make(N_("Activate S&napshot Timer"), "actSnapshot", true);
    actCamSettings_ = make(N_("&Camera Settings"), "actCamSettings", false);
    actFullScreen_ = make(N_("Full Screen"), "actFullScreen", false);
    actFullScreen_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
    actRefresh_ = make(N_("Refresh"), "actRefresh", false);
    actRefresh_->setShortcut(QKeySequence(Qt::Key_F5));
    actRefresh_->setEnabled(true);

    for (TAction* a : {actPreview_, actRecord_, actSnapshot_, actCamSettings_})
        a->setExecuteRule([this, a] { run(a); });
    // Run from a menu entry or a shortcut, every command first brings the three recomputed
    // states up to date; a command that is then disabled does not run. actRecord keeps what
    // UpdateSelection gave it.
    for (TAction* a :
         {actPreview_, actRecord_, actSnapshot_, actCamSettings_, actFullScreen_, actRefresh_})
        a->setUpdateRule([this](TAction&) { recompute(); });
}

TAction* WallCommands::make(const char* caption, const char* name, bool checkable) {
    auto* a = new TAction(QString::fromLatin1(caption), this);
    a->setObjectName(QString::fromLatin1(name));
    a->setCheckable(checkable);
    a->setEnabled(false);
    return a;
}

void WallCommands::run(TAction* command) {
    TCamera* cam = selected_ ? selected_() : nullptr;
    if (!cam) {
        if (messages_)
            messages_->show({messageOwner_,
                             Translator::tr(QStringLiteral("Please select one Camera!")),
                             Translator::tr(QStringLiteral("Not Selected")),
                             MessageIcon::Information, MessageButtons::Ok});
        return;
    }
    if (TAction* own = cameraCommand(*this, command, *cam)) {
        own->update();
        // The settings command spends its time in a modal dialog, whose own event loop must show
        // the ordinary cursor; the dialog's slow steps (device and format lookups) show the
        // hourglass themselves.
        std::optional<WaitCursor> wait;
        if (command != actCamSettings_)
            wait.emplace();
        if (own->isEnabled())
            own->execute();
    }
    const WaitCursor wait;
    if (updateSelection_)
        updateSelection_();
}

void WallCommands::applyStates(const TCamera* cam) {
    if (!cam) {
        actPreview_->setEnabled(false);
        actPreview_->setChecked(false);
        actRecord_->setEnabled(false);
        actRecord_->setChecked(false);
        actSnapshot_->setEnabled(false);
        actCamSettings_->setEnabled(false);
        return;
    }
    const bool previewing = cam->Previewing();
    actPreview_->setEnabled(true);
    actPreview_->setChecked(previewing);
    actRecord_->setEnabled(previewing);
    actRecord_->setChecked(cam->Recording());
    actSnapshot_->setEnabled(previewing);
    actSnapshot_->setChecked(cam->AutoSnapshot());
    actCamSettings_->setEnabled(!previewing);
    actFullScreen_->setEnabled(previewing);
}

void WallCommands::recompute() {
    TCamera* cam = selected_ ? selected_() : nullptr;
    auto follow = [cam](TAction* wall, TAction* own, bool withChecked) {
        if (own)
            own->update();
        wall->setEnabled(cam && own->isEnabled());
        if (withChecked)
            wall->setChecked(cam && own->isChecked());
    };
    follow(actPreview_, cam ? cam->actPreview() : nullptr, true);
    follow(actSnapshot_, cam ? cam->actSnapshot() : nullptr, true);
    follow(actCamSettings_, cam ? cam->actSettings() : nullptr, false);
}

} // namespace norvale
