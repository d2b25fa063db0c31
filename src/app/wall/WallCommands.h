#pragma once
// The main window's commands on the selected camera and their states. Each runs the selected
// camera's own command of the same kind, so the camera stays the one place that decides.
#include <QObject>
#include <functional>

namespace norvale {

class IMessageBox;
class TAction;
class TCamera;

class WallCommands : public QObject {
    Q_OBJECT
public:
    // selected: the wall's SelectedCamera; updateSelection: the wall's UpdateSelection.
    WallCommands(QObject* owner, IMessageBox* messages, QWidget* messageOwner,
                 std::function<TCamera*()> selected, std::function<void()> updateSelection);

    TAction* actPreview() const { return actPreview_; }
    TAction* actRecord() const { return actRecord_; }
    TAction* actSnapshot() const { return actSnapshot_; }
    TAction* actCamSettings() const { return actCamSettings_; }
    TAction* actFullScreen() const { return actFullScreen_; }
    TAction* actRefresh() const { return actRefresh_; }

    // Runs a camera command the way a button does: without a selected camera the "Not
    // Selected" message; otherwise, under the wait cursor, the camera's own command when that
    // is enabled, then UpdateSelection.
    void run(TAction* command);

    // The states UpdateSelection gives the commands for the selected camera (none: disabled).
    void applyStates(const TCamera* camera);
    // What a menu or a shortcut sees: preview, snapshot and camera settings follow the camera's
    // own commands. Buttons never recompute.
    void recompute();

private:
    TAction* make(const char* caption, const char* name, bool checkable);

    IMessageBox* messages_;
    QWidget* messageOwner_;
    std::function<TCamera*()> selected_;
    std::function<void()> updateSelection_;
    TAction* actPreview_ = nullptr;
    TAction* actRecord_ = nullptr;
    TAction* actSnapshot_ = nullptr;
    TAction* actCamSettings_ = nullptr;
    TAction* actFullScreen_ = nullptr;
    TAction* actRefresh_ = nullptr;
};

} // namespace norvale
