#include "core/FileNaming.h"

#include "core/CameraSettings.h"

#include <cstdio>

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

} // namespace norvale
