#include "platform/Autorun.h"

#include <cstdlib>
#include <fstream>

namespace norvale {

std::filesystem::path autostartFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // XDG base directories must be absolute; a relative value is ignored.
    if (config && config[0] == '/')
        return std::filesystem::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".config" / "autostart";
}

std::string autorunFileName(const std::string& applicationName) {
    std::string name;
    for (char c : applicationName) {
        const auto u = static_cast<unsigned char>(c);
        name += (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    if (name.empty() || name == "." || name == "..")
        name = "_" + name;
    return name + ".desktop";
}

namespace {

// A string value: backslash and the control characters that have an escape.
std::string escapeValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
        }
    }
    return out;
}

} // namespace

std::string desktopExecValue(const std::string& executablePath) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string arg;
    bool quote = false;
    for (char c : executablePath) {
        if (reserved.find(c) != std::string::npos)
            quote = true;
        if (c == '%')
            arg += "%%";
        else if (c == '"' || c == '`' || c == '$' || c == '\\')
            arg += std::string("\\") + c;
        else
            arg += c;
    }
    if (quote)
        arg = "\"" + arg + "\"";
    return escapeValue(arg);
}

AutorunResult Autorun::add(const std::string& applicationName,
                           const std::string& executablePath) const {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (!std::filesystem::is_directory(folder_, ec))
        return AutorunResult::CannotOpen;
    std::ofstream out(entryPath(applicationName), std::ios::binary | std::ios::trunc);
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=" << escapeValue(applicationName) << "\n"
        << "Exec=" << desktopExecValue(executablePath) << "\n"
        << "X-GNOME-Autostart-enabled=true\n";
    out.close();
    return out ? AutorunResult::Done : AutorunResult::CannotWrite;
}

AutorunResult Autorun::remove(const std::string& applicationName) const {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (!std::filesystem::is_directory(folder_, ec))
        return AutorunResult::CannotOpen;
    std::filesystem::remove(entryPath(applicationName), ec);
    return AutorunResult::Done;
}

} // namespace norvale
