#include "app/dialogs/CameraSettingsDialog.h"

#include "app/camera/Camera.h"
#include "app/dialogs/SettingsForm.h"
#include "app/shell/DesktopServices.h"

#include <memory>

namespace norvale {

void editCameraSettings(TCamera& camera, const CameraServices& services) {
    SettingsFormServices dialogServices;
    dialogServices.devices = services.videoDevices;
    dialogServices.formats = services.deviceFormats;
    dialogServices.sourceFilter = &camera.VideoSourceFilter();
    dialogServices.graph = &camera.CaptureGraph();
    dialogServices.desktop = services.desktop;
    dialogServices.exeDir = services.exeDir;
    dialogServices.chooseComputer = services.chooseComputer;
    // Freed when the command ends; shown over the main window, outside the frame's skin.
    auto form = std::make_unique<TSettingsForm>(camera.window(), std::move(dialogServices));
    form->SetValues(camera.Settings());
    const int result = services.desktop ? services.desktop->execDialog(*form) : form->exec();
    if (result != QDialog::Accepted)
        return;
    camera.setSettings(form->Values(camera.Settings()));
    camera.updateActions();
}

} // namespace norvale
