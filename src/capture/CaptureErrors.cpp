#include "CaptureErrors.h"

#include <cstdio>

namespace norvale {

EListError::EListError(long long index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")") {}

std::string ErrorText(HResult code, std::string_view platformText) {
    // The suffix brings its own full stop, so a text's closing one is dropped.
    auto trimmed = platformText.substr(0, 255);
    while (!trimmed.empty() &&
           (trimmed.back() == '.' || trimmed.back() == ' ' || trimmed.back() == '\n'))
        trimmed.remove_suffix(1);
    if (!trimmed.empty())
        return std::string(trimmed);
    switch (code) {
    case hr::E_NOINTERFACE:
        return "No such interface supported";
    case hr::E_POINTER:
        return "Invalid pointer";
    case hr::E_INVALIDARG:
        return "The parameter is incorrect";
    case hr::E_UNEXPECTED:
        return "Catastrophic failure";
    case hr::VFW_E_CANNOT_CONNECT:
        return "No combination of intermediate filters could be found to make the connection";
    case hr::VFW_E_NOT_CONNECTED:
        return "The operation cannot be performed because the pins are not connected";
    case hr::VFW_E_CANNOT_RENDER:
        return "No combination of filters could be found to render the stream";
    case hr::VFW_E_TIMEOUT:
        return "The operation could not be performed because the timeout expired";
    default:
        return "Unspecified error";
    }
}

HResult CheckDirectShowResult(HResult code, std::string_view platformText) {
    if (code >= 0)
        return code;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, " ($%X).", static_cast<uint32_t>(code));
    throw EDirectShowException(ErrorText(code, platformText) + suffix, code);
}

} // namespace norvale
