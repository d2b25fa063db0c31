#include "core/CameraStates.h"

#include <charconv>

namespace norvale {

std::string formatCameraStates(const std::map<int, ResumeState>& states) {
    std::string out;
    for (const auto& [number, state] : states) {
        if (state == ResumeState::Stopped)
            continue;
        out += "Camera" + std::to_string(number) + "=" +
               (state == ResumeState::Recording ? "Recording" : "Previewing") + "\n";
    }
    return out;
}

std::map<int, ResumeState> parseCameraStates(std::string_view text) {
    std::map<int, ResumeState> states;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        constexpr std::string_view prefix = "Camera";
        const std::size_t equals = line.find('=');
        if (line.substr(0, prefix.size()) != prefix || equals == std::string_view::npos)
            continue;
        const std::string_view digits = line.substr(prefix.size(), equals - prefix.size());
        int number = 0;
        const auto [ptr, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size() ||
            number < 1 || number > 36)
            continue;
        const std::string_view value = line.substr(equals + 1);
        ResumeState state;
        if (value == "Previewing")
            state = ResumeState::Previewing;
        else if (value == "Recording")
            state = ResumeState::Recording;
        else
            continue;
        states.emplace(number, state);
    }
    return states;
}

} // namespace norvale
