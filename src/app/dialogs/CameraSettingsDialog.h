#pragma once
// The camera's "Settings" command: the settings dialog over the main window, filled from the
// camera's settings and given back to it after OK. The camera frame calls it through its
// services, so the frame does not depend on the dialogs that show it.
namespace norvale {

class TCamera;
struct CameraServices;

void editCameraSettings(TCamera& camera, const CameraServices& services);

} // namespace norvale
