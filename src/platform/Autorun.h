#pragma once
// Starting the program at logon: an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/<name>.desktop, ~/.config/autostart by default) that runs the
// executable with no arguments. Adding rewrites the entry, removing deletes it.
#include <filesystem>
#include <string>

namespace norvale {

enum class AutorunResult {
    Done,
    CannotOpen, // the autostart folder does not exist and cannot be made: nothing was touched
    CannotWrite // the folder is there but the entry could not be written
};

// The autostart folder of the current user.
std::filesystem::path autostartFolder();

// The entry's file name for an application name: never leaves the folder (no "/", no "." or
// ".." names, no control characters).
std::string autorunFileName(const std::string& applicationName);

// An executable path as the Exec key of a desktop entry wants it: quoted (with the reserved
// characters escaped) when it holds blanks or reserved characters, '%' doubled, and the whole
// escaped as a string value.
std::string desktopExecValue(const std::string& executablePath);

class Autorun {
public:
    explicit Autorun(std::filesystem::path folder = autostartFolder())
        : folder_(std::move(folder)) {}

    AutorunResult add(const std::string& applicationName, const std::string& executablePath) const;
    // Deleting an entry that is not there succeeds; a failed delete is not an error either.
    AutorunResult remove(const std::string& applicationName) const;

    std::filesystem::path entryPath(const std::string& applicationName) const {
        return folder_ / autorunFileName(applicationName);
    }

private:
    std::filesystem::path folder_;
};

} // namespace norvale
