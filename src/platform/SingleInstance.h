#pragma once
// One running copy per machine and application name: an exclusive lock on a file in the system
// temporary folder, held for the life of the process.
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

    bool alreadyRunning() const { return fd_ < 0; }
    const std::filesystem::path& lockPath() const { return path_; }

    // The lock file for a name: characters that cannot stand in a file name become "_".
    static std::filesystem::path lockPathFor(const std::string& applicationName);

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

} // namespace norvale
