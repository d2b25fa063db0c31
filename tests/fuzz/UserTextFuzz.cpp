// Feeds arbitrary bytes to the parsers of text a user or a damaged file hands the program
// beyond the settings file: the motion command line, network camera addresses, the motion
// mask and the list of cameras to resume. None may read past its input; each keeps its promise:
// fields never split an argument, a scrubbed text never shows the secret, a mask and the resume
// list read back what they write.
#include "core/CameraStates.h"
#include "core/CommandLine.h"
#include "core/MotionDetector.h"
#include "core/NetCamera.h"

#include <cstdint>
#include <string>

using namespace norvale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    if (const auto args = splitCommandLine(text)) {
        MotionCommandFields fields{7, text, "start", "2026-12-09T19:55:01+00:00", text};
        if (expandMotionCommand(*args, fields).size() != args->size())
            __builtin_trap();
    }

    (void)netCameraScheme(text);
    (void)netCameraIdentity(text);
    const UrlCredentials cred = credentialsInUrl(text);
    if (cred.password.size() >= 4 && cred.password.find('*') == std::string::npos &&
        scrubCredentials(text, {cred.password}).find(cred.password) != std::string::npos)
        __builtin_trap();

    if (const auto mask = MotionMask::parse(text)) {
        const auto again = MotionMask::parse(mask->toString());
        if (!again || !(*again == *mask))
            __builtin_trap();
    }

    const auto states = parseCameraStates(text);
    for (const auto& [camera, state] : states)
        if (camera < 1 || camera > 36 || state == ResumeState::Stopped)
            __builtin_trap();
    if (parseCameraStates(formatCameraStates(states)) != states)
        __builtin_trap();
    return 0;
}
