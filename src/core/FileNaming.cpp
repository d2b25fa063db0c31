#include "core/FileNaming.h"

#include "core/CameraSettings.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

namespace norvale {

std::string folderWithSeparator(const std::string& folder) {
    if (folder.empty())
        return defaultFolder();
    if (folder.back() == '/')
        return folder;
    return folder + '/';
}

std::string timeStamp(const std::tm& local) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%2.2d%2.2d%2.2d-%2.2d%2.2d%2.2d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

std::string cameraNameInFiles(const std::string& cameraName) {
    std::string name = cameraName;
    for (char& c : name) {
        if (c == '/' || c == '\0')
            c = '_';
    }
    return name;
}

std::string timestampedFileName(const std::string& folderWithSep, const std::string& cameraName,
                                const std::tm& local, const std::string& extension) {
    return folderWithSep + cameraNameInFiles(cameraName) + '-' + timeStamp(local) + extension;
}

std::string firstFreeFileName(const std::string& stem, const std::string& extension,
                              const std::function<bool(const std::string&)>& taken) {
    std::string candidate = stem + extension;
    // A folder holds far fewer files than this; the bound only keeps a broken check finite.
    for (int n = 2; n <= 100000; ++n) {
        if (!taken(candidate))
            return candidate;
        candidate = stem + '-' + std::to_string(n) + extension;
    }
    throw std::runtime_error("No free file name for " + stem + extension);
}

namespace {

// The names claimed by files this process writes.
std::mutex claimsMutex;
std::set<std::string>& claimedNames() {
    static std::set<std::string> names;
    return names;
}

bool existsOnDisk(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

FileNameClaim& FileNameClaim::operator=(FileNameClaim&& other) noexcept {
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

void FileNameClaim::release() {
    if (path_.empty())
        return;
    std::lock_guard lock(claimsMutex);
    claimedNames().erase(path_);
    path_.clear();
}

namespace {

// The same file whichever way its folder is spelled (through a link, with "..", with or
// without a trailing "/"): the folder resolved, then the name.
std::string resolvedName(const std::string& path) {
    const std::filesystem::path p(path);
    std::error_code ec;
    const auto folder = std::filesystem::weakly_canonical(p.parent_path(), ec);
    return ec ? path : (folder / p.filename()).string();
}

} // namespace

bool fileNameClaimed(const std::string& path) {
    std::lock_guard lock(claimsMutex);
    const auto& claimed = claimedNames();
    if (claimed.count(path) > 0)
        return true;
    if (claimed.empty())
        return false;
    const std::string wanted = resolvedName(path);
    for (const auto& name : claimed)
        if (resolvedName(name) == wanted)
            return true;
    return false;
}

FileNameClaim claimTimestampedFileName(const std::string& folderWithSep,
                                       const std::string& cameraName, const std::tm& local,
                                       const std::string& extension) {
    const std::string plain = timestampedFileName(folderWithSep, cameraName, local, extension);
    const std::string stem = plain.substr(0, plain.size() - extension.size());
    std::lock_guard lock(claimsMutex);
    auto& claimed = claimedNames();
    FileNameClaim claim;
    claim.path_ = firstFreeFileName(stem, extension, [&](const std::string& name) {
        return claimed.count(name) > 0 || existsOnDisk(name);
    });
    claimed.insert(claim.path_);
    return claim;
}

} // namespace norvale
