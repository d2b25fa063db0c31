#pragma once
// What every camera was doing, kept beside setup.ini so that a restart (after a power cut or a
// kill as much as after a clean exit) can bring the cameras back to it. One line per running
// camera, "Camera<N>=Previewing" or "Camera<N>=Recording"; cameras not listed were stopped.
#include <map>
#include <string>
#include <string_view>

namespace norvale {

enum class ResumeState { Stopped, Previewing, Recording };

// The file's name in the program's folder.
inline constexpr const char* kCameraStatesFile = "cameras.state";

// Stopped cameras are left out.
std::string formatCameraStates(const std::map<int, ResumeState>& states);

// Lines that are not one of the two forms, name no camera from 1 to 36, or repeat a camera are
// skipped (the first line for a camera counts): a damaged file resumes what it still says.
std::map<int, ResumeState> parseCameraStates(std::string_view text);

} // namespace norvale
