#pragma once
// One running copy per logged-in user and application name: an exclusive lock on a file in the
// user's runtime folder (XDG_RUNTIME_DIR, private to the user), held for the life of the process.
// Without a usable runtime folder, a private folder of the user's in the temporary folder, then
// the home folder, serves instead; never a folder another user could write to, and the lock file
// is opened without following links.
#include "core/UniqueFd.h"

#include <filesystem>
#include <string>

namespace norvale {

class SingleInstance {
public:
    // Tries to take the lock for `applicationName`. Any failure to create or lock the file
    // counts as "another copy is running".
    explicit SingleInstance(const std::string& applicationName);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool alreadyRunning() const { return !fd_; }
    const std::filesystem::path& lockPath() const { return path_; }

    // The lock file for a name, in lockFolder().
    static std::filesystem::path lockPathFor(const std::string& applicationName);
    // Any name as a safe file name: letters, digits, blanks, "-", "_" and "." (not first) stay,
    // every other byte becomes "%XX", so different names never share a lock; a long result is
    // cut and ends in a hash of the whole name, so it fits the file system's 255 bytes.
    static std::string lockFileName(const std::string& applicationName);
    // The folder the locks live in (empty when the user has no usable private folder).
    static std::filesystem::path lockFolder();

private:
    std::filesystem::path path_;
    UniqueFd fd_;
};

} // namespace norvale
